// Cycle and memory accounting: spend_cpu, the allocator's charges and header,
// the memory cap, the heap baseline, and the RAM readers the interpreter calls.
#include "kernel/accounting.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

namespace {

class Accounting : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    ASSERT_TRUE(processes_init());
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
  }
};

// A block from l_alloc, freed with it.
void *alloc(process *P, size_t n, size_t charged) { return l_alloc(P, nullptr, 0, n, 0, charged); }
void release(process *P, void *block) { l_alloc(P, block, 0, 0, 0, 0); }

/* ---------------------------------------------------------------------- */
/* cycles                                                                 */
/* ---------------------------------------------------------------------- */

TEST_F(Accounting, SpendCpuChargesAtLeastOneCycle) {
  spend_cpu(-5);
  EXPECT_EQ(cpu_cycles, 0);
  spend_cpu(0);
  EXPECT_EQ(cpu_cycles, 1);
  spend_cpu(1);
  EXPECT_EQ(cpu_cycles, 2);
  spend_cpu(1000);
  EXPECT_EQ(cpu_cycles, 1002);
  spend_cpu(INT64_MIN);
  EXPECT_EQ(cpu_cycles, 1002);
}

TEST_F(Accounting, SpendCpuSaturatesBelowTheInterpretersRange) {
  spend_cpu(INT64_MAX);
  EXPECT_EQ(cpu_cycles, cpu_cycles_ceiling);
  spend_cpu(5);
  EXPECT_EQ(cpu_cycles, cpu_cycles_ceiling);
  // A count the interpreter took past INT32_MAX (it counts unsigned) stays.
  cpu_cycles = INT32_MIN + 7;
  spend_cpu(100);
  EXPECT_EQ(cpu_cycles, INT32_MIN + 7);
}

TEST_F(Accounting, SuperyieldSetsTheStopValue) {
  superyield();
  EXPECT_EQ(cpu_superyielding, 0x40000000);
}

TEST_F(Accounting, AllocationChargesSizeOver64PlusFour) {
  process P;
  for (auto [size, cycles] : {std::pair<size_t, int>{100, 5}, {64, 5}, {63, 4}, {0x10000, 1028}}) {
    cpu_cycles = 0;
    void *b = alloc(&P, size, size);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(cpu_cycles, cycles) << size;
    release(&P, b);
    EXPECT_EQ(cpu_cycles, cycles) << "freeing charges nothing";
  }
  EXPECT_EQ(P.heap_bytes, 0);
}

/* ---------------------------------------------------------------------- */
/* the allocator's heap count                                             */
/* ---------------------------------------------------------------------- */

TEST_F(Accounting, ResizeCountsTheDifferenceOfChargesAndKeepsContents) {
  process P;
  auto *b = static_cast<char *>(alloc(&P, 40, 42));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(P.heap_bytes, 42);
  memcpy(b, "0123456789", 10);
  auto *c = static_cast<char *>(l_alloc(&P, b, 40, 70, 0, 72));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(P.heap_bytes, 72);
  EXPECT_EQ(memcmp(c, "0123456789", 10), 0);
  release(&P, c);
  EXPECT_EQ(P.heap_bytes, 0);
  EXPECT_EQ(l_alloc(&P, nullptr, 0, 0, 0, 0), nullptr) << "freeing nothing is harmless";
}

