// The video output: making one frame (both look-up paths) against copying its 518,400 output bytes
// (goal: 40 us a frame or less), and a headless scene drawn and shown frame
// after frame, in frames per second of CPU time.
//
// Counters: ref_us is the copy's time on this machine (the best of
// 25 batches), x_ref a frame's CPU time over it, us_frame the CPU time a frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "gfx/draw_state.h"
#include "gfx/video_output.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "lua.hpp"

namespace {

double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// memcpy of one frame's output words in us, the best of 25 batches.
double memcpy_frame_us() {
  static double best = [] {
    std::vector<uint32_t> from(video_out_width * video_out_height, 0x12345678), to(from.size());
    double b = 1e300;
    for (int batch = 0; batch < 25; batch++) {
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < 10; i++) {
        memcpy(to.data(), from.data(), from.size() * sizeof(uint32_t));
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
      }
      b = std::min(b, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / 10);
    }
    return b;
  }();
  return best;
}

void frame_counters(benchmark::State &state, double loop_ns, bool against_copy) {
  if (state.iterations() == 0) return;
  double us = loop_ns / 1e3 / double(state.iterations());
  state.counters["us_frame"] = us;
  state.counters["frames_per_s"] = 1e6 / us;
  if (!against_copy) return;
  state.counters["ref_us"] = memcpy_frame_us();
  state.counters["x_ref"] = us / memcpy_frame_us();
}

// A process with random palettes, selectors and video memory in every page.
struct scene {
  process P;
  explicit scene(int mode) {
    ram_init(&P);
    std::mt19937 rng(7);
    for (int a = video_palette_address; a < video_palette_address + 0x500; a++)
      poke_proc(&P, a, static_cast<int>(rng() & 0xFF));
    for (int i = 0; i < video_out_width * video_out_height; i++)
      poke_proc(&P, video_memory_address + i, static_cast<int>(rng() & 0xFF));
    poke_proc(&P, video_mode_address, mode);
    poke_proc(&P, video_flags_address, 0);
  }
};

// Arg 0: the video mode; arg 1: 1 for the sixteen-pixel permutes (skipped where
// the processor has none), 0 for the portable two-pixel look-up.
void BM_VideoFrame(benchmark::State &state) {
  scene s(static_cast<int>(state.range(0)));
  bool wide = state.range(1) != 0;
  if (use_wide_video_lookups(wide) != wide) {
    state.SkipWithError("no 512-bit permutes on this processor");
    use_wide_video_lookups(true);
    return;
  }
  double t0 = cpu_ns();
  for (auto _ : state) benchmark::DoNotOptimize(make_video_frame(&s.P));
  frame_counters(state, cpu_ns() - t0, true);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof back_page));
  use_wide_video_lookups(true);
}
BENCHMARK(BM_VideoFrame)->ArgsProduct({{0, 3, 4}, {1, 0}});

// The physical reference: a copy of the frame's output bytes.
void BM_MemcpyFrame(benchmark::State &state) {
  std::vector<uint32_t> from(video_out_width * video_out_height, 0x12345678), to(from.size());
  for (auto _ : state) {
    memcpy(to.data(), from.data(), from.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(from.size() * sizeof(uint32_t)));
}
BENCHMARK(BM_MemcpyFrame);

// A script's frame as the display process makes it with no window: cls, 200
// shapes (rectfill, circfill, line, oval, rect in turn) into a 480 x 270 target
// mapped at video memory, then the video output. Arg 0: target mask 0 (the fast
// spans); arg 1: target mask 0x3F (the pixel rule at every pixel).
constexpr const char *scene_script = R"(
  T = userdata('u8', 480, 270)
  _map_ram(T, 0x10000)
  _set_draw_target(T)
  function frame(t)
    cls(1)
    for i = 0, 199 do
      local x, y, k, c = (i * 37 + t) % 480, (i * 53) % 270, i % 5, 2 + i % 30
      if k == 0 then rectfill(x, y, x + 24, y + 16, c)
      elseif k == 1 then circfill(x, y, 12, c)
      elseif k == 2 then line(x, y, x + 40, y + 25, c)
      elseif k == 3 then oval(x, y, x + 30, y + 18, c)
      else rect(x, y, x + 20, y + 20, c) end
    end
  end
)";

void BM_HeadlessScene(benchmark::State &state) {
  init_default_coltabs();
  processes_init();
  app = app_record{};
  config.headless = 1;
  process *P = create_process_from_code("", "[scene]", "[scene]");
  if (!P) {
    state.SkipWithError("no process");
    return;
  }
  root_process = cproc = P;
  lua_State *L = P->lua_state;
  std::string setup = std::string(scene_script) + "pal() poke(0x5508, 0x3f, 0xff, 0x3f, " +
                      (state.range(0) ? "0x3f" : "0") + ")";
  if (luaL_dostring(L, setup.c_str()) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    return;
  }
  for (int i = 0; i < 64; i++) poke4(video_palette_address + 4 * i, static_cast<int>(system_palette[i]));
  int64_t t = 0;
  double t0 = cpu_ns();
  for (auto _ : state) {
    lua_getglobal(L, "frame");
    lua_pushinteger(L, t++);
    lua_call(L, 1, 0);
    cpu_cycles = 0;
    benchmark::DoNotOptimize(make_video_frame(P));
  }
  frame_counters(state, cpu_ns() - t0, false);
  cproc = root_process = nullptr;
  processes_init();
}
BENCHMARK(BM_HeadlessScene)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
