// The file history's heavy moments: the first change of a day, which
// snapshots (reads and hashes) every host file, here 100 MB in 100 files; a
// fetch that reads a day's log of 12,000 snapshot lines; and a version
// rebuilt from its blob and the delta of the last of 20 edits. (The snapshot
// of many small files over frames is timed against a control in
// tests/pdisk/history_frames_test.cpp.)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kernel/accounting.h"
#include "kernel/system.h"
#include "pdisk/murmur3.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"

namespace {

constexpr int snapshot_files = 100;
constexpr int long_log_lines = 12000;
constexpr size_t snapshot_file_bytes = 1 << 20;
time_t fake_now = 1715331600; // 2024-05-10 09:00:00 UTC

struct bench_world {
  std::string root, drive, data;
  bench_world() {
    root = std::filesystem::temp_directory_path().string() + "/kestrune-history-bench-" +
           std::to_string(getpid());
    drive = root + "/drive";
    data = root + "/data";
    std::filesystem::create_directories(drive + "/files");
    std::filesystem::create_directories(data);
    std::mt19937 rng(3);
    std::string bytes(snapshot_file_bytes, '\0');
    for (int i = 0; i < snapshot_files; i++) {
      for (char &c : bytes) c = char(rng());
      std::ofstream(drive + "/files/f" + std::to_string(i) + ".bin", std::ios::binary) << bytes;
    }
    pfile_init();
    pfile_reset();
    app = app_record{};
    mount_host_path("/", drive);
    mount_ram_folder("/ram");
    config.home_path = data;
    config.yorelog = 1;
    yorelog_clock = [] { return fake_now; };
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

// A fetch that reads a whole log of 12,000 snapshot lines (the log of a
// drive of as many small files): host time per charged cycle, the aim is 10
// ns or less.
void bm_fetch_from_long_log(benchmark::State &state) {
  bench_world &w = world();
  std::string month = w.data + "/yorelog/2023-01";
  std::filesystem::create_directories(month + "/tuk");
  std::string wanted = "note 5555\n", log, hash;
  for (int i = 0; i < long_log_lines; i++) {
    std::string text = "note " + std::to_string(i) + "\n";
    std::string h = murmur3_hex(text.data(), text.size());
    log += ": " + h + " /docs/d" + std::to_string(i / 1000) + "/note" + std::to_string(i) + ".txt\n";
    if (text == wanted) hash = h;
  }
  std::ofstream(month + "/10.log", std::ios::binary) << log;
  std::ofstream(month + "/tuk/" + hash, std::ios::binary) << wanted;
  int64_t cycles = 0;
  double ns = 0;
  for (auto _ : state) {
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
    auto t0 = std::chrono::steady_clock::now();
    buffer_owner v = yorelog_fetch("/docs/d5/note5555.txt@2023-01-10 12:00:00");
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    cycles += cpu_cycles;
    if (!v || v->length != int64_t(wanted.size())) state.SkipWithError("version not found");
  }
  cpu_cycles = cpu_cycles_max = 0;
  state.counters["ns_per_cycle"] = cycles > 0 ? ns / double(cycles) : 0;
}
BENCHMARK(bm_fetch_from_long_log)->Unit(benchmark::kMillisecond);

void bm_version_from_20_edits(benchmark::State &state) {
  bench_world &w = world();
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
