// Cartridge write-back of a 1 MiB folder (a few hundred files of code, sprite
// data and incompressible bytes): the rom form against LZ4's frame format at
// level 9 on the same payload bytes (in process, and the "lz4 -9" command on a
// file), the whole write-back of a mounted cartridge to a host file, and the
// text form.
#include <benchmark/benchmark.h>
#include <lz4frame.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/system.h"
#include "pdisk/cart_mount.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "pdisk/rom_form.h"
#include "pdisk/text_form.h"

extern char **environ;

namespace {

constexpr size_t folder_bytes = 1 << 20;
constexpr int folder_files = 320;

std::string code_file(std::mt19937 &rng, size_t n) {
  static const char *words[] = {"local ", "function ", "end\n", "return ", "self.", "x", "y",
                                " = ", "+ ", "if ", "then\n", "for i=1,#t do\n", "print(",
                                ")\n", "\t", "nil", "true", "false", "{", "}", ", ", "spr(",
                                "-- ", "while ", "do\n", "and ", "or ", "rectfill("};
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof words / sizeof *words)];
    if (rng() % 5 == 0) s += std::to_string(rng() % 1000);
  }
  s.resize(n);
  return s;
}

// Sprite-like pixels: runs of a few colours.
std::string sprite_file(std::mt19937 &rng, size_t n) {
  std::string s;
  while (s.size() < n) s.append(1 + rng() % 12, char(rng() % 16));
  s.resize(n);
  return s;
}

// Already-compressed data (sounds, images): nothing to gain.
std::string noise_file(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (char &c : s) c = char(rng());
  return s;
}

// Folders first, then files of half code, a quarter sprites, a quarter noise,
// sized so the bodies add up to 1 MiB.
const std::vector<cart_entry> &folder() {
  static const std::vector<cart_entry> entries = [] {
    std::mt19937 rng(5);
    static const char *dirs[] = {"src/", "gfx/", "sfx/", "map/", "lib/", "lib/ui/"};
    std::vector<cart_entry> v;
    for (const char *d : dirs) v.push_back({d, ""});
    std::vector<size_t> sizes(folder_files);
    size_t total = 0;
    for (size_t &n : sizes) total += n = 200 + rng() % 6400;
    size_t used = 0;
    for (int i = 0; i < folder_files; i++) {
      size_t n = i + 1 == folder_files ? folder_bytes - used : sizes[size_t(i)] * folder_bytes / total;
      used += n;
      std::string dir = dirs[rng() % 6];
      switch (i % 4) {
      case 0:
      case 1: v.push_back({dir + "f" + std::to_string(i) + ".lua", code_file(rng, n)}); break;
      case 2: v.push_back({dir + "s" + std::to_string(i) + ".gfx", sprite_file(rng, n)}); break;
      default: v.push_back({dir + "n" + std::to_string(i) + ".sfx", noise_file(rng, n)}); break;
      }
    }
    return v;
  }();
  return entries;
}

// The rom form's payload (name, NUL, length, bytes), for the reference to
// compress exactly what the rom writer compresses.
const std::string &payload() {
  static const std::string p = [] {
    std::string s;
    for (const cart_entry &e : folder()) {
      s += e.name;
      s += '\0';
      if (e.name.back() == '/') continue;
      uint32_t n = uint32_t(e.data.size());
      if (n <= 254) {
        s += char(n);
      } else {
        s += char(255);
        for (int i = 0; i < 4; i++) s += char(n >> (8 * i));
      }
      s += e.data;
    }
    return s;
  }();
  return p;
}

void report(benchmark::State &state, int64_t out_bytes) {
  int64_t in_bytes = int64_t(payload().size());
  state.SetBytesProcessed(int64_t(state.iterations()) * in_bytes);
  state.counters["in_bytes"] = double(in_bytes);
  state.counters["out_bytes"] = double(out_bytes);
  state.counters["ratio"] = double(out_bytes) / double(in_bytes);
}

void bm_rom_write(benchmark::State &state) {
  int64_t size = 0;
  for (auto _ : state) {
    buffer_owner out(create_buffer_2(0, 0));
    if (!write_kvt_rom_entries(out.get(), folder(), 0)) state.SkipWithError("rom writer refused");
    size = out->length;
    benchmark::DoNotOptimize(out->data);
  }
  report(state, size);
}
BENCHMARK(bm_rom_write)->Unit(benchmark::kMillisecond);

