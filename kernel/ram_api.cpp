// Script-API functions of the paged process RAM: thin readers of arguments
// over kernel/ram.h, and the anchors that keep mapped userdata alive.
#include "kernel/ram_api.h"

#include <algorithm>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "values/userdata.h"

namespace {

constexpr int64_t peek_count_max = 0x10000;
constexpr int poke_count_max = 65536;
// An unmap pays for the walk of the map's mapped-page bits (64 words), the
// list of windows it lets go and their anchors' drop.
constexpr int64_t unmap_cycles = 16 + anchor_cycles;
// A map pays for its anchor and each page it sets; both pay for the window
// slots and mapped pages they look through, this many a cycle.
constexpr int64_t map_cycles = 16;
constexpr int64_t window_walk_per_cycle = 8;
constexpr int64_t current_map_address = 0x100000;

// Anchor tables (by their keys' addresses): mapped userdata by record, and
// the current map by the page map that holds it.
const char window_anchors = 0;
const char current_map_anchor = 0;

// The address `step` bytes after addr, as the byte functions take it: only the
// low 24 bits count, so the low 32 are enough.
int ram_address(int64_t addr, int64_t step) {
  uint64_t a = static_cast<uint64_t>(addr) + static_cast<uint64_t>(step);
  return static_cast<int>(static_cast<uint32_t>(a));
}

void release_windows(lua_State *L, const std::vector<const void *> &owners) {
  for (const void *owner : owners) drop_userdata_anchor(L, &window_anchors, owner);
}

// The page map keeps the current map's record; its anchor goes before the
// pointer is kept, and comes off after it is gone.
void set_current_map(lua_State *L, process_ram &r, int index, userdata *ud) {
  if (index) {
    anchor_userdata(L, &current_map_anchor, &r, index);
    r.current_map = ud;
  } else {
    r.current_map = nullptr;
    drop_userdata_anchor(L, &current_map_anchor, &r);
  }
}

ram_window window_of(userdata *ud) { return {ud, ud_elements(ud), ud_data_bytes(ud)}; }

bool has_ram() { return cproc && cproc->ram; }

// peek2, peek4 and peek8: n values of `bytes` bytes from addr on, each signed.
int push_peeks(lua_State *L, int64_t addr, int bytes) {
  int64_t n = kvt_intp(L, 2, 1);
  if (n < 1 || n > peek_count_max || !lua_checkstack(L, static_cast<int>(n))) return 0;
  for (int64_t i = 0; i < n; i++) {
    int a = ram_address(addr, i * bytes);
    switch (bytes) {
      case 2: lua_pushinteger(L, peek2(a)); break;
      case 4: lua_pushinteger(L, peek4(a)); break;
      default: lua_pushinteger(L, peek8(a)); break;
    }
  }
  if (n > 1) spend_cpu_or_stop(L, n - 1);
  return static_cast<int>(n);
}

// The values after the address, stored `bytes` bytes apart.
template <typename Read, typename Store>
int store_pokes(lua_State *L, int64_t addr, int bytes, Read read, Store store) {
  int count = lua_gettop(L) - 1;
  if (count < 1 || count > poke_count_max) return 0;
  for (int k = 0; k < count; k++) store(ram_address(addr, int64_t{k} * bytes), read(L, k + 2));
  if (count > 1) spend_cpu_or_stop(L, count - 1);
  return 0;
}

int64_t integer_value(lua_State *L, int index) {
  int is_integer = 0;
  lua_Integer v = lua_tointegerx(L, index, &is_integer);
  return is_integer ? v : 0;
}

int64_t intp_value(lua_State *L, int index) { return kvt_intp(L, index, 0); }

}  // namespace

void anchor_userdata(lua_State *L, const void *holder, const void *ptr, int index) {
  index = lua_absindex(L, index);
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, holder) != LUA_TTABLE) {
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, holder);
  }
  lua_pushvalue(L, index);
  lua_rawsetp(L, -2, ptr);
  lua_pop(L, 1);
}

void drop_userdata_anchor(lua_State *L, const void *holder, const void *ptr) {
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, holder) == LUA_TTABLE) {
    lua_pushnil(L);
    lua_rawsetp(L, -2, ptr);
  }
  lua_pop(L, 1);
}

int lua54_peek(lua_State *L) {
  int64_t addr = kvt_truncp(L, 1, 0);
  int64_t n = kvt_intp(L, 2, 1);
  if (n < 1 || n > peek_count_max || !lua_checkstack(L, static_cast<int>(n))) return 0;
  for (int64_t i = 0; i < n; i++) lua_pushinteger(L, peek(ram_address(addr, i)));
  spend_cpu_or_stop(L, n - 1);
  return static_cast<int>(n);
}

