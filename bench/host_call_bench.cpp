// Host time against charged cycles of the calls whose work is mostly the
// host's own: starting and ending captures and recordings, mounting the
// desktop, starting a fetch, creating a process, and the file functions on
// long paths. Each runs in a sandboxed world (fuzz/hostile_api.h: its own data
// and desktop folders, fetches refused on a loopback port). The counter
// ns_per_cycle is the host time one charged cycle buys; the aim is 10 or less.
#include <benchmark/benchmark.h>

#include <climits>
#include <string>

#include "bench/charge_timer.h"
#include "fuzz/hostile_api.h"

namespace {

void host_call(benchmark::State &state, const char *setup, const char *call) {
  hostile_api::init_sandbox();
  hostile_api::reset_world();
  process *P = create_process_from_code("", "[bench]", "/apps/bench.lua");
  if (!P) return state.SkipWithError("no process");
  cproc = root_process = P;
  lua_State *L = P->lua_state;
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
  std::string code = std::string(setup) + "\nreturn function() " + call + " end";
  if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
    return state.SkipWithError(lua_tostring(L, -1));
  int fn = lua_gettop(L);
  time_charged_calls(state, L, fn, fn);
  cpu_cycles = cpu_cycles_max = 0;
  hostile_api::reset_world();
}

constexpr const char *long_path = "p = '/' .. ('a/'):rep(2000)";

}  // namespace

BENCHMARK_CAPTURE(host_call, audio_capture_toggle, "", "_signal(16) _signal(16)");
BENCHMARK_CAPTURE(host_call, gif_start_end, "", "_signal(18) _signal(19)");
BENCHMARK_CAPTURE(host_call, desktop_mount, "", "_signal(65)");
BENCHMARK_CAPTURE(host_call, fetch_remote_start, "", "_fetch_remote('https://host.invalid/x')");
BENCHMARK_CAPTURE(host_call, create_process, "",
                  "_kill_process(_create_process_from_code('', 'x', 'x'))");
// norm prints its trace: a shorter path keeps the output small.
BENCHMARK_CAPTURE(host_call, norm_long_path, "p = '/' .. ('a/'):rep(200)", "norm(p)");
BENCHMARK_CAPTURE(host_call, fetch_long_path, long_path, "fetch(p)");
BENCHMARK_CAPTURE(host_call, store_long_path, long_path, "store(p, 'x')");
BENCHMARK_CAPTURE(host_call, fstat_long_path, long_path, "fstat(p)");
BENCHMARK_CAPTURE(host_call, mkdir_long_path, long_path, "mkdir(p)");
BENCHMARK_CAPTURE(host_call, fdelete_long_path, long_path, "_fdelete(p)");
BENCHMARK_CAPTURE(host_call, store_small_file, "", "store('/x.txt', 'x')");

// The file system's tables as a script can fill them: the counts of stat, a
// RAM folder listed among many files, and path calls with the mount table
// empty or full (of distinct mounts, or of the desktop mounted again and
// again).
constexpr const char *many_files =
    "for i = 1, 4000 do store('/ram/many/f' .. i .. '.txt', 'x') end "
    "for i = 1, 3 do store('/ram/few/f' .. i .. '.txt', 'x') end "
    "store('/ram/x.txt', 'x')";
constexpr const char *full_mounts =
    "store('/ram/x.txt', 'x') for i = 1, 2100 do mount('/m/' .. i, '/ram') end";
constexpr const char *desktop_mounts = "store('/ram/x.txt', 'x') for i = 1, 2100 do _signal(65) end";
constexpr const char *one_file = "store('/ram/x.txt', 'x')";

BENCHMARK_CAPTURE(host_call, stat_310, many_files, "stat(310)");
BENCHMARK_CAPTURE(host_call, stat_311, many_files, "stat(311)");
BENCHMARK_CAPTURE(host_call, ls_ram_folder_4000, many_files, "ls('/ram/many')");
BENCHMARK_CAPTURE(host_call, ls_ram_folder_3_of_4000, many_files, "ls('/ram/few')");
BENCHMARK_CAPTURE(host_call, ls_ram_folder_3_full_mounts,
                  "for i = 1, 3 do store('/ram/few/f' .. i .. '.txt', 'x') end "
                  "for i = 1, 2100 do mount('/m/' .. i, '/ram') end",
                  "ls('/ram/few')");
BENCHMARK_CAPTURE(host_call, fstat_no_mounts, one_file, "fstat('/ram/x.txt')");
BENCHMARK_CAPTURE(host_call, fstat_full_mounts, full_mounts, "fstat('/ram/x.txt')");
BENCHMARK_CAPTURE(host_call, fstat_desktop_mounts, desktop_mounts, "fstat('/ram/x.txt')");
BENCHMARK_CAPTURE(host_call, cp_no_mounts, one_file, "cp('/ram/x.txt', '/ram/y.txt')");
BENCHMARK_CAPTURE(host_call, cp_full_mounts, full_mounts, "cp('/ram/x.txt', '/ram/y.txt')");
BENCHMARK_CAPTURE(host_call, fetch_no_mounts, one_file, "fetch('/ram/x.txt')");
BENCHMARK_CAPTURE(host_call, fetch_full_mounts, full_mounts, "fetch('/ram/x.txt')");
BENCHMARK_CAPTURE(host_call, store_no_mounts, one_file, "store('/ram/x.txt', 'x')");
BENCHMARK_CAPTURE(host_call, store_full_mounts, full_mounts, "store('/ram/x.txt', 'x')");
BENCHMARK_CAPTURE(host_call, store_desktop_mounts, desktop_mounts, "store('/ram/x.txt', 'x')");
// Half the file slots taken: each new file clears early (and prints a line).
BENCHMARK_CAPTURE(host_call, new_file_low_slots_full_mounts,
                  "for i = 1, 8200 do store('/ram/many/f' .. i, 'x') end "
                  "for i = 1, 2100 do mount('/m/' .. i, '/ram') end n = 0",
                  "n = n + 1 store('/ram/t' .. n, 'x') _fdelete('/ram/t' .. n)");
// Each call unmounts the oldest script mount and mounts it again at the end.
BENCHMARK_CAPTURE(host_call, unmount_oldest_full_mounts,
                  "store('/ram/x.txt', 'x') for i = 1, 2040 do mount('/m/' .. i, '/ram') end k = 0",
                  "k = k % 2040 + 1 _fdelete('/m/' .. k) mount('/m/' .. k, '/ram')");

BENCHMARK_CAPTURE(host_call, deli_first_of_many, "t = {} for i = 1, 30000 do t[i] = i end",
                  "deli(t, 1) t[#t + 1] = 0");

BENCHMARK_MAIN();
