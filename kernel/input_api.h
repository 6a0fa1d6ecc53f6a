// Script-API functions of the buttons.
#pragma once

#include "lua.hpp"

int lua54_btn(lua_State *L);
int lua54_btnp(lua_State *L);
int lua54__update_buttons(lua_State *L);
