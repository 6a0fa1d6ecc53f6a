// The interpreter's dialect: cycle count per instruction, the budget yield at
// the fetch, and the opcodes that read process RAM.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/process.h"
#include "kernel/ram.h"
#include "lua_harness.h"

// The core's internals, to look at code and thread fields.
#include "lobject.h"
#include "lopcodes.h"
#include "lopnames.h"
#include "lstate.h"

using namespace lua_harness;

namespace {

// The prototype of the Lua function at `idx`.
const Proto *proto_at(lua_State *L, int idx) {
  return static_cast<const LClosure *>(lua_topointer(L, idx))->p;
}

std::vector<std::string> listing(const Proto *p) {
  std::vector<std::string> ops;
  for (int i = 0; i < p->sizecode; i++) ops.emplace_back(opnames[GET_OPCODE(p->code[i])]);
  return ops;
}

// Loads `code` and runs it, leaving the function it returns on the stack.
void push_function(lua_State *L, const char *code) {
  ASSERT_EQ(luaL_loadstring(L, code), LUA_OK) << lua_tostring(L, -1);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << lua_tostring(L, -1);
  ASSERT_EQ(lua_type(L, -1), LUA_TFUNCTION);
}

// Cycles charged for one call of the function on top (popped) with integer
// arguments, from the main thread, which never yields.
int cost_of_call(lua_State *L, std::vector<lua_Integer> args) {
  for (lua_Integer a : args) lua_pushinteger(L, a);
  cycle_guard::set_slice(0, INT_MAX);
  lua_call(L, static_cast<int>(args.size()), 0);
  return cpu_cycles;
}

// A thread running the Lua function on top of L (popped), not started yet.
lua_State *new_thread_with(lua_State *L) {
  lua_State *co = lua_newthread(L);
  lua_rotate(L, -2, 1);
  lua_xmove(L, co, 1);
  return co;
}

// ---------------------------------------------------------------------------
// Instruction costs

TEST(InstructionCost, CheapOpcodesCostOne) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function(a, b) local c = a + b local d = c - 1 "
                   "local e = d & 3 local f = e | b local g = -f return end");
  EXPECT_EQ(listing(proto_at(L, -1)),
            (std::vector<std::string>{"ADD", "MMBIN", "ADDI", "MMBINI", "BANDK", "MMBINK", "BOR",
                                      "MMBIN", "UNM", "RETURN0", "RETURN0"}));
  // ADD, ADDI, BANDK, BOR and UNM at 1 (each skips its MMBIN), RETURN0 at 2.
  EXPECT_EQ(cost_of_call(L, {6, 3}), 7);
}

TEST(InstructionCost, OtherArithmeticCostsTwo) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function(a, b) local c = a * b local d = c // 2 "
                   "local e = ~d local f = not e return end");
  EXPECT_EQ(listing(proto_at(L, -1)),
            (std::vector<std::string>{"MUL", "MMBIN", "IDIVK", "MMBINK", "BNOT", "NOT", "RETURN0",
                                      "RETURN0"}));
  EXPECT_EQ(cost_of_call(L, {6, 3}), 10);
}

TEST(InstructionCost, LoadsAndMoves) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function() local a, b, c, d = 1, 2.5, nil, true "
                   "local e = false local f = a local g = 2.0 return end");
  EXPECT_EQ(listing(proto_at(L, -1)),
            (std::vector<std::string>{"LOADI", "LOADK", "LOADNIL", "LOADTRUE", "LOADFALSE", "MOVE",
                                      "LOADF", "RETURN0", "RETURN0"}));
  // Six cheap loads and moves, then LOADF and RETURN0 at 2.
  EXPECT_EQ(cost_of_call(L, {}), 10);
}

TEST(InstructionCost, RefundStandsWhenTheHandlerRaises) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function(a) local b = -a end");
  lua_newtable(L);  // no __unm: UNM raises after its refund
  cycle_guard::set_slice(0, INT_MAX);
  EXPECT_EQ(lua_pcall(L, 1, 0, 0), LUA_ERRRUN);
  EXPECT_EQ(cpu_cycles, 1 + THROWCYCLES) << "the refunded UNM, and its error's throw";
}

