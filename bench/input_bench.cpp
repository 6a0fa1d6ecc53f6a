// The event pump: 1,000 queued host events (wheel moves and typed text) made
// into event messages for the display process, per event, beside a script's
// send_message of the same text to the same queue (target: pumping no dearer
// than sending). Then the button functions' cost against their charge.
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kernel/accounting.h"
#include "kernel/input.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"

namespace {

constexpr int events_per_frame = 1000;

// Three processes, the third the display process; SDL's event queue alone.
struct input_world {
  process *display = nullptr;
  bool ok = false;
  input_world() {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    config.headless = 1;
    if (SDL_InitSubSystem(SDL_INIT_EVENTS) != 0 || !processes_init()) return;
    for (const char *name : {"[root]", "idle", "display"})
      if (!create_process_from_code("", name, name)) return;
    display = get_process(3);
    set_current_process(get_process(1));
    ok = display != nullptr;
  }
  ~input_world() {
    processes_init();
    SDL_Quit();
  }
  void empty_queue() const { bclear(display->message_queue.get()); }
};

input_world &world() {
  static input_world w;
  return w;
}

void push_events(SDL_EventType type) {
  SDL_Event e{};
  e.type = type;
  if (type == SDL_MOUSEWHEEL) {
    e.wheel.x = 1;
    e.wheel.y = -1;
  } else {
    strcpy(e.text.text, "hello");
  }
  for (int i = 0; i < events_per_frame; i++) SDL_PushEvent(&e);
}

void bm_pump(benchmark::State &state, SDL_EventType type) {
  input_world &w = world();
  if (!w.ok) {
    state.SkipWithError("no event queue or processes");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    w.empty_queue();
    push_events(type);
    state.ResumeTiming();
    pump_host_events();
  }
  if (count_process_messages(w.display) != events_per_frame) state.SkipWithError("lost events");
  state.SetItemsProcessed(state.iterations() * events_per_frame);
}

// The same texts from a script: one table sent again and again (send_message
// adds _from, _sent_t and _flags to it).
void bm_send(benchmark::State &state, const char *table) {
  input_world &w = world();
  if (!w.ok) {
    state.SkipWithError("no processes");
    return;
  }
  lua_State *L = get_process(1)->lua_state;
  std::string code = "local m = " + std::string(table) + " return function() for i = 1, " +
                     std::to_string(events_per_frame) + " do send_message(3, m) end end";
  if (luaL_dostring(L, code.c_str()) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    return;
  }
  cpu_cycles_max = INT_MAX;
  for (auto _ : state) {
    state.PauseTiming();
    w.empty_queue();
    cpu_cycles = 0;
    lua_pushvalue(L, -1);
    state.ResumeTiming();
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      break;
    }
  }
  lua_settop(L, 0);
  if (count_process_messages(w.display) != events_per_frame) state.SkipWithError("lost messages");
  state.SetItemsProcessed(state.iterations() * events_per_frame);
}

void bm_pump_wheel_events(benchmark::State &state) { bm_pump(state, SDL_MOUSEWHEEL); }
void bm_send_message_wheel_text(benchmark::State &state) {
  bm_send(state, "{event=\"mousewheel\",wheel_x=1,wheel_y=-1}");
}
void bm_pump_text_events(benchmark::State &state) { bm_pump(state, SDL_TEXTINPUT); }
void bm_send_message_text_text(benchmark::State &state) {
  bm_send(state, "{event=\"textinput\",text=\"hello\"}");
}

// The button functions in a script loop: charged cycles per call and host time
// per charged cycle, the interpreter's own count included (aim: 10 ns or less).
void bm_buttons(benchmark::State &state, const char *call) {
  input_world &w = world();
  if (!w.ok) {
    state.SkipWithError("no processes");
    return;
  }
  lua_State *L = get_process(1)->lua_state;
  std::string code = "return function() for i = 1, 1000 do " + std::string(call) + " end end";
  if (luaL_dostring(L, code.c_str()) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    return;
  }
  cpu_cycles_max = INT_MAX;
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    cpu_cycles = 0;
    lua_pushvalue(L, -1);
    auto start = std::chrono::steady_clock::now();
    int status = lua_pcall(L, 0, 0, 0);
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (status != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      break;
    }
    cycles += cpu_cycles;
  }
  lua_settop(L, 0);
  state.SetItemsProcessed(state.iterations() * 1000);
  state.counters["cycles_per_call"] =
      benchmark::Counter(double(cycles) / 1000, benchmark::Counter::kAvgIterations);
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / double(cycles) : 0;
}

BENCHMARK_CAPTURE(bm_buttons, update_buttons, "_update_buttons(true)");
BENCHMARK_CAPTURE(bm_buttons, btn_mask, "btn()");
BENCHMARK_CAPTURE(bm_buttons, btnp_one, "btnp(4)");
BENCHMARK_CAPTURE(bm_buttons, empty_loop, "");

BENCHMARK(bm_pump_wheel_events);
BENCHMARK(bm_send_message_wheel_text);
BENCHMARK(bm_pump_text_events);
BENCHMARK(bm_send_message_text_text);

}  // namespace

BENCHMARK_MAIN();
