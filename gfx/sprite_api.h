// Script-API functions of sprites, blits, maps and textured lines, and the
// sprite slots and cross-process video blit of the process functions.
#pragma once

#include "lua.hpp"

int lua54_spr(lua_State *L);
int lua54_sspr(lua_State *L);
int lua54_tline3d(lua_State *L);
int lua54_blit(lua_State *L);  // also USERDATA's blit
int lua54__draw_map(lua_State *L);
int lua54__set_spr(lua_State *L);
int lua54__blit_process_video(lua_State *L);
