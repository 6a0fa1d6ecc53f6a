// Userdata elements to and from a process's RAM.
#include "values/userdata_ram.h"

#include <algorithm>
#include <cstring>

#include "kernel/process.h"
#include "kernel/ram.h"

namespace {

// Calls f(page, lo, hi) for the pages that the n bytes from address a on
// touch, [lo, hi) being the offsets touched; each page once when n covers the
// whole space.
template <class F> void each_page(uint32_t a, int64_t n, F f) {
  if (n >= ram_space_size) {
    for (int p = 0; p < ram_page_count; p++) f(p, 0, ram_page_size);
    return;
  }
  a &= ram_address_mask;
  while (n > 0) {
    auto lo = static_cast<int32_t>(a % ram_page_size);
    auto hi = static_cast<int32_t>(std::min<int64_t>(ram_page_size, lo + n));
    f(static_cast<int>(a / ram_page_size), lo, hi);
    n -= hi - lo;
    a = (a + static_cast<uint32_t>(hi - lo)) & ram_address_mask;
  }
}

// Whether a page in the range is a window onto ud: then the move must go
// element by element, each element seeing what the ones before it wrote.
bool maps_onto(const process_ram &r, const userdata *ud, uint32_t a, int64_t n) {
  bool found = false;
  each_page(a, n, [&](int p, int32_t, int32_t) {
    uint16_t w = r.page_window[p];
    found |= w != 0 && r.windows[w - 1u].owner == ud;
  });
  return found;
}

// The cycles an element costs when moved on its own.
constexpr int64_t aliased_element_cycles = 1;

struct span {
  uint32_t addr;
  int64_t size, bytes;
  uint8_t *elements;
  // Element i's address: 32 bits that wrap, computed unsigned.
  int address(int64_t i) const {
    return static_cast<int>(addr + static_cast<uint32_t>(static_cast<uint64_t>(i * size)));
  }
};

span span_of(const userdata *ud, int64_t addr, int64_t offset, int64_t count) {
  int64_t size = ud_element_size(ud);
  auto *elements = const_cast<uint8_t *>(ud_elements(ud)) + offset * size;
  return {static_cast<uint32_t>(static_cast<uint64_t>(addr)), size, count * size, elements};
}

}  // namespace

int64_t userdata_peek(userdata *ud, int64_t addr, int64_t offset, int64_t count) {
  process *P = cproc;
  span s = span_of(ud, addr, offset, count);
  if (!P || !P->ram) {
    memset(s.elements, 0, static_cast<size_t>(s.bytes));
    return 0;
  }
  process_ram &r = *P->ram;
  if (maps_onto(r, ud, s.addr, s.bytes)) {
    for (int64_t i = 0; i < count; i++) {
      int a = s.address(i);
      int64_t v = s.size == 1 ? peek(a) : s.size == 2 ? peek2(a) : s.size == 4 ? peek4(a) : peek8(a);
      ud_set_int(ud, offset + i, v);
    }
    return count * aliased_element_cycles;
  }
  // A read past a page's mapped part gives the page its own block, as peek
  // does; then the bytes are read as they lie.
  each_page(s.addr, s.bytes, [&](int p, int32_t lo, int32_t hi) {
    if (hi > r.mapped_len[p] && !r.own_page[p])
      peek_proc(P, p * ram_page_size + std::max(lo, r.mapped_len[p]));
  });
  ram_read_untouched(&r, s.addr, s.elements, static_cast<int>(s.bytes));
  return 0;
}

int64_t userdata_poke(const userdata *ud, int64_t addr, int64_t offset, int64_t count) {
  process *P = cproc;
  span s = span_of(ud, addr, offset, count);
  if (!P || !P->ram) return 0;
  if (maps_onto(*P->ram, ud, s.addr, s.bytes)) {
    for (int64_t i = 0; i < count; i++) {
      int a = s.address(i);
      int64_t v = ud_get_int(ud, offset + i);
      if (s.size == 1) poke(a, static_cast<int>(v));
      else if (s.size == 2) poke2(a, static_cast<int>(v));
      else if (s.size == 4) poke4(a, static_cast<int>(v));
      else poke8(a, v);
    }
    return count * aliased_element_cycles;
  }
  ram_write(P, s.addr, s.elements, s.bytes);
  return 0;
}
