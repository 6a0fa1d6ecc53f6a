// The frame's share: a hostile child loops on one script-API call (or a bulk
// standard-library function) while the root gives it 0.9 of every frame, and
// the whole frame loop's pace (frames per host second) is set beside the pace
// of the empty loop measured in the same state just before. A call whose host
// work its charge does not cover slows every process, and shows as a ratio
// above 4. Each case runs in a fresh userland and in the state it names, built
// up first as a script can build it (a full mount table, 200 processes, 16 MB
// of touched RAM, thousands of files, full message queues, a long GIF
// recording).
//
// Host time is the frame loop's own: the time the host gave to other programs
// while the loop was ready to run is left out, so a loaded machine blurs the
// figures less. Each figure is also given as host nanoseconds of a frame per
// cycle the child was charged in it (the aim is 10 or less).
//
// Every registered global and USERDATA method must have a case: a new one
// without a case fails the run. The exit status is 1 then, when a case does
// not run, or when a case stays beyond 4x after three re-measurements (each
// beside a fresh empty-loop figure); else 0.
//
//   frame_share_bench [--benchmark_min_time=SECONDS] [NAME FILTER]
// SECONDS is each measurement's window (default 0.3); the filter runs the
// cases whose name it matches (a regular expression).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "bench/min_time_flag.h"
#include "kernel/registry.h"
#include "pdisk/pfile.h"
#include "tests/frame_loop.h"

namespace {

// What a userland can build up before it loops on a call; parts combine. The
// fresh state has the fixtures alone (a few small files in a RAM folder, a
// drive folder and a drive cartridge, the desktop mounted).
enum state_part : unsigned {
  mounts = 1,      // the mount table filled as far as a script may
  processes = 2,   // 200 idle processes
  ram = 4,         // the child's whole 16 MB RAM touched
  files = 8,       // 5,000 files in a RAM folder and 5,000 in the drive's root
  queues = 16,     // the queues of the first three processes and the child's own full
  recording = 32,  // a long GIF recording in progress; every frame builds its picture
};
constexpr unsigned file_system = mounts | files;
constexpr unsigned kernel = processes | queues;
constexpr unsigned everything = mounts | processes | ram | files | queues;

std::string state_name(unsigned s) {
  if (s == 0) return "fresh";
  if (s == everything) return "all but recording";
  static const char *names[] = {"mounts", "processes", "ram", "files", "queues", "recording"};
  std::string out;
  for (int i = 0; i < 6; i++)
    if (s & (1u << i)) out += (out.empty() ? "" : "+") + std::string(names[i]);
  return out;
}

struct bench_case {
  std::string name;   // the registered name it covers first ("USERDATA.x" for a method)
  std::string setup;  // the child's code before its loop
  std::string call;   // the loop's body
  unsigned state;     // the loaded state it is measured in
};

// Calls that are not looped, and why.
const std::pair<const char *, const char *> not_looped[] = {
    {"_signal 33", "asks the system to exit"},
    {"_signal 34", "asks the system to reboot"},
};

// The locals every child has: ordinary arguments (a short text, 64-element
// tables and userdata, a 16x16 sprite, small vectors and matrices).
const char *prelude = R"lua(
local text = "the quick brown fox jumps over the lazy dog"
local t64 = {} for i = 1, 64 do t64[i] = i end
local v64, w64 = userdata("f64", 64), userdata("f64", 64)
for i = 0, 63 do v64[i] = i * 0.5 + 1 w64[i] = 64 - i end
local n64, m64 = userdata("i32", 64), userdata("i32", 64)
for i = 0, 63 do n64[i] = (i * 37) % 64 m64[i] = i + 1 end
local s16 = userdata("u8", 16, 16) for i = 0, 255 do s16[i] = i % 16 end
local b64 = userdata("u8", 64, 64)
local page = userdata("u8", 64, 64)
local v2, v3, w3 = vec(1, 2), vec(1, 2, 3), vec(4, 5, 6)
local m4, n4 = userdata("f64", 4, 4), userdata("f64", 4, 4)
for i = 0, 15 do m4[i] = i n4[i] = 16 - i end
local affine3, affine2 = userdata("f64", 3, 4), userdata("f64", 2, 3)
affine3:set(0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 5, 6, 7)
affine2:set(0, 0, 1, 0, 0, 1, 5, 6)
_set_spr(1, s16)
)lua";

// What the loaded states add to the child itself, before its setup.
const char *touch_all_ram = "for a = 0, 0xfff000, 0x1000 do poke(a, peek(a)) end\n";
const char *fill_own_queue =
    "do local s = string.rep('m', 60000) for i = 1, 70 do send_message(pid(), {s = s}) end end\n";

// A capture's parameter block and name in the caller's RAM: the whole screen
// at scale 1, named "bench".
const char *capture_setup =
    "poke2(0x40, 0, 0, 480, 270, 1) poke2(0x50, 0, 0, 480, 270, 1) "
    "poke(0x60, string.byte('bench', 1, -1)) poke(0x65, 0)";

// The names a file case uses under a folder.
std::string file_setup(const char *folder) {
  return std::string("local dir = '") + folder +
         "' local small, tmp, copy, new = dir .. '/small.txt', dir .. '/tmp.txt', "
         "dir .. '/copy.txt', dir .. '/new'";
}

