// The process functions of the script API, driven the way the userland drives
// them: a scheduler in the root process slices, flips, kills and restarts
// other processes through the registry's functions.
#include "kernel/process_api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/maths.h"
#include "kernel/ram.h"
#include "lstate.h"  // a thread's yielded_to_escape_slice field
#include "script_api_fixture.h"

namespace {

using namespace script_api_test;

// What scripts passed to report(), one entry per call, each value shown with
// its type.
std::vector<R> reports;

// The calling thread's escape field as it is.
int t_escape_field(lua_State *L) {
  lua_pushinteger(L, L->yielded_to_escape_slice);
  return 1;
}

int t_report(lua_State *L) {
  R r;
  for (int i = 1; i <= lua_gettop(L); i++) r.push_back(show(L, i));
  reports.push_back(r);
  return 0;
}

const char *const idle = "while true do flip() end";
constexpr double budget = 279620.0;

class ProcessApi : public ScriptApi {
 protected:
  void SetUp() override {
    reset_world();
    reports.clear();
  }

  // A process with report(); the current process stays what it was.
  static process *spawn(std::string_view code, const char *name = "proc",
                        const char *path = "/apps/proc.lua") {
    process *creator = cproc;
    process *P = create_process_from_code(code, name, path);
    if (P) {
      lua_register(P->lua_state, "report", t_report);
      lua_register(P->lua_state, "escape_field", t_escape_field);
    }
    cproc = creator;
    return P;
  }

  // The root (a scheduler running `code`, then yielding at the top level so
  // that its state stays), and processes 2 and 3 idling; no process current,
  // as in the frame loop. Children of the tests start at id 4, clear of the
  // table positions where a runtime error ends the program.
  process *start_system(const std::string &scheduler) {
    root = spawn(scheduler + " while true do coroutine.yield() end", "[root]", "[root]");
    root_process = root;
    spawn(idle, "wm", "/system/wm.lua");
    spawn(idle, "display", "/system/display.lua");
    cproc = nullptr;
    return root;
  }

  // One frame of the root.
  void frame() {
    prepare_processes_for_frame();
    run_process_slice(root, 1.0);
  }

  static std::vector<int64_t> ids() {
    std::vector<int64_t> out;
    for (int i = 0; i < get_process_count(); i++) out.push_back(get_process_by_index(i)->id);
    return out;
  }
};

using I = std::vector<int64_t>;

std::string share(int64_t cycles) {
  char s[64];
  snprintf(s, sizeof s, "f:%.17g", cycles / budget);
  return s;
}

/* ---------------------------------------------------------------------- */
/* _run_process_slice                                                     */
/* ---------------------------------------------------------------------- */

TEST(SliceFraction, LimitedToZeroToOne) {
  EXPECT_EQ(slice_fraction(false, 0.5), 0.0) << "missing or not a number";
  EXPECT_EQ(slice_fraction(true, std::nan("")), 1.0);
  EXPECT_EQ(slice_fraction(true, 2.0), 1.0);
  EXPECT_EQ(slice_fraction(true, -0.5), 0.0);
  EXPECT_EQ(slice_fraction(true, 0.25), 0.25);
  EXPECT_EQ(slice_fraction(true, INFINITY), 1.0);
}

TEST_F(ProcessApi, FractionZeroOrNotANumberRunsNothing) {
  start_system(
      "report(_run_process_slice(4, 0)) report(_run_process_slice(4, '1'))"
      " report(_run_process_slice(4)) report(_run_process_slice(4, -1))");
  process *child = spawn("while true do end");
  frame();
  EXPECT_EQ(reports, (std::vector<R>{{}, {}, {}, {}}));
  EXPECT_EQ(child->slice_count, 0);
}

TEST_F(ProcessApi, FractionAboveOneOrNaNIsTheWholeBudget) {
  start_system(
      "report(_run_process_slice(4, 2)) coroutine.yield()"
      " report(_run_process_slice(5, 0/0))");
  spawn("while true do end");
  spawn("while true do end");
  // The whole budget is left inside the root's first slice: each child runs to
  // the cap and one jump beyond it.
  frame();
  frame();
  EXPECT_EQ(reports, (std::vector<R>{{"b:false", share(279621)}, {"b:false", share(279621)}}));
}

TEST_F(ProcessApi, BadIdAndAProcessWithoutAState) {
  start_system(
      "report(_run_process_slice(99, 0.5)) report(_run_process_slice('x', 0.5))"
      " report(_run_process_slice(4, 0.5))");
  process *child = spawn(idle);
  // As a restart whose code no longer compiles leaves it.
  lua_State *kept = child->lua_state;
  child->lua_state = nullptr;
  frame();
  child->lua_state = kept;
  EXPECT_EQ(reports, (std::vector<R>{{"b:true", "f:0", "s:_run_process_slice: bad process id"},
                                     {"b:true", "f:0", "s:_run_process_slice: bad process id"},
                                     {"b:true", "f:0", "s:_run_process_slice: invalid process"}}));
}

TEST_F(ProcessApi, FlippedProcessIsCompletedWithoutRunning) {
  start_system("report(_run_process_slice(4, 0.5)) report(_run_process_slice(4, 0.5))");
  process *child = spawn(idle);
  frame();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0][0], "b:true") << "it flipped";
  EXPECT_NE(reports[0][1], "f:0");
  EXPECT_EQ(reports[1], (R{"b:true", "f:0"}));
  EXPECT_EQ(child->slice_count, 1);
}

