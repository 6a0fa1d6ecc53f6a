// Paged process RAM: the page map, byte and block access, windows onto userdata.
#include "kernel/ram.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/accounting.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "lkernel.h"

static_assert(std::endian::native == std::endian::little, "RAM values are little-endian");

namespace {

uint8_t *calloc_page() { return static_cast<uint8_t *>(calloc(1, ram_page_size)); }

// Memory a process's RAM comes from is kept for the next process when one
// goes, and a few processes' worth is made ready between frames: a process
// made beyond all the ones before it would otherwise fault its every page in
// fresh from the host, which costs microseconds a page on a virtualised host.
// The pages a new process fills at once (its system pages, its wavetables)
// and its page map then come warm.
constexpr size_t kept_pages_max = 2048;       // 8 MB
constexpr size_t kept_pages_ready = 256;      // a new process's first pages, and more
constexpr int pages_made_ready_per_frame = 16;
constexpr size_t kept_maps_max = 8;
constexpr size_t kept_maps_ready = 2;

// Each kept block stays touched: the host has its pages in already.
std::vector<void *> &kept_pages = *new std::vector<void *>();
std::vector<void *> &kept_maps = *new std::vector<void *>();

void touch_block(void *block, size_t bytes) {
  auto *b = static_cast<volatile uint8_t *>(block);
  for (size_t i = 0; i < bytes; i += 4096) b[i] = 0;
  b[bytes - 1] = 0;
}

// Keeps a block for reuse while fewer than `max` are kept; frees it else.
void keep_or_free(std::vector<void *> &kept, size_t max, void *block) {
  if (!block) return;
  if (kept.capacity() < max) kept.reserve(max);
  if (kept.size() < max)
    kept.push_back(block);
  else
    free(block);
}

uint8_t *kept_or_new_page() {
  if (kept_pages.empty()) return calloc_page();
  void *page = kept_pages.back();
  kept_pages.pop_back();
  return static_cast<uint8_t *>(memset(page, 0, ram_page_size));
}

// What a page without an own block serves when none could be had: reads see
// zeros, writes go nowhere that anyone reads.
alignas(64) const uint8_t zero_page[ram_page_size] = {};
alignas(64) uint8_t sink_page[ram_page_size];

constexpr uint32_t page_of(uint32_t addr) { return (addr >> 12) & 0xFFF; }
constexpr uint32_t offset_of(uint32_t addr) { return addr & 0xFFF; }

inline uint64_t page_bit(uint32_t p) { return uint64_t{1} << (p & 63); }

// Every write sets all of its page's flags; a page the mirror had taken also
// goes back on the mirror's list. The test keeps repeated writes to one page
// down to a load and a compare.
inline void mark_written(process_ram &r, uint32_t p) {
  if (r.page_flags[p] == page_flags_written) return;
  r.page_flags[p] = page_flags_written;
  r.mirror_pages[p >> 6] |= page_bit(p);
}

// The own block of page p, allocated on first touch (then also the page's
// page_map when nothing served the page). A failed allocation marks the
// process out of memory.
uint8_t *own_block(process *P, process_ram &r, uint32_t p, bool write) {
  if (uint8_t *own = r.own_page[p]) return own;
  uint8_t *own = ram_page_alloc();
  if (!own) {
    P->out_of_memory = 1;
    if (P->busy) superyield();
    return write ? sink_page : const_cast<uint8_t *>(zero_page);
  }
  r.own_page[p] = own;
  r.own_pages[p >> 6] |= page_bit(p);
  P->ram_bytes += ram_page_size;
  if (r.mapped_len[p] == 0) {
    r.page_map[p] = own;
    r.mapped_len[p] = ram_page_size;
  }
  return own;
}

inline uint8_t read_byte(process *P, process_ram &r, uint32_t addr) {
  uint32_t p = page_of(addr), off = offset_of(addr);
  if (static_cast<int32_t>(off) < r.mapped_len[p]) return r.page_map[p][off];
  return own_block(P, r, p, false)[off];
}

inline void write_byte(process *P, process_ram &r, uint32_t addr, uint8_t v) {
  uint32_t p = page_of(addr), off = offset_of(addr);
  mark_written(r, p);
  if (static_cast<int32_t>(off) < r.mapped_len[p])
    r.page_map[p][off] = v;
  else
    own_block(P, r, p, true)[off] = v;
}

// k bytes at addr, little-endian. One lookup when they lie in one region.
uint64_t read_le(process *P, uint32_t addr, int k) {
  process_ram &r = *P->ram;
  uint32_t p = page_of(addr), off = offset_of(addr);
  uint64_t v = 0;
  if (off + static_cast<uint32_t>(k) <= static_cast<uint32_t>(r.mapped_len[p])) {
    memcpy(&v, r.page_map[p] + off, static_cast<size_t>(k));
    return v;
  }
  for (int i = 0; i < k; i++)
    v |= uint64_t{read_byte(P, r, addr + static_cast<uint32_t>(i))} << (8 * i);
  return v;
}

void write_le(process *P, uint32_t addr, uint64_t v, int k) {
  process_ram &r = *P->ram;
  uint32_t p = page_of(addr), off = offset_of(addr);
  if (off + static_cast<uint32_t>(k) <= static_cast<uint32_t>(r.mapped_len[p])) {
    memcpy(r.page_map[p] + off, &v, static_cast<size_t>(k));
    mark_written(r, p);
    return;
  }
  for (int i = 0; i < k; i++)
    write_byte(P, r, addr + static_cast<uint32_t>(i), static_cast<uint8_t>(v >> (8 * i)));
}

bool has_ram(const process *P) { return P && P->ram; }

/* ---------------------------------------------------------------------- */
/* block operations                                                       */
/* ---------------------------------------------------------------------- */

// The bytes that serve the offset's part of a page: base[lo..hi) hold the
// page's offsets lo..hi.
struct region {
  uint8_t *base;
  int32_t lo, hi;
};

region region_at(process *P, process_ram &r, uint32_t addr, bool write) {
  uint32_t p = page_of(addr);
  auto off = static_cast<int32_t>(offset_of(addr));
  if (off < r.mapped_len[p]) return {r.page_map[p], 0, r.mapped_len[p]};
  uint8_t *own = own_block(P, r, p, write);
  if (off < r.mapped_len[p]) return {r.page_map[p], 0, r.mapped_len[p]};  // just made
  return {own, r.mapped_len[p], ram_page_size};
}

// Fills the n bytes from addr a region at a time, fill(destination, bytes
// done before it, length), flagging the pages written when `mark`; returns
// the chunk cost.
template <class Fill>
int64_t fill_regions(process *P, int64_t addr, int64_t n, bool mark, Fill fill) {
  if (n <= 0 || !has_ram(P)) return 0;
  process_ram &r = *P->ram;
  int64_t cost = 0;
  for (int64_t done = 0; done < n;) {
    auto a = static_cast<uint32_t>((static_cast<uint64_t>(addr) + static_cast<uint64_t>(done)) &
                                   ram_address_mask);
    region g = region_at(P, r, a, true);
    auto off = static_cast<int32_t>(offset_of(a));
    int64_t len = std::min<int64_t>(g.hi - off, n - done);
    fill(g.base + off, done, static_cast<size_t>(len));
    if (mark) mark_written(r, page_of(a));
    cost += len / 128 + 1;
    done += len;
  }
  return cost;
}

// Host bytes into RAM a region at a time; returns the chunk cost.
int64_t write_host_bytes(process *P, int64_t addr, const uint8_t *src, int64_t n, bool mark) {
  return fill_regions(P, addr, n, mark,
                      [src](uint8_t *d, int64_t done, size_t len) { memcpy(d, src + done, len); });
}

// n bytes from s to d as a loop from the first byte up would copy them; when
// the destination starts inside the source that loop repeats the bytes before
// it, else it is a move.
void copy_up(uint8_t *d, const uint8_t *s, size_t n) {
  auto dp = reinterpret_cast<uintptr_t>(d), sp = reinterpret_cast<uintptr_t>(s);
  if (dp > sp && dp < sp + n) {
    for (size_t i = 0; i < n; i++) d[i] = s[i];
  } else {
    memmove(d, s, n);
  }
}

// The same for a loop from the last byte down.
void copy_down(uint8_t *d, const uint8_t *s, size_t n) {
  auto dp = reinterpret_cast<uintptr_t>(d), sp = reinterpret_cast<uintptr_t>(s);
  if (dp < sp && dp + n > sp) {
    for (size_t i = n; i-- > 0;) d[i] = s[i];
  } else {
    memmove(d, s, n);
  }
}

// Byte i of src to byte i of dst for i = 0 .. n-1 in order, in chunks that stay
// within one region on both sides. Returns the chunk cost.
int64_t copy_bytes_up(process *from, process *to, uint64_t dst, uint64_t src, int64_t n) {
  process_ram &rf = *from->ram, &rt = *to->ram;
  int64_t cost = 0;
  for (int64_t done = 0; done < n;) {
    auto s = static_cast<uint32_t>((src + static_cast<uint64_t>(done)) & ram_address_mask);
    auto d = static_cast<uint32_t>((dst + static_cast<uint64_t>(done)) & ram_address_mask);
    region rs = region_at(from, rf, s, false);
    region rd = region_at(to, rt, d, true);
    auto os = static_cast<int32_t>(offset_of(s)), od = static_cast<int32_t>(offset_of(d));
    int64_t len = std::min<int64_t>({rs.hi - os, rd.hi - od, n - done});
    copy_up(rd.base + od, rs.base + os, static_cast<size_t>(len));
    mark_written(rt, page_of(d));
    cost += len / 128 + 1;
    done += len;
  }
  return cost;
}

// The same for i = n-1 down to 0.
void copy_bytes_down(process *P, uint64_t dst, uint64_t src, int64_t n) {
  process_ram &r = *P->ram;
  for (int64_t left = n; left > 0;) {
    auto s = static_cast<uint32_t>((src + static_cast<uint64_t>(left - 1)) & ram_address_mask);
    auto d = static_cast<uint32_t>((dst + static_cast<uint64_t>(left - 1)) & ram_address_mask);
    region rs = region_at(P, r, s, false);
    region rd = region_at(P, r, d, true);
    auto os = static_cast<int32_t>(offset_of(s)), od = static_cast<int32_t>(offset_of(d));
    int64_t len = std::min<int64_t>({os - rs.lo + 1, od - rd.lo + 1, left});
    copy_down(rd.base + od - len + 1, rs.base + os - len + 1, static_cast<size_t>(len));
    mark_written(r, page_of(d));
    left -= len;
  }
}

/* ---------------------------------------------------------------------- */
/* windows                                                                */
/* ---------------------------------------------------------------------- */

int find_slot(const process_ram &r, const void *owner) {
  for (size_t i = 0; i < r.windows.size(); i++)
    if (r.windows[i].pages > 0 && r.windows[i].owner == owner) return static_cast<int>(i);
  return -1;
}

int claim_slot(process_ram &r, const ram_window &w) {
  int i = find_slot(r, w.owner);
  if (i >= 0) return i;
  for (size_t j = 0; j < r.windows.size(); j++) {
    if (r.windows[j].pages == 0) {
      r.windows[j] = {w.owner, w.elements, 0};
      return static_cast<int>(j);
    }
  }
  r.windows.push_back({w.owner, w.elements, 0});
  return static_cast<int>(r.windows.size() - 1);
}

// Page p no longer points into its userdata.
void drop_window_page(process_ram &r, uint32_t p, std::vector<const void *> &released) {
  uint16_t w = r.page_window[p];
  if (w == 0) return;
  r.page_window[p] = 0;
  r.mapped_pages[p >> 6] &= ~page_bit(p);
  ram_window_slot &slot = r.windows[w - 1u];
  if (--slot.pages == 0) released.push_back(slot.owner);
}

}  // namespace

