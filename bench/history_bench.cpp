// The file history's heavy moments: the first change of a day, which
// snapshots (reads and hashes) every host file, here 100 MB in 100 files;
// the history switched on over 12,000 small files, whose snapshot (blobs
// written afresh) goes on a step after each frame; a fetch that reads that
// day's long log; and a version rebuilt from its blob and the delta of the
// last of 20 edits.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kernel/accounting.h"
#include "kernel/system.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"

namespace {

constexpr int snapshot_files = 100;
constexpr int small_files = 12000;
constexpr size_t snapshot_file_bytes = 1 << 20;
time_t fake_now = 1715331600; // 2024-05-10 09:00:00 UTC

struct bench_world {
  std::string root, drive, data;
  std::string small_drive, small_data;
  bench_world() {
    root = std::filesystem::temp_directory_path().string() + "/kestrune-history-bench-" +
           std::to_string(getpid());
    drive = root + "/drive";
    data = root + "/data";
    small_drive = root + "/small_drive";
    small_data = root + "/small_data";
    std::filesystem::create_directories(drive + "/files");
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(small_data);
    std::mt19937 rng(3);
    std::string bytes(snapshot_file_bytes, '\0');
    for (int i = 0; i < snapshot_files; i++) {
      for (char &c : bytes) c = char(rng());
      std::ofstream(drive + "/files/f" + std::to_string(i) + ".bin", std::ios::binary) << bytes;
    }
    for (int i = 0; i < small_files; i++) {
      std::string folder = small_drive + "/docs/d" + std::to_string(i / 1000);
      if (i % 1000 == 0) std::filesystem::create_directories(folder);
      std::ofstream(folder + "/note" + std::to_string(i) + ".txt") << "note " << i << "\n";
    }
    pfile_init();
    use_drive(drive, data);
    app = app_record{};
    config.yorelog = 1;
    yorelog_clock = [] { return fake_now; };
  }
  void use_drive(const std::string &d, const std::string &home) {
    pfile_reset();
    mount_host_path("/", d);
    mount_ram_folder("/ram");
    config.home_path = home;
  }
  ~bench_world() {
    config.yorelog = 0;
    pfile_reset();
    std::filesystem::remove_all(root);
  }
};

bench_world &world() {
  static bench_world w;
  return w;
}

// Each round is a new day: a new log, a full walk (all its steps) that reads
// and hashes every file. The blobs were written on a first day before; later days find them
// in place, as a real drive's unchanged files do.
void bm_daily_snapshot_100_mb(benchmark::State &state) {
  bench_world &w = world();
  w.use_drive(w.drive, w.data);
  fake_now += 86400;
  yorelog_open();
  yorelog_event(yorelog_open_day, "", "");
  while (yorelog_snapshot_pending()) yorelog_step();
  for (auto _ : state) {
    fake_now += 86400;
    yorelog_open();
    yorelog_event(yorelog_open_day, "", "");
    while (yorelog_snapshot_pending()) yorelog_step();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * snapshot_files * int64_t(snapshot_file_bytes));
  (void)w;
}
BENCHMARK(bm_daily_snapshot_100_mb)->Unit(benchmark::kMillisecond)->UseRealTime();

// The history switched on over 12,000 small files never seen before (every
// blob written): the call itself takes one step, the frame loop the rest.
// Counters: the call's time, the longest step after a frame and the steps
// the snapshot took (the call's one among them).
void bm_spread_snapshot_12000_files(benchmark::State &state) {
  bench_world &w = world();
  w.use_drive(w.small_drive, w.small_data);
  double longest_ms = 0, first_ms = 0;
  int64_t steps = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(w.small_data);
    std::filesystem::create_directories(w.small_data);
    fake_now += 86400;
    config.yorelog = 0;
    yorelog_open();
    config.yorelog = 1;
    state.ResumeTiming();
    auto t0 = std::chrono::steady_clock::now();
    yorelog_event(yorelog_open_day, "", "");
    first_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    steps = 1;
    while (yorelog_snapshot_pending()) {
      auto s0 = std::chrono::steady_clock::now();
      yorelog_step();
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s0).count();
      longest_ms = std::max(longest_ms, ms);
      steps++;
    }
  }
  state.counters["steps"] = double(steps);
  state.counters["first_call_ms"] = first_ms;
  state.counters["longest_step_ms"] = longest_ms;
}
BENCHMARK(bm_spread_snapshot_12000_files)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// A fetch that reads the whole day's log of 12,000 snapshot lines: host time
// per charged cycle (the aim is 10 ns or less).
void bm_fetch_from_long_log(benchmark::State &state) {
  bench_world &w = world();
  w.use_drive(w.small_drive, w.small_data);
  config.yorelog = 1;
  yorelog_event(yorelog_open_day, "", "");
  while (yorelog_snapshot_pending()) yorelog_step();
  struct tm tm;
  gmtime_r(&fake_now, &tm);
  char when[96];
  strftime(when, sizeof when, "/docs/d5/note5555.txt@%Y-%m-%d %H:%M:%S", &tm);
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
    auto t0 = std::chrono::steady_clock::now();
    buffer_owner v = yorelog_fetch(when);
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    cycles += cpu_cycles;
    if (!v) state.SkipWithError("version not found");
  }
  cpu_cycles = cpu_cycles_max = 0;
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / double(cycles) : 0;
}
BENCHMARK(bm_fetch_from_long_log)->Unit(benchmark::kMillisecond);

void bm_version_from_20_edits(benchmark::State &state) {
  bench_world &w = world();
  w.use_drive(w.drive, w.data);
  fake_now += 86400;
  std::mt19937 rng(4);
  std::string text(snapshot_file_bytes, '\0');
  for (char &c : text) c = char('a' + rng() % 26);
  for (int edit = 0; edit <= 20; edit++) {
    text[rng() % text.size()] = '#';
    fake_now += 60;
    pfile *f = pfopen("/notes.txt", "w");
    pfwrite(text.data(), 1, int64_t(text.size()), f);
    pfclose(f);
  }
  struct tm tm;
  gmtime_r(&fake_now, &tm);
  char when[64];
  strftime(when, sizeof when, "/notes.txt@%Y-%m-%d %H:%M:%S", &tm);
  for (auto _ : state) {
    buffer_owner v = yorelog_fetch(when);
    if (!v || std::string(reinterpret_cast<char *>(v->data), size_t(v->length)) != text)
      state.SkipWithError("version not rebuilt");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
  (void)w;
}
BENCHMARK(bm_version_from_20_edits)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
