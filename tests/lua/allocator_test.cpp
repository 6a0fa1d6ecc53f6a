// The six-argument allocator: charged sizes by object kind, the single retry
// after an emergency collection, and the charges balancing out over a state's life.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lobject.h"
#include "lua_harness.h"

using namespace lua_harness;

namespace {

constexpr size_t header = 16;  // keeps the block's charge, as the kernel's allocator does

struct alloc_call {
  bool fresh;     // ptr was null
  size_t osize;   // old size, or the object kind of a fresh block
  size_t nsize;
  int last_try;
  size_t charged;
  size_t old_charge;  // what the block counted as before the call
  bool ok;
  const void *result;
};

// An allocator that keeps each block's charge in a header (like the kernel's),
// records calls while asked to, and fails the calls that `fail` picks.
struct recorder {
  std::vector<alloc_call> calls;
  bool recording = false;
  long long live_charge = 0;
  long long live_blocks = 0;
  std::function<bool(const alloc_call &)> fail;

  static void *alloc(void *ud, void *ptr, size_t osize, size_t nsize, int last_try,
                     size_t charged) {
    auto *r = static_cast<recorder *>(ud);
    char *block = ptr ? static_cast<char *>(ptr) - header : nullptr;
    alloc_call c{ptr == nullptr, osize, nsize, last_try, charged, 0, true, nullptr};
    if (block) memcpy(&c.old_charge, block, sizeof c.old_charge);
    void *result = nullptr;
    if (nsize == 0) {
      if (block) r->live_blocks--;
      r->live_charge -= static_cast<long long>(c.old_charge);
      free(block);
    } else if (r->fail && r->fail(c)) {
      c.ok = false;
    } else {
      char *fresh = static_cast<char *>(realloc(block, nsize + header));
      if (!fresh) {
        c.ok = false;
      } else {
        memcpy(fresh, &charged, sizeof charged);
        r->live_charge += static_cast<long long>(charged) - static_cast<long long>(c.old_charge);
        if (!block) r->live_blocks++;
        result = fresh + header;
      }
    }
    c.result = result;
    if (r->recording) r->calls.push_back(c);
    return result;
  }

  // Fresh blocks of the recorded calls, as (kind, bytes, charged).
  std::vector<std::vector<size_t>> fresh_blocks() const {
    std::vector<std::vector<size_t>> out;
    for (const alloc_call &c : calls)
      if (c.fresh && c.nsize > 0) out.push_back({c.osize, c.nsize, c.charged});
    return out;
  }
  void start() {
    calls.clear();
    recording = true;
  }
};

struct recorded_state {
  recorder rec;
  state_owner S;
  lua_State *L = nullptr;
  explicit recorded_state(bool record_creation = false) {
    rec.recording = record_creation;
    S.reset(lua_newstate(recorder::alloc, &rec));
    L = S.get();
    luaL_openlibs(L);
    rec.recording = false;
  }
  void run(const char *code) { ASSERT_EQ(luaL_dostring(L, code), LUA_OK) << lua_tostring(L, -1); }
};

using blocks = std::vector<std::vector<size_t>>;

bool contains(const blocks &made, const std::vector<size_t> &block) {
  for (const std::vector<size_t> &b : made)
    if (b == block) return true;
  return false;
}

TEST(AllocatorCharges, MainStateStackAndStringTable) {
  recorded_state st(true);
  const alloc_call &first = st.rec.calls.at(0);
  EXPECT_TRUE(first.fresh);
  EXPECT_EQ(first.osize, size_t{LUA_TTHREAD});
  EXPECT_EQ(first.nsize, 1616u);
  EXPECT_EQ(first.charged, 1616u);
  EXPECT_EQ(first.last_try, 0);
  blocks fresh = st.rec.fresh_blocks();
  EXPECT_TRUE(contains(fresh, {0, 720, 720}));    // 40 + 5 stack slots
  EXPECT_TRUE(contains(fresh, {0, 1024, 2048}));  // 128 string-table entries
}

TEST(AllocatorCharges, Strings) {
  recorded_state st;
  lua_gc(st.L, LUA_GCSTOP);
  st.rec.start();
  lua_pushlstring(st.L, "0123456789", 10);
  lua_pushlstring(st.L, std::string(100, 'x').c_str(), 100);  // a long string
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TSTRING, 35, 42}, {LUA_TSTRING, 125, 132}}));
  EXPECT_EQ(st.rec.calls.size(), 2u);
}

TEST(AllocatorCharges, CoroutineCreateChargesThreadAndFirstStack) {
  recorded_state st;
  lua_State *L = st.L;
  lua_gc(L, LUA_GCSTOP);
  ASSERT_EQ(luaL_loadstring(L, "return coroutine.create(...)"), LUA_OK);
  ASSERT_EQ(luaL_loadstring(L, "return 1"), LUA_OK);
  lua_pushvalue(L, -2);
  lua_pushvalue(L, -2);
  lua_call(L, 1, 1);  // warm-up: call records of the main thread exist now
  lua_pop(L, 1);
  st.rec.start();
  lua_call(L, 1, 1);
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TTHREAD, 200, 1616}, {0, 720, 720}}));
  EXPECT_EQ(st.rec.calls.size(), 2u);
}

