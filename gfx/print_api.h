// Script-API functions of text printing.
#pragma once

#include "lua.hpp"

int lua54__print_m7scii(lua_State *L);
int lua54__printh(lua_State *L);
