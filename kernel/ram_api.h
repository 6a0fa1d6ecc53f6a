// Script-API functions of the paged process RAM, and the anchors that keep a
// userdata alive while the kernel holds a raw pointer into it.
#pragma once

#include <cstdint>

#include "lua.hpp"

// Keeps the value at `index` from being collected while the kernel holds
// `ptr` (a pointer into it): an entry keyed by ptr in the registry table that
// `holder` (a key's address, one per kind of holder) names. Anchor before
// keeping the pointer: this may raise a memory error. Dropping never
// allocates, and dropping what is not anchored does nothing.
void anchor_userdata(lua_State *L, const void *holder, const void *ptr, int index);
void drop_userdata_anchor(lua_State *L, const void *holder, const void *ptr);
// What an anchor or its drop costs the call that makes it: two lookups by
// pointer (the holder's table in the registry, the entry in that table).
constexpr int64_t anchor_cycles = 8;

int lua54_peek(lua_State *L);
int lua54_poke(lua_State *L);
int lua54_peek2(lua_State *L);
int lua54_poke2(lua_State *L);
int lua54_peek4(lua_State *L);
int lua54_poke4(lua_State *L);
int lua54_peek8(lua_State *L);
int lua54_poke8(lua_State *L);
int lua54__ppeek(lua_State *L);
int lua54__ppeek4(lua_State *L);
int lua54_memcpy(lua_State *L);
int lua54_memset(lua_State *L);
int lua54__map_ram(lua_State *L);
int lua54__unmap_ram(lua_State *L);