std::vector<bench_case> case_table() {
  std::vector<bench_case> c = {
      // tables, maths and text (kernel/maths_api.cpp)
      {"deli", "", "deli(t64, 1) t64[64] = 64", ram},
      {"add", "", "add(t64, 0) t64[65] = nil", ram},
      {"del", "", "del(t64, 32) t64[64] = 32", ram},
      {"count", "", "count(t64, 3)", ram},
      {"chr", "", "chr(104, 101, 108, 108, 111)", ram},
      {"ord", "", "ord(text, 1, 8)", ram},
      {"tokenoid", "", "tokenoid('local x = 1 + 2', 1)", ram},
      {"rnd", "", "rnd(10)", ram},
      {"rnd table", "", "rnd(t64)", ram},
      {"srand", "", "srand(42)", ram},
      {"abs", "", "abs(-3.5)", ram},
      {"sgn", "", "sgn(-2)", ram},
      {"max", "", "max(3, 4)", ram},
      {"min", "", "min(3, 4)", ram},
      {"mid", "", "mid(1, 5, 3)", ram},
      {"sqrt", "", "sqrt(2)", ram},
      {"cos", "", "cos(0.25)", ram},
      {"sin", "", "sin(0.25)", ram},
      {"atan2", "", "atan2(1, 1)", ram},
      {"flr", "", "flr(3.7)", ram},
      {"ceil", "", "ceil(3.2)", ram},
      {"split", "", "split('1,2,3,4,5,6,7,8')", ram},
      {"_strindex", "", "_strindex(text, 5)", ram},
      // time, input, clipboard and host window (kernel/system_api.cpp, kernel/input_api.cpp)
      {"time", "", "time()", ram},
      {"t", "", "t()", ram},
      {"date", "", "date()", ram},
      {"date table", "", "date('*t')", ram},
      {"date from text", "", "date('%Y', '2024-02-29 12:00:00')", ram},
      {"btn", "", "btn()", ram},
      {"btn one", "", "btn(4, 0)", ram},
      {"btnp", "", "btnp(4, 0)", ram},
      {"_update_buttons", "", "_update_buttons(true)", ram},
      {"_warp_mouse", "", "_warp_mouse(240, 135)", ram},
      {"_set_host_window_title", "", "_set_host_window_title('bench')", ram},
      {"_set_host_window_icon", "", "_set_host_window_icon(s16)", ram},
      {"_get_userland_clipboard_text", "_set_userland_clipboard_text(text)",
       "_get_userland_clipboard_text()", ram},
      {"_set_userland_clipboard_text", "", "_set_userland_clipboard_text(text)", ram},
      {"_apply_system_settings", "", "_apply_system_settings({volume = 192, pixel_perfect = 1})",
       ram},
      // process RAM (kernel/ram_api.cpp)
      {"peek", "", "peek(0x10000)", ram},
      {"peek 64 values", "", "peek(0x10000, 64)", ram},
      {"poke", "", "poke(0x10000, 7)", ram},
      {"poke 16 values", "", "poke(0x10000, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16)",
       ram},
      {"peek2", "", "peek2(0x10000)", ram},
      {"poke2", "", "poke2(0x10000, 7)", ram},
      {"peek4", "", "peek4(0x10000)", ram},
      {"poke4", "", "poke4(0x10000, 7)", ram},
      {"peek8", "", "peek8(0x10000)", ram},
      {"poke8", "", "poke8(0x10000, 7)", ram},
      {"_ppeek", "", "_ppeek(3, 0x10000)", ram | processes},
      {"_ppeek4", "", "_ppeek4(3, 0x10000)", ram | processes},
      {"memcpy", "", "memcpy(0x80000, 0x10000, 0x1000)", ram},
      {"memcpy screen", "", "memcpy(0x80000, 0x10000, 0x20000)", ram},
      {"memset", "", "memset(0x80000, 1, 0x1000)", ram},
      {"memset screen", "", "memset(0x10000, 1, 0x20000)", ram},
      {"memset as the audio owner", "note(48, 0, 0)", "memset(0x80000, 1, 0x1000)", ram},
      {"_map_ram", "", "_map_ram(page, 0x80000)", ram},
      {"_map_ram map", "", "_map_ram(page, 0x100000)", ram},
      {"_unmap_ram", "", "_map_ram(page, 0x80000) _unmap_ram(page, 0x80000)", ram},
      // processes (kernel/process_api.cpp)
      {"pid", "", "pid()", kernel},
      {"_create_process_from_code", "",
       "_kill_process(_create_process_from_code('flip()', 'x', '/apps/x.lua'))", kernel},
      {"_run_process_slice", "local g = _create_process_from_code('while true do end', 'g', '/apps/g.lua')",
       "_run_process_slice(g, 0.01)", kernel},
      {"_run_process_slice flipped",
       "local g = _create_process_from_code('while true do flip() end', 'g', '/apps/g.lua')",
       "_run_process_slice(g, 0.01)", kernel},
      {"_kill_process restart",
       "local g = _create_process_from_code('flip()', 'g', '/apps/g.lua')", "_kill_process(g, 1)",
       kernel},
      {"_halt", "", "_halt()", kernel},
      {"flip", "", "flip()", kernel | ram},
      {"_flip", "", "_flip()", kernel | ram},
      {"_yielded_to_escape_slice", "", "_yielded_to_escape_slice()", kernel},
      {"_process_state", "", "_process_state(3)", kernel},
      {"_get_process_display_size", "", "_get_process_display_size(3)", kernel},
      {"_get_process_list", "", "_get_process_list()", kernel},
      {"_blit_process_video", "", "_blit_process_video(pid())", kernel | ram},
      {"_set_spr", "", "_set_spr(2, s16)", kernel | ram},
      {"load", "", "load('return 1 + 2')", kernel},
      // messages (kernel/messages_api.cpp)
      {"send_message", "", "send_message(3, {event = 'bench', x = 1})", kernel},
      {"send_message to itself", "local me = pid()",
       "send_message(me, {event = 'bench', x = 1}) _read_message()", kernel},
      {"_send_message", "", "_send_message(3, {event = 'bench', x = 1})", kernel},
      {"_read_message", "", "_read_message()", kernel},
      // userdata and encodings (values/)
      {"userdata", "", "userdata('u8', 16, 16)", ram},
      {"userdata from text", "", "userdata('u8', 4, 4, '0102030405060708090a0b0c0d0e0f10')", ram},
      {"vec", "", "vec(1, 2, 3)", ram},
      {"get", "", "get(v64, 0, 64)", ram},
      {"set", "", "set(v64, 0, 1, 2, 3, 4, 5, 6, 7, 8)", ram},
      {"tuk", "local v = {x = 1, y = 2, name = 'bench', list = {1, 2, 3}}", "tuk(v)", ram},
      {"_tuk", "local v = {x = 1, y = 2, name = 'bench', list = {1, 2, 3}}", "_tuk(v)", ram},
      {"untuk", "", "untuk('{x=1,y=2,name=\"bench\",list={1,2,3}}')", ram},
      {"create_delta", "local a = string.rep(text, 24) local b = a:gsub('fox', 'cat')",
       "create_delta(a, b)", ram},
      {"apply_delta",
       "local a = string.rep(text, 24) local d = create_delta(a, (a:gsub('fox', 'cat')))",
       "apply_delta(a, d)", ram},
      // drawing (gfx/)
      {"cls", "", "cls(1)", ram},
      {"fillp", "", "fillp(0x5a5a)", ram},
      {"pset", "", "pset(10, 10, 7)", ram},
      {"pset batch", "local recs = userdata('f64', 3, 64) for i = 0, 63 do recs:set(0, i, i, i, 7) end",
       "pset(recs)", ram},
      {"pget", "", "pget(10, 10)", ram},
      {"fset", "", "fset(1, 0, true)", ram},
      {"fget", "", "fget(1, 0)", ram},
      {"mset", "_map_ram(userdata('i16', 32, 32), 0x100000)", "mset(1, 1, 5)", ram},
      {"mget", "_map_ram(userdata('i16', 32, 32), 0x100000)", "mget(1, 1)", ram},
      {"camera", "", "camera(0, 0)", ram},
      {"clip", "", "clip(0, 0, 240, 135)", ram},
      {"rectfill", "", "rectfill(10, 10, 100, 100, 7)", ram},
      {"rectfill batch",
       "local recs = userdata('f64', 5, 64) for i = 0, 63 do recs:set(0, i, i, i, i + 8, i + 8, 7) end",
       "rectfill(recs)", ram},
      {"rect", "", "rect(10, 10, 100, 100, 7)", ram},
      {"ovalfill", "", "ovalfill(10, 10, 100, 60, 7)", ram},
      {"circfill", "", "circfill(240, 135, 20, 7)", ram},
      {"circfill batch",
       "local recs = userdata('f64', 4, 64) for i = 0, 63 do recs:set(0, i, i * 4, 100, 4, 7) end",
       "circfill(recs)", ram},
      {"oval", "", "oval(10, 10, 100, 60, 7)", ram},
      {"circ", "", "circ(240, 135, 20, 7)", ram},
      {"rrect", "", "rrect(10, 10, 100, 60, 8, 7)", ram},
      {"rrectfill", "", "rrectfill(10, 10, 100, 60, 8, 7)", ram},
      {"line", "", "line(0, 0, 479, 269, 7)", ram},
      {"tline3d", "", "tline3d(s16, 0, 10, 100, 10, 0, 0, 16, 0)", ram},
      {"tline3d batch",
       "local recs = userdata('f64', 9, 64) for i = 0, 63 do recs:set(0, i, 1, 0, i, 100, i, 0, 0, 16, 0) end",
       "tline3d(recs)", ram},
      {"sspr", "", "sspr(s16, 0, 0, 16, 16, 10, 10, 32, 32)", ram},
      {"spr", "", "spr(s16, 10, 10)", ram},
      {"spr slot", "", "spr(1, 10, 10)", ram},
      {"spr batch", "local recs = userdata('f64', 3, 64) for i = 0, 63 do recs:set(0, i, 1, i * 4, 50) end",
       "spr(recs)", ram},
      {"_draw_map",
       "local map = userdata('i16', 30, 17) for i = 0, 30 * 17 - 1 do map[i] = 1 end",
       "_draw_map(map, 0, 0, 0, 0, 30, 17)", ram},
      {"blit", "", "blit(s16, b64, 0, 0, 8, 8)", ram},
      {"_print_m7scii", "", "_print_m7scii(text, 10, 10, 7)", ram},
      {"_printh", "", "_printh('hello')", ram},
      {"cursor", "", "cursor(10, 10)", ram},
      {"color", "", "color(7)", ram},
      {"pal", "", "pal(1, 2)", ram},
      {"pal reset", "", "pal()", ram},
      {"palt", "", "palt(0, true)", ram},
      {"_set_draw_target", "", "_set_draw_target(b64)", ram},
      {"_set_draw_target reset", "", "_set_draw_target()", ram},
      // sound (mudo/audio_api.cpp)
      {"note", "", "note(48, 0, 64, 0, 0, 0)", ram},
      {"sfx", "", "sfx(0, 0)", ram},
      {"music", "", "music(0)", ram},
      // files (pdisk/file_api.cpp) that take no path of the three kinds
      {"ls ram folder", "", "ls('/ram/bench')", file_system},
      {"ls root", "", "ls('/')", file_system},
      {"ls cart", "", "ls('/bench/c.kvt')", file_system},
      {"_ls", "", "_ls('/ram/bench')", file_system},
      {"mount", "", "mount('/ram/bench_m', '/ram/bench')", file_system},
      {"_mount", "", "_mount('/ram/bench_m', '/ram/bench')", file_system},
      {"pwd", "", "pwd()", file_system},
      {"_pwd", "", "_pwd()", file_system},
      {"_normalise_userland_path", "", "_normalise_userland_path('/ram/bench/../bench/./small.txt')",
       file_system},
      {"norm", "", "norm('/ram/bench/../bench/./small.txt')", file_system},
      {"_is_well_formed_bbs_path", "", "_is_well_formed_bbs_path('bbs://games/demo_1.kvt')",
       file_system},
      {"_cache_store", "local s = string.rep('z', 600)", "_cache_store('bench', 'x.bin', s)",
       file_system},
      {"_cache_fetch", "_cache_store('bench', 'x.bin', string.rep('z', 600))",
       "_cache_fetch('bench', 'x.bin')", file_system},
      {"_fetch_yorelog",
       "_apply_system_settings({yorelog = 1}) store('/bench/small.txt', text) "
       "local version = '/bench/small.txt@' .. date()",
       "_fetch_yorelog(version)", file_system},
      {"_fetch_remote", "", "_fetch_remote('http://127.0.0.1:1/bench.txt')", file_system},
      {"_fetch_remote_result", "local job = _fetch_remote('http://127.0.0.1:1/bench.txt')",
       "_fetch_remote_result(job)", file_system},
      {"fetch png", "", "fetch('/ram/bench/s.png')", file_system},
      {"store png", "local img = userdata('i32', 16, 16)", "store('/ram/bench/s.png', img)",
       file_system},
      {"fetch cartridge file", "", "fetch('/bench/c.kvt')", file_system},
      {"fstat cartridge file", "", "fstat('/bench/c.kvt')", file_system},
      // the signals of the captures and of the file system (the others below)
      {"_signal 16", capture_setup, "_signal(16)", recording},
      {"_signal 18", capture_setup, "_signal(18)", recording},
      {"_signal 19", capture_setup, "_signal(19)", recording},
      {"_signal 18 then 19", capture_setup, "_signal(18) _signal(19)", recording},
      {"_signal 21", capture_setup, "_signal(21)", recording},
      {"_signal 38", "", "_signal(38)", ram},
      {"_signal 39", "", "_signal(39)", file_system},
      {"_signal 65", "", "_signal(65)", file_system},
      // USERDATA methods (values/userdata_api.cpp, userdata/)
      {"USERDATA.sort", "", "n64:sort()", ram},
      {"USERDATA.convert", "", "v64:convert('i32')", ram},
      {"USERDATA.copy", "", "v64:copy(w64)", ram},
      {"USERDATA.copy in place", "", "v64:copy(w64, true)", ram},
      {"USERDATA.take", "", "v64:take(n64)", ram},
      {"USERDATA.clear", "", "v64:clear()", ram},
      {"USERDATA.__add", "", "local r = v64 + w64", ram},
      {"USERDATA.__sub", "", "local r = v64 - w64", ram},
      {"USERDATA.__mul", "", "local r = v64 * w64", ram},
      {"USERDATA.__div", "", "local r = v64 / w64", ram},
      {"USERDATA.__idiv", "", "local r = v64 // w64", ram},
      {"USERDATA.__mod", "", "local r = v64 % w64", ram},
      {"USERDATA.__pow", "", "local r = v64 ^ 2", ram},
      {"USERDATA.__band", "", "local r = n64 & m64", ram},
      {"USERDATA.__bor", "", "local r = n64 | m64", ram},
      {"USERDATA.__bxor", "", "local r = n64 ~ m64", ram},
      {"USERDATA.__shl", "", "local r = n64 << 2", ram},
      {"USERDATA.__shr", "", "local r = n64 >> 1", ram},
      {"USERDATA.max", "", "v64:max(w64)", ram},
      {"USERDATA.min", "", "v64:min(w64)", ram},
      {"USERDATA.abs", "", "v64:abs()", ram},
      {"USERDATA.sgn", "", "v64:sgn()", ram},
      {"USERDATA.sgn0", "", "v64:sgn0()", ram},
      {"USERDATA.add", "", "v64:add(w64)", ram},
      {"USERDATA.sub", "", "v64:sub(w64)", ram},
      {"USERDATA.mul", "", "v64:mul(w64)", ram},
      {"USERDATA.div", "", "v64:div(w64)", ram},
      {"USERDATA.idiv", "", "v64:idiv(w64)", ram},
      {"USERDATA.mod", "", "v64:mod(w64)", ram},
      {"USERDATA.pow", "", "v64:pow(2)", ram},
      {"USERDATA.band", "", "n64:band(m64)", ram},
      {"USERDATA.bor", "", "n64:bor(m64)", ram},
      {"USERDATA.bxor", "", "n64:bxor(m64)", ram},
      {"USERDATA.shl", "", "n64:shl(2)", ram},
      {"USERDATA.shr", "", "n64:shr(1)", ram},
      {"USERDATA.__len", "", "local r = #v64", ram},
      {"USERDATA.__tostring", "", "tostring(v3)", ram},
      {"USERDATA.__index", "", "local r = v64[5]", ram},
      {"USERDATA.__index component", "", "local r = v3.y", ram},
      {"USERDATA.__newindex", "", "v64[5] = 1", ram},
      {"USERDATA.set", "", "v64:set(0, 1, 2, 3, 4)", ram},
      {"USERDATA.get", "", "v64:get(0, 64)", ram},
      {"USERDATA.blit", "", "s16:blit(b64, 0, 0, 8, 8)", ram},
      {"USERDATA.peek", "", "n64:peek(0x10000)", ram},
      {"USERDATA.poke", "", "n64:poke(0x80000)", ram},
      {"USERDATA.width", "", "v64:width()", ram},
      {"USERDATA.height", "", "s16:height()", ram},
      {"USERDATA.attribs", "", "s16:attribs()", ram},
      {"USERDATA.mutate", "", "s16:mutate('u8', 16, 16)", ram},
      {"USERDATA.lerp", "", "v64:lerp()", ram},
      {"USERDATA.magnitude", "", "v3:magnitude()", ram},
      {"USERDATA.distance", "", "v3:distance(w3)", ram},
      {"USERDATA.dot", "", "v64:dot(w64)", ram},
      {"USERDATA.cross", "", "v3:cross(w3)", ram},
      {"USERDATA.matmul", "", "m4:matmul(n4)", ram},
      {"USERDATA.matmul3d", "", "v3:matmul3d(affine3)", ram},
      {"USERDATA.matmul2d", "", "v2:matmul2d(affine2)", ram},
      {"USERDATA.transpose", "", "m4:transpose()", ram},
      {"USERDATA.row", "", "m4:row(1)", ram},
      {"USERDATA.column", "", "m4:column(1)", ram},
      // the standard library's bulk functions
      {"string.rep", "", "string.rep('ab', 32)", ram},
      {"string.format", "", "string.format('%d %s %5.2f', 42, text, 3.25)", ram},
      {"string.byte", "", "string.byte(text, 1, -1)", ram},
      {"string.char", "", "string.char(104, 101, 108, 108, 111)", ram},
      {"string.pack", "", "string.pack('i4i4d', 1, 2, 3.5)", ram},
      {"string.unpack", "local packed = string.pack('i4i4d', 1, 2, 3.5)",
       "string.unpack('i4i4d', packed)", ram},
      {"string.gsub", "", "string.gsub(text, 'o', '0')", ram},
      {"string.gmatch", "", "for w in string.gmatch(text, '%a+') do end", ram},
      {"string.find", "", "string.find(text, 'lazy')", ram},
      {"table.concat", "", "table.concat(t64, ',')", ram},
      {"table.unpack", "", "table.unpack(t64)", ram},
      {"table.move", "local dst = {}", "table.move(t64, 1, 64, 1, dst)", ram},
      {"table.insert", "", "table.insert(t64, 1, 0) t64[65] = nil", ram},
      {"table.remove", "", "table.remove(t64, 1) t64[64] = 64", ram},
      {"select", "", "select('#', table.unpack(t64))", ram},
      {"utf8.char", "", "utf8.char(233, 0x4e2d, 72)", ram},
      {"utf8.codepoint", "local u = 'caf\\u{e9} \\u{4e2d}'", "utf8.codepoint(u, 1, -1)", ram},
      {"utf8.len", "local u = 'caf\\u{e9} \\u{4e2d}'", "utf8.len(u)", ram},
      {"utf8.offset", "local u = 'caf\\u{e9} \\u{4e2d}'", "utf8.offset(u, 4)", ram},
      {"utf8.codes", "local u = 'caf\\u{e9} \\u{4e2d}'", "for p, c in utf8.codes(u) do end", ram},
      {"tostring", "", "tostring(12.5)", ram},
      {"collectgarbage count", "", "collectgarbage('count')", ram},
      {"collectgarbage step", "", "collectgarbage('step')", ram},
      {"collectgarbage full", "", "collectgarbage()", ram},
      {"coroutine.resume",
       "local co = coroutine.create(function() while true do coroutine.yield() end end)",
       "coroutine.resume(co)", ram},
      {"coroutine.wrap", "local f = function() end", "coroutine.wrap(f)()", ram},
      {"coroutine.close", "local f = function() end", "coroutine.close(coroutine.create(f))", ram},
      {"debug.traceback", "", "debug.traceback()", ram},
      {"debug.getinfo", "", "debug.getinfo(1)", ram},
      {"debug.sethook", "", "debug.sethook()", ram},
  };

  // stat: every row of its table (400-415 each channel), the audio queries as
  // the audio-owning process.
  const struct {
    int n;
    const char *args;
    unsigned state;
  } stats[] = {
      {0, "", ram},         {1, "", ram},           {2, "", ram},         {3, "", ram},
      {5, "", ram},         {7, "", ram},           {86, "", ram},        {87, "", ram},
      {101, "", ram},       {150, "", ram},         {151, "", ram},       {152, "", ram},
      {153, "", ram},       {301, "", everything},  {302, ", 4", ram},    {307, "", ram},
      {308, "", everything}, {309, "", everything}, {310, "", everything}, {311, "", everything},
      {312, ", 0x10000", ram}, {313, "", ram},      {314, "", ram},       {315, "", ram},
      {316, "", ram},       {317, "", ram},         {320, "", recording}, {321, "", recording},
      {322, "", recording}, {330, "", ram},         {464, "", ram},       {465, ", 0, 0x80000", ram},
      {466, "", ram},       {467, "", ram},         {985, "", ram},       {986, "", ram},
      {987, "", ram},       {988, "", ram},
  };
  for (const auto &s : stats)
    c.push_back({"stat " + std::to_string(s.n), s.n >= 464 && s.n <= 467 ? "note(48, 0, 0)" : "",
                 "stat(" + std::to_string(s.n) + s.args + ")", s.state});
  for (int ch = 0; ch < 16; ch++)
    c.push_back({"stat " + std::to_string(400 + ch), "note(48, 0, 0)",
                 "stat(" + std::to_string(400 + ch) + ", 5)", ram});
  for (int field : {19, 20})
    c.push_back({"stat 400 field " + std::to_string(field), "note(48, 0, 0)",
                 "stat(400, " + std::to_string(field) + ", 0x80000)", ram});

  // _signal: every other row of its table (the capture ones above).
  for (int n : {0, 22, 23, 35, 36, 37, 40, 41})
    c.push_back({"_signal " + std::to_string(n), "", "_signal(" + std::to_string(n) + ")",
                 n >= 40 ? kernel : ram});

  // The file functions on a file in a RAM folder, a drive folder and a drive
  // cartridge. Aliases take the RAM path.
  const struct {
    const char *name, *call;
    bool all_kinds;
  } file_calls[] = {
      {"fetch", "fetch(small)", true},
      {"_fetch_local", "_fetch_local(small)", false},
      {"store", "store(small, text)", true},
      {"_store_local", "_store_local(small, text)", false},
      {"_fetch_metadata_from_file", "_fetch_metadata_from_file(small)", true},
      {"_store_metadata_str_to_file", "_store_metadata_str_to_file(small, '--[[tuk]]')", true},
      {"fstat", "fstat(small)", true},
      {"_fstat", "_fstat(small)", false},
      {"fullpath", "fullpath(small)", true},
      {"_fullpath", "_fullpath(small)", false},
      {"cp", "cp(small, copy)", true},
      {"_fcopy", "_fcopy(small, copy)", false},
      {"_fdelete", "_fdelete(tmp) store(tmp, 'x')", true},
      {"mkdir", "mkdir(new) _fdelete(new)", true},
      {"_mkdir", "_mkdir(new) _fdelete(new)", false},
      {"cd", "cd(dir)", true},
      {"_cd", "_cd(dir)", false},
  };
  const std::pair<const char *, const char *> kinds[] = {
      {"ram", "/ram/bench"}, {"drive", "/bench"}, {"cart", "/bench/c.kvt"}};
  for (const auto &f : file_calls)
    for (const auto &[kind, folder] : kinds) {
      c.push_back({std::string(f.name) + " " + kind, file_setup(folder), f.call, file_system});
      if (!f.all_kinds) break;
    }
  return c;
}