uint8_t *(*ram_page_alloc)() = kept_or_new_page;

process_ram::~process_ram() {
  for (uint8_t *own : own_page) keep_or_free(kept_pages, kept_pages_max, own);
}

void *process_ram::operator new(size_t bytes) {
  if (kept_maps.empty()) {
    void *map = malloc(bytes);  // kept ones are released with free()
    if (!map) throw std::bad_alloc();
    return map;
  }
  void *map = kept_maps.back();
  kept_maps.pop_back();
  return map;
}

void process_ram::operator delete(void *map) { keep_or_free(kept_maps, kept_maps_max, map); }

void ram_make_memory_ready() {
  for (int i = 0; i < pages_made_ready_per_frame && kept_pages.size() < kept_pages_ready; i++) {
    void *page = malloc(ram_page_size);
    if (!page) return;
    touch_block(page, ram_page_size);
    keep_or_free(kept_pages, kept_pages_max, page);
  }
  if (kept_maps.size() < kept_maps_ready) {
    void *map = malloc(sizeof(process_ram));
    if (!map) return;
    touch_block(map, sizeof(process_ram));
    keep_or_free(kept_maps, kept_maps_max, map);
  }
}

size_t ram_memory_kept_ready() { return kept_pages.size(); }

bool ram_init(process *P) {
  auto r = std::make_unique<process_ram>();
  for (int p = 0; p < ram_system_pages; p++) {
    uint8_t *own = ram_page_alloc();
    if (!own) return false;  // the record frees the ones it got
    r->own_page[p] = r->page_map[p] = own;
    r->mapped_len[p] = ram_page_size;
    r->own_pages[p >> 6] |= page_bit(static_cast<uint32_t>(p));
  }
  for (int p = 8; p <= 11; p++) r->page_flags[p] = page_flag_colour_table;
  P->ram = std::move(r);
  P->ram_bytes += int64_t{ram_system_pages} * ram_page_size;
  return true;
}

