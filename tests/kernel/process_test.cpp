// The process table and the time slice, with real Lua states: ids and records,
// the slice's cap, debt and gates, removal and restart, runtime errors, and the
// hostile cases (slicing itself, killing an ancestor, finalizers that kill or
// create while a state closes, huge allocations).
#include "kernel/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/messages.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "lauxlib.h"
#include "lua.h"

namespace {

// What scripts passed to note(), in order.
std::vector<std::string> notes;

// Minimal stand-ins for the script API the tests need; the real bindings come
// with the script-API registry and call the same kernel functions.
int t_note(lua_State *L) {
  notes.emplace_back(luaL_tolstring(L, 1, nullptr));
  return 0;
}

int t_flip(lua_State *) {
  cproc->flipped = 1;
  superyield();
  return 0;
}

int t_pid(lua_State *L) {
  lua_pushinteger(L, current_process_id());
  return 1;
}

int t_halt(lua_State *) {
  cproc->state = process_finished;
  superyield();
  return 0;
}

int t_run_slice(lua_State *L) {
  int64_t id = luaL_checkinteger(L, 1);
  process *P = get_process(id);
  if (!P) {
    lua_pushboolean(L, 1);
    lua_pushinteger(L, 0);
    return 2;
  }
  int32_t used = run_process_slice(P, luaL_checknumber(L, 2), L);
  lua_pushboolean(L, process_slice_completed(id));
  lua_pushinteger(L, used);
  return 2;
}

int t_kill(lua_State *L) {
  int64_t id = luaL_checkinteger(L, 1);
  if (luaL_optinteger(L, 2, 0) == 1)
    restart_process(get_process(id));
  else
    kill_process_by_id(id);
  return 0;
}

void install_api(process *P);

int t_create(lua_State *L) {
  process *P = create_process_from_code(luaL_checkstring(L, 1), luaL_optstring(L, 2, "child"),
                                        "/apps/child.lua");
  if (!P) return 0;
  install_api(P);
  lua_pushinteger(L, P->id);
  return 1;
}

int t_set_cycles(lua_State *L) {
  cpu_cycles = static_cast<int>(luaL_checkinteger(L, 1));
  return 0;
}

// The count and debt as a script sees them at this call.
int t_cycles(lua_State *L) {
  lua_pushinteger(L, cpu_cycles);
  lua_pushinteger(L, cproc->cycle_debt);
  return 2;
}

int t_reset(lua_State *L) {
  lua_pushboolean(L, processes_init());
  return 1;
}

void install_api(process *P) {
  lua_State *L = P->lua_state;
  lua_register(L, "note", t_note);
  lua_register(L, "flip", t_flip);
  lua_register(L, "pid", t_pid);
  lua_register(L, "halt", t_halt);
  lua_register(L, "_run_process_slice", t_run_slice);
  lua_register(L, "_kill_process", t_kill);
  lua_register(L, "_create_process_from_code", t_create);
  lua_register(L, "set_cycles", t_set_cycles);
  lua_register(L, "cycles", t_cycles);
  lua_register(L, "reset", t_reset);
}

const char *const idle = "while true do flip() end";

// The content field of an event message.
std::string content_of(const std::string &event) {
  size_t from = event.find("content=\"");
  if (from == std::string::npos) return "";
  from += 9;
  size_t to = event.find("\",_from=", from);
  return event.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

class Processes : public ::testing::Test {
 protected:
  void SetUp() override { reset_world(); }
  void TearDown() override { reset_world(); }

  static void reset_world() {
    ASSERT_TRUE(processes_init());
    app = app_record{};
    config = config_record{};
    config.headless = 1;
    root_process = nullptr;
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
    notes.clear();
  }

  // Creates a process with the test API; the current process stays what it was.
  static process *spawn(const char *code, const char *name = "proc",
                        const char *path = "/apps/proc.lua") {
    process *creator = cproc;
    process *P = create_process_from_code(code, name, path);
    if (P) install_api(P);
    cproc = creator;
    return P;
  }

  // Processes 1 to 3 (kernel, window manager, display process), idling; then no
  // process is current, as in the frame loop.
  static void spawn_system() {
    root_process = spawn(idle, "[root]", "[root]");
    spawn(idle, "wm", "/system/wm.lua");
    spawn(idle, "display", "/system/display.lua");
    cproc = nullptr;
  }

  // Drains process 3's queue.
  static std::vector<std::string> events() {
    std::vector<std::string> out;
    while (buffer *b = read_process_message(get_process(3), nullptr)) out.emplace_back(to_cstr(b));
    return out;
  }

  static std::vector<int64_t> ids() {
    std::vector<int64_t> out;
    for (int i = 0; i < get_process_count(); i++) out.push_back(get_process_by_index(i)->id);
    return out;
  }
};

using I = std::vector<int64_t>;
using S = std::vector<std::string>;

/* ---------------------------------------------------------------------- */
/* the table                                                              */
/* ---------------------------------------------------------------------- */

TEST_F(Processes, CreationSetsUpTheRecord) {
  process *root = create_process_from_code(idle, "[root]", "[root]");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->id, 1);
  EXPECT_EQ(root->parent_id, 0);
  EXPECT_EQ(cproc, root) << "with none current before, the new record stays current";
  EXPECT_NE(root->lua_state, nullptr);
  EXPECT_NE(root->message_queue, nullptr);
  EXPECT_EQ(root->pwd, "/");
  EXPECT_EQ(root->state, process_running);
  EXPECT_EQ(root->source, idle);
  EXPECT_GT(root->heap_bytes, 0) << "the state's blocks are counted on it";

  std::string long_name(100, 'n'), long_path = "/system/" + std::string(300, 'p');
  process *child = create_process_from_code("x = 1", long_name.c_str(), long_path.c_str());
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->id, 2);
  EXPECT_EQ(child->parent_id, 1);
  EXPECT_EQ(cproc, root) << "the creator stays current";
  EXPECT_EQ(child->name.size(), 63u);
  EXPECT_EQ(child->path.size(), 255u);
  EXPECT_EQ(child->system_flag, 1);
  EXPECT_EQ(root->system_flag, 0);
  EXPECT_EQ(get_process(2), child);
  EXPECT_EQ(find_process(2), child);
  EXPECT_EQ(get_process(7), nullptr);
  EXPECT_EQ(get_process_by_index(1), child);
  EXPECT_EQ(get_process_by_index(2), nullptr);
  EXPECT_EQ(get_process_by_index(-1), nullptr);
  EXPECT_EQ(current_process_id(), 1);
  cproc = nullptr;
  EXPECT_EQ(current_process_id(), 0);
}