TEST(AllocatorCharges, TablesClosuresUserdataAndPrototypes) {
  recorded_state st;
  lua_State *L = st.L;
  lua_gc(L, LUA_GCSTOP);

  st.rec.start();
  lua_createtable(L, 10, 8);
  // Header, hash part of 8 nodes, array part of 10 values.
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TTABLE, 56, 56}, {0, 192, 128}, {0, 160, 160}}));

  st.rec.start();
  lua_pushinteger(L, 1);
  lua_pushinteger(L, 2);
  lua_pushcclosure(L, [](lua_State *) { return 0; }, 2);
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TFUNCTION, 64, 72}}));

  st.rec.start();
  lua_newuserdatauv(L, 16, 0);
  lua_newuserdatauv(L, 16, 2);
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TUSERDATA, 48, 72}, {LUA_TUSERDATA, 88, 72}}));

  // A chunk whose main function makes a closure with two upvalues.
  ASSERT_EQ(luaL_loadstring(L, "local a, b = 1, 2 return function() return a + b end"), LUA_OK);
  st.rec.start();
  lua_call(L, 0, 1);
  // The closure, then its two upvalues (open: a and b are still on the stack).
  EXPECT_EQ(st.rec.fresh_blocks(), (blocks{{LUA_TFUNCTION, 48, 64}, {9, 40, 40}, {9, 40, 40}}));

  st.rec.start();
  ASSERT_EQ(luaL_loadstring(L, "return 1"), LUA_OK);
  blocks made = st.rec.fresh_blocks();
  EXPECT_TRUE(contains(made, {10, 128, 128}));            // the prototype
  EXPECT_TRUE(contains(made, {LUA_TFUNCTION, 40, 48}));   // main closure, 1 upvalue
  EXPECT_TRUE(contains(made, {9, 40, 40}));               // its closed _ENV upvalue
}

TEST(AllocatorCharges, VectorsChargeSixteenPerElement) {
  recorded_state st;
  lua_gc(st.L, LUA_GCSTOP);
  st.rec.start();
  ASSERT_EQ(luaL_loadstring(st.L, "local a, b = 1, 'x' local s = {} for i = 1, 9 do s[i] = i end "
                                  "return a, b, s"),
            LUA_OK);
  const Proto *p = static_cast<const LClosure *>(lua_topointer(st.L, -1))->p;
  auto last_call_for = [&](const void *block) {
    const alloc_call *found = nullptr;
    for (const alloc_call &c : st.rec.calls)
      if (c.result == block) found = &c;
    return found;
  };
  // The calls that gave the final (shrunk) code, line information and constants.
  const alloc_call *code = last_call_for(p->code);
  const alloc_call *lines = last_call_for(p->lineinfo);
  const alloc_call *consts = last_call_for(p->k);
  ASSERT_TRUE(code && lines && consts);
  EXPECT_EQ(code->nsize, size_t(p->sizecode) * sizeof(Instruction));
  EXPECT_EQ(lines->nsize, size_t(p->sizelineinfo));
  EXPECT_EQ(code->charged, size_t(p->sizecode) * 16);
  EXPECT_EQ(lines->charged, size_t(p->sizelineinfo) * 16);
  EXPECT_EQ(consts->charged, size_t(p->sizek) * 16);
  // The lexer's first token buffer is a byte buffer.
  EXPECT_TRUE(contains(st.rec.fresh_blocks(), {0, 32, 32}));
}

TEST(AllocatorCharges, StringBufferBox) {
  recorded_state st;
  lua_gc(st.L, LUA_GCSTOP);
  st.rec.start();
  st.run("local s = string.rep('x', 5000)");
  bool box = false, storage = false, freed = false;
  for (const alloc_call &c : st.rec.calls) {
    box = box || (c.fresh && c.osize == LUA_TUSERDATA && c.nsize == 48 && c.charged == 72);
    storage = storage || (c.fresh && c.osize == 0 && c.nsize == 5000 && c.charged == 5000 &&
                          c.last_try == 0);
    freed = freed || (!c.fresh && c.osize == 5000 && c.nsize == 0 && c.old_charge == 5000);
  }
  EXPECT_TRUE(box);
  EXPECT_TRUE(storage);
  EXPECT_TRUE(freed);
}