/* ---------------------------------------------------------------------- */
/* the userland                                                           */
/* ---------------------------------------------------------------------- */

// The root: the system's own two processes as placeholders, the state
// builders, and one child at a time, sliced at 0.9 each frame. It takes its
// orders from the benchmark through bench_order().
const std::string boot_code = frame_loop::system_processes + R"lua(
local body = string.rep("hello world ", 85)
local build = {}
function build.fixtures()
  _signal(65)  -- the desktop, where captures go
  for _, dir in ipairs({"/ram/bench", "/bench", "/bench/c.kvt"}) do
    mkdir(dir)
    store(dir .. "/small.txt", body)
    store(dir .. "/tmp.txt", "x")
    store(dir .. "/copy.txt", "x")
  end
  store("/ram/bench/s.png", userdata("i32", 16, 16))
end
-- What the cases may leave behind: files made or deleted, the history on,
-- mounts added (`surplus` of them) at the two points the cases mount on.
local function tidy(surplus)
  for _, dir in ipairs({"/ram/bench", "/bench", "/bench/c.kvt"}) do
    _fdelete(dir .. "/new")
    if not fstat(dir .. "/tmp.txt") then store(dir .. "/tmp.txt", "x") end
  end
  _apply_system_settings({yorelog = 0})
  for i = 1, surplus do
    _fdelete("/ram/bench_m")
    _fdelete("/desktop/host")
  end
  if surplus > 0 then _signal(65) end
