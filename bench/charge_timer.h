// Host time a charged cycle buys: the calls of one function, timed beside the
// cycles they charge.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "kernel/accounting.h"
#include "lua.hpp"

// Calls the function at stack slot `first` with the values of the slots after
// it up to `last` as arguments, once per iteration, and sets the counters
// cycles_per_call and ns_per_cycle. A call that fails skips the benchmark with
// its error.
inline void time_charged_calls(benchmark::State &state, lua_State *L, int first, int last) {
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    for (int i = first; i <= last; i++) lua_pushvalue(L, i);
    cpu_cycles = 0;
    auto start = std::chrono::steady_clock::now();
    int status = lua_pcall(L, last - first, 0, 0);
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    cycles += static_cast<uint32_t>(cpu_cycles);
    if (status != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    lua_settop(L, last);
  }
  state.counters["cycles_per_call"] =
      benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kAvgIterations);
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / static_cast<double>(cycles) : 0;
}