// A request that runs nothing still looks the process up and answers: a
// loop of them costs the caller more than a loop of the same shape calling
// pid, for an unknown id, a process without a state and one that flipped.
TEST_F(ProcessApi, RequestsThatRunNothingCostTheCaller) {
  start_system(R"lua(
    _run_process_slice(4, 0.5)  -- it flips
    local function cycles(f, id)
      local from = stat(1)
      for i = 1, 100 do f(id, 0.5) end
      return (stat(1) - from) * 279620
    end
    for _, id in ipairs({99, 5, 4}) do report(cycles(_run_process_slice, id) - cycles(pid, id)) end
  )lua");
  spawn(idle);
  process *stateless = spawn(idle);
  lua_State *kept = stateless->lua_state;
  stateless->lua_state = nullptr;
  frame();
  stateless->lua_state = kept;
  ASSERT_EQ(reports.size(), 3u);
  for (const R &r : reports) EXPECT_GT(std::stod(r[0].substr(2)), 100) << r[0];
}

TEST_F(ProcessApi, CappedProcessReportsItsShare) {
  start_system("report(_run_process_slice(4, 0.1))");
  process *child = spawn("while true do end");
  frame();
  // A tenth of the budget is 27,962 cycles; the loop passes it by one jump.
  EXPECT_EQ(reports, (std::vector<R>{{"b:false", share(27963)}}));
  EXPECT_EQ(child->cycles_frame, 27963);
  EXPECT_GT(root->cycles_frame, 27963) << "the scheduler's count includes what it handed out";
}

TEST_F(ProcessApi, ProcessRemovedByItsOwnSliceIsLookedUpAgain) {
  start_system(
      "report(_run_process_slice(4, 0.5)) report(_run_process_slice(5, 0.5))"
      " report(_run_process_slice(6, 0.5))");
  spawn("x = 1");               // returns: removed in its slice
  spawn("error('boom')");       // fails with an id of 4 or more: removed
  process *six = spawn(idle);   // moves down two places meanwhile
  frame();
  const R gone{"b:true", "f:0", "s:_run_process_slice: could not find lua state"};
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0], gone);
  EXPECT_EQ(reports[1], gone);
  EXPECT_EQ(reports[2][0], "b:true") << "six is itself, not whatever took its old place";
  EXPECT_EQ(ids(), (I{1, 2, 3, 6}));
  EXPECT_EQ(get_process(6), six);
}

TEST_F(ProcessApi, SlicingItselfOrASchedulerAboveIsRefused) {
  start_system("report(_run_process_slice(4, 0.5))");
  process *child = spawn(
      "report(_run_process_slice(1, 1)) report(_run_process_slice(pid(), 1)) flip()");
  frame();
  EXPECT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0], (R{"b:true", "f:0"})) << "the root is running its slice";
  EXPECT_EQ(reports[1], (R{"b:true", "f:0"})) << "the child is running its slice";
  EXPECT_EQ(child->state, process_running);
  EXPECT_EQ(root->state, process_running);
}

/* ---------------------------------------------------------------------- */
/* kill and restart                                                       */
/* ---------------------------------------------------------------------- */

TEST_F(ProcessApi, KillModesAndIds) {
  start_system(
      "_kill_process(7, 2) report(_process_state(7)) _kill_process(7, 1)"
      " _kill_process(5.9) _kill_process(-0.5) _kill_process('6') _kill_process(99)");
  for (int i = 0; i < 4; i++) spawn(idle);
  process *seven = get_process(7);
  // Seven has run before: its restart starts it over.
  cproc = nullptr;
  run_process_slice(seven, 0.1);
  EXPECT_EQ(seven->slice_count, 1);
  seven->time = 50;
  frame();
  EXPECT_EQ(reports, (std::vector<R>{{"i:0"}}));
  // Mode 2 did nothing; 5.9 named 5; the string and -0.5 named nothing.
  EXPECT_EQ(ids(), (I{1, 2, 3, 4, 6, 7}));
  EXPECT_EQ(get_process(7), seven) << "restarted in place";
  EXPECT_EQ(get_process_by_index(5), seven) << "same table position";
  EXPECT_EQ(seven->slice_count, 0);
  EXPECT_EQ(seven->time, 0);
  EXPECT_NE(seven->lua_state, nullptr);
}