end
function build.mounts()  -- as far as a script may: mount() stops short of _signal(65)
  mkdir("/ram/mt")
  for i = 1, 2100 do mount("/mt/" .. i, "/ram/mt") end
  for i = 1, 10 do _signal(65) end
end
function build.processes()
  for i = 1, 200 do _create_process_from_code("while true do flip() end", "idle", "/apps/idle.lua") end
end
function build.files()  -- the drive's files are written by the benchmark
  mkdir("/ram/many")
  for i = 1, 5000 do store("/ram/many/" .. i .. ".txt", "x") end
end
function build.queues()
  local s = string.rep("m", 60000)
  for _, id in ipairs({1, 2, 3}) do
    for i = 1, 70 do send_message(id, {s = s}) end
  end
end
function build.recording()
  poke2(0x40, 0, 0, 480, 270, 1)
  poke(0x60, string.byte("bench", 1, -1)) poke(0x65, 0)
  _signal(18)
end
built, child = 0, 0
while true do
  local order, arg = bench_order()
  if order == "build" then
    build[arg]()
    built = built + 1
  elseif order == "tidy" then
    tidy(tonumber(arg))
    built = built + 1
  elseif order == "spawn" then
    child = _create_process_from_code(arg, "case", "/apps/case.lua") or -1
  elseif order == "kill" then
    -- the child and whatever it made
    for _, p in ipairs(_get_process_list()) do
      if child > 0 and p.id >= child then _kill_process(p.id) end
    end
    child = 0
  end
  if child > 0 then _run_process_slice(child, 0.9) end
  flip()