TEST_F(Processes, SyntaxErrorUsesUpAnIdAndIsReported) {
  spawn_system();
  EXPECT_EQ(create_process_from_code("x = = 1", "broken", "/b.lua"), nullptr);
  EXPECT_EQ(cproc, nullptr) << "the caller's current process (none) is restored";
  EXPECT_EQ(get_process_count(), 3);
  process *next = spawn("x = 1");
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->id, 5) << "the failed creation used up id 4";
  S ev = events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(content_of(ev[0]), "*syntax error");
  EXPECT_EQ(content_of(ev[1]), "broken:1: unexpected symbol near '='");
}

TEST_F(Processes, OnlyTextChunksAreLoaded) {
  spawn_system();
  std::string binary = "\x1bLua\x54";
  binary += std::string(40, '\x01');
  EXPECT_EQ(create_process_from_code(binary.c_str(), "bin", "/apps/bin.lua"), nullptr);
  S ev = events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(content_of(ev[0]), "*syntax error");
  EXPECT_NE(content_of(ev[1]).find("attempt to load a binary chunk"), std::string::npos);
}

TEST_F(Processes, MemoryErrorWhileSettingUpIsCouldNotCreate) {
  spawn_system();
  // The lexer's buffer for this literal would have to grow past four times the
  // memory cap: the allocator refuses, the load fails for memory.
  std::string code = "return \"" + std::string(65u << 20, 'x') + "\"";
  EXPECT_EQ(create_process_from_code(code.c_str(), "big", "/apps/big.lua"), nullptr);
  EXPECT_EQ(get_process_count(), 3);
  EXPECT_TRUE(events().empty()) << "not a syntax error";
  process *next = spawn("x = 1");
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->id, 5);
}

TEST_F(Processes, The513thProcessIsRefused) {
  for (int i = 0; i < max_processes; i++)
    ASSERT_NE(create_process_from_code("", "p", "/p"), nullptr);
  EXPECT_EQ(create_process_from_code("", "p", "/p"), nullptr);
  EXPECT_EQ(get_process_count(), max_processes);
  kill_process_by_id(100);
  process *P = create_process_from_code("", "p", "/p");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->id, 513) << "the refusal used no id";
  EXPECT_EQ(get_process_by_index(max_processes - 1), P);
}

TEST_F(Processes, KillClosesTheGapAndRecordsStayPut) {
  for (int i = 0; i < 5; i++) spawn("");
  process *four = get_process(4);
  cproc = four;
  kill_process_by_id(2);
  EXPECT_EQ(ids(), (I{1, 3, 4, 5}));
  EXPECT_EQ(get_process_by_index(2), four) << "the pointer moved, not the record";
  EXPECT_EQ(cproc, four);
  kill_process(four);
  EXPECT_EQ(ids(), (I{1, 3, 5}));
  EXPECT_EQ(cproc, nullptr) << "a removed current process is not named any more";
  kill_process_by_id(42);
  kill_process(nullptr);
  kill_process(four);  // gone already
  EXPECT_EQ(ids(), (I{1, 3, 5}));
}

