// Script-API functions of the synthesiser (note, sfx, music) and the audio
// answers of stat.
#pragma once

#include <cstdint>

#include "lua.hpp"

struct process;

int lua54_note(lua_State *L);
int lua54_sfx(lua_State *L);
int lua54_music(lua_State *L);

// The stat numbers the synthesiser answers: 400-415 and 464-467.
constexpr bool is_audio_stat(int64_t n) { return (n >= 400 && n <= 415) || (n >= 464 && n <= 467); }

// An audio stat for process P (the current process). Only the audio owner
// gets answers (-1 otherwise); channel fields are cached per frame of P's
// time; sample copies land in P's RAM at b and charge the cycles they cost.
int64_t audio_stat(process *P, int64_t n, int64_t a, int64_t b);
