// The frame loop in process, for tests and benchmarks that must see what a
// userland does to the pace of the whole loop: a userland given in memory is
// booted as start-up boots one, then frames run through the system's own frame
// work (system_frame_work), timed one by one on the host clock, with neither
// presenting nor pacing.
//
// The world is the hostile sweep's sandbox (fuzz/hostile_api.h): the data
// folder, the desktop and HOME in a temporary folder of its own, fetches
// refused on a closed loopback port, host openers neutralised. The settings
// are the defaults, headless (so processes from id 4 up get slices from the
// first frame), and no host layer is started: no window, no audio device, no
// host events.
//
//   frame_loop::boot({{"boot.lua", code}}, {{"apps/x.lua", "..."}});
//     the system cartridge's files by name ("boot.lua" at least), and files
//     placed on the drive ("/") first; every boot starts from an emptied
//     sandbox and fresh settings, so a control and a hostile userland boot one
//     after the other in one test.
//   frame_loop::figures f = frame_loop::run({.frames = 600, .host_seconds = 5});
//     frames until the first limit met: a frame count, host seconds spent in
//     frames, or `until` (called after each frame) returning true. With
//     build_picture each frame also builds the picture, as a window would
//     (the boot screen, GIF frames, screenshots), without showing it (still
//     headless: nothing is held back at boot). An exit
//     request stops the run before the frame that would serve it.
//   f.frames(), f.frames_per_second(), f.longest_ns(), f.frame_ns[i];
//   frame_loop::global_integer(pid, "name"): a process's global, for `until`.
//   frame_loop::end(): the world and the sandbox removed; the data pack,
//     settings and application record the test program had put back.
//
// The program's own ends still end the test program (an empty process table,
// a runtime error in the first two records, boot.lua missing or not
// compiling): during a boot or a frame such an end exits with status 1 and a
// line on standard error, so it cannot pass for success.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/hostile_api.h"
#include "gfx/captures.h"
#include "gfx/video_output.h"
#include "pdisk/rom_form.h"
#include "platform/atomic_write.h"
#include "platform/host_paths.h"

namespace frame_loop {

// Files by path and contents.
using files = std::vector<std::pair<std::string, std::string>>;

// The start of a root's boot.lua: the system's own two processes (ids 2, 3).
inline const std::string system_processes = R"lua(
for _, name in ipairs({"wm", "display"}) do
  _create_process_from_code("while true do flip() end", name, "/system/" .. name .. ".lua")
end
)lua";

// A root's boot.lua that makes the system's processes, runs `before` then
// makes the child from /apps/child.lua (global `child`) and slices it at 0.9
// of every frame, running `each_frame` before each flip.
inline std::string sliced_child_boot(const std::string &before = "",
                                     const std::string &each_frame = "") {
  return system_processes + before + R"lua(
child = _create_process_from_code(fetch("/apps/child.lua"), "child", "/apps/child.lua")
while true do
  _run_process_slice(child, 0.9)
)lua" + each_frame + "\n  flip()\nend\n";
}

struct limits {
  int64_t frames = 0;            // at most this many frames (0: no limit)
  double host_seconds = 0;       // stop once the frames took this long (0: no limit)
  std::function<bool()> until;   // after each frame: true stops the run
  bool build_picture = false;    // the windowed model: each frame builds its picture
};

enum class stop { frames, host_time, condition, exit_requested };

struct figures {
  std::vector<int64_t> frame_ns;  // each frame's host duration
  stop stopped = stop::frames;
  int64_t frames() const { return static_cast<int64_t>(frame_ns.size()); }
  int64_t total_ns() const {
    int64_t sum = 0;
    for (int64_t ns : frame_ns) sum += ns;
    return sum;
  }
  int64_t longest_ns() const {
    int64_t most = 0;
    for (int64_t ns : frame_ns) most = std::max(most, ns);
    return most;
  }
  double frames_per_second() const {
    int64_t ns = total_ns();
    return ns > 0 ? static_cast<double>(frames()) * 1e9 / static_cast<double>(ns) : 0.0;
  }
};

namespace detail {

// What the test program had before the first boot, put back by end().
struct saved_state {
  bool booted = false;
  buffer *dat[dat_file_max] = {};
  int dat_count = 0;
  bool inited = false;
  config_record config;
  app_record app;
};
inline saved_state saved;
inline std::vector<buffer *> records;  // the data pack of the running userland
inline bool in_system = false;         // a boot or a frame is running

inline void catch_program_end() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  std::atexit([] {
    if (!in_system) return;
    fputs("frame_loop: the program ended during a boot or a frame\n", stderr);
    _exit(1);
  });
}