// The look-up by id against a walk over the table, after every change: new
// records, code that does not compile (an id used up), kills of known and
// unknown ids, restarts, a chunk that returns in its slice, and a reset.
TEST_F(Processes, LookupByIdFollowsTheTable) {
  auto check = [](const char *after) {
    int64_t top = 0;
    for (int i = 0; i < get_process_count(); i++) top = std::max(top, get_process_by_index(i)->id);
    for (int64_t id = -1; id <= top + 2; id++) {
      process *walked = nullptr;
      for (int i = 0; i < get_process_count() && !walked; i++)
        if (get_process_by_index(i)->id == id) walked = get_process_by_index(i);
      ASSERT_EQ(get_process(id), walked) << "id " << id << " after " << after;
    }
  };
  uint32_t seed = 12345;
  auto next = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int round = 0; round < 2; round++) {
    for (int step = 0; step < 300; step++) {
      int64_t some_id = static_cast<int64_t>(next(static_cast<uint32_t>(get_process_count() * 2 + 3)));
      switch (next(6)) {
        case 0: case 1: spawn(idle); check("a creation"); break;
        case 2: spawn("this is not lua"); check("a failed creation"); break;
        case 3: kill_process_by_id(some_id); check("a kill"); break;
        case 4: restart_process(get_process(some_id)); check("a restart"); break;
        default:
          if (process *P = spawn("note('once')")) run_process_slice(P, 0.01);
          check("a chunk that returned");
          break;
      }
    }
    EXPECT_GT(get_process_count(), 20);
    reset_world();
    check("a reset");
  }
}

TEST_F(Processes, RestartKeepsIdRecordAndPlace) {
  spawn_system();
  process *P = spawn("n = (n or 0) + 1 note(n) while true do flip() end");
  process *after = spawn("");
  run_process_slice(P, 0.1);
  send_process_message_string(P, "{x=1}");
  app.audio_pid = 4;
  int32_t slices = P->slice_count;
  EXPECT_EQ(slices, 1);

  restart_process(P);
  EXPECT_EQ(get_process_by_index(3), P);
  EXPECT_EQ(get_process_by_index(4), after);
  EXPECT_EQ(P->id, 4);
  EXPECT_NE(P->lua_state, nullptr);
  EXPECT_EQ(P->slice_count, 0);
  EXPECT_EQ(read_process_message(P, nullptr), nullptr) << "a fresh queue";
  EXPECT_EQ(app.audio_pid, -2);

  install_api(P);
  run_process_slice(P, 0.1);
  EXPECT_EQ(notes, (S{"1", "1"})) << "the chunk runs again from the start in a new state";
  EXPECT_EQ(P->state, process_running);
}

TEST_F(Processes, ProcessesInitFreesEverythingAndRestartsIds) {
  spawn_system();
  spawn(idle);
  EXPECT_TRUE(processes_init());
  EXPECT_EQ(get_process_count(), 0);
  EXPECT_EQ(cproc, nullptr);
  EXPECT_EQ(root_process, nullptr);
  EXPECT_EQ(total_frame_cycles, 0);
  process *P = spawn("");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->id, 1);
}

TEST_F(Processes, SetCurrentProcessRefusesNull) {
  EXPECT_DEATH(
      {
        dup2(2, 1);
        set_current_process(nullptr);
      },
      "ASSERT failed");
}

/* ---------------------------------------------------------------------- */
/* the slice: cap, debt, gates                                            */
/* ---------------------------------------------------------------------- */

TEST_F(Processes, CapIsTheSmallerOfWhatIsLeftAndTheShare) {
  spawn_system();
  process *P = spawn("while true do end");
  total_frame_cycles = 200000;
  // 0.5 x 279,620 = 139,810, but only 79,620 are left: the loop passes the cap
  // by one 2-cycle jump and is charged cap + 1.
  EXPECT_EQ(run_process_slice(P, 0.5), 79621);
  EXPECT_EQ(P->cycle_debt, 2);
  EXPECT_EQ(total_frame_cycles, 279621);
  EXPECT_EQ(P->cycles_frame, 79621);
  EXPECT_EQ(P->cycles_since_flip, 79621);
  EXPECT_FALSE(process_slice_completed(P->id));
  EXPECT_EQ(cpu_cycles_max, 0) << "the outer level's counters come back";
}

TEST_F(Processes, NoSliceWhenTheBudgetIsSpentOrTheShareIsBelowOneCycle) {
  spawn_system();
  process *P = spawn("note('ran') while true do flip() end");
  total_frame_cycles = frame_cycle_budget;
  EXPECT_EQ(run_process_slice(P, 1.0), 0);
  total_frame_cycles = 0;
  EXPECT_EQ(run_process_slice(P, 1e-6), 0);
  EXPECT_EQ(run_process_slice(P, -3.0), 0);
  EXPECT_EQ(run_process_slice(P, std::nan("")), 0);
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(P->slice_count, 4) << "counted as begun before the cap is known";
  EXPECT_EQ(cproc, nullptr);
  EXPECT_GT(run_process_slice(P, 2.0), 0) << "a share above 1 is the whole budget";
  EXPECT_EQ(notes, S{"ran"});
}

