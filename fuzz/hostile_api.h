// The hostile-call harness shared by the script-API fuzz target and its
// deterministic sweep test: a sandboxed world, a process whose script holds a
// pool of hostile values, and a plan of bytes that says which registered
// function or userdata method it calls with which of them.
//
// The sandbox: the data folder, the desktop and HOME point into a temporary
// folder of the harness's own, and "/" is mounted on a folder in it. What
// would still leave the sandbox is neutralised, never skipped:
//  - opening a host path or URL (it starts xdg-open): the opener is a no-op;
//  - HTTP fetches: every transfer goes through a proxy on a closed loopback
//    port with short timeouts, so each fails at once without leaving the host;
//  - exit, reboot and shutdown requests (_signal 33/34/40) only set flags that
//    the frame loop serves: the harness never runs the frame loop;
//  - the program ends by design when the first or second record of the
//    process table fails: the script runs as process 4, after placeholders of
//    the system's own three, and the driver leaves out its kills of ids 1-3
//    (processes it creates with code from the pool are not held to that).
// No registered function is excluded.
#pragma once

#include <malloc.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "gfx/captures.h"
#include "gfx/draw_state.h"
#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "kernel/process.h"
#include "kernel/registry.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "mudo/mudo.h"
#include "pdisk/gurl.h"
#include "pdisk/host_config.h"
#include "pdisk/pfile.h"
#include "platform/host_open.h"

