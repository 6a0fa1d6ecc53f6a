// Runs chunks on the unchanged Lua 5.4.2 release, which lua_pristine builds into
// namespace pristine_lua next to our own core, for the interpreter benchmark.
#pragma once

#include <string>

struct pristine_state;

// A state with the standard libraries.
pristine_state *pristine_open();
void pristine_close(pristine_state *S);
// Runs the chunk `code` and keeps the function it returns; false with the
// message in `error`.
bool pristine_prepare(pristine_state *S, const char *code, std::string *error);
// Calls the kept function once; its first result as a string, or the error.
bool pristine_call(pristine_state *S, std::string *result);