TEST_F(Processes, OverrunBecomesDebtRepaidAtTheNextSlice) {
  spawn_system();
  process *P =
      spawn("set_cycles(300000) note(cycles()) note(select(2, cycles())) while true do end");
  EXPECT_EQ(run_process_slice(P, 1.0), 279621);
  EXPECT_EQ(P->cycle_debt, 20380);
  prepare_processes_for_frame();
  run_process_slice(P, 1.0);
  ASSERT_EQ(notes.size(), 2u);
  // It starts charged with the 20,380 it repays; then GETTABUP note, GETTABUP
  // cycles and CALL cost 2 each.
  EXPECT_EQ(notes[0], "20386");
  EXPECT_EQ(notes[1], "0");
}

TEST_F(Processes, DebtAboveTenFramesIsCut) {
  spawn_system();
  process *P = spawn("while true do end");
  P->cycle_debt = 5000000;
  EXPECT_EQ(run_process_slice(P, 1.0), 279620);
  // Cut to 2,796,200, of which 279,620 use up the slice: nothing runs.
  EXPECT_EQ(P->cycle_debt, 2796200 - 279620);
  // A process deep in debt cannot slip in one dear call per slice, however
  // many slices it is given.
  process *R = spawn("while true do note('ran') end");
  R->cycle_debt = 1000;
  prepare_processes_for_frame();
  for (int i = 0; i < 999; i++) EXPECT_EQ(run_process_slice(R, 1.5 / frame_cycle_budget), 1);
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(R->cycle_debt, 1);
  EXPECT_EQ(run_process_slice(R, 2.5 / frame_cycle_budget), 3) << "repays 1, then VARARGPREP";
  EXPECT_TRUE(notes.empty());

  process *Q = spawn("local c, d = cycles() note(c) note(d) while true do end");
  Q->cycle_debt = 100000;
  prepare_processes_for_frame();
  run_process_slice(Q, 1.0);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], std::to_string(100000 + 3 * 2)) << "VARARGPREP, GETTABUP, CALL";
  EXPECT_EQ(notes[1], "0") << "all of it repaid at the start";
}

TEST_F(Processes, SchedulerCountersIncludeWhatItHandedOut) {
  spawn_system();
  process *child = spawn("set_cycles(1000) flip()");
  process *root = get_process(1);
  cproc = root;
  int32_t used = run_process_slice(child, 1.0);
  EXPECT_GE(used, 1000);
  EXPECT_EQ(root->cycles_frame, used);
  EXPECT_EQ(root->cycles_since_flip, used);
  EXPECT_EQ(child->cycles_frame, used);
  EXPECT_EQ(cproc, root);
}

TEST_F(Processes, ShutdownHolderHoldsBackIdsFourAndUp) {
  spawn_system();
  process *four = spawn(idle);
  process *five = spawn(idle);
  app.shutdown_holder = 4;
  EXPECT_EQ(run_process_slice(five, 0.1), 0);
  EXPECT_EQ(five->slice_count, 0) << "refused before the slice begins";
  EXPECT_GT(run_process_slice(four, 0.1), 0);
  for (int64_t id = 1; id <= 3; id++) EXPECT_GT(run_process_slice(get_process(id), 0.1), 0) << id;
  app.shutdown_holder = 0;
  EXPECT_GT(run_process_slice(five, 0.1), 0);
}

TEST_F(Processes, BootHoldsBackIdsFourAndUpForTheFirst1250Ms) {
  spawn_system();
  process *four = spawn(idle);
  // The boot clock runs on frames: 16.6 ms each from its first reading.
  auto at_ms = [](int64_t frames) {
    app.boot_time_base = 1;
    app.frame_count = 1 + frames;
  };
  config.headless = 0;
  at_ms(75);  // 1245 ms
  EXPECT_EQ(run_process_slice(four, 0.1), 0);
  EXPECT_GT(run_process_slice(get_process(3), 0.1), 0);
  at_ms(76);  // 1261 ms
  EXPECT_GT(run_process_slice(four, 0.1), 0);
  at_ms(0);
  app.boot_finished = 1;
  EXPECT_GT(run_process_slice(four, 0.1), 0);
  app.boot_finished = 0;
  config.headless = 1;
  EXPECT_GT(run_process_slice(four, 0.1), 0);
}

TEST_F(Processes, HaltedProcessKeepsItsRecordButGetsNoSlices) {
  spawn_system();
  process *P = spawn("note('a') halt() note('b')");
  EXPECT_GT(run_process_slice(P, 0.1), 0);
  EXPECT_EQ(P->state, process_finished);
  EXPECT_EQ(get_process(4), P);
  EXPECT_EQ(run_process_slice(P, 0.1), 0);
  EXPECT_EQ(notes, S{"a"});
}