end
)lua";

// The root's next order, taken by bench_order().
std::string order_kind, order_arg;

int bench_order(lua_State *L) {
  if (order_kind.empty()) return 0;
  lua_pushstring(L, order_kind.c_str());
  lua_pushlstring(L, order_arg.data(), order_arg.size());
  order_kind.clear();
  return 2;
}

int64_t root_global(const char *name) { return frame_loop::global_integer(1, name).value_or(-1); }

// Frames (building the picture or not) until done() holds; false when they
// pass the limit first.
bool frames_until(const std::function<bool()> &done, bool picture, int64_t limit = 400000) {
  if (done()) return true;
  frame_loop::figures f =
      frame_loop::run({.frames = limit, .until = done, .build_picture = picture});
  return f.stopped == frame_loop::stop::condition;
}

void fail(const std::string &why) {
  std::fprintf(stderr, "frame_share_bench: %s\n", why.c_str());
  frame_loop::end();
  std::exit(1);
}

// What a case may change and must leave as it was: when it differs after a
// child, the state is built again.
struct fingerprint {
  int processes = 0;
  size_t mounts = 0;
  int free_slots = 0;
  bool recording = false;
  int32_t capture = 0, blocked = 0, yorelog = 0;
  int64_t holder = 0;
  bool operator==(const fingerprint &) const = default;
};

