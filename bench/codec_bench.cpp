// Byte codecs: CRC-32 against zlib's crc32, and delta creation on 16 MiB with
// 1% of it edited against LZ4-compressing the whole edited file.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "values/crc32.h"
#include "values/delta.h"

namespace {

constexpr size_t crc_size = 1 << 20;
constexpr size_t file_size = 16 << 20;

const std::vector<uint8_t> &crc_input() {
  static const std::vector<uint8_t> v = [] {
    std::mt19937 rng(1);
    std::vector<uint8_t> d(crc_size);
    for (auto &b : d) b = uint8_t(rng());
    return d;
  }();
  return v;
}

// Text-like bytes, so LZ4 has something to squeeze.
std::string make_file(std::mt19937 &rng) {
  static const char *words[] = {"local ", "function ", "end\n", "return ", "self.", "x", "y",
                                " = ", "+ ", "if ", "then\n", "for i=1,#t do\n", "print(",
                                ")\n", "\t", "nil", "true", "false", "{", "}", ", ", "vec(",
                                "spr(", "--", "while ", "do\n", "and ", "or "};
  std::string s;
  s.reserve(file_size + 64);
  while (s.size() < file_size) {
    s += words[rng() % (sizeof words / sizeof *words)];
    if (rng() % 4 == 0) s += std::to_string(rng() % 100000);
  }
  s.resize(file_size);
  return s;
}

// Overwrites 1% of the bytes, in runs of 1..32 at random places; with inserts,
// a hundred of those edits insert or delete instead.
std::string edit_file(std::string s, std::mt19937 &rng, bool inserts) {
  size_t budget = s.size() / 100;
  int shifts = inserts ? 100 : 0;
  while (budget > 0) {
    size_t n = std::min<size_t>(1 + rng() % 32, budget);
    size_t at = rng() % (s.size() - n);
    if (shifts > 0 && shifts-- % 2 == 0) {
      s.insert(at, std::string(n, char('A' + rng() % 26)));
    } else if (shifts > 0) {
      s.erase(at, n);
    } else {
      for (size_t i = 0; i < n; i++) s[at + i] = char(rng());
    }
    budget -= n;
  }
  return s;
}

struct edited_files {
  std::string old_file, overwritten, shifted;
};

const edited_files &files() {
  static const edited_files f = [] {
    std::mt19937 rng(2);
    edited_files e;
    e.old_file = make_file(rng);
    e.overwritten = edit_file(e.old_file, rng, false);
    e.shifted = edit_file(e.old_file, rng, true);
    return e;
  }();
  return f;
}

const uint8_t *bytes_of(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

void bm_crc32b(benchmark::State &state) {
  const auto &d = crc_input();
  for (auto _ : state) benchmark::DoNotOptimize(crc32b(d.data(), int64_t(d.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(crc_size));
}
BENCHMARK(bm_crc32b);

void bm_zlib_crc32(benchmark::State &state) {
  const auto &d = crc_input();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, d.data(), uInt(d.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(crc_size));
}
BENCHMARK(bm_zlib_crc32);

void delta_create(benchmark::State &state, const std::string &next) {
  const std::string &old_file = files().old_file;
  int64_t size = 0;
  for (auto _ : state) {
    buffer_owner d(generate_diff(bytes_of(old_file), int64_t(old_file.size()), bytes_of(next),
                                 int64_t(next.size())));
    size = d ? d->length : -1;
    benchmark::DoNotOptimize(d.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(next.size()));
  state.counters["out_bytes"] = double(size);
  state.counters["ratio"] = double(size) / double(next.size());
}

void bm_delta_create_overwrites(benchmark::State &state) {
  delta_create(state, files().overwritten);
}
BENCHMARK(bm_delta_create_overwrites)->Unit(benchmark::kMillisecond);

void bm_delta_create_with_shifts(benchmark::State &state) {
  delta_create(state, files().shifted);
}
BENCHMARK(bm_delta_create_with_shifts)->Unit(benchmark::kMillisecond);

void bm_delta_apply_overwrites(benchmark::State &state) {
  const edited_files &f = files();
  buffer_owner d(generate_diff(bytes_of(f.old_file), int64_t(f.old_file.size()),
                               bytes_of(f.overwritten), int64_t(f.overwritten.size())));
  for (auto _ : state) {
    buffer_owner r(apply_diff(bytes_of(f.old_file), int64_t(f.old_file.size()), d->data,
                              d->length));
    benchmark::DoNotOptimize(r.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.overwritten.size()));
}
BENCHMARK(bm_delta_apply_overwrites)->Unit(benchmark::kMillisecond);

// The reference: keeping the whole edited file, LZ4-compressed.
void bm_lz4_whole_file(benchmark::State &state) {
  const std::string &next = files().overwritten;
  std::vector<char> out(size_t(LZ4_compressBound(int(next.size()))));
  int size = 0;
  for (auto _ : state) {
    size = LZ4_compress_default(next.data(), out.data(), int(next.size()), int(out.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(next.size()));
  state.counters["out_bytes"] = double(size);
  state.counters["ratio"] = double(size) / double(next.size());
}
BENCHMARK(bm_lz4_whole_file)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
