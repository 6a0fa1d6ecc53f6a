// The file history's heavy moments: the first change of a day, which
// snapshots (reads and hashes) every host file, here 100 MB in 100 files;
// and a version rebuilt from its blob and the delta of the last of 20 edits.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kernel/system.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"

namespace {

constexpr int snapshot_files = 100;
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

// Each round is a new day: a new log, a full walk that reads and hashes every
// file. The blobs were written on a first day before; later days find them
// in place, as a real drive's unchanged files do.
void bm_daily_snapshot_100_mb(benchmark::State &state) {
  bench_world &w = world();
  fake_now += 86400;
  yorelog_open();
  yorelog_event(yorelog_open_day, "", "");
  for (auto _ : state) {
    fake_now += 86400;
    yorelog_open();
    yorelog_event(yorelog_open_day, "", "");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * snapshot_files * int64_t(snapshot_file_bytes));
  (void)w;
}
BENCHMARK(bm_daily_snapshot_100_mb)->Unit(benchmark::kMillisecond)->UseRealTime();

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