// Cycles added by the allocator and by host functions while Lua code runs
// stay in the count, wherever in the interpreter they happen.
struct charging {
  int per_allocation = 0;
  int per_spend = 0;
  bool counting = false;  // during the run only, not while the state is made or closed
  long allocations = 0;
  long spends = 0;
};

void *charging_alloc(void *ud, void *ptr, size_t, size_t nsize, int, size_t) {
  auto *c = static_cast<charging *>(ud);
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  if (c->counting) {
    c->allocations++;
    cpu_cycles += c->per_allocation;
  }
  return realloc(ptr, nsize);
}

// Cycles of one run of the program, with the given charges.
long long cycles_of_run(charging *c) {
  state_owner S(lua_newstate(charging_alloc, c));
  lua_State *L = S.get();
  luaL_openlibs(L);
  lua_pushlightuserdata(L, c);
  lua_pushcclosure(L, [](lua_State *T) -> int {
    auto *ch = static_cast<charging *>(lua_touserdata(T, lua_upvalueindex(1)));
    if (ch->counting) {
      ch->spends++;
      cpu_cycles += ch->per_spend;
    }
    return 0;
  }, 1);
  lua_setglobal(L, "spend");
  if (luaL_loadstring(L, R"lua(
    local function deep(n) if n == 0 then spend() return {} end return {deep(n - 1)} end
    local mt = {__index = function(t, k) spend() return k .. "?" end,
                __gc = function() spend() end}
    local acc = {}
    for i = 1, 300 do
      local t = setmetatable({i, i + 1, x = i}, mt)
      acc[#acc + 1] = t.missing .. i
      local f = function() return i end
      local list = {f(), f(), f(), f(), f(), f(), f(), f(), f(), f()}
      if i % 50 == 0 then deep(200) end
      pcall(function() spend() error("e" .. i) end)
    end
    local big = {table.unpack(acc)}  -- SETLIST growing the array
    local function tail() return spend() end
    local function pieces(n)
      return function(_, i) if i < n then return i + 1, {i} end end, nil, 0
    end
    local function none() end
    local function one() return 1 end
    debug.sethook(function() spend() end, "r", 1000)
    for i, p in pieces(500) do tail() none() one() end
    debug.sethook()
    collectgarbage()
    return #acc + #big
  )lua") != LUA_OK)
    return -1;
  cycle_guard::set_slice(0, INT_MAX);
  c->counting = true;
  int status = lua_pcall(L, 0, 1, 0);
  c->counting = false;
  return status == LUA_OK ? cpu_cycles : -1;
}

TEST(InstructionCost, ChargesFromTheAllocatorAndHostFunctionsStay) {
  cycle_guard guard;
  charging plain, charged;
  long long base = cycles_of_run(&plain);
  charged.per_allocation = 3;
  charged.per_spend = 1000;
  long long total = cycles_of_run(&charged);
  ASSERT_GT(base, 0);
  EXPECT_GT(plain.allocations, 1000);
  EXPECT_GT(plain.spends, 600);
  EXPECT_EQ(charged.allocations, plain.allocations);
  EXPECT_EQ(charged.spends, plain.spends);
  EXPECT_EQ(total, base + 3 * charged.allocations + 1000 * charged.spends);
}

// ---------------------------------------------------------------------------
// Budget yield

TEST(BudgetYield, EndlessLoopYieldsAtTheFetchPastTheCap) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function() while true do end end");
  ASSERT_EQ(listing(proto_at(L, -1)), (std::vector<std::string>{"JMP", "RETURN0"}));
  lua_State *co = new_thread_with(L);
  int nres = -1;

  // 501 passes of 2 cycles; the 502nd fetch finds 1002 > 1000.
  cycle_guard::set_slice(0, 1000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(nres, 0);
  EXPECT_EQ(cpu_cycles, 1002);
  EXPECT_EQ(co->yielded_to_escape_slice, 1);
  EXPECT_EQ(L->yielded_to_escape_slice, 0);

  // A new slice: the mark left by the yield lets one more pass run at the cap.
  for (int slice = 0; slice < 2; slice++) {
    cycle_guard::set_slice(0, 1000);
    ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
    EXPECT_EQ(nres, 0);
    EXPECT_EQ(cpu_cycles, 1004);
  }

  // Resumed with the cap still passed, the thread runs exactly one instruction.
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(cpu_cycles, 1006);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(cpu_cycles, 1008);
}

TEST(BudgetYield, CoroutineResumeSeesTrueAndNoValues) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local co = coroutine.create(function() while true do end end) "
                               "local r = table.pack(coroutine.resume(co)) "
                               "local again = table.pack(coroutine.resume(co)) "
                               "return r.n, r[1], again.n, again[1], coroutine.status(co)"),
            LUA_OK);
  int slices = 0;
  ASSERT_EQ(run_sliced(L, 1000, &slices), LUA_OK) << lua_tostring(L, -1);
  EXPECT_GE(slices, 2);  // the outer thread is stopped by the cap as well
  EXPECT_EQ(lua_tointeger(L, -5), 1);
  EXPECT_TRUE(lua_toboolean(L, -4));
  EXPECT_EQ(lua_tointeger(L, -3), 1);
  EXPECT_TRUE(lua_toboolean(L, -2));
  EXPECT_STREQ(lua_tostring(L, -1), "suspended");
}

