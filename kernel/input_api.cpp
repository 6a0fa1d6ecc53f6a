// Script-API functions of the buttons: thin readers of arguments over
// kernel/input.h.
#include "kernel/input_api.h"

#include <algorithm>

#include "kernel/accounting.h"
#include "kernel/input.h"
#include "kernel/maths.h"
#include "kernel/process.h"
#include "platform/controllers.h"

namespace {

// An active update copies and sifts all 128 values and asks the host for
// every player: this much, and more for each player read from a controller.
constexpr int64_t button_update_cycles = 64;
constexpr int64_t controller_read_cycles = 48;

}  // namespace

int lua54_btn(lua_State *L) {
  if (!cproc) return 0;
  int given = lua_gettop(L);  // btn() asks for the mask: no argument is read
  int64_t b = given >= 1 ? kvt_intp(L, 1, -1) : -1, p = given >= 2 ? kvt_intp(L, 2, 0) : 0;
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
  bool active = lua_toboolean(L, 1);
  if (active)
    spend_cpu(button_update_cycles +
              controller_read_cycles * std::min(metacon_count(), button_players));
  update_buttons(cproc, active);
  return 0;
}