fingerprint take_fingerprint() {
  return {get_process_count(), pmount_table.size(), pfile_free_count(), gif_recording_open(),
          app.audio_capture_on, app.cart_mount_blocked, config.yorelog, app.shutdown_holder};
}

// 5,000 small files in the drive's root, written straight to the host: as a
// script would leave them, without a script's sync of each.
void write_drive_files() {
  std::string drive = hovi_prefix_with_appdata_path("drive");
  for (int i = 1; i <= 5000; i++) {
    std::string path = drive + "/f" + std::to_string(i) + ".txt";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fputs("--[[tuk]]\n\"x\"", f) < 0 || std::fclose(f) != 0) fail("cannot write " + path);
  }
}

// The recording is made long first, and begun again before it nears the
// frames its memory holds (some 3,700 of the whole screen), whose end would
// fall on one measurement.
constexpr int recording_frames = 600;
constexpr int recording_frames_max = 2400;

struct world {
  unsigned state = ~0u;
  fingerprint built;
  int builds = 0;  // and their host time, for the developer
  double build_seconds = 0;
} here;

int64_t orders_done = 0;

// Has the root build a part of the state (or tidy up: "tidy" and the count of
// mounts added), in frames of its own.
void build(const char *part, const char *kind = "build") {
  order_kind = kind;
  order_arg = part;
  int64_t done = ++orders_done;
  if (!frames_until([&] { return root_global("built") == done; }, false))
    fail(std::string("building ") + part + " did not finish");
}