namespace hostile_api {

// The script every plan runs in. Its pool holds the hostile values (nil
// included), its receivers the userdata of every type and shape, and TARGETS
// the registered functions, then the USERDATA methods. A plan is one byte
// (bit 0: a /system/ process; bit 1: calls that arm a finalizer run under an
// eager collector), then calls of [target, argument count, receiver, mode,
// arguments...]: mode % 64 from 1 to 16 arms a hostile finalizer to run at a
// collection during the call; mode >= 128 runs the call in a coroutine of its
// own, kept in the pool while suspended. With FEED set, each call's first
// result goes back into the pool's last slots, so calls feed each other
// (views, listings, loaded code). FINISHED(pool size) ends a plan.
inline const char *driver_source = R"lua(
local plan = PLAN
local pool, n = {}, 0
local function put(v) n = n + 1 pool[n] = v end
for _, v in ipairs({0, -1, 1, 0.5, -0.5, 2^31, -2^31, 2^31 - 1, 2^32, 2^53, -2^53, 2^63, -2^63,
                    math.mininteger, math.maxinteger, 1 << 31, -(1 << 31), 0x10000, 0x7fffffff,
                    255, 256, 65535, 480, 270, 16384, 1e300, -1e300, 5e-324, 0x8000, -32768,
                    0xffffff, 0x1000000, 0xfffffc, 0x5f00, 0x4000}) do put(v) end
put(nil) put(true) put(false) put(0 / 0) put(-(0 / 0)) put(math.huge) put(-math.huge) put(-0.0)
local big = string.rep("x", 65536)
for _, v in ipairs({"", "a", "0", "-1", "0x10", "1e999", "nan", string.rep("ab%", 300), big,
                    big .. "\0" .. big, "a\0b", "\0", "%", "%s%n%d%99999s", "/", "..", ".",
                    "/../../..", "../../etc/passwd", "/ram", "/ram/x.txt", "/ram/x/", "/system",
                    "/system/x", "//a//b", "/" .. string.rep("a/", 2000), "a.p64", "x.p64.png",
                    "/desktop", "/appdata", "https://host.invalid/x", "http://127.0.0.1:1/",
                    "u8", "i16", "i32", "i64", "f64", "[gfx]0808" .. string.rep("7", 64),
                    "[gfx]ffff", "--[[tuk]]{a=1}", "{{{{{{{{", "\255\254\253",
                    "pod_type", "text/plain", "\27[2J",
                    -- code for the processes it creates: loops, kills, memory, nested slices
                    "while true do end", "_kill_process(4) flip()", "_run_process_slice(4, 1)",
                    "_halt()", "error(setmetatable({}, {__tostring = error}))",
                    "local t = {} while true do t[#t + 1] = string.rep('x', 1 << 20) end",
                    "while true do flip() _set_draw_target(userdata('u8', 9, 9)) end",
                    "_map_ram(userdata('u8', 480, 270), 0x10000) poke(0x10000, 1) _signal(38)",
                    "send_message(1, {event = 'x', a = string.rep('y', 4000)})",
                    "local u = userdata('u8', 9, 9) _set_spr(0, u) _set_spr(1, u) u = nil " ..
                    "collectgarbage() spr(0) _set_spr(0, nil)"}) do put(v) end
put({}) put({1, 2, 3}) put({x = 1, y = 2, [0] = 3, [-1] = 4, [1.5] = 5})
local nested = {} local t = nested for i = 1, 400 do t[1] = {} t = t[1] end put(nested)
local cyclic = {} cyclic.self = cyclic cyclic[1] = cyclic put(cyclic)
local angry = function() error("hostile metamethod") end
put(setmetatable({}, {__index = angry, __newindex = angry, __len = angry, __tostring = angry,
                      __pairs = angry, __eq = angry, __lt = angry, __le = angry, __call = angry,
                      __concat = angry, __name = 1}))
put(setmetatable({}, {__index = function(t, k) return t end}))
put({event = "x", x = 0 / 0, y = math.huge, w = -1, h = 2 ^ 31, z = math.mininteger, volume = 2 ^ 63,
     pixel_scale = -1, yorelog = 1, network_access = 1, fullscreen = 0, [1] = "a", [2] = 0})
put(function() end) put(angry) put(print) put(coroutine.create(function() coroutine.yield() end))
local dead = coroutine.create(function() end) coroutine.resume(dead) put(dead)
put(coroutine.running())
local uds = {}
for _, ty in ipairs({"u8", "i16", "i32", "i64", "f64"}) do
  -- one element, none, a row, a small grid, and a large one (the screen's size
  -- for the narrow types; about as many bytes for the wide ones)
  local large = (ty == "u8" or ty == "i16") and {480, 270} or {200, 150}
  for _, shape in ipairs({{1}, {0}, {7}, {5, 3}, {1, 1}, large}) do
    local ok, u = pcall(userdata, ty, shape[1], shape[2])
    if ok and u then uds[#uds + 1] = u put(u) end
  end
end
local ram = userdata("u8", 480, 270)
pcall(_map_ram, ram, 0x10000)
uds[#uds + 1] = ram put(ram)
local low = userdata("i16", 64, 64)
pcall(_map_ram, low, 0x8000)
uds[#uds + 1] = low put(low)
put({uds[1], uds[2], ram, x = uds[3]})
local fed = n
for i = 1, 16 do put(nil) end
-- Finalizers that change what a host function may be working on, run by the
-- collections its own allocations trigger (the collector is made eager).
local spare = userdata("u8", 16, 16)
local gc_actions = {
  function() _set_draw_target(uds[#uds]) end,
  function() _set_draw_target(spare) end,
  function() _set_draw_target() end,
  function() _unmap_ram(ram) end,
  function() _map_ram(ram, 0x10000) end,
  function() ram:mutate("u8", 1, 1) end,
  function() ram:mutate("u8", 480, 270) end,
  function() low:mutate("i16", 3) end,
  function() _set_spr(0, spare) _set_spr(1, ram) end,
  function() _set_spr(0) _set_spr(1) end,
  function() memset(0x10000, 7, 0x20000) end,
  function() cls(3) end,
  function() _map_ram(spare, 0x10000) end,
  function() _signal(38) end,
  function() for i = 1, #uds do uds[i]:clear() end end,
  function() spare = userdata("u8", 16, 16) end,
}
-- A finalizer is armed by collecting until its table is found dead (a weak
-- slot loses it), so it runs at the next steps: those of the call's own
-- allocations.
local weak = setmetatable({}, {__mode = "v"})
local function arm(k)
  weak[1] = setmetatable({}, {__gc = function() pcall(gc_actions[k]) end})
  for i = 1, 10000 do
    if weak[1] == nil then break end
    collectgarbage("step", 0)
  end
end
local eager_plan = (string.byte(plan, 1) or 0) & 2 ~= 0
-- A call that takes far more host time than its charge buys is reported
-- (thread CPU time; the sanitised build runs some 30 times slower than the
-- 10 ns a cycle may buy). Not under the eager collector: its steps inside a
-- call are the interpreter's work, not the call's.
local slow_ns, slow_ns_per_cycle = 20e6, 2000
-- Removing one of the system's own processes (ids 1 to 3) is the system
-- ending itself: the next error of the record that takes the first place ends
-- the program. Such kills are left out; every other call of it is made.
for _, t in ipairs(TARGETS) do
  if t.name == "_kill_process" then
    local kill = t.fn
    t.fn = function(id, ...)
      local n = tonumber(id)
      if n and n >= 1 and n < 4 then return end
      return kill(id, ...)
    end
  end
end
local targets = TARGETS
local nt = #targets
local pos = 2
local function byte()
  local b = string.byte(plan, pos) or 0
  pos = pos + 1
  return b
end
local args = {}
local slot = 0
while pos <= #plan do
  local t = targets[byte() % nt + 1]
  local argc = byte() % 7
  local recv = uds[byte() % #uds + 1]
  local mode = byte()
  local k = mode % 64
  local eager = false
  if gc_actions[k] then
    arm(k)
    eager = eager_plan
    if eager then collectgarbage("incremental", 10, 1000) end
  end
  local argpos = pos
  for i = 1, argc do args[i] = pool[byte() % n + 1] end
  local ok, r
  local call = pcall
  if mode >= 128 then  -- from a coroutine of its own, left suspended if it yields
    call = function(f, ...)
      local a = table.pack(...)
      local co = coroutine.create(function() return f(table.unpack(a, 1, a.n)) end)
      local done, res = coroutine.resume(co)
      if coroutine.status(co) == "suspended" then return true, co end
      return done, res
    end
  end
  local c0, t0 = CYCLES(), CLOCK()
  if t.method then
    ok, r = call(t.fn, recv, table.unpack(args, 1, argc))
  else
    ok, r = call(t.fn, table.unpack(args, 1, argc))
  end
  local dc, dt = CYCLES() - c0, CLOCK() - t0
  if eager then collectgarbage("incremental", 200, 100) end  -- the defaults again
  if not eager and mode < 128 and c0 >= 0 and dc >= 0 and dt > slow_ns and dt > slow_ns_per_cycle * dc then
    -- Once more, to tell the call's own work from a collection that met it.
    c0, t0 = CYCLES(), CLOCK()
    if t.method then call(t.fn, recv, table.unpack(args, 1, argc))
    else call(t.fn, table.unpack(args, 1, argc)) end
    dc, dt = CYCLES() - c0, CLOCK() - t0
    if c0 >= 0 and dc >= 0 and dt > slow_ns and dt > slow_ns_per_cycle * dc then
      local picked = {}
      for i = 1, argc do picked[i] = string.byte(plan, argpos + i - 1) % n + 1 end
      SLOW(t.name .. "(" .. table.concat(picked, ",") .. ") mode " .. mode, dt, dc)
    end
  end
  if ok and r ~= nil and FEED then
    pool[fed + slot + 1] = r
    slot = (slot + 1) % 16
  end
end
FINISHED(n)
)lua";

inline std::string sandbox_root;

// Once per run: the sandbox folders and the neutralised host effects (shared
// with the frame-loop harness, tests/frame_loop.h).
inline void make_sandbox() {
  if (!sandbox_root.empty()) return;
  char pattern[] = "/tmp/kestrune-hostile-XXXXXX";
  const char *made = mkdtemp(pattern);
  if (!made) abort();
  sandbox_root = made;
  for (const char *sub : {"/data", "/desktop", "/home"})
    std::filesystem::create_directories(sandbox_root + sub);
  setenv("XDG_DATA_HOME", (sandbox_root + "/data").c_str(), 1);
  setenv("XDG_DESKTOP_DIR", (sandbox_root + "/desktop").c_str(), 1);
  setenv("HOME", (sandbox_root + "/home").c_str(), 1);
  for (const char *proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    setenv(proxy, "http://127.0.0.1:1", 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  os_host_opener = [](const std::string &) {};
  gurl_connect_timeout_ms = 200;
  gurl_stall_timeout_s = 1;
  gurl_transfer_timeout_ms = 500;
}

// Once per run: the sandbox, a small RAM file space, the default settings
// (headless) and the tables a world needs before its first process.
inline void init_sandbox() {
  if (!sandbox_root.empty()) return;
  make_sandbox();
  // RAM files hold their own bounded space, not a process's: kept well inside
  // what the checks allow uncharged, so they hide nothing else.
  ram_files_room = 16 << 20;
  set_default_config();
  config.headless = 1;
  init_default_coltabs();
  mudo_init();
}

// Removes the sandbox (from a test's tear-down; the fuzzer leaves it at exit).
inline void remove_sandbox() {
  if (sandbox_root.empty()) return;
  pfile_reset();
  std::error_code ec;
  std::filesystem::remove_all(sandbox_root, ec);
  sandbox_root.clear();
}

// No process, no mount, and the sandbox's data folder (the drive with it) and
// desktop emptied.
inline void empty_sandbox() {
  cproc = nullptr;
  root_process = nullptr;
  finish_gif_recording_now();  // a recording outlives processes; frames would finish it
  processes_init();
  app = app_record{};
  config.network_access = 1;
  cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
  pfile_init();
  pfile_reset();
  std::error_code ec;
  std::filesystem::remove_all(sandbox_root + "/data", ec);
  std::filesystem::remove_all(sandbox_root + "/desktop", ec);
  std::filesystem::create_directories(sandbox_root + "/desktop", ec);
}

// A fresh world: no process, the file system mounted anew on an emptied drive.
inline void reset_world() {
  empty_sandbox();
  mount_ram_folder("/ram");
  process_config();  // writes the default host config: "/" on the data folder's drive
  mount_ram_folder("/system");
}

}  // namespace hostile_api

// Present in the sanitised trees; elsewhere the C library's count is used.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace hostile_api {

// Host bytes the allocator holds now.
inline int64_t host_bytes_allocated() {
  if (__sanitizer_get_current_allocated_bytes)
    return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
  return static_cast<int64_t>(mallinfo2().uordblks);
}

// Host memory the processes are charged for (without the fixed reserve).
inline int64_t charged_bytes() {
  int64_t sum = 0;
  for (int i = 0; i < get_process_count(); i++) {
    const process *P = get_process_by_index(i);
    sum += process_memory_in_use(P) - process_memory_reserve;
  }
  return sum;
}

// A call whose host time its charge does not cover.
struct slow_call {
  std::string name;
  int64_t ns;
  int64_t cycles;
};

// The placeholders of the system's own processes: they never end, even when a
// script slices them.
inline const char *system_process_code = "while true do flip() end";

struct plan_result {
  bool finished = false;  // the script got past its last call
  int pool_size = 0;      // then: how many values its pool holds
  int64_t uncharged = 0;  // host bytes beyond the base that no live process is charged for
  std::vector<slow_call> slow;
};

inline plan_result *running_plan = nullptr;

// Runs code in a new process (root of a fresh world) for at most `slices`
// full slices, or until FINISHED is called; `setup` gets its state first. The
// host memory is measured before the world is torn down.
template <typename Setup>
plan_result run_script(std::string_view code, const char *path, int slices, int64_t base,
                       Setup setup) {
  plan_result result;
  running_plan = &result;
  reset_world();
  // The system's own records come first: an error in either of the first two
  // ends the program, so the script runs as a userland process after them.
  for (const char *name : {"kernel", "wm", "system"})
    if (!create_process_from_code(system_process_code, name, "/system/placeholder.lua")) abort();
  root_process = get_process_by_index(0);
  process *P = create_process_from_code(code, "hostile", path);
  if (!P) abort();
  int64_t id = P->id;
  lua_State *L = P->lua_state;
  setup(L);
  lua_pushcfunction(L, [](lua_State *S) {
    if (running_plan) {
      running_plan->finished = true;
      running_plan->pool_size = static_cast<int>(lua_tointeger(S, 1));
    }
    return 0;
  });
  lua_setglobal(L, "FINISHED");
  lua_pushcfunction(L, [](lua_State *S) {
    // -1 once the count has reached its ceiling: charges no longer show.
    int64_t now = static_cast<uint32_t>(cpu_cycles);
    lua_pushinteger(S, now >= cpu_cycles_ceiling ? -1 : now);
    return 1;
  });
  lua_setglobal(L, "CYCLES");
  lua_pushcfunction(L, [](lua_State *S) {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    lua_pushinteger(S, int64_t{t.tv_sec} * 1000000000 + t.tv_nsec);
    return 1;
  });
  lua_setglobal(L, "CLOCK");
  lua_pushcfunction(L, [](lua_State *S) {
    if (running_plan)
      running_plan->slow.push_back({lua_tostring(S, 1), lua_tointeger(S, 2), lua_tointeger(S, 3)});
    return 0;
  });
  lua_setglobal(L, "SLOW");
  for (int i = 0; i < slices && get_process(id) && !result.finished; i++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(id), 1.0);
  }
  result.uncharged = host_bytes_allocated() - base - charged_bytes();
  cproc = nullptr;
  root_process = nullptr;
  processes_init();
  running_plan = nullptr;
  return result;
}

// Runs one plan in the driver (`slices` and the measure as run_script). With
// `feed`, each call's first result goes back into the pool.
inline plan_result run_plan(std::string_view plan, int slices = 4, int64_t base = 0,
                            bool feed = true) {
  const char *path = !plan.empty() && (plan[0] & 1) ? "/system/hostile.lua" : "/apps/hostile.lua";
  return run_script(driver_source, path, slices, base, [&](lua_State *L) {
    lua_pushlstring(L, plan.data(), plan.size());
    lua_setglobal(L, "PLAN");
    lua_pushboolean(L, feed);
    lua_setglobal(L, "FEED");
    lua_createtable(L, 200, 0);
    int row = 0;
    for (const api_function &f : api_functions()) {
      lua_createtable(L, 0, 2);
      lua_pushcfunction(L, f.func);
      lua_setfield(L, -2, "fn");
      lua_pushstring(L, f.name);
      lua_setfield(L, -2, "name");
      lua_rawseti(L, -2, ++row);
    }
    for (const api_function &f : userdata_methods()) {
      lua_createtable(L, 0, 2);
      lua_pushcfunction(L, f.func);
      lua_setfield(L, -2, "fn");
      lua_pushboolean(L, 1);
      lua_setfield(L, -2, "method");
      lua_pushfstring(L, "USERDATA.%s", f.name);
      lua_setfield(L, -2, "name");
      lua_rawseti(L, -2, ++row);
    }
    lua_setglobal(L, "TARGETS");
  });
}

// The target count and a target's name (for tests and corpus seeds).
inline size_t target_count() { return api_functions().size() + userdata_methods().size(); }
inline lua_CFunction target_function(size_t i) {
  if (i < api_functions().size()) return api_functions()[i].func;
  return userdata_methods()[i - api_functions().size()].func;
}
inline std::string target_name(size_t i) {
  if (i < api_functions().size()) return api_functions()[i].name;
  return std::string("USERDATA.") + userdata_methods()[i - api_functions().size()].name;
}

}  // namespace hostile_api