void ram_page_mirrored(process_ram &r, int p) {
  r.page_flags[p] = static_cast<uint8_t>(r.page_flags[p] & ~page_flag_mirror);
  r.mirror_pages[p >> 6] &= ~page_bit(static_cast<uint32_t>(p));
}

void ram_release(process *P) {
  if (P) P->ram.reset();
}

/* ---------------------------------------------------------------------- */
/* bytes                                                                  */
/* ---------------------------------------------------------------------- */

int peek(int addr) { return peek_proc(cproc, addr); }
int peek2(int addr) { return peek2_proc(cproc, addr); }
int peek4(int addr) { return peek4_proc(cproc, addr); }

long long peek8(int addr) {
  if (!has_ram(cproc)) return 0;
  return static_cast<long long>(read_le(cproc, static_cast<uint32_t>(addr), 8));
}

void poke(int addr, int v) { poke_proc(cproc, addr, v); }

void poke2(int addr, int v) {
  if (has_ram(cproc)) write_le(cproc, static_cast<uint32_t>(addr), static_cast<uint32_t>(v), 2);
}

void poke4(int addr, int v) {
  if (has_ram(cproc)) write_le(cproc, static_cast<uint32_t>(addr), static_cast<uint32_t>(v), 4);
}

void poke8(int addr, long long v) {
  if (has_ram(cproc)) write_le(cproc, static_cast<uint32_t>(addr), static_cast<uint64_t>(v), 8);
}