// Boots the root and builds the state: fixtures first, then each part.
void enter(unsigned state) {
  auto from = std::chrono::steady_clock::now();
  frame_loop::boot({{"boot.lua", boot_code}});
  orders_done = 0;
  lua_register(get_process(1)->lua_state, "bench_order", bench_order);
  build("fixtures");
  if (state & files) write_drive_files();
  static const char *parts[] = {"mounts", "processes", "ram", "files", "queues", "recording"};
  for (int i = 0; i < 6; i++)
    if ((state & (1u << i)) && i != 2) build(parts[i]);  // the child touches its RAM itself
  if (state & recording) {
    // A long recording: some ten seconds of frames.
    frame_loop::run({.frames = recording_frames, .build_picture = true});
    if (!gif_recording_open()) fail("the GIF recording did not start");
  }
  here.state = state;
  here.built = take_fingerprint();
  here.builds++;
  here.build_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The system's chatter (warnings, traces, what scripts print) goes to a file
// of its own, emptied after each measurement; the table goes to `out`.
FILE *out = stdout;
std::string chatter_path;

void divert_chatter() {
  out = fdopen(dup(1), "w");
  char pattern[] = "/tmp/kestrune-frame-share-XXXXXX";
  int fd = mkstemp(pattern);
  if (!out || fd < 0) fail("no file for the system's output");
  chatter_path = pattern;
  std::fflush(stdout);
  dup2(fd, 1);
  close(fd);
}

void empty_chatter() {
  std::fflush(stdout);
  if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) < 0) fail("cannot empty the system's output");
}

// The child's code: the prelude, what the state adds to the child, the
// setup, then the loop from the frame after the one that reports it ready.
std::string child_code(const bench_case &c, const std::string &call, unsigned state) {
  std::string code = prelude;
  if (state & ram) code += touch_all_ram;
  if (state & queues) code += fill_own_queue;
  return code + c.setup + "\nready = 1 flip()\nwhile true do " + call + " end\n";
}

// Nanoseconds this thread has waited, ready to run, for a processor that the
// host gave to other programs (0 where the host does not tell).
int64_t waited_ns() {
  FILE *f = std::fopen("/proc/thread-self/schedstat", "r");
  long long ran = 0, waited = 0;
  if (f) {
    if (std::fscanf(f, "%lld %lld", &ran, &waited) != 2) waited = 0;
    std::fclose(f);
  }
  return waited;
}

// A child's pace: frames per host second of the whole frame loop, and the
// host nanoseconds of a frame per cycle the child was charged in it.
struct pace {
  double fps = 0, ns_per_cycle = 0;
};

// The frame loop's pace while the child runs the code, over `seconds` of
// frames from its first pass of the loop (the time the host gave to other
// programs left out); nothing when the child does not run.
std::optional<pace> measure(const std::string &code, bool picture, double seconds,
                            std::string *why) {
  if (picture && !frames_until([] { return app.boot_finished != 0; }, true)) {
    *why = "the boot screen did not end";
    return std::nullopt;
  }
  order_kind = "spawn";
  order_arg = code;
  if (!frames_until([] { return root_global("child") != 0; }, picture)) {
    *why = "the root did not spawn it";
    return std::nullopt;
  }
  int64_t id = root_global("child");
  bool started = id > 0 && frames_until(
                               [id] {
                                 return !get_process(id) ||
                                        frame_loop::global_integer(id, "ready") == 1;
                               },
                               picture);
  std::optional<pace> result;
  if (!started || !get_process(id)) {
    *why = "the child did not start (an error in its code?)";
  } else {
    int64_t cycles = 0;
    auto count = [&] {
      if (process *P = get_process(id)) cycles += P->cycles_frame;
      return false;
    };
    int64_t waited = waited_ns();
    frame_loop::figures f =
        frame_loop::run({.host_seconds = seconds, .until = count, .build_picture = picture});
    waited = waited_ns() - waited;
    if (f.stopped == frame_loop::stop::exit_requested) fail("the system was asked to exit");
    int64_t ns = f.total_ns() - waited;
    if (ns <= 0) ns = f.total_ns();
    if (!get_process(id))
      *why = "the child ended (an error in its call?)";
    else
      result = pace{double(f.frames()) * 1e9 / double(ns),
                    cycles > 0 ? double(ns) / double(cycles) : 0};
  }
  order_kind = "kill";
  order_arg.clear();
  if (!frames_until([] { return root_global("child") == 0; }, picture)) fail("the root hangs");
  empty_chatter();
  if (take_fingerprint() != here.built) {
    size_t mounts = pmount_table.size(), before = here.built.mounts;
    build(std::to_string(mounts > before ? mounts - before : 0).c_str(), "tidy");
  }
  bool recording_long = (here.state & recording) && app.gif_frame_count > recording_frames_max;
  if (take_fingerprint() != here.built || recording_long) enter(here.state);
  return result;
}

// One case's figures in one state.
struct figures {
  bool ran = false;
  pace empty, loop;
  double ratio() const { return loop.fps > 0 ? empty.fps / loop.fps : 1e9; }
};

constexpr double ratio_limit = 4;
constexpr int remeasures = 3;
std::vector<std::unique_ptr<char[]>> placement_shifts;