TEST(BudgetYield, MainThreadNeverYields) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local n = 0 for i = 1, 1000 do n = n + i end return n"), LUA_OK);
  cycle_guard::set_slice(0, 10);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), 500500);
  EXPECT_GT(cpu_cycles, 2000);
  EXPECT_EQ(L->yielded_to_escape_slice, 0);
}

TEST(BudgetYield, SuperyieldStopsBeforeTheFirstInstruction) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  push_function(L, "return function() return 42 end");
  lua_State *co = new_thread_with(L);
  int nres = -1;
  cycle_guard::set_slice(0, 100000);
  cpu_superyielding = 0x40000000;
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(cpu_cycles, 0);
  EXPECT_EQ(co->yielded_to_escape_slice, 1);

  cycle_guard::set_slice(0, 100000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_OK);
  ASSERT_EQ(nres, 1);
  EXPECT_EQ(lua_tointeger(co, -1), 42);
}

int cycles_at_halt = -1;

TEST(BudgetYield, SuperyieldFromAHostFunctionStopsAtTheNextInstruction) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  lua_register(L, "halt", [](lua_State *) -> int {
    cycles_at_halt = cpu_cycles;
    cpu_superyielding = 0x40000000;
    return 0;
  });
  ASSERT_EQ(luaL_loadstring(L, "n = 0 while true do n = n + 1 if n == 3 then halt() end end"),
            LUA_OK);
  lua_State *co = new_thread_with(L);
  int nres = -1;
  cycle_guard::set_slice(0, 100000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  EXPECT_EQ(cpu_cycles, cycles_at_halt);  // nothing ran after the call
  lua_getglobal(L, "n");
  EXPECT_EQ(lua_tointeger(L, -1), 3);
}

TEST(BudgetYield, HostCallbackRunsPastTheCap) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "calls = 0 "
                               "local s = string.gsub(string.rep('a', 50), 'a', function() "
                               "  for i = 1, 100 do end calls = calls + 1 return 'b' end) "
                               "return s"),
            LUA_OK);
  lua_State *co = new_thread_with(L);
  int nres = -1;
  cycle_guard::set_slice(0, 1000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  // All 50 replacements ran inside that one slice, far past the cap.
  lua_getglobal(L, "calls");
  EXPECT_EQ(lua_tointeger(L, -1), 50);
  EXPECT_GT(cpu_cycles, 10000);

  cycle_guard::set_slice(0, 1000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_OK);
  ASSERT_EQ(nres, 1);
  EXPECT_EQ(std::string(lua_tostring(co, -1)), std::string(50, 'b'));
}

