// Script-API functions of the delta format.
#pragma once

#include "lua.hpp"

int lua54_create_diff(lua_State *L);  // create_delta
int lua54_apply_diff(lua_State *L);   // apply_delta