TEST_F(ProcessApi, KillingItselfTakesEffectWhenItsSliceEnds) {
  start_system("report(_run_process_slice(4, 0.5))");
  spawn("_kill_process(pid()) report('goes on') flip() report('never')");
  frame();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], R{"s:goes on"});
  EXPECT_EQ(reports[1], (R{"b:true", "f:0", "s:_run_process_slice: could not find lua state"}));
  EXPECT_EQ(get_process(4), nullptr);
}

TEST_F(ProcessApi, KillingTheSchedulerAboveWaitsForItsSlice) {
  start_system("report(_run_process_slice(4, 0.5)) report('root goes on')");
  process *child = spawn("_kill_process(1) flip()");
  frame();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0][0], "b:true");
  EXPECT_EQ(reports[1], R{"s:root goes on"});
  EXPECT_EQ(get_process(1), nullptr);
  EXPECT_EQ(get_process(4), child);
}

TEST_F(ProcessApi, RestartingTheSchedulerAboveWaitsForItsSlice) {
  start_system("report(_run_process_slice(4, 0.5)) report('root goes on')");
  spawn("_kill_process(1, 1) flip()");
  frame();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], R{"s:root goes on"});
  EXPECT_EQ(get_process_by_index(0), root);
  EXPECT_EQ(root->id, 1);
  EXPECT_EQ(root->slice_count, 0) << "re-created once its slice ended";
}

TEST_F(ProcessApi, CreationAndRestartKeepTheSourcesFullLength) {
  // The child halts only when its string literal still holds all three bytes.
  const std::string code = std::string("s = [[a") + '\0' +
                           "b]] if #s == 3 then _halt() end while true do flip() end";
  start_system(
      "local id = _create_process_from_code(code, 'nul', '/apps/nul.lua')"
      " report(id, _run_process_slice(id, 0.5)) report(_process_state(id))"
      " _kill_process(id, 1) report(_process_state(id)) report(_run_process_slice(id, 0.5))"
      " report(_process_state(id))");
  lua_pushlstring(root->lua_state, code.data(), code.size());
  lua_setglobal(root->lua_state, "code");
  frame();
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(reports[0][0], "i:4");
  EXPECT_EQ(reports[1], R{"i:1"}) << "halted: the NUL did not cut the source";
  EXPECT_EQ(reports[2], R{"i:0"}) << "restarted";
  EXPECT_EQ(reports[4], R{"i:1"}) << "halted again after the restart";
  process *P = get_process(4);
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->source, code);
}

/* ---------------------------------------------------------------------- */
/* creation, flip, halt, state queries                                    */
/* ---------------------------------------------------------------------- */

TEST_F(ProcessApi, PidAndCreation) {
  root = create_process_from_code("", "[root]", "[root]");
  cproc = root;
  EXPECT_EQ(run("return pid()"), R{"i:1"});
  EXPECT_EQ(run("return _create_process_from_code('x = 1', 5, 6)"), R{"i:2"});
  process *P = get_process(2);
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->name, "5");
  EXPECT_EQ(P->path, "6");
  EXPECT_EQ(P->parent_id, 1) << "the caller is the parent";
  EXPECT_EQ(cproc, root);
  EXPECT_EQ(run("return select('#', _create_process_from_code('x = 1', 'n'))"), R{"i:0"});
  EXPECT_EQ(run("return select('#', _create_process_from_code({}, 'n', 'p'))"), R{"i:0"});
  EXPECT_EQ(run("return select('#', _create_process_from_code('x = = 1', 'n', 'p'))"), R{"i:0"});
  EXPECT_EQ(run("return _create_process_from_code('', 'n', 'p')"), R{"i:4"})
      << "the code that did not compile used up id 3";
}