TEST(AllocatorCharges, FreeingPassesZerosAndTheChargesBalance) {
  auto st = std::make_unique<recorded_state>(true);
  st->rec.recording = true;
  st->run("local t = {} for i = 1, 1000 do t[i] = {tostring(i), i * 1.5} end "
          "local co = coroutine.wrap(function(...) coroutine.yield(...) end) co(1, 2) "
          "local s = string.rep('ab', 3000) .. table.concat(t[1]) "
          "local u = setmetatable({}, {__gc = function() end}) u = nil "
          "t = nil co = nil collectgarbage()");
  bool thread_freed = false;
  for (const alloc_call &c : st->rec.calls) {
    EXPECT_TRUE(c.ok);
    if (c.nsize == 0) {
      EXPECT_EQ(c.charged, 0u);
      EXPECT_EQ(c.last_try, 0);
      thread_freed = thread_freed || c.old_charge == 1616;
    }
  }
  EXPECT_TRUE(thread_freed);
  st->S.reset();  // lua_close: every block of the state is freed
  EXPECT_EQ(st->rec.live_charge, 0);
  EXPECT_EQ(st->rec.live_blocks, 0);
}

// ---------------------------------------------------------------------------
// Failures

TEST(AllocatorRetry, FailedGrowthRetriesOnceAfterAnEmergencyCollection) {
  recorded_state st;
  st.run("garbage = {} for i = 1, 100 do garbage[i] = {} end garbage = nil");
  int failures = 0;
  st.rec.fail = [&](const alloc_call &c) {
    return !c.fresh && c.nsize > c.osize && c.last_try == 0 && failures++ == 0;
  };
  st.rec.start();
  st.run("local t = {} for i = 1, 100 do t[i] = i end");
  st.rec.fail = nullptr;

  size_t first = 0;
  while (first < st.rec.calls.size() && st.rec.calls[first].ok) first++;
  ASSERT_LT(first, st.rec.calls.size());
  const alloc_call &failed = st.rec.calls[first];
  size_t retry = first + 1;
  int frees = 0;
  while (retry < st.rec.calls.size() && st.rec.calls[retry].nsize == 0) retry++, frees++;
  ASSERT_LT(retry, st.rec.calls.size());
  const alloc_call &again = st.rec.calls[retry];
  EXPECT_GT(frees, 100);  // the collection ran in between
  EXPECT_EQ(again.last_try, 1);
  EXPECT_EQ(again.osize, failed.osize);
  EXPECT_EQ(again.nsize, failed.nsize);
  EXPECT_EQ(again.charged, failed.charged);
  EXPECT_TRUE(again.ok);
}

TEST(AllocatorRetry, NewObjectFailingTwiceIsAMemoryError) {
  recorded_state st;
  st.rec.fail = [](const alloc_call &c) { return c.fresh && c.osize == LUA_TTABLE; };
  st.rec.start();
  ASSERT_EQ(luaL_loadstring(st.L, "local t = {}"), LUA_ERRMEM);  // the parser makes a table
  EXPECT_STREQ(lua_tostring(st.L, -1), "not enough memory");
  st.rec.fail = nullptr;
  ASSERT_GE(st.rec.calls.size(), 2u);
  int tries[2] = {0, 0};
  for (const alloc_call &c : st.rec.calls)
    if (!c.ok) tries[c.last_try]++;
  EXPECT_EQ(tries[0], 1);
  EXPECT_EQ(tries[1], 1);
}

TEST(AllocatorRetry, FailingShrinkIsCalledOnce) {
  recorded_state st;
  lua_gc(st.L, LUA_GCSTOP);  // no collector shrinking on its own
  st.rec.fail = [](const alloc_call &c) { return !c.fresh && c.nsize < c.osize; };
  st.rec.start();
  // Closing the function shrinks its code vector to the exact size.
  EXPECT_EQ(luaL_loadstring(st.L, "local a = 1 return a"), LUA_ERRMEM);
  st.rec.fail = nullptr;
  int failed = 0, last_tries = 0;
  for (const alloc_call &c : st.rec.calls) {
    failed += !c.ok;
    last_tries += c.last_try;
  }
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(last_tries, 0);
}

TEST(AllocatorRetry, StringBufferBoxDoesNotRetry) {
  recorded_state st;
  st.rec.fail = [](const alloc_call &c) { return c.fresh && c.osize == 0 && c.nsize == 5000; };
  st.rec.start();
  st.run("ok, err = pcall(string.rep, 'x', 5000)");
  st.rec.fail = nullptr;
  lua_getglobal(st.L, "err");
  EXPECT_STREQ(lua_tostring(st.L, -1), "not enough memory");
  int tries = 0;
  for (const alloc_call &c : st.rec.calls) tries += !c.ok;
  EXPECT_EQ(tries, 1);
}

TEST(AllocatorRetry, NoRetryWhileTheStateIsBuilt) {
  recorder rec;
  int fails = 0;
  rec.fail = [&](const alloc_call &c) { return c.osize == 0 && c.nsize == 1024 && ++fails; };
  rec.recording = true;
  EXPECT_EQ(lua_newstate(recorder::alloc, &rec), nullptr);  // string table refused
  EXPECT_EQ(fails, 1);
  for (const alloc_call &c : rec.calls) EXPECT_EQ(c.last_try, 0);
  EXPECT_EQ(rec.live_blocks, 0);
}

}  // namespace