TEST_F(Processes, TopLevelYieldEndsTheSliceAndItsValuesAreDropped) {
  spawn_system();
  process *P = spawn(
      "for i = 1, 3 do note(select('#', coroutine.yield(i, i, i))) end note('end') "
      "while true do flip() end");
  for (int i = 0; i < 4; i++) EXPECT_GT(run_process_slice(P, 0.1), 0);
  EXPECT_EQ(notes, (S{"0", "0", "0", "end"}));
  EXPECT_EQ(P->state, process_running);
}

/* ---------------------------------------------------------------------- */
/* end of a process in its slice                                          */
/* ---------------------------------------------------------------------- */

TEST_F(Processes, ChunkThatReturnsIsRemovedInItsSlice) {
  spawn_system();
  process *P = spawn("note('once')");
  process *behind = spawn(idle);
  cproc = get_process(1);
  EXPECT_GT(run_process_slice(P, 0.1), 0);
  EXPECT_EQ(ids(), (I{1, 2, 3, 5}));
  EXPECT_EQ(get_process_by_index(3), behind);
  EXPECT_TRUE(process_slice_completed(4));
  EXPECT_EQ(cproc, get_process(1));
  EXPECT_TRUE(events().empty());
}

TEST_F(Processes, RuntimeErrorIsReportedAndRemovesIdsFourAndUp) {
  spawn_system();
  process *P = spawn("local t = {} t.x.y = 1", "app", "/system/apps/app.lua");
  cproc = get_process(2);
  run_process_slice(P, 0.1);
  EXPECT_EQ(ids(), (I{1, 2, 3}));
  EXPECT_EQ(cproc, get_process(2));
  S ev = events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(content_of(ev[0]), "*runtime error");
  EXPECT_EQ(content_of(ev[1]), "app:1: attempt to index a nil value (field 'x')");
  EXPECT_EQ(content_of(ev[2]), "stack traceback:\\010\\009app:1: in main chunk");
  // Reported while the failed process is current.
  EXPECT_NE(ev[0].find(",_from=4,"), std::string::npos);
  EXPECT_NE(ev[0].find(",_flags=1}"), std::string::npos);
}

TEST_F(Processes, TracebackIsCutAtSystemPaths) {
  spawn_system();
  process *P = spawn("error('bad\\n\"thing\"')", "/system/x.lua");
  run_process_slice(P, 0.1);
  S ev = events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(content_of(ev[1]), "/system/x.lua:1: bad\\010\\034thing\\034");
  EXPECT_EQ(content_of(ev[2]), "stack traceback:\\010\\009[C]: in function 'error'\\010\\009");
}

TEST_F(Processes, ErrorValuesThatAreNotTexts) {
  spawn_system();
  process *P = spawn("error({})");
  process *Q = spawn("error(42)");
  run_process_slice(P, 0.1);
  run_process_slice(Q, 0.1);
  S ev = events();
  ASSERT_EQ(ev.size(), 6u);
  EXPECT_EQ(content_of(ev[1]), "unknown error");
  EXPECT_EQ(content_of(ev[4]), "42");
}

TEST_F(Processes, StackOverflowStillGetsATraceback) {
  spawn_system();
  spawn("local function f(n) return f(n + 1) + 1 end f(1)", "deep");
  // The recursion needs several frames' budget before the stack runs out.
  for (int frame = 0; frame < 50 && get_process(4); frame++) {
    prepare_processes_for_frame();
    run_process_slice(get_process(4), 1.0);
  }
  EXPECT_EQ(get_process(4), nullptr);
  S ev = events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_NE(content_of(ev[1]).find("stack overflow"), std::string::npos);
  EXPECT_NE(content_of(ev[2]).find("(skipping"), std::string::npos);
}

TEST_F(Processes, ErrorInTheThirdRecordLeavesItFailed) {
  spawn_system();
  process *display = get_process(3);
  lua_State *L = display->lua_state;
  luaL_loadstring(L, "error('x')");
  lua_replace(L, 1);  // its chunk is now the failing one
  run_process_slice(display, 0.1);
  EXPECT_EQ(display->state, process_failed);
  EXPECT_EQ(get_process(3), display);
  EXPECT_EQ(run_process_slice(display, 0.1), 0);
}

TEST_F(Processes, ErrorInTheFirstOrSecondRecordEndsTheProgram) {
  process *kernel = spawn("error('kernel down')");
  process *wm = spawn("error('wm down')");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        run_process_slice(kernel, 0.1);
      },
      testing::ExitedWithCode(0), "RUNTIME ERROR IN KERNEL");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        run_process_slice(wm, 0.1);
      },
      testing::ExitedWithCode(0), "RUNTIME ERROR IN WINDOW MANAGER.*wm down");
}

/* ---------------------------------------------------------------------- */
/* hostile cases                                                          */
/* ---------------------------------------------------------------------- */

TEST_F(Processes, SlicingItselfIsRefused) {
  spawn_system();
  process *P = spawn("local done, used = _run_process_slice(pid(), 1) note(used) flip()");
  EXPECT_GT(run_process_slice(P, 1.0), 0);
  EXPECT_EQ(notes, S{"0"});
  EXPECT_EQ(P->state, process_running) << "not a runtime error of it";
  EXPECT_TRUE(events().empty());
}