TEST_F(ProcessApi, FlipEndsTheSliceAndWindsTimeBack) {
  start_system("");
  process *plain = spawn("flip() report('plain after') while true do flip() end");
  process *wound = spawn("flip(1) report('wound after') _flip(2) while true do flip() end");
  for (process *P : {plain, wound}) {
    P->time = 10;
    P->frames_since_flip = 5;
    poke_proc(P, ram_gc_flags_address, 0x03);  // collector bit and no-new-frame bit
  }
  run_process_slice(plain, 0.5);
  run_process_slice(wound, 0.5);
  EXPECT_TRUE(reports.empty()) << "the slice ended at the flip";
  EXPECT_EQ(peek_proc(plain, ram_gc_flags_address), 0x01) << "flip() clears the no-new-frame bit";
  EXPECT_EQ(peek_proc(wound, ram_gc_flags_address), 0x03) << "flip(1) keeps it";
  EXPECT_EQ(plain->flipped, 1);
  EXPECT_EQ(plain->time, 10);
  EXPECT_EQ(plain->frames_since_flip, 5);
  EXPECT_EQ(wound->flipped, 1);
  EXPECT_EQ(wound->time, 9);
  EXPECT_EQ(wound->frames_since_flip, 0);
  prepare_processes_for_frame();
  run_process_slice(wound, 0.5);
  EXPECT_EQ(wound->time, 8) << "_flip is flip";
  EXPECT_EQ(peek_proc(wound, ram_gc_flags_address), 0x01) << "flags 2 has no bit 0";
  EXPECT_EQ(reports, (std::vector<R>{{"s:wound after"}}));
}

TEST_F(ProcessApi, HaltKeepsTheRecordButNeverRunsAgain) {
  start_system("");
  process *P = spawn("_halt() report('never')");
  EXPECT_GT(run_process_slice(P, 0.5), 0);
  EXPECT_EQ(P->state, process_finished);
  EXPECT_EQ(get_process(4), P);
  EXPECT_EQ(run_process_slice(P, 0.5), 0);
  EXPECT_TRUE(reports.empty());
}

TEST_F(ProcessApi, ProcessStates) {
  root = spawn("", "[root]", "[root]");
  spawn(idle, "wm", "/system/wm.lua");
  process *display = spawn("error('boom')", "display", "/system/display.lua");
  process *halted = spawn("_halt()");
  cproc = nullptr;
  run_process_slice(display, 0.5);  // the third record keeps its failed state
  run_process_slice(halted, 0.5);
  cproc = root;
  EXPECT_EQ(run("return _process_state(1), _process_state(3), _process_state(4),"
                " _process_state(99), _process_state('4'), _process_state(4.5)"),
            (R{"i:0", "i:2", "i:1", "i:-1", "i:1", "i:-1"}));
}

TEST_F(ProcessApi, DisplaySizeIsReadFromThatProcesssRam) {
  root = create_process_from_code("", "[root]", "[root]");
  cproc = root;
  process *P = create_process_from_code("", "app", "/apps/app.lua");
  ASSERT_NE(P, nullptr);
  poke_proc(P, 0x5478, 0xE0);  // 480 = 0x01E0, little-endian
  poke_proc(P, 0x5479, 0x01);
  poke_proc(P, 0x547A, 0xF2);  // -14 as an i16
  poke_proc(P, 0x547B, 0xFF);
  EXPECT_EQ(run("return _get_process_display_size(2)"), (R{"i:480", "i:-14"}));
  EXPECT_EQ(run("return _get_process_display_size(99)"), (R{"i:0", "i:0"}));
  EXPECT_EQ(run("return _get_process_display_size(1)"), (R{"i:0", "i:0"}));
}

TEST_F(ProcessApi, ProcessList) {
  root = create_process_from_code("", "[root]", "[root]");
  cproc = root;
  process *P = create_process_from_code("", "editor", "/apps/editor.lua");
  ASSERT_NE(P, nullptr);
  P->cycles_last_frame = 27962;
  P->pwd = "/desktop";
  R r = run(
      "local l = _get_process_list() local a, b = l[1], l[2]"
      " return #l, a.id, a.name, a.prog, a.priority, a.pwd, math.type(a.memory),"
      " b.id, b.name, b.prog, b.cpu, b.pwd, b.memory");
  ASSERT_EQ(r.size(), 13u);
  EXPECT_EQ(R(r.begin(), r.begin() + 12),
            (R{"i:2", "i:1", "s:[root]", "s:[root]", "i:1", "s:/", "s:integer", "i:2",
               "s:editor", "s:/apps/editor.lua", share(27962), "s:/desktop"}));
  EXPECT_EQ(r[12], "i:" + std::to_string(process_memory_in_use(P)));
  // Each entry is paid for: a table and its seven fields.
  int64_t two = charge_of("_get_process_list", "");
  ASSERT_NE(create_process_from_code("", "x", "/apps/x.lua"), nullptr);
  EXPECT_GE(charge_of("_get_process_list", "") - two, 112);
  EXPECT_GE(two, 2 * 112);
}

