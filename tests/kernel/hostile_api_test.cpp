// Every registered function and userdata method, called once with each hostile
// value of the harness's pool alone, twice (aliased) and six times, and with a
// few fixed hostile combinations: nothing may crash, trip a sanitizer, hang,
// or hold host memory no process is charged for. The same harness drives the
// api_fuzz target.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fuzz/hostile_api.h"

namespace {

// Host bytes a plan may hold beyond its process's charge (the file system's
// records, fetch bookkeeping).
constexpr int64_t uncharged_max = int64_t{64} << 20;
// The pool's last slots hold fed results: without feeding they are all nil.
constexpr int fed_slots = 16;

// A call: target, its arguments as pool indices, and the receiver index.
void add_call(std::string &plan, size_t target, int receiver, const std::vector<int> &args,
              int mode = 0) {
  plan += char(target);
  plan += char(args.size());
  plan += char(receiver);
  plan += char(mode);
  for (int a : args) plan += char(a);
}

class HostileApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { hostile_api::init_sandbox(); }
  static void TearDownTestSuite() {
    hostile_api::reset_world();
    hostile_api::remove_sandbox();
  }
};

// Functions that end their own process when called (so the plan cannot reach
// its end): the halt, and a kill of the caller's own id.
bool may_end_its_caller(const std::string &name) {
  return name == "_halt" || name == "_kill_process";
}

TEST_F(HostileApi, EveryFunctionTakesEveryHostileValue) {
  hostile_api::plan_result empty = hostile_api::run_plan(std::string(1, '\0'));
  ASSERT_TRUE(empty.finished);
  const int n = empty.pool_size;
  ASSERT_GT(n, 100);
  ASSERT_LE(n, 256);
  ASSERT_LE(hostile_api::target_count(), 256u);
  std::set<lua_CFunction> walked;  // a function registered under two names is walked once
  for (size_t t = 0; t < hostile_api::target_count(); t++) {
    if (!walked.insert(hostile_api::target_function(t)).second) continue;
    std::string name = hostile_api::target_name(t);
    // Every other target runs as a /system/ process, with an eager collector
    // under the calls that arm a finalizer (it then runs during the call).
    std::string plan(1, char(t & 1 ? 3 : 0));
    add_call(plan, t, 0, {});
    for (int v = 0; v < n - fed_slots; v++) {
      add_call(plan, t, v, {v});
      add_call(plan, t, v + 1, {v, v});
      // In turn: the value six times, after small numbers, between huge ones
      // (the call in a coroutine of its own), and among userdata of the pool,
      // the mapped RAM one included (a hostile finalizer runs at the call's
      // collections).
      const std::vector<int> combos[4] = {
          {v, v, v, v, v, v}, {0, 1, v}, {13, 14, v, 14}, {n - 20, v, n - 19, n - 21}};
      const int modes[4] = {0, 0, 128, 1 + v / 4 % 16};
      add_call(plan, t, v + 2, combos[v % 4], modes[v % 4]);
    }
    int64_t base = hostile_api::host_bytes_allocated();
    hostile_api::plan_result r = hostile_api::run_plan(plan, 3000, base, false);
    if (!may_end_its_caller(name)) EXPECT_TRUE(r.finished) << name;
    EXPECT_LT(r.uncharged, uncharged_max) << name;
    for (const hostile_api::slow_call &c : r.slow)
      ADD_FAILURE() << c.name << " took " << c.ns << " ns for " << c.cycles << " cycles";
  }
}

}  // namespace