TEST(BudgetYield, CallWithArgumentsUpToTopKeepsThemAcrossTheYield) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  // Returns three values, then stops the slice: the next fetch is the CALL
  // that takes them up to the stack top (B = 0).
  lua_register(L, "three", [](lua_State *T) -> int {
    lua_pushinteger(T, 1);
    lua_pushinteger(T, 2);
    lua_pushinteger(T, 3);
    cpu_superyielding = 0x40000000;
    return 3;
  });
  ASSERT_EQ(luaL_loadstring(L, "local function count(...) return select('#', ...), ... end "
                               "local n, a, b, c = count(three()) "
                               "return n, a, b, c"),
            LUA_OK);
  lua_State *co = new_thread_with(L);
  int nres = -1;
  cycle_guard::set_slice(0, 100000);
  ASSERT_EQ(lua_resume(co, L, 0, &nres), LUA_YIELD);
  ASSERT_EQ(nres, 0);
  lua_gc(L, LUA_GCCOLLECT);  // clears whatever lies above the thread's top

  // Resume arguments are discarded.
  lua_pushstring(co, "ignored");
  lua_pushstring(co, "ignored too");
  cycle_guard::set_slice(0, 100000);
  ASSERT_EQ(lua_resume(co, L, 2, &nres), LUA_OK) << lua_tostring(co, -1);
  ASSERT_EQ(nres, 4);
  EXPECT_EQ(lua_tointeger(co, -4), 3);
  EXPECT_EQ(lua_tointeger(co, -3), 1);
  EXPECT_EQ(lua_tointeger(co, -2), 2);
  EXPECT_EQ(lua_tointeger(co, -1), 3);
}

TEST(BudgetYield, NewThreadsStartWithTheFlagClear) {
  state_owner S = new_state();
  lua_State *L = S.get();
  EXPECT_EQ(L->yielded_to_escape_slice, 0);
  EXPECT_EQ(lua_newthread(L)->yielded_to_escape_slice, 0);
}

// ---------------------------------------------------------------------------
// Peek opcodes: the code generator does not emit them yet, so a chunk using
// unary minus (same operand form) is dumped, its UNM rewritten, and loaded back.

int writer(lua_State *, const void *p, size_t n, void *ud) {
  static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
  return 0;
}

// Loads `code` (a chunk with one unary minus) with that UNM turned into `op`.
void load_with_opcode(lua_State *L, const char *code, OpCode op) {
  ASSERT_EQ(luaL_loadbufferx(L, code, strlen(code), "=peek", "t"), LUA_OK);
  const Proto *p = proto_at(L, -1);
  Instruction unm = 0;
  for (int i = 0; i < p->sizecode; i++)
    if (GET_OPCODE(p->code[i]) == OP_UNM) unm = p->code[i];
  ASSERT_NE(unm, Instruction{0});
  std::string chunk;
  ASSERT_EQ(lua_dump(L, writer, &chunk, 0), 0);
  lua_pop(L, 1);
  std::string word(reinterpret_cast<const char *>(&unm), sizeof unm);
  size_t at = chunk.find(word);
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(chunk.find(word, at + 1), std::string::npos);
  Instruction patched = unm;
  SET_OPCODE(patched, op);
  chunk.replace(at, sizeof patched, reinterpret_cast<const char *>(&patched), sizeof patched);
  ASSERT_EQ(luaL_loadbufferx(L, chunk.data(), chunk.size(), "=peek", "b"), LUA_OK)
      << lua_tostring(L, -1);
}

// The opcodes read the current process's RAM: a record with RAM of its own is
// current while they run, its bytes poked beforehand.
class PeekOpcodes : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ram_init(&owner));
    cproc = &owner;
    poke(2, 0x7B);
    poke2(4, -1);
    poke4(8, INT_MIN);
    poke8(16, static_cast<long long>(0x8877665544332211ULL));  // 11 22 ... 88
  }
  void TearDown() override { cproc = saved_current; }

  // Result of `op` applied to the value that `arg` (Lua source) gives.
  int run(OpCode op, const char *arg, bool global = false) {
    load_with_opcode(L, global ? "return -a" : "local x = ... return -x", op);
    if (global) {
      lua_pushnil(L);
      lua_setglobal(L, "a");
    }
    std::string expr = std::string("return ") + arg;
    if (luaL_dostring(L, expr.c_str()) != LUA_OK) ADD_FAILURE() << lua_tostring(L, -1);
    return lua_pcall(L, 1, 1, 0);
  }

  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  process owner;
  process *saved_current = cproc;
};