TEST_F(Processes, SchedulerRunsChildrenAndSeesTheirOutcome) {
  spawn_system();
  process *root = get_process(1);
  lua_State *L = root->lua_state;
  luaL_loadstring(
      L,
      "local a = _create_process_from_code('while true do flip() end', 'a') "
      "local b = _create_process_from_code('note(\"b\")', 'b') "
      "local c = _create_process_from_code('while true do end', 'c') "
      "for _, id in ipairs({a, b, c}) do note(tostring(_run_process_slice(id, 0.1))) end");
  lua_replace(L, 1);
  run_process_slice(root, 1.0);
  // a flipped; b's chunk returned (removed); c yielded at its cap of 27,962.
  EXPECT_EQ(notes, (S{"true", "b", "true", "false"}));
  EXPECT_EQ(ids(), (I{2, 3, 4, 6}));
  EXPECT_EQ(get_process(6)->cycles_frame, 27963);
  EXPECT_EQ(get_process(4)->parent_id, 1);
  EXPECT_EQ(get_process(1), nullptr) << "the root's chunk returned: it is gone";
  EXPECT_EQ(root_process, get_process(2)) << "the first record is the root now";
}

TEST_F(Processes, KillingAnAncestorWaitsForItsSliceToUnwind) {
  spawn_system();
  process *root = get_process(1);
  lua_State *L = root->lua_state;
  luaL_loadstring(L, "while true do note(_run_process_slice(4, 0.5)) flip() end");
  lua_replace(L, 1);
  process *child = spawn("_kill_process(1) note('child goes on') while true do flip() end");
  run_process_slice(root, 1.0);
  EXPECT_EQ(notes, (S{"child goes on", "true"}));
  EXPECT_EQ(get_process(1), nullptr);
  EXPECT_EQ(root_process, get_process_by_index(0));
  EXPECT_EQ(root_process->id, 2);
  EXPECT_EQ(get_process(4), child);
  EXPECT_EQ(child->state, process_running);
  EXPECT_EQ(cproc, nullptr);
}

TEST_F(Processes, RestartingAnAncestorWaitsForItsSliceToUnwind) {
  spawn_system();
  process *root = get_process(1);
  lua_State *L = root->lua_state;
  luaL_loadstring(L, "while true do _run_process_slice(4, 0.5) note('root') flip() end");
  lua_replace(L, 1);
  spawn("_kill_process(1, 1) while true do flip() end");
  run_process_slice(root, 1.0);
  EXPECT_EQ(notes, S{"root"}) << "the root finished its slice first";
  EXPECT_EQ(get_process_by_index(0), root);
  EXPECT_EQ(root_process, root);
  EXPECT_EQ(root->id, 1);
  EXPECT_EQ(root->source, idle) << "re-created from its original code";
}

TEST_F(Processes, KillingItselfTakesEffectAfterItsSlice) {
  spawn_system();
  process *P = spawn("_kill_process(pid()) note('still running') while true do flip() end");
  process *Q = spawn("_kill_process(pid(), 1) note('restarting') while true do flip() end");
  run_process_slice(P, 0.1);
  EXPECT_EQ(get_process(4), nullptr);
  run_process_slice(Q, 0.1);
  EXPECT_EQ(get_process(5), Q);
  EXPECT_EQ(Q->slice_count, 0) << "restarted once the slice ended";
  EXPECT_EQ(notes, (S{"still running", "restarting"}));
}

TEST_F(Processes, FinalizerThatKillsAndCreatesWhileItsStateCloses) {
  spawn_system();
  process *P = spawn(
      "keep = setmetatable({}, {__gc = function() "
      "  _kill_process(5) _kill_process(4) _kill_process(4, 1) _kill_process(1) "
      "  note(tostring((_create_process_from_code('x = 1')))) "
      "end}) while true do flip() end");
  spawn(idle);
  run_process_slice(P, 0.1);
  kill_process(P);
  EXPECT_EQ(notes, S{"nil"}) << "no creation while the table changes";
  EXPECT_EQ(ids(), (I{2, 3})) << "the kills it asked for were carried out after";
  EXPECT_EQ(root_process, get_process(2));
  process *next = spawn("");
  EXPECT_EQ(next->id, 6);
}

TEST_F(Processes, CloseHandlerThatKillsWhileItsStateCloses) {
  spawn_system();
  process *P = spawn(
      "do local x <close> = setmetatable({}, {__close = function() _kill_process(5) end}) "
      "while true do flip() end end");
  spawn(idle);
  run_process_slice(P, 0.1);
  kill_process(P);
  EXPECT_EQ(ids(), (I{1, 2, 3}));
}

