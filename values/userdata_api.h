// Script API of userdata: the globals userdata, vec, get and set, and the
// USERDATA table (method table and metatable of every userdata).
#pragma once

#include "lua.hpp"

int lua54_userdata(lua_State *L);
int lua54_vec(lua_State *L);
int lua54_get(lua_State *L);
int lua54_set(lua_State *L);

int lua54_ud_sort(lua_State *L);
int lua54_ud_convert(lua_State *L);
int lua54_ud_clear(lua_State *L);
int lua54_ud_len(lua_State *L);
int lua54_ud_tostring(lua_State *L);
int lua54_ud_index(lua_State *L);
int lua54_ud_newindex(lua_State *L);
int lua54_ud_peek(lua_State *L);
int lua54_ud_poke(lua_State *L);
int lua54_ud_width(lua_State *L);
int lua54_ud_height(lua_State *L);
int lua54_ud_attribs(lua_State *L);
int lua54_ud_mutate(lua_State *L);

// Builds the USERDATA table in registration order and stores it as the global
// USERDATA (raw, so no script code runs). Called for every new process state.
void add_userdata_metatable_functions(lua_State *L);