TEST_F(ProcessApi, YieldedToEscapeSliceFlag) {
  start_system("");
  process *P = spawn(
      "while not _yielded_to_escape_slice() do end report('escaped')"
      " _yielded_to_escape_slice(0) report(_yielded_to_escape_slice())"
      " _yielded_to_escape_slice(0.5) report(_yielded_to_escape_slice())"
      " _yielded_to_escape_slice(-1) report(escape_field())"
      " report(_yielded_to_escape_slice(0, 0))"
      " report(_yielded_to_escape_slice('0'))"
      " flip() report('next frame') while true do flip() end");
  run_process_slice(P, 0.1);
  EXPECT_TRUE(reports.empty()) << "the loop ran to the cap";
  EXPECT_EQ(P->lua_state->yielded_to_escape_slice, 1) << "set by the interpreter";
  prepare_processes_for_frame();
  run_process_slice(P, 0.1);
  // 0.5 floors to 0; -1 sets the flag, which two arguments or a string only read.
  EXPECT_EQ(reports, (std::vector<R>{{"s:escaped"}, {"b:false"}, {"b:false"}, {"i:1073741824"},
                                     {"b:true"}, {"b:true"}}));
  EXPECT_EQ(P->lua_state->yielded_to_escape_slice, 1) << "the flip's forced stop sets it again";
}

/* ---------------------------------------------------------------------- */
/* load                                                                   */
/* ---------------------------------------------------------------------- */

// A binary chunk of "return 1", as another state dumps it.
std::string binary_chunk() {
  lua_State *L = luaL_newstate();
  luaL_loadstring(L, "return 1");
  std::string out;
  lua_dump(
      L,
      [](lua_State *, const void *p, size_t n, void *ud) {
        static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
        return 0;
      },
      &out, 0);
  lua_close(L);
  return out;
}

TEST_F(ProcessApi, LoadTakesTextChunksOnly) {
  root = create_process_from_code("", "[root]", "[root]");
  cproc = root;
  EXPECT_EQ(run("return load('return 1')()"), R{"i:1"});
  std::string bin = binary_chunk();
  ASSERT_EQ(bin[0], '\x1b');
  lua_pushlstring(root->lua_state, bin.data(), bin.size());
  lua_setglobal(root->lua_state, "bin");
  const R refused{"nil", "s:attempt to load a binary chunk (mode is 't')"};
  EXPECT_EQ(run("return load(bin)"), refused);
  EXPECT_EQ(run("return load(bin, 'b', 'b')"),
            (R{"nil", "s:attempt to load a binary chunk (mode is '')"}))
      << "a mode cannot widen it";
  EXPECT_EQ(run("return load(bin, 'bt', 'bt')"), refused);
  EXPECT_EQ(run("local i = 0 return load(function() i = i + 1 return i == 1 and bin or nil end)"),
            refused);
  // A mode without "t" loads no text either, as published.
  EXPECT_EQ(run("return load('return 1', 'x', 'b')"),
            (R{"nil", "s:attempt to load a text chunk (mode is 'b')"}));
  EXPECT_EQ(run("return load(function() return nil end, 'x', '')"),
            (R{"nil", "s:attempt to load a text chunk (mode is '')"}));
  EXPECT_EQ(run("local i = 0 return select('#', load(function() i = i + 1 return ({'', bin})[i] "
                "end)()), i"),
            (R{"i:0", "i:1"}))
      << "an empty first piece ends the chunk: an empty text one";
  // The published forms otherwise: reader functions, chunk names, environments.
  EXPECT_EQ(run("local parts = {'return ', '4', '2'} local i = 0"
                " return load(function() i = i + 1 return parts[i] end)()"),
            R{"i:42"});
  EXPECT_EQ(run("return load('return x', 'chunk', 't', {x = 7})()"), R{"i:7"});
  EXPECT_EQ(run("return load('error(\"e\")', '=named')"), R{"function"});
  EXPECT_EQ(run("return pcall(load('error(\"e\")', '=named'))"), (R{"b:false", "s:named:1: e"}));
  EXPECT_EQ(run("return load('x = = 1')"),
            (R{"nil", "s:[string \"x = = 1\"]:1: unexpected symbol near '='"}));
  EXPECT_EQ(run("return load(function() return {} end)"),
            (R{"nil", "s:test:1: reader function must return a string"}));
  EXPECT_EQ(run("return load()"),
            R{"error: test:1: bad argument #1 to 'load' (function expected, got no value)"});
}

}  // namespace
