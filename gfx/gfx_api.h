// Script-API functions of the draw state and the shape primitives.
#pragma once

#include "lua.hpp"

// Draw state
int lua54_fillp(lua_State *L);
int lua54_color(lua_State *L);
int lua54_camera(lua_State *L);
int lua54_clip(lua_State *L);
int lua54_cursor(lua_State *L);
int lua54_pal(lua_State *L);
int lua54_palt(lua_State *L);
int lua54__set_draw_target(lua_State *L);

// Shapes
int lua54_cls(lua_State *L);
int lua54_pset(lua_State *L);
int lua54_pget(lua_State *L);
int lua54_line(lua_State *L);
int lua54_rect(lua_State *L);
int lua54_rectfill(lua_State *L);
int lua54_oval(lua_State *L);
int lua54_ovalfill(lua_State *L);
int lua54_circ(lua_State *L);
int lua54_circfill(lua_State *L);
int lua54_rrect(lua_State *L);
int lua54_rrectfill(lua_State *L);
int lua54_fset(lua_State *L);
int lua54_fget(lua_State *L);
int lua54_mset(lua_State *L);
int lua54_mget(lua_State *L);
