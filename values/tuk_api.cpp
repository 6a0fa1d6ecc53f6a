// Script API of the tuk text form: argument readers around values/tuk.
#include "values/tuk_api.h"

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "values/tuk.h"

int lua54_stringify(lua_State *L) {
  int flags = static_cast<int>(kvt_intp(L, 2, 0) & 0xFF);
  buffer_owner out(create_buffer_2(256, 112));
  if (!out) return 0;
  // A prefix (a metadata header) goes first, as it is.
  int t = lua_type(L, 3);
  if (t == LUA_TSTRING || t == LUA_TNUMBER) {
    size_t n;
    const char *s = lua_tolstring(L, 3, &n);
    spend_cpu_or_stop(L, static_cast<int64_t>(n / 64));
    if (!bcharge_to_current(out.get()) ||
        bwrite(s, 1, static_cast<int64_t>(n), out.get()) != static_cast<int64_t>(n))
      return 0;
  }
  // A value nested too deep (or cyclic) gives no result.
  if (!stringify_object(L, 1, out.get(), 0, flags)) return 0;
  lua_pushlstring(L, reinterpret_cast<const char *>(out->data), static_cast<size_t>(out->length));
  return 1;
}

int lua54_destringify(lua_State *L) {
  int t = lua_type(L, 1);
  if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
  size_t n;
  const char *s = lua_tolstring(L, 1, &n);
  return destringify_object(L, s, n);
}
