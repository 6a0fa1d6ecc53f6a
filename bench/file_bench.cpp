// The file system's everyday costs: opening and closing a RAM file, writing
// one, listing a folder of 1,000 files (RAM and host), and the mount table's
// share of every frame when it is full.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "kernel/system.h"
#include "pdisk/cart_mount.h"
#include "pdisk/file_ops.h"
#include "pdisk/listing.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"

namespace {

constexpr int folder_files = 1000;

std::string host_dir;

void fresh_tables() {
  pfile_init();
  pfile_reset();
  app = app_record{};
  if (host_dir.empty()) {
    host_dir = std::filesystem::temp_directory_path().string() + "/kestrune-file-bench-" +
               std::to_string(getpid());
    std::filesystem::create_directories(host_dir + "/many");
    for (int i = 0; i < folder_files; i++)
      std::ofstream(host_dir + "/many/f" + std::to_string(i) + ".txt") << i;
  }
  mount_host_path("/", host_dir);
  mount_ram_folder("/ram");
}

void bm_ram_file_open_close(benchmark::State &state) {
  fresh_tables();
  pfile *f = pfopen("/ram/docs/notes.txt", "w");
  pfwrite("hello", 1, 5, f);
  pfclose(f);
  for (auto _ : state) {
    pfile *g = pfopen("/ram/docs/notes.txt", "r");
    benchmark::DoNotOptimize(g);
    pfclose(g);
  }
  pfile_reset();
}
BENCHMARK(bm_ram_file_open_close);

void bm_ram_file_write_close(benchmark::State &state) {
  fresh_tables();
  static const char line[64] = "a line of text written again and again into one RAM file.....";
  for (auto _ : state) {
    pfile *f = pfopen("/ram/docs/log.txt", "w");
    pfwrite(line, 1, sizeof line, f);
    pfclose(f);
  }
  pfile_reset();
}
BENCHMARK(bm_ram_file_write_close);

void bm_ls_ram_folder_1000(benchmark::State &state) {
  fresh_tables();
  for (int i = 0; i < folder_files; i++) {
    pfile *f = pfopen("/ram/many/f" + std::to_string(i) + ".txt", "w");
    pfclose(f);
  }
  for (auto _ : state) {
    std::optional<pdisk_listing> l = pflist("/ram/many");
    if (!l || l->names.size() != folder_files) state.SkipWithError("listing short");
    benchmark::DoNotOptimize(l);
  }
  pfile_reset();
}
BENCHMARK(bm_ls_ram_folder_1000)->Unit(benchmark::kMicrosecond);

void bm_ls_host_folder_1000(benchmark::State &state) {
  fresh_tables();
  for (auto _ : state) {
    std::optional<pdisk_listing> l = pflist("/many");
    if (!l || l->names.size() != folder_files) state.SkipWithError("listing short");
    benchmark::DoNotOptimize(l);
  }
  pfile_reset();
}
BENCHMARK(bm_ls_host_folder_1000)->Unit(benchmark::kMicrosecond);

// What every frame does over the mount table (delayed write-back, prune)
// with it full: of clean mounts (0), or of dirty ones whose write-back is
// not due yet (1).
void bm_frame_mount_work_full_table(benchmark::State &state) {
  fresh_tables();
  for (int i = 0; int(pmount_table.size()) < pmount_script_refuse_at; i++) {
    std::string folder = "/ram/d/" + std::to_string(i);
    mount_p_path("/m/" + std::to_string(i), folder);
    if (state.range(0)) mark_parent_mount_dirty(folder + "/x");
  }
  for (pmount &m : pmount_table)
    if (m.dirty) m.flush_deadline = INT64_MAX;
  for (auto _ : state) {
    flush_dirty_mounts_delayed();
    prune_mounts();
  }
  state.counters["mounts"] = double(pmount_table.size());
  pfile_reset();
}
BENCHMARK(bm_frame_mount_work_full_table)->Arg(0)->Arg(1);

// The path work every file call does on a small file in a RAM folder (0) and
// in a cartridge (1), with the tables as a fresh system has them (range 1 = 0)
// or filled as far as a script may (range 1 = 1: a full mount table and 5,000
// RAM files): normalising, resolving, and fstat's whole look-up.
const char *const everyday_paths[] = {"/ram/bench/small.txt", "/bench/c.kvt/small.txt"};

void everyday_tables(bool loaded) {
  fresh_tables();
  for (const char *folder : {"/ram/bench", "/bench", "/bench/c.kvt"}) {
    pmkdir(folder);
    pfile *f = pfopen(std::string(folder) + "/small.txt", "w");
    pfwrite("hello", 1, 5, f);
    pfclose(f);
  }
  if (!loaded) return;
  pmkdir("/ram/mt");
  for (int i = 1; i <= 2100; i++) mount_p_path("/mt/" + std::to_string(i), "/ram/mt");
  for (int i = 1; i <= 5000; i++) pfclose(pfopen("/ram/many/" + std::to_string(i) + ".txt", "w"));
}

void bm_normalise(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = everyday_paths[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(normalise_kestrune_path(path));
  pfile_reset();
}
BENCHMARK(bm_normalise)->ArgsProduct({{0, 1}, {0, 1}});

void bm_resolve(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = everyday_paths[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(resolve_to_origin(path, false));
  pfile_reset();
}
BENCHMARK(bm_resolve)->ArgsProduct({{0, 1}, {0, 1}});

void bm_fstat(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = everyday_paths[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(pdisk_fstat(path));
  pfile_reset();
}
BENCHMARK(bm_fstat)->ArgsProduct({{0, 1}, {0, 1}});

void bm_fetch_bytes(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = everyday_paths[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(fetch_file_bytes(path, "rb"));
  pfile_reset();
}
BENCHMARK(bm_fetch_bytes)->ArgsProduct({{0, 1}, {0, 1}});

void bm_store_bytes(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = everyday_paths[state.range(0)];
  for (auto _ : state) store_file_bytes(path, "w", std::string_view("hello"));
  pfile_reset();
}
BENCHMARK(bm_store_bytes)->ArgsProduct({{0, 1}, {0, 1}});

void bm_ls_small(benchmark::State &state) {
  everyday_tables(state.range(1));
  const char *folder = state.range(0) ? "/bench/c.kvt" : "/ram/bench";
  for (auto _ : state) benchmark::DoNotOptimize(pflist(folder));
  pfile_reset();
}
BENCHMARK(bm_ls_small)->ArgsProduct({{0, 1}, {0, 1}});

void bm_delete_store(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = state.range(0) ? "/bench/c.kvt/tmp.txt" : "/ram/bench/tmp.txt";
  for (auto _ : state) {
    delete_path(path);
    store_file_bytes(path, "w", std::string_view("x"));
  }
  pfile_reset();
}
BENCHMARK(bm_delete_store)->ArgsProduct({{0, 1}, {0, 1}});

void bm_mkdir_delete(benchmark::State &state) {
  everyday_tables(state.range(1));
  std::string path = state.range(0) ? "/bench/c.kvt/new" : "/ram/bench/new";
  for (auto _ : state) {
    benchmark::DoNotOptimize(pdisk_directory_exists(path, true));
    pmkdir(path);
    delete_path(path);
  }
  pfile_reset();
}
BENCHMARK(bm_mkdir_delete)->ArgsProduct({{0, 1}, {0, 1}});

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!host_dir.empty()) std::filesystem::remove_all(host_dir);
  return 0;
}
