// The script-API registry: every host function a process state receives as a
// global, and every method of the USERDATA table, each in the one order in
// which they are registered.
#pragma once

#include <span>

#include "lua.hpp"

struct api_function {
  const char *name;
  lua_CFunction func;
};

// The registration table, in order. A function registered under two names
// has two rows.
std::span<const api_function> api_functions();

// Sets every row of the table as a global of the state, in table order, each a
// host closure without upvalues. Called after the standard libraries are open.
void api_add_c_functions(lua_State *L);

// The rows of the USERDATA table, in order; the first twelve arithmetic
// methods are also its metamethods __add ... __shr.
std::span<const api_function> userdata_methods();

// Builds the USERDATA table in registration order and stores it as the global
// USERDATA (raw, so no script code runs). Called for every new process state.
void add_userdata_metatable_functions(lua_State *L);