TEST_F(PeekOpcodes, NumberingAndModes) {
  EXPECT_EQ(OP_PEEK, 52);
  EXPECT_EQ(OP_PEEK8, 55);
  EXPECT_EQ(OP_LEN, 56);
  EXPECT_EQ(OP_CALL, 72);
  EXPECT_EQ(OP_EXTRAARG, 86);
  EXPECT_EQ(NUM_OPCODES, 87);
  for (int op = OP_PEEK; op <= OP_PEEK8; op++) EXPECT_EQ(luaP_opmodes[op], luaP_opmodes[OP_UNM]);
  EXPECT_STREQ(opnames[OP_PEEK4], "PEEK4");
  EXPECT_STREQ(opnames[OP_LEN], "LEN");
}

TEST_F(PeekOpcodes, ReadsThroughTheKernelReaders) {
  ASSERT_EQ(run(OP_PEEK, "2"), LUA_OK);
  EXPECT_TRUE(lua_isinteger(L, -1));
  EXPECT_EQ(lua_tointeger(L, -1), 0x7B);
  ASSERT_EQ(run(OP_PEEK, "2.0"), LUA_OK);
  EXPECT_TRUE(lua_isinteger(L, -1));
  EXPECT_EQ(lua_tointeger(L, -1), 0x7B);
  ASSERT_EQ(run(OP_PEEK, "2 + (1 << 32)"), LUA_OK);  // low 32 bits of the address
  EXPECT_EQ(lua_tointeger(L, -1), 0x7B);
  ASSERT_EQ(run(OP_PEEK, "4"), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), 255);
  ASSERT_EQ(run(OP_PEEK2, "4"), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), -1);
  ASSERT_EQ(run(OP_PEEK4, "8"), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), -2147483648LL);
  ASSERT_EQ(run(OP_PEEK8, "16"), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), static_cast<lua_Integer>(0x8877665544332211ULL));
}

TEST_F(PeekOpcodes, BadOperandsRaiseTheArithmeticError) {
  ASSERT_EQ(run(OP_PEEK, "2.5"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a number value "
                                    "(local 'x')");
  ASSERT_EQ(run(OP_PEEK2, "'2'"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a string value "
                                    "(local 'x')");
  ASSERT_EQ(run(OP_PEEK4, "0/0"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a number value "
                                    "(local 'x')");
  ASSERT_EQ(run(OP_PEEK8, "2^63"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a number value "
                                    "(local 'x')");
  // No metamethod is consulted.
  ASSERT_EQ(run(OP_PEEK, "setmetatable({}, {__unm = function() return 0 end})"), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a table value "
                                    "(local 'x')");
  ASSERT_EQ(run(OP_PEEK, "nil", true), LUA_ERRRUN);
  EXPECT_STREQ(lua_tostring(L, -1), "peek:1: attempt to perform arithmetic on a nil value "
                                    "(global 'a')");
}

TEST_F(PeekOpcodes, CostTwoCycles) {
  load_with_opcode(L, "local x = ... return -x", OP_PEEK);
  EXPECT_EQ(listing(proto_at(L, -1)),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "PEEK", "RETURN", "RETURN"}));
  EXPECT_EQ(cost_of_call(L, {2}), 8);
}

TEST_F(PeekOpcodes, ExtraArgOnItsOwnCostsTwoAndDoesNothing) {
  load_with_opcode(L, "local x = ... local y = -x", OP_EXTRAARG);
  EXPECT_EQ(listing(proto_at(L, -1)),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "EXTRAARG", "RETURN"}));
  EXPECT_EQ(cost_of_call(L, {2}), 8);
}

}  // namespace