int peek_proc(process *P, int addr) {
  if (!has_ram(P)) return 0;
  return read_byte(P, *P->ram, static_cast<uint32_t>(addr));
}

int peek2_proc(process *P, int addr) {
  if (!has_ram(P)) return 0;
  return static_cast<int16_t>(read_le(P, static_cast<uint32_t>(addr), 2));
}

int peek4_proc(process *P, int addr) {
  if (!has_ram(P)) return 0;
  return static_cast<int32_t>(read_le(P, static_cast<uint32_t>(addr), 4));
}

void poke_proc(process *P, int addr, int v) {
  if (has_ram(P)) write_byte(P, *P->ram, static_cast<uint32_t>(addr), static_cast<uint8_t>(v));
}

void ram_write_unflagged(process *P, int64_t addr, const uint8_t *src, int64_t n) {
  write_host_bytes(P, addr, src, n, false);
}

int64_t ram_write(process *P, int64_t addr, const uint8_t *src, int64_t n) {
  return write_host_bytes(P, addr, src, n, true);
}

uint8_t ram_byte_untouched(const process_ram *r, uint32_t addr) {
  if (!r) return 0;
  uint32_t p = page_of(addr), off = offset_of(addr);
  if (static_cast<int32_t>(off) < r->mapped_len[p]) return r->page_map[p][off];
  return r->own_page[p] ? r->own_page[p][off] : 0;
}

