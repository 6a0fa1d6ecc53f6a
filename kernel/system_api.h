// Script-API functions of the system's spine.
#pragma once

#include "lua.hpp"

int lua54__apply_system_settings(lua_State *L);
