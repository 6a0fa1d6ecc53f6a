// Script-API functions of the host layer.
#pragma once

#include "lua.hpp"

int lua54__get_host_clipboard_text(lua_State *L);
int lua54__set_host_clipboard_text(lua_State *L);
int lua54__req_host_clipboard_text(lua_State *L);
int lua54__open_host_path(lua_State *L);

// Sets the host layer's globals in a process state.
void os_add_public_c_functions(lua_State *L);
