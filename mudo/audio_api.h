// Script-API functions of the synthesiser (note, sfx, music) and the audio
// answers of stat.
#pragma once

#include <cstdint>
#include <optional>

#include "lua.hpp"

struct process;

int lua54_note(lua_State *L);
int lua54_sfx(lua_State *L);
int lua54_music(lua_State *L);

// stat 400-415, 464-467 for process P (the current process): the value, or
// nothing for the other stat numbers. Only the audio owner gets answers (-1
// otherwise); channel fields are cached per frame of P's time; sample copies
// land in P's RAM at b and charge the cycles they cost.
std::optional<int64_t> audio_stat(process *P, int64_t n, int64_t a, int64_t b);