TEST_F(Processes, FinalizerThatRunsASliceWhileItsStateCloses) {
  spawn_system();
  process *P = spawn(
      "keep = setmetatable({}, {__gc = function() note(_run_process_slice(5, 0.1)) "
      "note(_run_process_slice(4, 0.1)) end}) while true do flip() end");
  spawn("note('five ran')");
  run_process_slice(P, 0.1);
  kill_process(P);
  // 5 ran (and returned: removed once the close was over); 4 has no state left.
  EXPECT_EQ(notes, (S{"five ran", "true", "true"}));
  EXPECT_EQ(ids(), (I{1, 2, 3}));
}

TEST_F(Processes, FinalizersDuringResetAndRestart) {
  spawn_system();
  process *P = spawn(
      "keep = setmetatable({}, {__gc = function() _kill_process(pid()) _kill_process(1) end}) "
      "while true do flip() end");
  run_process_slice(P, 0.1);
  restart_process(P);
  EXPECT_EQ(get_process(4), nullptr) << "its kill, asked for during the restart, was honoured";
  EXPECT_EQ(get_process(1), nullptr);

  process *Q = spawn(
      "keep = setmetatable({}, {__gc = function() note(reset()) "
      "note(tostring((_create_process_from_code('')))) end}) while true do flip() end");
  run_process_slice(Q, 0.1);
  EXPECT_TRUE(processes_init());
  EXPECT_EQ(notes, (S{"false", "nil"}));
  EXPECT_EQ(get_process_count(), 0);
}

TEST_F(Processes, TableGuardHoldsOffCreationAndKills) {
  spawn_system();
  run_process_slice(get_process(3), 0.1);
  {
    process_table_guard guard;
    EXPECT_EQ(create_process_from_code("", "p", "/p"), nullptr);
    kill_process_by_id(2);
    restart_process(get_process(3));
    EXPECT_EQ(ids(), (I{1, 2, 3})) << "the record looked up stays while the guard is held";
    EXPECT_FALSE(processes_init());
  }
  EXPECT_EQ(ids(), (I{1, 3}));
  EXPECT_EQ(get_process(3)->slice_count, 0) << "restarted once the guard was let go";
}

TEST_F(Processes, ResetIsRefusedWhileASliceRuns) {
  spawn_system();
  process *P = spawn("note(reset()) while true do flip() end");
  run_process_slice(P, 0.1);
  EXPECT_EQ(notes, S{"false"});
  EXPECT_EQ(get_process_count(), 4);
}

TEST_F(Processes, NestingOfSlicesIsBounded) {
  spawn_system();
  // Each process runs the next inside its own slice: a chain of 300.
  for (int i = 0; i < 300; i++)
    spawn("_run_process_slice(pid() + 1, 1) note(pid()) while true do flip() end");
  run_process_slice(get_process(4), 1.0);
  S ev = events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(content_of(ev[0]), "*runtime error");
  EXPECT_NE(content_of(ev[1]).find("C stack overflow"), std::string::npos);
  // The one too deep failed and was removed; those above it finished their slices.
  int64_t failed = 4;
  while (get_process(failed)) failed++;
  EXPECT_GT(failed, 20);
  EXPECT_EQ(get_process_count(), 302);
  ASSERT_EQ(notes.size(), static_cast<size_t>(failed - 4));
  EXPECT_EQ(notes.front(), std::to_string(failed - 1));
  EXPECT_EQ(notes.back(), "4");
}

TEST_F(Processes, HugeStringIsRefusedWithoutTouchingTheHost) {
  spawn_system();
  // The auxiliary buffer asks once and raises "not enough memory" itself.
  process *P = spawn("local s = string.rep('x', 1 << 30)");
  run_process_slice(P, 1.0);
  S ev = events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(content_of(ev[0]), "*runtime error");
  EXPECT_NE(content_of(ev[1]).find("not enough memory"), std::string::npos);
  EXPECT_EQ(get_process(4), nullptr);
}

TEST_F(Processes, BlockPastFourTimesTheCapIsOutOfMemory) {
  spawn_system();
  // 70 MB in the buffer, then a 70 MB string copied from it: refused even after
  // the emergency collection, so the process is out of memory.
  process *P = spawn(
      "local ok = pcall(string.rep, 'x', 70 * 1024 * 1024) note('after') "
      "while true do end");
  run_process_slice(P, 1.0);
  S ev = events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(content_of(ev[0]), "*runtime error: out of memory");
  EXPECT_EQ(get_process(4), nullptr);
  EXPECT_EQ(notes, S{}) << "the superyield stopped it right after the caught error";
}

TEST_F(Processes, OverTheCapAfterASliceIsOutOfMemory) {
  spawn_system();
  process *P = spawn("big = string.rep('x', 8 * 1024 * 1024) while true do flip() end");
  P->ram_bytes = 0x1800000;  // 24 MB of RAM pages
  run_process_slice(P, 1.0);
  EXPECT_EQ(get_process(4), nullptr);
  S ev = events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(content_of(ev[0]), "*runtime error: out of memory");
}