// Write-back as mounts do it: the entries collected from a RAM folder first.
void bm_rom_write_from_ram_folder(benchmark::State &state) {
  pfile_init();
  pfile_reset();
  mount_ram_folder("/ram");
  if (store_cart_entries_in_ram_folder("/ram/cart", folder()) != int(folder().size()))
    state.SkipWithError("folder not stored");
  int64_t size = 0;
  for (auto _ : state) {
    buffer_owner out(create_buffer_2(0, 0));
    write_kvt_rom_from_ram_files(out.get(), "/ram/cart", 0);
    size = out->length;
    benchmark::DoNotOptimize(out->data);
  }
  pfile_reset();
  report(state, size);
}
BENCHMARK(bm_rom_write_from_ram_folder)->Unit(benchmark::kMillisecond);

// The reference: what "lz4 -9" makes of the same bytes (its defaults: 4 MB
// independent blocks, content checksum).
void bm_lz4_frame_level_9(benchmark::State &state) {
  const std::string &in = payload();
  LZ4F_preferences_t prefs = {};
  prefs.compressionLevel = 9;
  prefs.frameInfo.blockSizeID = LZ4F_max4MB;
  prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  prefs.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
  std::vector<char> out(LZ4F_compressFrameBound(in.size(), &prefs));
  size_t size = 0;
  for (auto _ : state) {
    size = LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &prefs);
    if (LZ4F_isError(size)) state.SkipWithError(LZ4F_getErrorName(size));
    benchmark::DoNotOptimize(out.data());
  }
  report(state, int64_t(size));
}
BENCHMARK(bm_lz4_frame_level_9)->Unit(benchmark::kMillisecond);

std::string bench_folder() {
  std::string dir = std::filesystem::temp_directory_path().string() + "/kestrune-cart-bench-" +
                    std::to_string(getpid());
  std::filesystem::create_directories(dir);
  return dir;
}

// What a delayed write-back does for a changed 1 MiB rom cartridge: the form
// built from the RAM folder, then the host file replaced through a temporary
// file (written, synced, renamed).
void bm_write_back_rom_to_host(benchmark::State &state) {
  std::string dir = bench_folder();
  pfile_init();
  pfile_reset();
  app = app_record{};
  mount_host_path("/", dir);
  mount_ram_folder("/ram");
  if (pmkdir("/bench.kvt.rom") != 0) state.SkipWithError("no cartridge mount");
  int index = mount_kvt_path("/bench.kvt.rom");
  if (store_cart_entries_in_ram_folder("/bench.kvt.rom", folder()) != int(folder().size()))
    state.SkipWithError("folder not stored");
  for (auto _ : state) {
    mark_mount_dirty(pmount_table[size_t(index)]);
    flush_dirty_mount(index, false);
    if (pmount_table[size_t(index)].dirty) state.SkipWithError("write-back failed");
  }
  report(state, int64_t(std::filesystem::file_size(dir + "/bench.kvt.rom")));
  pfile_reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(bm_write_back_rom_to_host)->Unit(benchmark::kMillisecond)->UseRealTime();

// The "lz4 -9" command on the payload bytes in a file (process start included).
void bm_lz4_command_level_9(benchmark::State &state) {
  std::string dir = bench_folder();
  std::string in = dir + "/payload", out = dir + "/payload.lz4";
  std::ofstream(in, std::ios::binary) << payload();
  const char *argv[] = {"lz4", "-9", "-q", "-f", in.c_str(), out.c_str(), nullptr};
  for (auto _ : state) {
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "lz4", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("lz4 command not available");
      break;
    }
  }
  std::error_code ec;
  report(state, int64_t(std::filesystem::file_size(out, ec)));
  std::filesystem::remove_all(dir);
}
BENCHMARK(bm_lz4_command_level_9)->Unit(benchmark::kMillisecond)->UseRealTime();

void bm_text_write(benchmark::State &state) {
  int64_t size = 0;
  for (auto _ : state) {
    buffer_owner out(create_buffer_2(0, 0));
    if (!write_kvt_text_entries(out.get(), folder(), false)) state.SkipWithError("text writer refused");
    size = out->length;
    benchmark::DoNotOptimize(out->data);
  }
  report(state, size);
}
BENCHMARK(bm_text_write)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