inline void drop_world() {
  hostile_api::empty_sandbox();  // a GIF recording still held is finished there
  for (buffer *b : records) destroy_buffer(b);
  records.clear();
  dat_files = 0;
}

}  // namespace detail

// Boots the userland whose system cartridge holds `system` (names without the
// "system/" folder), with `drive` written under the drive ("/") first.
inline void boot(const files &system, const files &drive = {}) {
  using namespace detail;
  if (!saved.booted) {
    saved.booted = true;
    std::copy(dat_file, dat_file + dat_file_max, saved.dat);
    saved.dat_count = dat_files;
    saved.inited = system_inited;
    saved.config = config;
    saved.app = app;
    catch_program_end();
    hostile_api::make_sandbox();
  }
  drop_world();
  set_default_config();
  config.headless = 1;
  system_inited = true;  // no host layer

  // Record 0 names the data folder's sub-folder (empty: the default one);
  // record 1 is the system cartridge.
  std::vector<cart_entry> entries{{"system/", ""}};
  for (const auto &[name, text] : system) entries.push_back({"system/" + name, text});
  records = {create_buffer_from_str(""), create_buffer_2(0, 105)};
  if (!records[0] || !records[1] || !write_kvt_rom_entries(records[1], entries, 0)) abort();
  dat_files = static_cast<int>(records.size());
  std::copy(records.begin(), records.end(), dat_file);

  std::string drive_folder = hovi_prefix_with_appdata_path("drive");
  for (const auto &[path, text] : drive) {
    std::filesystem::path host = drive_folder + "/" + path;
    std::filesystem::create_directories(host.parent_path());
    if (!write_host_file_atomically(host.string(), text.data(), text.size())) abort();
  }

  in_system = true;
  reset_app_state();
  in_system = false;
}

// Runs frames until the first limit met (at least one must be given).
inline figures run(const limits &l) {
  if (l.frames <= 0 && l.host_seconds <= 0 && !l.until) {
    fputs("frame_loop::run: no limit given\n", stderr);
    abort();
  }
  using clock = std::chrono::steady_clock;
  figures f;
  const int64_t ns_max = static_cast<int64_t>(l.host_seconds * 1e9);
  int64_t spent = 0;
  for (;;) {
    if (app.exit_requested) {
      f.stopped = stop::exit_requested;
      break;
    }
    clock::time_point from = clock::now();
    detail::in_system = true;
    system_frame_work();
    if (l.build_picture) video_out_picture();
    detail::in_system = false;
    int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - from).count();
    f.frame_ns.push_back(ns);
    spent += ns;
    if (l.until && l.until()) {
      f.stopped = stop::condition;
      break;
    }
    if (l.frames > 0 && f.frames() >= l.frames) break;
    if (ns_max > 0 && spent >= ns_max) {
      f.stopped = stop::host_time;
      break;
    }
  }
  return f;
}

// A process's global as an integer (read raw, charged to that process), or
// nothing when it is not a number with an integer value or the process is
// gone or running.
inline std::optional<lua_Integer> global_integer(int64_t pid, const char *name) {
  process *P = get_process(pid);
  if (!P || !P->lua_state || P->busy) return std::nullopt;
  lua_State *L = P->lua_state;
  if (!lua_checkstack(L, 3)) return std::nullopt;
  process *was = cproc;
  int cycles = cpu_cycles;
  cproc = P;
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
  lua_pushstring(L, name);
  lua_rawget(L, -2);
  int is_integer = 0;
  lua_Integer value = lua_tointegerx(L, -1, &is_integer);
  lua_pop(L, 2);
  cproc = was;
  cpu_cycles = cycles;
  if (!is_integer) return std::nullopt;
  return value;
}

// Removes the world and the sandbox, and puts back the data pack, settings and
// application record the test program had (the sandbox's environment stays).
inline void end() {
  using namespace detail;
  if (!saved.booted) return;
  drop_world();
  hostile_api::remove_sandbox();
  std::copy(saved.dat, saved.dat + dat_file_max, dat_file);
  dat_files = saved.dat_count;
  system_inited = saved.inited;
  config = saved.config;
  app = saved.app;
  saved.booted = false;
}

}  // namespace frame_loop
