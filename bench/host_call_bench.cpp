// Host time against charged cycles of the calls whose work is mostly the
// host's own: starting and ending captures and recordings, mounting the
// desktop, starting a fetch, creating a process, the file functions on long
// paths and on ordinary ones, lines written to standard output, the library's bulk calls, slices,
// and the calls that find a process by id or walk a queue, some with the state
// built first (200 processes, a full queue). Each runs in a sandboxed world
// (fuzz/hostile_api.h: its own data and desktop folders, fetches refused on a
// loopback port). The counter ns_per_cycle is the host time one charged cycle
// buys; the aim is 8 or less.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "bench/charge_timer.h"
#include "fuzz/hostile_api.h"

namespace {

void host_call(benchmark::State &state, const std::string &setup, const char *call) {
  hostile_api::init_sandbox();
  hostile_api::reset_world();
  config.yorelog = 0;  // a case turns the history on for itself
  process *P = create_process_from_code("", "[bench]", "/apps/bench.lua");
  if (!P) return state.SkipWithError("no process");
  cproc = root_process = P;
  lua_State *L = P->lua_state;
  // A new frame's budget for the slices a call runs.
  lua_register(L, "new_frame", [](lua_State *) {
    total_frame_cycles = 0;
    return 0;
  });
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
  std::string code = setup + "\nreturn function() " + call + " end";
  if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
    return state.SkipWithError(lua_tostring(L, -1));
  int fn = lua_gettop(L);
  // Lines the calls write go nowhere: a terminal costs more, not less.
  fflush(stdout);
  int out = dup(1), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  time_charged_calls(state, L, fn, fn);
  fflush(stdout);
  dup2(out, 1);
  close(out);
  close(null);
  cpu_cycles = cpu_cycles_max = 0;
  hostile_api::reset_world();
}

constexpr const char *long_path = "p = '/' .. ('a/'):rep(2000)";
// 199 more processes, each a busy loop; `last` is the newest one's id.
#define MANY_PROCESSES                                                      \
  "for i = 1, 199 do last = _create_process_from_code('while true do end', " \
  "'p', '/apps/p.lua') end "
constexpr const char *text_1000 = "s = ('abcd'):rep(250) t = {} for i = 1, 1000 do t[i] = 65 end";

// The file functions with ordinary arguments: a small file on the drive (a
// host folder), a folder of some dozens of entries there, a RAM file, and
// paths that name nothing.
constexpr const char *files =
    "raw = '--[[tuk_format=\"raw\", metadata_format=\"none\"]]' "
    "small = ('x'):rep(1000) "
    "store('/d.txt', small, raw) store('/ram/r.txt', small, raw) "
    "store('/d.lua', '--[[tuk a=1]]\\nreturn 1', raw) "
    "mkdir('/many') for i = 1, 40 do store('/many/f' .. i .. '.txt', 'x', raw) end "
    "_cache_store('carts', 'c.kvt', ('c'):rep(600))";

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

BENCHMARK_CAPTURE(host_call, fetch_drive_file, files, "fetch('/d.txt')");
BENCHMARK_CAPTURE(host_call, fetch_missing_file, files, "fetch('/none.txt')");
BENCHMARK_CAPTURE(host_call, fetch_ram_file, files, "fetch('/ram/r.txt')");
BENCHMARK_CAPTURE(host_call, store_ram_file, files, "store('/ram/s.txt', 'x')");
BENCHMARK_CAPTURE(host_call, store_ram_raw, files, "store('/ram/s.txt', small, raw)");
BENCHMARK_CAPTURE(host_call, ls_drive_folder, files, "ls('/many')");
BENCHMARK_CAPTURE(host_call, ls_root, files, "ls('/')");
BENCHMARK_CAPTURE(host_call, ls_missing, files, "ls('/none')");
BENCHMARK_CAPTURE(host_call, mkdir_fdelete_drive, files, "mkdir('/dd') _fdelete('/dd')");
BENCHMARK_CAPTURE(host_call, mkdir_fdelete_ram, files, "mkdir('/ram/dd') _fdelete('/ram/dd')");
BENCHMARK_CAPTURE(host_call, fdelete_missing, files, "_fdelete('/none.txt')");
BENCHMARK_CAPTURE(host_call, mkdir_existing, files, "mkdir('/many')");
BENCHMARK_CAPTURE(host_call, mount, files, "mount('/m', '/ram')");
BENCHMARK_CAPTURE(host_call, fstat_drive_file, files, "fstat('/d.txt')");
BENCHMARK_CAPTURE(host_call, fstat_drive_folder, files, "fstat('/many')");
BENCHMARK_CAPTURE(host_call, fstat_missing, files, "fstat('/none.txt')");
BENCHMARK_CAPTURE(host_call, fstat_ram_file, files, "fstat('/ram/r.txt')");
BENCHMARK_CAPTURE(host_call, cache_fetch, files, "_cache_fetch('carts', 'c.kvt')");
BENCHMARK_CAPTURE(host_call, cache_fetch_missing, files, "_cache_fetch('carts', 'none.kvt')");
BENCHMARK_CAPTURE(host_call, cache_store, files, "_cache_store('carts', 'c.kvt', small)");
BENCHMARK_CAPTURE(host_call, fetch_metadata, files, "_fetch_metadata_from_file('/d.lua')");
BENCHMARK_CAPTURE(host_call, store_metadata_ram, files,
                  "_store_metadata_str_to_file('/ram/r.txt', '--[[tuk b=2]]')");
BENCHMARK_CAPTURE(host_call, cp_drive_file, files, "cp('/d.txt', '/d2.txt')");
BENCHMARK_CAPTURE(host_call, cp_ram_file, files, "cp('/ram/r.txt', '/ram/r2.txt')");
BENCHMARK_CAPTURE(host_call, cp_missing, files, "cp('/none.txt', '/d2.txt')");
BENCHMARK_CAPTURE(host_call, fullpath, files, "fullpath('many/f1.txt')");
BENCHMARK_CAPTURE(host_call, pwd, files, "pwd()");
BENCHMARK_CAPTURE(host_call, cd_drive_folder, files, "cd('/many')");
BENCHMARK_CAPTURE(host_call, cd_missing, files, "cd('/none')");
BENCHMARK_CAPTURE(host_call, load_tiny_chunk, "", "load('return 1')");
BENCHMARK_CAPTURE(host_call, store_drive_history,
                  std::string(files) + " _apply_system_settings({yorelog = 1})",
                  "store('/d.txt', small, raw)");
BENCHMARK_CAPTURE(host_call, fetch_yorelog,
                  std::string(files) + " _apply_system_settings({yorelog = 1}) "
                  "store('/y.txt', small, raw) store('/y.txt', small .. 'y', raw) "
                  "at = '/y.txt@' .. date('%Y-%m-%d %H:%M:%S') "
                  "assert(#_fetch_yorelog(at) == 1001)",
                  "_fetch_yorelog(at)");

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

// The yardsticks: an empty call, and a call of a function that only reads.
BENCHMARK_CAPTURE(host_call, control_empty, "", "");
BENCHMARK_CAPTURE(host_call, control_pid, "", "pid()");
BENCHMARK_CAPTURE(host_call, stat_timezone, "", "stat(87)");
BENCHMARK_CAPTURE(host_call, stat_fps, "", "stat(7)");
BENCHMARK_CAPTURE(host_call, printh_line, "", "_printh('hello')");
BENCHMARK_CAPTURE(host_call, print_line, "", "print('hello')");

// The library's bulk calls: values pushed, bytes handled.
BENCHMARK_CAPTURE(host_call, utf8_codepoint_1000, text_1000, "utf8.codepoint(s, 1, -1)");
BENCHMARK_CAPTURE(host_call, utf8_char_1000, text_1000, "utf8.char(table.unpack(t))");
BENCHMARK_CAPTURE(host_call, utf8_offset_1000, text_1000, "utf8.offset(s, 1000)");
BENCHMARK_CAPTURE(host_call, utf8_len_1000, text_1000, "utf8.len(s)");
BENCHMARK_CAPTURE(host_call, string_byte_1000, text_1000, "string.byte(s, 1, -1)");
BENCHMARK_CAPTURE(host_call, string_char_1000, text_1000, "string.char(table.unpack(t))");
BENCHMARK_CAPTURE(host_call, string_rep_1000, "", "string.rep('ab', 1000)");
BENCHMARK_CAPTURE(host_call, string_format_small, "", "string.format('%d %s', 1, 'x')");
BENCHMARK_CAPTURE(host_call, string_unpack_1000, "f = ('b'):rep(1000) s = ('x'):rep(1000)",
                  "string.unpack(f, s)");
BENCHMARK_CAPTURE(host_call, string_pack_1000, "f = ('b'):rep(1000) t = {} for i = 1, 1000 do t[i] = 1 end",
                  "string.pack(f, table.unpack(t))");
BENCHMARK_CAPTURE(host_call, string_packsize_1000, "f = ('i4'):rep(1000)", "string.packsize(f)");
BENCHMARK_CAPTURE(host_call, string_gsub_1000, text_1000, "string.gsub(s, 'a', 'b')");
BENCHMARK_CAPTURE(host_call, string_find_plain_1000, text_1000, "string.find(s, 'x', 1, true)");
BENCHMARK_CAPTURE(host_call, table_unpack_1000, text_1000, "table.unpack(t)");
BENCHMARK_CAPTURE(host_call, table_concat_1000, text_1000, "table.concat(t)");
BENCHMARK_CAPTURE(host_call, select_1000, text_1000, "select(-1, table.unpack(t))");
BENCHMARK_CAPTURE(host_call, tostring_float, "", "tostring(1.5)");
BENCHMARK_CAPTURE(host_call, load_long_chunk, "c = ('a = a + 1 '):rep(2000)", "load(c)");
BENCHMARK_CAPTURE(host_call, load_short_chunk, "c = ('a = a + 1 '):rep(20)", "load(c)");
BENCHMARK_CAPTURE(host_call, tonumber_long, "s = ('1'):rep(100000)", "tonumber(s)");
BENCHMARK_CAPTURE(host_call, collectgarbage_count, "", "collectgarbage('count')");
BENCHMARK_CAPTURE(host_call, coroutine_resume_yield,
                  "co = coroutine.create(function() while true do coroutine.yield() end end)",
                  "coroutine.resume(co)");
BENCHMARK_CAPTURE(host_call, coroutine_wrap_close, "f = function() end",
                  "coroutine.close(coroutine.create(f))");
BENCHMARK_CAPTURE(host_call, pcall_error, "", "pcall(error, 'x')");
// A coroutine suspended 20,000 calls deep: the debug library's walks over it.
#define DEEP_COROUTINE                                                         \
  "co = coroutine.create(function() local function r(n) if n == 0 then "     \
  "while true do coroutine.yield() end end return r(n - 1) + 0 end r(20000) " \
  "end) coroutine.resume(co)"
BENCHMARK_CAPTURE(host_call, debug_traceback_deep, DEEP_COROUTINE, "debug.traceback(co)");
BENCHMARK_CAPTURE(host_call, debug_getinfo_deep, DEEP_COROUTINE, "debug.getinfo(co, 19000, 'l')");
BENCHMARK_CAPTURE(host_call, debug_sethook_deep, DEEP_COROUTINE, "debug.sethook(co, print, 'c')");

// Small kernel, graphics-state and userdata calls.
BENCHMARK_CAPTURE(host_call, pal_reset, "", "pal()");
BENCHMARK_CAPTURE(host_call, read_message_empty, "", "_read_message()");
BENCHMARK_CAPTURE(host_call, get_process_list, "", "_get_process_list()");
BENCHMARK_CAPTURE(host_call, map_unmap_ram, "u = userdata('u8', 480, 270)",
                  "_map_ram(u, 0x10000) _unmap_ram(u)");
BENCHMARK_CAPTURE(host_call, lerp_small, "u = userdata('f64', 3)", "u:lerp()");
BENCHMARK_CAPTURE(host_call, lerp_wide, "u = userdata('i32', 1000)", "u:lerp()");

// Slices: a busy child given a tiny share, each call a new frame's budget.
BENCHMARK_CAPTURE(host_call, run_slice_tiny,
                  "c = _create_process_from_code('while true do end', 'c', '/apps/c.lua')",
                  "new_frame() _run_process_slice(c, 0.0001)");

// The process table with 200 live processes.
BENCHMARK_CAPTURE(host_call, run_slice_200, MANY_PROCESSES,
                  "new_frame() _run_process_slice(last, 0.0001)");
BENCHMARK_CAPTURE(host_call, run_slice_unknown_200, MANY_PROCESSES,
                  "_run_process_slice(99999, 0.5)");
BENCHMARK_CAPTURE(host_call, kill_unknown_200, MANY_PROCESSES, "_kill_process(99999)");
BENCHMARK_CAPTURE(host_call, process_state_200, MANY_PROCESSES, "_process_state(last)");
BENCHMARK_CAPTURE(host_call, display_size_200, MANY_PROCESSES,
                  "_get_process_display_size(last)");
BENCHMARK_CAPTURE(host_call, blit_video_200, MANY_PROCESSES "_set_draw_target(userdata('u8', 8, 8))",
                  "_blit_process_video(last, 0, 0, 1, 1)");
BENCHMARK_CAPTURE(host_call, send_message_200, MANY_PROCESSES, "send_message(last, {})");
BENCHMARK_CAPTURE(host_call, get_process_list_200, MANY_PROCESSES, "_get_process_list()");

// Message queues: one full, one long.
BENCHMARK_CAPTURE(host_call, send_message_full,
                  "big = {x = ('y'):rep(60000)} for i = 1, 80 do send_message(pid(), big) end",
                  "send_message(pid(), {})");
BENCHMARK_CAPTURE(host_call, read_message_long,
                  "for i = 1, 20000 do send_message(pid(), {i}) end",
                  "send_message(pid(), _read_message())");

BENCHMARK_MAIN();