TEST_F(Processes, CollectionBeforeTheCapCheckRunsFinalizersSafely) {
  spawn_system();
  // Garbage takes it over the cap; the collection (with a finalizer that tries to
  // slice and kill the process) brings it back under.
  process *P = spawn(
      "local g = setmetatable({}, {__gc = function() note(_run_process_slice(pid(), 1)) "
      "_kill_process(pid(), 1) end}) "
      "g = nil local junk = string.rep('x', 4 * 1024 * 1024) junk = nil "
      "while true do flip() end");
  P->ram_bytes = 0x1C00000;  // 4 MB of garbage: the slice gets to its end
  run_process_slice(P, 1.0);
  EXPECT_EQ(notes, S{"true"});
  EXPECT_EQ(get_process(4), P);
  EXPECT_EQ(P->out_of_memory, 0);
  EXPECT_EQ(P->slice_count, 0) << "its restart, asked for by the finalizer, ran after the slice";
}

/* ---------------------------------------------------------------------- */
/* frame bookkeeping                                                      */
/* ---------------------------------------------------------------------- */

TEST_F(Processes, PrepareForFrameRollsCountersAndFps) {
  spawn_system();
  process *a = get_process(1), *b = get_process(2);
  a->cycles_frame = 500;
  a->flipped = 1;
  a->frames_since_flip = 1;
  a->cycles_since_flip = 77;
  b->cycles_frame = 9;
  b->frames_since_flip = 4;
  total_frame_cycles = 1000;
  prepare_processes_for_frame();
  EXPECT_EQ(a->cycles_last_frame, 500);
  EXPECT_EQ(a->cycles_frame, 0);
  EXPECT_EQ(a->fps, 30);
  EXPECT_EQ(a->flipped, 0);
  EXPECT_EQ(a->frames_since_flip, 0);
  EXPECT_EQ(a->cycles_since_flip, 0);
  EXPECT_EQ(b->cycles_last_frame, 9);
  EXPECT_EQ(b->frames_since_flip, 5);
  EXPECT_EQ(total_frame_cycles, 0);
}

TEST_F(Processes, AfterFrameAdvancesTimeAndRemovesOutOfMemory) {
  spawn_system();
  process *a = get_process(1), *b = get_process(2), *c = get_process(3);
  a->flipped = 1;
  a->frames_since_flip = 0;
  b->flipped = 1;
  b->frames_since_flip = 5;
  update_processes_after_frame();
  EXPECT_EQ(a->time, 1);
  EXPECT_EQ(b->time, 3);
  EXPECT_EQ(c->time, 0);
  app.slow_frame = 1;
  update_processes_after_frame();
  EXPECT_EQ(a->time, 3);
  EXPECT_EQ(c->time, 1);
  EXPECT_EQ(cproc, nullptr) << "the frame's level comes back: the root's next slice is "
                               "counted on no other process";

  b->out_of_memory = 1;
  update_processes_after_frame();
  EXPECT_EQ(ids(), (I{1, 3}));
  EXPECT_TRUE(events().empty()) << "no message: the slice reports it";
}

TEST_F(Processes, AfterFrameSwitchesCollectorWhenRamAsksForIt) {
  spawn_system();
  // RAM byte 0x547F of process 2 has bit 0 set; the others read 0.
  poke_proc(get_process(2), 0x547F, 1);
  for (int64_t id = 1; id <= 3; id++) lua_gc(get_process(id)->lua_state, LUA_GCGEN, 0, 0);
  update_processes_after_frame();
  EXPECT_EQ(lua_gc(get_process(1)->lua_state, LUA_GCGEN, 0, 0), LUA_GCGEN);
  EXPECT_EQ(lua_gc(get_process(2)->lua_state, LUA_GCGEN, 0, 0), LUA_GCINC);
  // The same parameters as a state switched by hand.
  lua_State *ref = luaL_newstate();
  lua_gc(ref, LUA_GCINC, 107, 18, 0);
  EXPECT_EQ(lua_gc(get_process(2)->lua_state, LUA_GCSETPAUSE, 200),
            lua_gc(ref, LUA_GCSETPAUSE, 200));
  EXPECT_EQ(lua_gc(get_process(2)->lua_state, LUA_GCSETSTEPMUL, 100),
            lua_gc(ref, LUA_GCSETSTEPMUL, 100));
  lua_close(ref);
}

TEST(ProcessText, SystemTracebackLinesAreCut) {
  EXPECT_EQ(filter_system_traceback_lines("a\n\t/system/x.lua:3\n\t/system/y"), "a\n\t");
  EXPECT_EQ(filter_system_traceback_lines("no system here"), "no system here");
  std::string big(20000, 'a');
  EXPECT_EQ(filter_system_traceback_lines(big).size(), 16383u);
  EXPECT_EQ(filter_system_traceback_lines(std::string(16380, 'a') + "/system/"),
            std::string(16380, 'a') + "/sy");
}

}  // namespace