TEST_F(Accounting, BlockPastFourTimesTheCapIsRefused) {
  process P;
  size_t huge = size_t{200} << 20;
  cpu_cycles = 0;
  EXPECT_EQ(alloc(&P, huge, huge), nullptr);
  EXPECT_EQ(cpu_cycles, static_cast<int>(huge / 64 + 4)) << "the charge stands";
  EXPECT_EQ(P.heap_bytes, 0);
  EXPECT_EQ(P.out_of_memory, 0) << "a first try marks nothing";
  EXPECT_EQ(cpu_superyielding, 0);

  EXPECT_EQ(l_alloc(&P, nullptr, 0, huge, 1, huge), nullptr);
  EXPECT_EQ(P.out_of_memory, 1);
  EXPECT_EQ(cpu_superyielding, 0) << "not its slice: nothing to stop";
  P.busy = true;
  EXPECT_EQ(l_alloc(&P, nullptr, 0, huge, 1, huge), nullptr);
  EXPECT_EQ(cpu_superyielding, cpu_superyield_value);

  EXPECT_EQ(alloc(&P, SIZE_MAX - 4, 16), nullptr) << "no overflow of the header's room";
}

TEST_F(Accounting, OnlyGrowthCountsAgainstTheHardLimit) {
  process P;
  auto *b = static_cast<char *>(alloc(&P, 4096, 4096));
  ASSERT_NE(b, nullptr);
  P.ram_bytes = process_memory_hard_limit;  // already far past the cap
  EXPECT_EQ(alloc(&P, 16, 16), nullptr);
  void *c = l_alloc(&P, b, 4096, 1024, 0, 1024);
  ASSERT_NE(c, nullptr) << "a shrink is never refused";
  EXPECT_EQ(P.heap_bytes, 1024);
  release(&P, c);
}

TEST_F(Accounting, MemoryInUseAndTheCap) {
  process P;
  P.ram_bytes = 0x10000;
  P.heap_bytes = 0x1F70000;
  EXPECT_EQ(process_memory_in_use(&P), 0x2000000);
  EXPECT_FALSE(process_over_memory_cap(&P));
  P.heap_bytes++;
  EXPECT_TRUE(process_over_memory_cap(&P));
  P.heap_baseline = 1;
  EXPECT_FALSE(process_over_memory_cap(&P));
}

TEST_F(Accounting, StateHeapIsCountedOnItsOwnerAndReleasedOnClose) {
  process P;
  lua_State *L = lua_newstate(l_alloc, &P);
  ASSERT_NE(L, nullptr);
  EXPECT_GT(P.heap_bytes, 0);
  luaL_openlibs(L);
  lua_gc(L, LUA_GCSTOP);  // no collection step between the two readings
  int64_t with_libs = P.heap_bytes;
  lua_pushstring(L, "0123456789");
  EXPECT_EQ(P.heap_bytes - with_libs, 42) << "a 10-byte string counts n + 32";
  lua_close(L);
  EXPECT_EQ(P.heap_bytes, 0) << "every block's charge came back";
}

process *measured;
int t_heap(lua_State *L) {
  lua_pushinteger(L, measured->heap_bytes);
  return 1;
}

TEST_F(Accounting, CoroutineChargesAThreadAndItsFirstStack) {
  process P;
  measured = &P;
  lua_State *L = lua_newstate(l_alloc, &P);
  luaL_openlibs(L);
  lua_register(L, "heap", t_heap);
  ASSERT_EQ(luaL_loadstring(L,
                            "collectgarbage('stop') heap() local f = function() end "
                            "local before = heap() local co = coroutine.create(f) "
                            "return heap() - before"),
            LUA_OK);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
  EXPECT_EQ(lua_tointeger(L, -1), 1616 + 720);
  lua_close(L);
}

TEST_F(Accounting, CountsGoToTheOwnerWhicheverProcessIsCurrent) {
  process *A = create_process_from_code("", "a", "/a");
  process *B = create_process_from_code("", "b", "/b");
  cproc = A;
  lua_gc(B->lua_state, LUA_GCSTOP);
  int64_t a = A->heap_bytes, b = B->heap_bytes;
  lua_pushstring(B->lua_state, "0123456789");
  EXPECT_EQ(A->heap_bytes, a);
  EXPECT_EQ(B->heap_bytes, b + 42);
}

