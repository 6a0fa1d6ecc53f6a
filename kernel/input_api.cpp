// Script-API functions of the buttons: thin readers of arguments over
// kernel/input.h.
#include "kernel/input_api.h"

#include "kernel/input.h"
#include "kernel/maths.h"
#include "kernel/process.h"

int lua54_btn(lua_State *L) {
  if (!cproc) return 0;
  int64_t b = kvt_intp(L, 1, -1), p = kvt_intp(L, 2, 0);
  if (b == -1) {
    lua_pushinteger(L, static_cast<lua_Integer>(btn_mask(cproc)));
    return 1;
  }
  int32_t v = btn_value(cproc, b, p);
  if (v)
    lua_pushinteger(L, v);
  else
    lua_pushboolean(L, 0);
  return 1;
}

int lua54_btnp(lua_State *L) {
  if (!cproc) return 0;
  int64_t b = kvt_intp(L, 1, -1), p = kvt_intp(L, 2, 0);
  if (b == -1)
    lua_pushinteger(L, static_cast<lua_Integer>(btnp_mask(cproc)));
  else
    lua_pushboolean(L, btnp_value(cproc, b, p));
  return 1;
}

int lua54__update_buttons(lua_State *L) {
  update_buttons(cproc, lua_toboolean(L, 1));
  return 0;
}
