// Byte-at-a-time appends: a buffer against std::vector, each starting empty.
#include "kernel/buffer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

static constexpr int append_count = 1 << 16;

static void bm_buffer_write_uint8(benchmark::State &state) {
  for (auto _ : state) {
    buffer *buf = create_buffer_2(0, 1);
    for (int i = 0; i < append_count; i++) bwrite_uint8(static_cast<uint8_t>(i), buf);
    benchmark::DoNotOptimize(buf->data);
    benchmark::ClobberMemory();
    destroy_buffer(buf);
  }
  state.SetBytesProcessed(state.iterations() * append_count);
}
BENCHMARK(bm_buffer_write_uint8);

static void bm_vector_push_back(benchmark::State &state) {
  for (auto _ : state) {
    std::vector<uint8_t> v;
    for (int i = 0; i < append_count; i++) v.push_back(static_cast<uint8_t>(i));
    benchmark::DoNotOptimize(v.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * append_count);
}
BENCHMARK(bm_vector_push_back);

BENCHMARK_MAIN();