void ram_read_untouched(const process_ram *r, uint32_t addr, uint8_t *dst, int n) {
  while (n > 0) {
    uint32_t p = page_of(addr);
    auto off = static_cast<int32_t>(offset_of(addr));
    int run = std::min(n, ram_page_size - off);
    int mapped = r ? std::clamp(r->mapped_len[p] - off, 0, run) : 0;
    if (mapped > 0) memcpy(dst, r->page_map[p] + off, static_cast<size_t>(mapped));
    const uint8_t *own = r ? r->own_page[p] : nullptr;
    if (own)
      memcpy(dst + mapped, own + off + mapped, static_cast<size_t>(run - mapped));
    else
      memset(dst + mapped, 0, static_cast<size_t>(run - mapped));
    addr += static_cast<uint32_t>(run);
    dst += run;
    n -= run;
  }
}

static uint32_t read_untouched_le(const process *P, int addr, int k) {
  uint8_t b[4] = {};
  const process_ram *r = P ? P->ram.get() : nullptr;
  for (int i = 0; i < k; i++)
    b[i] = ram_byte_untouched(r, static_cast<uint32_t>(addr) + static_cast<uint32_t>(i));
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

int ppeek_proc(const process *P, int addr) { return static_cast<int>(read_untouched_le(P, addr, 1)); }
int ppeek2_proc(const process *P, int addr) {
  return static_cast<int16_t>(read_untouched_le(P, addr, 2));
}
int ppeek4_proc(const process *P, int addr) {
  return static_cast<int32_t>(read_untouched_le(P, addr, 4));
}

int32_t ram_mapped_len(const process *P, int64_t addr) {
  if (!has_ram(P)) return 0;
  return P->ram->mapped_len[page_of(static_cast<uint32_t>(addr))];
}

/* ---------------------------------------------------------------------- */
/* blocks                                                                 */
/* ---------------------------------------------------------------------- */

int64_t ram_memset(process *P, int64_t addr, int value, int64_t n) {
  return fill_regions(P, addr, n, true,
                      [value](uint8_t *d, int64_t, size_t len) { memset(d, value & 0xFF, len); });
}

int64_t ram_memcpy(process *P, int64_t dst, int64_t src, int64_t n) {
  if (n <= 0 || !has_ram(P)) return 0;
  auto d = static_cast<uint32_t>(static_cast<uint64_t>(dst) & ram_address_mask);
  auto s = static_cast<uint32_t>(static_cast<uint64_t>(src) & ram_address_mask);
  if (d == s) return 0;
  // How far the destination lies after the source, and before it, around the
  // 16 MB circle.
  int64_t ahead = (d - s) & ram_address_mask, behind = (s - d) & ram_address_mask;
  if (ahead < n || behind < n) {
    // A move: copy from the end that the other range does not reach into.
    if (ahead < behind)
      copy_bytes_down(P, d, s, n);
    else
      copy_bytes_up(P, P, d, s, n);
    return n / 8;
  }
  return copy_bytes_up(P, P, d, s, n);
}

int64_t kvt_memset(int64_t addr, int value, int64_t n) { return ram_memset(cproc, addr, value, n); }
int64_t kvt_memcpy(int64_t dst, int64_t src, int64_t n) { return ram_memcpy(cproc, dst, src, n); }

void kvt_pmemcpy_pages(process *from, process *to, int64_t a, int64_t b) {
  if (!has_ram(from) || !has_ram(to)) return;
  int64_t first = std::clamp<int64_t>(a >> 12, 0, ram_page_count);
  int64_t end = std::clamp<int64_t>(b >> 12, 0, ram_page_count);
  for (int64_t p = first; p < end; p++) {
    if (!from->ram->page_map[p]) continue;
    uint64_t at = static_cast<uint64_t>(p) << 12;
    copy_bytes_up(from, to, at, at, ram_page_size);
    process_ram &rt = *to->ram;
    // A page served by its own block is served by it whole.
    if (rt.page_window[p] == 0 && rt.own_page[p]) {
      rt.page_map[p] = rt.own_page[p];
      rt.mapped_len[p] = ram_page_size;
    }
  }
}

/* ---------------------------------------------------------------------- */
/* windows                                                                */
/* ---------------------------------------------------------------------- */

std::optional<int64_t> ram_map(process *P, const ram_window &w, int64_t addr, int64_t offset,
                               std::optional<int64_t> len, std::vector<const void *> &released) {
  if (!has_ram(P)) return std::nullopt;
  offset &= ~int64_t{3};
  if (offset < 0 || offset >= w.size) return std::nullopt;
  int64_t room = w.size - offset;
  int64_t n = len ? std::min(*len, room) : room;
  if (n <= 0) return n;

  process_ram &r = *P->ram;
  int64_t base = addr & 0xFFF000;
  int64_t first = base >> 12;
  int64_t pages = std::max<int64_t>(1, (n + ram_page_size - 1) / ram_page_size);
  pages = std::min(pages, ram_page_count - first);  // the space ends at page 4095
  bool whole_pages_only = base < int64_t{ram_system_pages} * ram_page_size;
  int slot = claim_slot(r, w);
  for (int64_t i = 0; i < pages; i++) {
    int64_t left = n - i * ram_page_size;
    if (whole_pages_only && left < ram_page_size) break;
    auto p = static_cast<uint32_t>(first + i);
    if (r.page_window[p] != slot + 1) {
      drop_window_page(r, p, released);
      r.page_window[p] = static_cast<uint16_t>(slot + 1);
      r.windows[static_cast<size_t>(slot)].pages++;
    }
    r.page_map[p] = w.elements + offset + i * ram_page_size;
    r.mapped_len[p] = static_cast<int32_t>(std::clamp<int64_t>(left, 0, ram_page_size));
    r.mapped_pages[p >> 6] |= page_bit(p);
    mark_written(r, p);
  }
  return n;
}

bool ram_unmap(process *P, const ram_window &w, int64_t addr, int64_t len,
               std::vector<const void *> &released) {
  if (!has_ram(P)) return true;
  process_ram &r = *P->ram;
  int slot = find_slot(r, w.owner);
  if (slot < 0) return true;
  len = std::min(len, w.size);
  uint64_t first = static_cast<uint64_t>(addr) >> 12;
  int64_t last =
      addr < 0 ? ram_page_count - 1 : saturating_add(saturating_add(addr, len), -1) >> 12;
  const auto base = reinterpret_cast<uintptr_t>(r.windows[static_cast<size_t>(slot)].elements);
  bool none_stayed = true;
  for (uint32_t g = 0; g < ram_page_count / 64; g++) {
    for (uint64_t bits = r.mapped_pages[g]; bits; bits &= bits - 1) {
      uint32_t p = g * 64 + static_cast<uint32_t>(std::countr_zero(bits));
      if (r.page_window[p] != slot + 1) continue;
      auto at = static_cast<int64_t>(reinterpret_cast<uintptr_t>(r.page_map[p]) - base);
      if (at >= len) continue;
      if ((addr >= 0 && p < first) || p > last) {
        none_stayed = false;
        continue;
      }
      drop_window_page(r, p, released);
      r.page_map[p] = r.own_page[p];
      r.mapped_len[p] = 0;
      mark_written(r, p);
    }
  }
  return none_stayed;
}

void ram_block_freed(process *P, const void *block, size_t size) {
  if (!has_ram(P)) return;
  process_ram &r = *P->ram;
  if (r.windows.empty() && !r.current_map) return;
  const auto lo = reinterpret_cast<uintptr_t>(block);
  auto inside = [&](const void *p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return a >= lo && a - lo < size;
  };
  if (r.current_map && inside(r.current_map)) r.current_map = nullptr;
  // Most blocks freed hold no window: only then is the list copied.
  auto holds_window = [&](const ram_window_slot &s) { return s.pages > 0 && inside(s.elements); };
  if (std::none_of(r.windows.begin(), r.windows.end(), holds_window)) return;
  std::vector<const void *> released;
  const std::vector<ram_window_slot> slots = r.windows;  // unmapping frees slots
  for (const ram_window_slot &s : slots)
    if (holds_window(s)) ram_unmap(P, {s.owner, s.elements, INT64_MAX}, -1, INT64_MAX, released);
}

int64_t ram_window_walk(const process *P) {
  if (!has_ram(P)) return 0;
  // Every mapped page is counted by the one slot it points into.
  int64_t pages = 0;
  for (const ram_window_slot &s : P->ram->windows) pages += s.pages;
  return pages + static_cast<int64_t>(P->ram->windows.size());
}

int32_t ram_window_pages(const process *P, const void *owner) {
  if (!has_ram(P)) return 0;
  int slot = find_slot(*P->ram, owner);
  return slot < 0 ? 0 : P->ram->windows[static_cast<size_t>(slot)].pages;
}
