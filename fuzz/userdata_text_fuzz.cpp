// The userdata constructor with arbitrary shapes and data texts (hex,
// decimal and pixel literals): refused or filled within the block.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kernel/accounting.h"
#include "lua.hpp"
#include "values/userdata.h"

static lua_State *fuzz_state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    cpu_cycles_max = INT_MAX;  // the fill is charged: no cap here
    return s;
  }();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  lua_State *L = fuzz_state();
  lua_settop(L, 0);
  cpu_cycles = 0;
  static const char *const types[] = {"u8", "i16", "i32", "i64", "f64", "[gfx]"};
  const char *type = types[data[0] % 6];
  int dims = data[1] % 4;
  // Sizes around the limits: small, or scaled far past them.
  int64_t w = data[2] & 0x80 ? int64_t{data[2]} << (data[3] % 40) : data[2];
  int64_t h = data[4] & 0x80 ? -int64_t{data[4]} : data[4];
  std::string_view text(reinterpret_cast<const char *>(data + 5), size - 5);
  userdata *ud;
  if (type[0] == '[') {
    std::string literal = "[gfx]" + std::string(text);
    ud = create_userdata(L, literal, dims, w, h, 1);
  } else {
    ud = create_userdata(L, type, dims, w, h, 1, text);
  }
  if (ud) {
    if (lua_gettop(L) != 1 || to_userdata(L, 1) != ud) abort();
    if (ud_block_bytes(ud) < 8 || ud_block_bytes(ud) > userdata_block_max) abort();
  } else if (lua_gettop(L) != 0) {
    abort();
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCSTEP, 0);
  return 0;
}
