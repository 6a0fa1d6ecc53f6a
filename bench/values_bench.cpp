// Typed arrays, tuk and message queues, each beside what a script would use
// otherwise: ud[i] against a Lua table, untuk against load of the same text,
// and the drain of a long queue at several lengths (it must grow linearly).
#include <benchmark/benchmark.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "kernel/accounting.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/registry.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "values/tuk.h"
#include "values/tuk_api.h"
#include "values/userdata_api.h"

namespace {

constexpr int element_count = 100000;

struct bench_state {
  lua_State *L = luaL_newstate();
  bench_state() {
    luaL_openlibs(L);
    add_userdata_metatable_functions(L);
    lua_register(L, "userdata", lua54_userdata);
    lua_register(L, "tuk", lua54_stringify);
    // No cap: the main thread cannot yield anyway.
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
  }
  ~bench_state() { lua_close(L); }
  // Loads code that returns a function, and leaves that function on the stack.
  void prepare(const char *code) {
    if (luaL_dostring(L, code) != LUA_OK) throw std::runtime_error(lua_tostring(L, -1));
  }
  void call_top() {
    lua_pushvalue(L, -1);
    cpu_cycles = 0;
    if (lua_pcall(L, 0, 1, 0) != LUA_OK) throw std::runtime_error(lua_tostring(L, -1));
    benchmark::DoNotOptimize(lua_tonumber(L, -1));
    lua_pop(L, 1);
  }
};

void run_loop(benchmark::State &state, const char *code) {
  bench_state s;
  s.prepare(code);
  for (auto _ : state) s.call_top();
  state.SetItemsProcessed(state.iterations() * element_count);
}

void bm_ud_index_read(benchmark::State &state) {
  run_loop(state, "local u = userdata('i32', 100000) for i = 0, 99999 do u[i] = i end "
                  "return function() local s = 0 "
                  "for i = 0, 99999 do s = s + u[i] end return s end");
}
BENCHMARK(bm_ud_index_read);

void bm_table_index_read(benchmark::State &state) {
  run_loop(state, "local t = {} for i = 1, 100000 do t[i] = i - 1 end "
                  "return function() local s = 0 "
                  "for i = 1, 100000 do s = s + t[i] end return s end");
}
BENCHMARK(bm_table_index_read);

void bm_ud_index_write(benchmark::State &state) {
  run_loop(state, "local u = userdata('i32', 100000) "
                  "return function() for i = 0, 99999 do u[i] = i end return u[99999] end");
}
BENCHMARK(bm_ud_index_write);

void bm_table_index_write(benchmark::State &state) {
  run_loop(state, "local t = {} for i = 1, 100000 do t[i] = 0 end "
                  "return function() for i = 1, 100000 do t[i] = i end return t[100000] end");
}
BENCHMARK(bm_table_index_write);

// A large table of the kind object files hold: records with named fields,
// strings, floats and nested lists.
std::string large_table_text(bench_state &s) {
  s.prepare("local t = {} for i = 1, 20000 do "
            "t[i] = {name = 'item ' .. i, x = i * 0.25, y = -i, tags = {'a', 'b', i % 7}, "
            "on = i % 2 == 0} end return tuk(t)");
  std::string text = lua_tostring(s.L, -1);
  lua_pop(s.L, 1);
  return text;
}

void bm_untuk_large_table(benchmark::State &state) {
  bench_state s;
  std::string text = large_table_text(s);
  for (auto _ : state) {
    cpu_cycles = 0;
    int n = destringify_object(s.L, text.data(), text.size());
    if (n != 1) state.SkipWithError("did not parse");
    lua_settop(s.L, 0);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(bm_untuk_large_table);

void bm_load_large_table(benchmark::State &state) {
  bench_state s;
  std::string code = "return " + large_table_text(s);
  for (auto _ : state) {
    cpu_cycles = 0;
    if (luaL_loadbuffer(s.L, code.data(), code.size(), "=t") != LUA_OK ||
        lua_pcall(s.L, 0, 1, 0) != LUA_OK)
      state.SkipWithError("did not load");
    lua_settop(s.L, 0);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(code.size()));
}
BENCHMARK(bm_load_large_table);

// Queues n messages (outside the timing), then reads them all.
void bm_drain_messages(benchmark::State &state) {
  config.headless = 1;
  processes_init();
  process *P = create_process_from_code("", "sink", "/sink");
  if (!P) {
    state.SkipWithError("no process");
    return;
  }
  auto n = static_cast<int>(state.range(0));
  buffer_owner into(create_buffer_2(256, 0));
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < n; i++)
      send_process_message_string(P, "{x=1,_from=2,_sent_t=1234,_flags=0}");
    state.ResumeTiming();
    int read = 0;
    while (read_process_message(P, into.get())) read++;
    if (read != n) state.SkipWithError("lost messages");
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetComplexityN(n);
  processes_init();
}
BENCHMARK(bm_drain_messages)->Arg(25000)->Arg(50000)->Arg(100000)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
