// Script API of userdata: the globals userdata, vec, get and set, and the core
// methods of the USERDATA table (the script-API registry builds the table).
#pragma once

#include <cstdint>

#include "lua.hpp"

// Beyond their elements: what get, set, attribs, mutate and sort cost to read
// their arguments and reach the record (pushing a type name, parsing one).
constexpr int64_t userdata_call_cycles = 6;
// width and height: a method call that reads one field still costs a look-up
// of the method and of the record beyond the instructions around it.
constexpr int64_t shape_call_cycles = 1;
// Values moved between the Lua stack and the elements, each converted and
// each a stack slot, this many a cycle: what vec, set and get pay for them
// (get beyond its n / 2).
constexpr int64_t moved_values_per_cycle = 4;
// What tostring(ud) pays a number it writes in the "%.14g" form: a digit
// search and its rounding, well beyond the cycles of the call around it.
constexpr int64_t tostring_number_cycles = 20;

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