TEST_F(Accounting, HeapBaselineKeepsTheFirstRecording) {
  process *P = create_process_from_code("", "p", "/p");
  P->ram_bytes = 0x10000;
  record_heap_baseline(P);
  int64_t first = P->heap_baseline;
  EXPECT_EQ(first, P->heap_bytes);
  EXPECT_EQ(process_memory_in_use(P), 0x10000 + process_memory_reserve);
  lua_pushstring(P->lua_state, "kept on the stack");
  lua_setfield(P->lua_state, LUA_REGISTRYINDEX, "kept");
  record_heap_baseline(P);
  EXPECT_EQ(P->heap_baseline, first);
  EXPECT_GT(process_memory_in_use(P), 0x10000 + process_memory_reserve);
}

// The collections of _signal(38), stat and collectgarbage are charged by the
// heap they go over, before they run.
TEST_F(Accounting, FullCollectionsAreChargedByTheHeap) {
  process *P = create_process_from_code("", "p", "/p");
  cproc = P;
  lua_State *L = P->lua_state;
  ASSERT_EQ(luaL_dostring(L, "keep = {} for i = 1, 20000 do keep[i] = {i} end"), LUA_OK);
  int64_t heap = int64_t{lua_gc(L, LUA_GCCOUNT)} * 1024 + lua_gc(L, LUA_GCCOUNTB);
  EXPECT_EQ(collection_cycles(heap), heap / 16);
  EXPECT_EQ(collection_cycles(-5), 0);
  cpu_cycles = 0;
  charged_full_collection(L);
  int charged = cpu_cycles;
  EXPECT_GE(charged, heap / 16);
  EXPECT_LT(charged, heap / 16 + 1000) << "plus the collection's own allocations";
  heap = int64_t{lua_gc(L, LUA_GCCOUNT)} * 1024 + lua_gc(L, LUA_GCCOUNTB);
  cpu_cycles = 0;
  record_heap_baseline(P);
  EXPECT_GE(cpu_cycles, heap / 16);
}

/* ---------------------------------------------------------------------- */
/* RAM readers                                                            */
/* ---------------------------------------------------------------------- */

TEST_F(Accounting, RamReadsZeroWithoutACurrentProcess) {
  cproc = nullptr;
  EXPECT_EQ(peek(0x5F00), 0);
  EXPECT_EQ(peek4(-1), 0);
  EXPECT_EQ(peek8(123), 0);
  poke(0x5F00, 1);  // goes nowhere
  EXPECT_EQ(peek(0x5F00), 0);
}

TEST_F(Accounting, RamReadersAreLittleEndianAndWrapInto16Mb) {
  process *P = create_process_from_code("", "ram", "/ram.lua");
  ASSERT_NE(P, nullptr);
  cproc = P;
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x80, 0xFF, 0xFF, 0x00, 0x80};
  for (int i = 0; i < 8; i++) poke(0x100 + i, bytes[i]);
  EXPECT_EQ(peek(0x100), 0x01);
  EXPECT_EQ(peek(0x103), 0x80);
  EXPECT_EQ(peek2(0x100), 0x0201);
  EXPECT_EQ(peek2(0x104), -1) << "16-bit values are signed";
  EXPECT_EQ(peek4(0x100), static_cast<int>(0x80030201u));
  EXPECT_EQ(peek4(0x104), INT_MIN + 0xFFFF);
  EXPECT_EQ(peek8(0x100), static_cast<long long>(0x8000FFFF80030201ull));
  EXPECT_EQ(peek(0x1000100), 0x01) << "addresses wrap into 16 MB";

  poke(0xFFFFFF, 0xAA);
  poke(0, 0xBB);
  EXPECT_EQ(peek(-1), 0xAA);
  EXPECT_EQ(peek2(0xFFFFFF) & 0xFFFF, 0xBBAA) << "each byte's address wraps on its own";
  EXPECT_EQ(peek4(INT_MAX) & 0xFFFF, 0xBBAA);
}

}  // namespace
