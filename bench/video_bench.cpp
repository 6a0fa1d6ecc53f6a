// The video output: making one frame against copying its 518,400 output bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "gfx/video_output.h"
#include "kernel/process.h"
#include "kernel/ram.h"

namespace {

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

void BM_VideoFrame(benchmark::State &state) {
  scene s(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(make_video_frame(&s.P));
  state.counters["frames_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof back_page));
}
BENCHMARK(BM_VideoFrame)->Arg(0)->Arg(3)->Arg(4);

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

}  // namespace

BENCHMARK_MAIN();