namespace {

// Hostile sequences a single call cannot make: records kept across calls
// (sprite slots, RAM windows, the draw target, other processes), then taken
// away. Each script ends by calling FINISHED, unless it ends its own process.
struct scenario {
  const char *name;
  const char *code;
  bool ends_itself;
};

const scenario scenarios[] = {
    {"sprite slot names a collected bitmap",
     "local u = userdata('u8', 8, 8) _set_spr(0, u) _set_spr(1, u) _set_spr(0) u = nil "
     "collectgarbage() spr(1, 0, 0) _set_spr(1) collectgarbage() spr(1, 0, 0) sspr(1, 0, 0, 8, 8, 0, 0) "
     "FINISHED(0)", false},
    {"RAM window mapped twice, unmapped once, collected",
     "local u = userdata('u8', 8192) _map_ram(u, 0x30000) _map_ram(u, 0x40000) _unmap_ram(u, 0x30000) "
     "u = nil collectgarbage() poke(0x40000, 1) memcpy(0x30000, 0x40000, 0x2000) "
     "memset(0x3ffff, 7, 0x10002) FINISHED(peek(0x40000))", false},
    {"draw target unmapped and collected",
     "local u = userdata('u8', 480, 270) _map_ram(u, 0x10000) _set_draw_target(u) _unmap_ram(u) "
     "u = nil collectgarbage() rectfill(0, 0, 479, 269, 7) cls(1) circfill(240, 135, 400, 2) "
     "FINISHED(0)", false},
    {"draw target reshaped under the clip",
     "local u = userdata('u8', 480, 270) _set_draw_target(u) clip(0, 0, 480, 270) "
     "u:mutate('u8', 1, 1) rectfill(0, 0, 479, 269, 7) circfill(240, 135, 300, 1) "
     "line(0, 0, 479, 269, 3) _print_m7scii('hello', 400, 200, 7) pset(479, 269, 1) "
     "u:mutate('i16', 1) cls(2) tline3d(u, 0, 0, 479, 269, 0, 0, 1, 1) FINISHED(0)", false},
    {"overlapping windows copied over each other",
     "local a, b = userdata('u8', 8192), userdata('i16', 4096) _map_ram(a, 0x30000) "
     "_map_ram(b, 0x31000) memcpy(0x30000, 0x30800, 0x2000) memcpy(0x30800, 0x30000, 0x2000) "
     "memset(0x30fff, 255, 3) a:copy(a, true) b:blit(a, 0, 0, 3, 3, 100, 100) a = nil b = nil "
     "collectgarbage() memcpy(0x30000, 0x31000, 0x3000) FINISHED(0)", false},
    {"child kills its parent while sliced by it",
     "local pid = _create_process_from_code('_kill_process(4) _run_process_slice(4, 1) flip()', "
     "'c', '/apps/c.lua') _run_process_slice(pid, 1) _run_process_slice(pid, 1)", true},
    {"video of a killed child",
     "local pid = _create_process_from_code('_set_draw_target(userdata(\"u8\", 9, 9)) flip() "
     "_set_draw_target(userdata(\"u8\", 999, 9))', 'c', '/apps/c.lua') "
     "_run_process_slice(pid, 1) _blit_process_video(pid) _kill_process(pid) "
     "_blit_process_video(pid) _run_process_slice(pid, 1) _ppeek(pid, 0x10000) FINISHED(0)", false},
    {"children slice every process",
     "local code = 'for i = 1, 40 do _run_process_slice(i, 1) _kill_process(i + 4) end' "
     "for i = 1, 8 do _create_process_from_code(code, 'c' .. i, '/apps/c.lua') end "
     "for i = 1, 12 do _run_process_slice(i, 1) end FINISHED(0)", false},
    {"message flood",
     "for i = 1, 3000 do send_message(pid(), {event = 'x', data = string.rep('y', 1000), "
     "t = setmetatable({}, {__index = error})}) end while _read_message() do end FINISHED(0)",
     false},
    {"finalizer ends its process inside a host call",
     "setmetatable({}, {__gc = function() _halt() _kill_process(4) end}) "
     "collectgarbage() cls() userdata('u8', 480, 270) FINISHED(0)", true},
    {"finalizers take the draw target away during blits",
     "local src, dst = userdata('u8', 480, 270), userdata('u8', 480, 270) _set_draw_target(dst) "
     "collectgarbage('incremental', 10, 1000) for i = 1, 200 do "
     "setmetatable({}, {__gc = function() _set_draw_target(userdata('u8', 2, 2)) dst = nil end}) "
     "blit(src, nil, 0, 0, 0, 0, 480, 270) _set_draw_target(src) spr(src, 3, 3) "
     "sspr(src, 0, 0, 480, 270, 0, 0, 960, 540) end FINISHED(0)", false},
    {"every method on itself",
     "for _, ty in ipairs({'u8', 'i16', 'i32', 'i64', 'f64'}) do "
     "for _, u in ipairs({userdata(ty, 1), userdata(ty, 6, 5), userdata(ty, 64, 64)}) do "
     "for name, f in pairs(USERDATA) do pcall(f, u, u, u, u) pcall(f, u, u, 0, 0, u) end end end "
     "FINISHED(0)", false},
    {"mounts of themselves",
     "mkdir('/ram/m') mount('/ram/m/a', '/ram/m') mount('/ram/m', '/ram/m/a') cd('/ram/m/a/a/a') "
     "ls('/ram/m/a') fstat('/ram/m/a/a') store('/ram/m/a/x.p64', 'x') cp('/ram/m', '/ram/m/a/b') "
     "_fdelete('/ram/m') store('/system/boot.lua', 'error()') ls('/system') FINISHED(0)", false},
    {"nesting bombs",
     "local t = {} for i = 1, 100000 do t = {t} end pcall(tuk, t) "
     "pcall(untuk, string.rep('{', 200000)) pcall(untuk, string.rep('{a=', 100000)) "
     "pcall(create_delta, string.rep('ab', 100000), string.rep('ba', 100000)) "
     "pcall(apply_delta, string.rep('x', 1000), string.rep('\\255', 100000)) FINISHED(0)", false},
};

TEST_F(HostileApi, SequencesEndWithoutHarm) {
  for (const scenario &s : scenarios) {
    int64_t base = hostile_api::host_bytes_allocated();
    hostile_api::plan_result r =
        hostile_api::run_script(s.code, "/apps/hostile.lua", 400, base, [](lua_State *) {});
    if (!s.ends_itself) EXPECT_TRUE(r.finished) << s.name;
    EXPECT_LT(r.uncharged, uncharged_max) << s.name;
  }
}

}  // namespace
