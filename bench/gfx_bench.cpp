// Throughput of the shape primitives on a 480 x 270 target: cls against
// memset, fast-path and general rectfill, circfill and line.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "gfx/draw_state.h"
#include "gfx/shapes.h"

namespace {

constexpr int64_t W = 480, H = 270;

canvas bench_canvas(std::vector<uint8_t> &px, uint8_t tmask) {
  init_default_coltabs();
  canvas c;
  c.pixels = px.data();
  c.width = W, c.height = H, c.cx1 = W, c.cy1 = H;
  for (int k = 0; k < 4; k++) c.tab[k] = default_coltabs + coltab_size * k;
  c.rmask = 0x3F, c.wmask = 0xFF, c.tmask = tmask;
  return c;
}

void BM_memset_frame(benchmark::State &state) {
  std::vector<uint8_t> px(W * H);
  for (auto _ : state) {
    memset(px.data(), 7, px.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * W * H);
}
BENCHMARK(BM_memset_frame);

void BM_rectfill_fast(benchmark::State &state) {
  std::vector<uint8_t> px(W * H);
  canvas c = bench_canvas(px, 0);
  for (auto _ : state) benchmark::DoNotOptimize(rectfill(c, 0, 0, W - 1, H - 1, 7));
  state.SetItemsProcessed(state.iterations() * W * H);
}
BENCHMARK(BM_rectfill_fast);

void BM_rectfill_general(benchmark::State &state) {
  std::vector<uint8_t> px(W * H);
  canvas c = bench_canvas(px, 0x3F);
  for (auto _ : state) benchmark::DoNotOptimize(rectfill(c, 0, 0, W - 1, H - 1, 7));
  state.SetItemsProcessed(state.iterations() * W * H);
}
BENCHMARK(BM_rectfill_general);

void BM_circfill(benchmark::State &state) {
  std::vector<uint8_t> px(W * H);
  canvas c = bench_canvas(px, 0);
  for (auto _ : state) benchmark::DoNotOptimize(draw_filloval(c, 140, 35, 340, 235, 7));
}
BENCHMARK(BM_circfill);

void BM_line(benchmark::State &state) {
  std::vector<uint8_t> px(W * H);
  canvas c = bench_canvas(px, 0x3F);
  for (auto _ : state) benchmark::DoNotOptimize(draw_line(c, -10, 3, 490, 260, 7));
}
BENCHMARK(BM_line);

}  // namespace

BENCHMARK_MAIN();
