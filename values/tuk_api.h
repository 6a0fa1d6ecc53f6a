// Script API of the tuk text form: tuk / _tuk and untuk.
#pragma once

#include "lua.hpp"

int lua54_stringify(lua_State *L);
int lua54_destringify(lua_State *L);