int lua54_peek2(lua_State *L) { return push_peeks(L, kvt_truncp(L, 1, 0), 2); }
int lua54_peek4(lua_State *L) { return push_peeks(L, kvt_intp(L, 1, 0), 4); }
// A 64-bit read measures well above the narrower ones on the host, call for call.
constexpr int peek8_cycles = 2;

int lua54_peek8(lua_State *L) {
  spend_cpu(peek8_cycles);
  return push_peeks(L, kvt_intp(L, 1, 0), 8);
}

int lua54_poke(lua_State *L) {
  return store_pokes(L, kvt_truncp(L, 1, 0), 1, intp_value,
                     [](int a, int64_t v) { poke(a, static_cast<int>(v & 0xFF)); });
}

int lua54_poke2(lua_State *L) {
  return store_pokes(L, kvt_intp(L, 1, 0), 2, intp_value,
                     [](int a, int64_t v) { poke2(a, static_cast<int>(v & 0xFFFF)); });
}

int lua54_poke4(lua_State *L) {
  return store_pokes(L, kvt_intp(L, 1, 0), 4, integer_value, [](int a, int64_t v) {
    poke4(a, static_cast<int>(static_cast<uint32_t>(v)));
  });
}

int lua54_poke8(lua_State *L) {
  return store_pokes(L, kvt_intp(L, 1, 0), 8, integer_value,
                     [](int a, int64_t v) { poke8(a, v); });
}

int lua54__ppeek(lua_State *L) {
  process *P = get_process(integer_value(L, 1));
  if (!P) return 0;
  lua_pushinteger(L, ppeek_proc(P, ram_address(kvt_truncp(L, 2, 0), 0)));
  return 1;
}

int lua54__ppeek4(lua_State *L) {
  process *P = get_process(integer_value(L, 1));
  if (!P) return 0;
  lua_pushinteger(L, ppeek4_proc(P, ram_address(kvt_truncp(L, 2, 0), 0)));
  return 1;
}

int lua54_memcpy(lua_State *L) {
  int64_t len = kvt_truncp(L, 3, 0);
  if (len < 0) return 0;
  len = std::min(len, ram_space_size);
  spend_cpu_or_stop(L, kvt_memcpy(kvt_truncp(L, 1, 0), kvt_truncp(L, 2, 0), len));
  return 0;
}

int lua54_memset(lua_State *L) {
  int64_t len = kvt_truncp(L, 3, 0);
  if (len < 0) return 0;
  len = std::min(len, ram_space_size);
  int value = static_cast<int>(kvt_truncp(L, 2, 0) & 0xFF);
  spend_cpu_or_stop(L, kvt_memset(kvt_truncp(L, 1, 0), value, len));
  return 0;
}

int lua54__map_ram(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud || !has_ram()) return 0;
  process_ram &r = *cproc->ram;
  int64_t addr = kvt_truncp(L, 2, 0);
  uint8_t type = ud->utype & utype_mask;
  if (addr == current_map_address) set_current_map(L, r, type == utype_i16 ? 1 : 0, ud);
  if (type == utype_f64) return 0;
  std::optional<int64_t> len;
  if (lua_type(L, 4) == LUA_TNUMBER) len = kvt_truncp(L, 4, 0);

  spend_cpu_or_stop(L, map_cycles + ram_window_walk(cproc) / window_walk_per_cycle);
  anchor_userdata(L, &window_anchors, ud, 1);
  std::vector<const void *> released;
  std::optional<int64_t> n =
      ram_map(cproc, window_of(ud), addr, kvt_truncp(L, 3, 0), len, released);
  if (ram_window_pages(cproc, ud) == 0) released.push_back(ud);  // nothing of it was mapped
  release_windows(L, released);
  if (!n) return 0;
  if (*n > 0) spend_cpu(std::min<int64_t>(*n, ram_space_size) / ram_page_size);
  lua_pushinteger(L, *n);
  return 1;
}

int lua54__unmap_ram(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud || !has_ram()) return 0;
  ram_window w = window_of(ud);
  int64_t addr = kvt_intp(L, 2, -1);
  int64_t len = kvt_intp(L, 3, w.size);
  spend_cpu_or_stop(L, unmap_cycles + ram_window_walk(cproc) / window_walk_per_cycle);
  std::vector<const void *> released;
  bool none_stayed = ram_unmap(cproc, w, addr, len, released);
  release_windows(L, released);
  lua_pushboolean(L, none_stayed);
  return 1;
}
