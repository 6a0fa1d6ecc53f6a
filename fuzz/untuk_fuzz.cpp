// untuk on arbitrary text; whatever parses must write and parse again.
#include <cstdint>
#include <cstdlib>

#include "kernel/buffer.h"
#include "lua.hpp"
#include "values/tuk.h"
#include "values/userdata_api.h"

static lua_State *fuzz_state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    add_userdata_metatable_functions(s);
    return s;
  }();
  return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = fuzz_state();
  lua_settop(L, 0);
  int n = destringify_object(L, reinterpret_cast<const char *>(data), size);
  if (n < 0 || n > 2 || lua_gettop(L) != n) abort();
  if (n > 0) {
    // The first result, written with every flag set and without any, reads back.
    for (int flags : {0, 0x37}) {
      buffer_owner out(create_buffer_2(64, 0));
      if (!stringify_object(L, 1, out.get(), 0, flags)) abort();
      int m = destringify_object(L, reinterpret_cast<const char *>(out->data),
                                 static_cast<size_t>(out->length));
      if (m != 1) abort();
      lua_pop(L, 1);
    }
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCSTEP, 0);
  return 0;
}
