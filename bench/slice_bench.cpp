// What switching processes costs: one slice each for 200 processes that flip at
// once, against a bare lua_resume / lua_yield round trip on one coroutine.
#include <benchmark/benchmark.h>

#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

namespace {

// As the script API's flip: mark the frame done and stop at the next instruction.
int bench_flip(lua_State *) {
  cproc->flipped = 1;
  superyield();
  return 0;
}

void BM_SliceOf200FlippingProcesses(benchmark::State &state) {
  processes_init();
  app = app_record{};
  config.headless = 1;
  std::vector<process *> procs;
  for (int i = 0; i < 200; i++) {
    process *P =
        create_process_from_code("while true do flip() end", "flipper", "/apps/flipper.lua");
    if (!P) {
      state.SkipWithError("could not create the processes");
      return;
    }
    lua_register(P->lua_state, "flip", bench_flip);
    procs.push_back(P);
  }
  cproc = nullptr;
  for (auto _ : state) {
    prepare_processes_for_frame();
    for (process *P : procs) benchmark::DoNotOptimize(run_process_slice(P, 1.0 / 200));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(procs.size()));
  state.SetLabel("items = slices");
  processes_init();
}
BENCHMARK(BM_SliceOf200FlippingProcesses);

void BM_BareResumeYieldRoundTrip(benchmark::State &state) {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_State *co = lua_newthread(L);
  luaL_loadstring(co, "while true do coroutine.yield() end");
  int results = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lua_resume(co, L, 0, &results));
    lua_pop(co, results);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = round trips");
  lua_close(L);
}
BENCHMARK(BM_BareResumeYieldRoundTrip);

}  // namespace

BENCHMARK_MAIN();