// The empty loop and the case, each in the state as built; a case beyond the
// limit is measured again (up to three times, each beside the empty loop
// measured again) and keeps its best figures.
figures run_case(const bench_case &c, unsigned state, double seconds, std::string *why) {
  bool picture = c.state & recording;
  figures best;
  for (int attempt = 0; attempt <= remeasures; attempt++) {
    // Where a new process's interpreter data lands follows the host
    // allocator's state, the same again for the same state; a few placements
    // make every host call run at half speed (the empty loop makes none), so
    // each measurement again starts from another placement.
    if (attempt > 0) placement_shifts.push_back(std::make_unique<char[]>(size_t(attempt) * 1160));
    std::optional<pace> empty = measure(child_code(c, "", state), picture, seconds, why);
    if (!empty) {
      *why = "the empty loop: " + *why;
      return best;
    }
    std::optional<pace> loop = measure(child_code(c, c.call, state), picture, seconds, why);
    if (!loop) return best;
    figures now{true, *empty, *loop};
    if (!best.ran || now.ratio() < best.ratio()) best = now;
    if (best.ratio() <= ratio_limit) break;
  }
  return best;
}

// Every registered global and USERDATA method has a case whose name is it or
// begins with it and a space; the names without one.
std::vector<std::string> uncovered(const std::vector<bench_case> &cases) {
  std::vector<std::string> names;
  for (const api_function &f : api_functions()) names.push_back(f.name);
  for (const api_function &f : userdata_methods()) names.push_back(std::string("USERDATA.") + f.name);
  std::vector<std::string> missing;
  for (const std::string &n : names) {
    bool found = std::any_of(cases.begin(), cases.end(), [&](const bench_case &c) {
      return c.name == n || c.name.rfind(n + " ", 0) == 0;
    });
    if (!found && std::find(missing.begin(), missing.end(), n) == missing.end()) missing.push_back(n);
  }
  return missing;
}

// Every child's code compiles (a slip in the table shows here, by name).
void check_code(const std::vector<bench_case> &cases) {
  lua_State *L = luaL_newstate();
  for (const bench_case &c : cases) {
    std::string code = child_code(c, c.call, everything);
    if (luaL_loadbuffer(L, code.data(), code.size(), c.name.c_str()) != LUA_OK)
      fail(c.name + ": " + lua_tostring(L, -1));
    lua_pop(L, 1);
  }
  lua_close(L);
}

std::string ratio_text(const figures &f) {
  if (!f.ran) return "-";
  char s[32];
  std::snprintf(s, sizeof s, "%.2f%s", f.ratio(), f.ratio() > ratio_limit ? " !" : "");
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  std::string filter;
  double seconds = min_time_from(argc, argv, 0.3, &filter);
  std::vector<bench_case> all = case_table();
  std::vector<std::string> missing = uncovered(all);
  check_code(all);

  std::vector<const bench_case *> chosen;
  for (const bench_case &c : all)
    if (filter.empty() || std::regex_search(c.name, std::regex(filter))) chosen.push_back(&c);

  divert_chatter();
  // Fresh first, then each loaded state built once for its cases.
  std::map<const bench_case *, figures> fresh, loaded;
  std::map<std::string, std::vector<pace>> empties;  // state name: empty-loop figures
  std::vector<std::string> broken;
  auto run_in = [&](unsigned state, const std::vector<const bench_case *> &cases,
                    std::map<const bench_case *, figures> &into) {
    if (cases.empty()) return;
    std::fprintf(stderr, "%s: %zu cases\n", state_name(state).c_str(), cases.size());
    enter(state);
    here.builds = 0;
    here.build_seconds = 0;
    for (const bench_case *c : cases) {
      std::string why;
      figures f = run_case(*c, state, seconds, &why);
      if (!f.ran) broken.push_back(c->name + " (" + state_name(state) + "): " + why);
      else empties[state_name(state)].push_back(f.empty);
      into[c] = f;
    }
    std::fprintf(stderr, "  built %d more times (%.1f s)\n", here.builds, here.build_seconds);
  };
  run_in(0, chosen, fresh);
  std::map<unsigned, std::vector<const bench_case *>> by_state;
  for (const bench_case *c : chosen) by_state[c->state].push_back(c);
  for (const auto &[state, cases] : by_state) run_in(state, cases, loaded);
  frame_loop::end();

  std::fprintf(out, "%-34s %-34s %8s %9s %6s %8s %9s %6s\n", "case", "loaded state", "fps",
               "ratio", "ns/cy", "fps", "ratio", "ns/cy");
  std::fprintf(out, "%-69s %25s %25s\n", "", "(fresh)", "(loaded)");
  int beyond = 0;
  for (const bench_case *c : chosen) {
    const figures &f = fresh[c], &l = loaded[c];
    beyond += (f.ran && f.ratio() > ratio_limit) + (l.ran && l.ratio() > ratio_limit);
    std::fprintf(out, "%-34s %-34s %8.0f %9s %6.1f %8.0f %9s %6.1f\n", c->name.c_str(),
                 state_name(c->state).c_str(), f.loop.fps, ratio_text(f).c_str(),
                 f.loop.ns_per_cycle, l.loop.fps, ratio_text(l).c_str(), l.loop.ns_per_cycle);
  }
  for (const auto &[name, why] : not_looped) std::fprintf(out, "%-34s not looped: %s\n", name, why);
  std::fprintf(out, "\nthe empty loop (mean of its measurements):\n");
  for (const auto &[name, paces] : empties) {
    double fps = 0, ns = 0;
    for (const pace &p : paces) fps += p.fps, ns += p.ns_per_cycle;
    std::fprintf(out, "  %-34s %8.0f fps %6.2f ns/cycle\n", name.c_str(),
                 fps / double(paces.size()), ns / double(paces.size()));
  }
  std::fprintf(out, "cases beyond %.0fx: %d (fresh and loaded counted apart)\n", ratio_limit, beyond);
  if (FILE *f = std::fopen("/proc/loadavg", "r")) {
    char line[128] = "";
    if (std::fgets(line, sizeof line, f)) std::fprintf(out, "host load average: %s", line);
    std::fclose(f);
  }
  for (const std::string &b : broken) std::fprintf(out, "did not run: %s\n", b.c_str());
  for (const std::string &m : missing) std::fprintf(out, "no case for: %s\n", m.c_str());
  std::fflush(out);
  unlink(chatter_path.c_str());
  return beyond > 0 || !broken.empty() || !missing.empty() ? 1 : 0;
}
