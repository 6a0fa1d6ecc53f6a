// Host time against charged cycles of the synthesiser's script calls: note,
// sfx and music (with and without RAM pages for the mirror to take), stat's
// audio queries, an owner change back and forth between two processes, and
// the end-of-frame mirror refresh after the owner wrote its RAM. Each runs in
// the sandboxed world of fuzz/hostile_api.h. The counter ns_per_cycle is the
// host time one charged cycle buys; the aim is 8 or less.
#include <benchmark/benchmark.h>

#include <chrono>
#include <climits>
#include <string>

#include "bench/charge_timer.h"
#include "fuzz/hostile_api.h"
#include "mudo/mixer.h"
#include "mudo/mudo.h"

namespace {

process *fresh_world() {
  hostile_api::init_sandbox();
  hostile_api::reset_world();
  process *P = create_process_from_code("", "[bench]", "/apps/bench.lua");
  cproc = root_process = P;
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
  return P;
}

// Runs `code` in P's state and leaves its one result (a function) on the stack.
bool load_function(benchmark::State &state, process *P, const std::string &code) {
  cproc = P;
  lua_State *L = P->lua_state;
  if (luaL_loadstring(L, code.c_str()) == LUA_OK && lua_pcall(L, 0, 1, 0) == LUA_OK) return true;
  state.SkipWithError(lua_tostring(L, -1));
  return false;
}

void end_world() {
  cpu_cycles = cpu_cycles_max = 0;
  hostile_api::reset_world();
}

// setup, then a loop of 100 calls as a script would make them, by the caller
// that became the audio owner, after the mixer has mixed its largest block
// (what stat(465) copies). cycles_per_call counts a loop.
void audio_call(benchmark::State &state, const char *setup, const char *call) {
  process *P = fresh_world();
  if (!P) return state.SkipWithError("no process");
  if (!load_function(state, P, std::string(setup) + "\nreturn function() for i = 1, 100 do " +
                                   call + " end end"))
    return;
  static int16_t stream[2 * mudo_max_mix_frames];
  mudo_mix(stream, mudo_max_mix_frames);
  int fn = lua_gettop(P->lua_state);
  time_charged_calls(state, P->lua_state, fn, fn);
  end_world();
}

constexpr const char *owner = "note(60)";
constexpr const char *page_per_poke = "for a = 0x10000, 0xffffff, 4096 do poke(a, 1) end";

// Two processes play in turn, so every call changes the audio owner. Arg:
// whether the second has touched its whole RAM (every page to copy) or is
// fresh (the pages every process has).
void bm_owner_ping_pong(benchmark::State &state) {
  process *P = fresh_world();
  process *Q = create_process_from_code("", "[other]", "/apps/other.lua");
  if (!P || !Q) return state.SkipWithError("no process");
  const char *q_setup = state.range(0) ? "memset(0, 0, 0x1000000)" : "";
  if (!load_function(state, P, "return function() note(60) end") ||
      !load_function(state, Q, std::string(q_setup) + " return function() note(60) end"))
    return;
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    for (process *X : {P, Q}) {
      cproc = X;
      lua_State *L = X->lua_state;
      lua_pushvalue(L, -1);
      cpu_cycles = 0;
      auto start = std::chrono::steady_clock::now();
      int status = lua_pcall(L, 0, 0, 0);
      ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
      cycles += static_cast<uint32_t>(cpu_cycles);
      if (status != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    }
  }
  state.counters["cycles_per_call"] =
      benchmark::Counter(static_cast<double>(cycles) / 2, benchmark::Counter::kAvgIterations);
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / static_cast<double>(cycles) : 0;
  end_world();
}
BENCHMARK(bm_owner_ping_pong)->ArgName("touched")->Arg(0)->Arg(1);

// The owner writes its RAM by `code` each frame; the frame's end then brings
// the mirror up to date. Charged: the script's cycles and what the refresh
// left the owner to repay (its cycle debt).
void frame_end_refresh(benchmark::State &state, const char *code) {
  process *P = fresh_world();
  if (!P) return state.SkipWithError("no process");
  if (!load_function(state, P, std::string(owner) + " return function() " + code + " end")) return;
  lua_State *L = P->lua_state;
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    cproc = P;
    lua_pushvalue(L, -1);
    cpu_cycles = 0;
    P->cycle_debt = 0;
    auto start = std::chrono::steady_clock::now();
    int status = lua_pcall(L, 0, 0, 0);
    cproc = nullptr;
    update_processes_after_frame();
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    cycles += static_cast<uint32_t>(cpu_cycles) + P->cycle_debt;
    if (status != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
  }
  state.counters["cycles_per_frame"] =
      benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kAvgIterations);
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / static_cast<double>(cycles) : 0;
  end_world();
}

}  // namespace

// Controls measured in the same run: the interpreter alone, and a stat query
// that is no audio query.
BENCHMARK_CAPTURE(audio_call, control_empty_loop, "", "");
BENCHMARK_CAPTURE(audio_call, control_stat_other, owner, "stat(307)");

BENCHMARK_CAPTURE(audio_call, note, owner, "note(60)");
BENCHMARK_CAPTURE(audio_call, note_silence_all, owner, "note()");
BENCHMARK_CAPTURE(audio_call, sfx, owner, "sfx(0)");
BENCHMARK_CAPTURE(audio_call, sfx_release_all, owner, "sfx(-1)");
BENCHMARK_CAPTURE(audio_call, music, owner, "music(0)");
BENCHMARK_CAPTURE(audio_call, note_after_one_poke, owner, "poke(0x100000, i) note(60)");

BENCHMARK_CAPTURE(audio_call, note_after_page_per_poke, owner,
                  "for a = 0x10000, 0xffffff, 4096 do poke(a, i) end note(60)");
BENCHMARK_CAPTURE(audio_call, note_after_memset_16mb, owner, "memset(0, i, 0x1000000) note(60)");

BENCHMARK_CAPTURE(audio_call, stat_channel_field, owner, "stat(400, 4)");
BENCHMARK_CAPTURE(audio_call, stat_channel_block, owner, "stat(400, 19, 0x80000)");
BENCHMARK_CAPTURE(audio_call, stat_node_buffer, owner, "stat(400, 27, 0x80000)");
BENCHMARK_CAPTURE(audio_call, stat_unknown_field, owner, "stat(400, 99)");
BENCHMARK_CAPTURE(audio_call, stat_active_mask, owner, "stat(464)");
BENCHMARK_CAPTURE(audio_call, stat_last_output, owner, "stat(465, 0, 0x80000)");
// Control byte bit 3: the mix leaves no last output to copy.
BENCHMARK_CAPTURE(audio_call, stat_last_output_empty, "poke(0x547f, 8) note(60)",
                  "stat(465, 0, 0x80000)");
BENCHMARK_CAPTURE(audio_call, stat_music_state, owner, "stat(466)");

BENCHMARK_CAPTURE(frame_end_refresh, one_poke, "poke(0x100000, 1)");
BENCHMARK_CAPTURE(frame_end_refresh, page_per_poke, page_per_poke);
BENCHMARK_CAPTURE(frame_end_refresh, memset_16mb, "memset(0, 0, 0x1000000)");

BENCHMARK_MAIN();
