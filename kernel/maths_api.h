// Script-API functions of maths, random, tables and strings.
#pragma once

#include "lua.hpp"

int lua54_deli(lua_State *L);
int lua54_add(lua_State *L);
int lua54_del(lua_State *L);
int lua54_count(lua_State *L);
int lua54_chr(lua_State *L);
int lua54_ord(lua_State *L);
int lua54_tokenoid(lua_State *L);
int lua54_rnd(lua_State *L);
int lua54_srand(lua_State *L);
int lua54_abs(lua_State *L);
int lua54_sgn(lua_State *L);
int lua54_max(lua_State *L);
int lua54_min(lua_State *L);
int lua54_mid(lua_State *L);
int lua54_sqrt(lua_State *L);
int lua54_cos(lua_State *L);
int lua54_sin(lua_State *L);
int lua54_atan2(lua_State *L);
int lua54_flr(lua_State *L);
int lua54_ceil(lua_State *L);
int lua54_split(lua_State *L);
int lua54__strindex(lua_State *L);
