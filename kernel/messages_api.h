// Script API of messages between processes: send_message and _read_message.
#pragma once

#include "lua.hpp"

int lua54_send_message(lua_State *L);
int lua54__read_message(lua_State *L);
