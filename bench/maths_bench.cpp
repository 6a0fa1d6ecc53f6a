// What a call of the system's maths functions costs from Lua code in a process
// state, side by side with the standard library's: flr against math.floor, rnd
// against math.random, sin against math.sin (and an empty loop as the floor
// under all of them). Each pair runs the same loop; only the callee differs.
#include <benchmark/benchmark.h>

#include <string>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"

namespace {

constexpr int calls_per_run = 1000;

// A process with the real registry, holding `loop` as a global function of n.
process *make_process(const std::string &call) {
  processes_init();
  app = app_record{};
  config.headless = 1;
  process *P = create_process_from_code("", "bench", "/apps/bench.lua");
  if (!P) return nullptr;
  cproc = P;
  std::string code =
      "local x, a = 2.5, 0.1 function loop(n) for i = 1, n do local y = " + call + " end end";
  if (luaL_dostring(P->lua_state, code.c_str()) != LUA_OK) return nullptr;
  return P;
}

void BM_Call(benchmark::State &state, const char *call) {
  process *P = make_process(call);
  if (!P) {
    state.SkipWithError("could not set up the process");
    return;
  }
  lua_State *L = P->lua_state;
  for (auto _ : state) {
    cpu_cycles = 0;  // the count is the kernel's; keep it far from its ceiling
    lua_getglobal(L, "loop");
    lua_pushinteger(L, calls_per_run);
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      break;
    }
  }
  // Seconds per call (printed with an SI prefix: "n" is nanoseconds).
  state.counters["per_call"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * calls_per_run,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  cproc = nullptr;
  processes_init();
}

BENCHMARK_CAPTURE(BM_Call, empty_loop, "x");
BENCHMARK_CAPTURE(BM_Call, flr, "flr(x)");
BENCHMARK_CAPTURE(BM_Call, math_floor, "math.floor(x)");
BENCHMARK_CAPTURE(BM_Call, rnd, "rnd()");
BENCHMARK_CAPTURE(BM_Call, math_random, "math.random()");
// Not a quarter turn, which sin answers without computing.
BENCHMARK_CAPTURE(BM_Call, sin, "sin(a)");
BENCHMARK_CAPTURE(BM_Call, math_sin, "math.sin(a)");

}  // namespace

BENCHMARK_MAIN();
