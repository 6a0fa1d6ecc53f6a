// Paged process RAM: the address rule, block operations and their charges,
// windows onto userdata and what keeps them alive, a process's RAM from
// creation to release, failed page allocations, and a differential run against
// a flat 16 MB model.
#include "kernel/ram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram_api.h"
#include "kernel/system.h"
#include "script_api_fixture.h"
#include "values/userdata.h"
#include "values/userdata_api.h"

namespace {

using namespace script_api_test;

// The byte a page shows at an offset, read without touching anything.
uint8_t shown(const process_ram &r, uint32_t addr) {
  uint32_t p = (addr >> 12) & 0xFFF, off = addr & 0xFFF;
  if (static_cast<int32_t>(off) < r.mapped_len[p]) return r.page_map[p][off];
  return r.own_page[p] ? r.own_page[p][off] : 0;
}

// A process record with RAM of its own, outside the table.
struct ram_record {
  process P;
  ram_record() { EXPECT_TRUE(ram_init(&P)); }
  process_ram &ram() { return *P.ram; }
};

// Own blocks that cannot be had while one of these lives.
struct failing_pages {
  uint8_t *(*saved)() = ram_page_alloc;
  failing_pages() {
    ram_page_alloc = [] { return static_cast<uint8_t *>(nullptr); };
  }
  ~failing_pages() { ram_page_alloc = saved; }
};

ram_window window_of(std::vector<uint8_t> &bytes) {
  return {&bytes, bytes.data(), static_cast<int64_t>(bytes.size())};
}

/* ---------------------------------------------------------------------- */
/* the address rule                                                       */
/* ---------------------------------------------------------------------- */

TEST(RamBytes, AddressesWrapInto16Mb) {
  ram_record rec;
  process *P = &rec.P;
  poke_proc(P, 0xFFFFFF, 0x5A);
  EXPECT_EQ(peek_proc(P, 0x1FFFFFF), peek_proc(P, 0xFFFFFF));
  EXPECT_EQ(peek_proc(P, -1), 0x5A) << "a negative address reaches the top of the space";
  EXPECT_EQ(peek_proc(P, INT_MAX), 0x5A);
  poke_proc(P, 0x1000123, 7);
  EXPECT_EQ(peek_proc(P, 0x123), 7);
}

TEST(RamBytes, FirstReadOfAnUntouchedPageAllocatesIt) {
  ram_record rec;
  process *P = &rec.P;
  EXPECT_EQ(P->ram_bytes, 0x10000);
  EXPECT_EQ(rec.ram().mapped_len[0x300], 0);
  EXPECT_EQ(peek_proc(P, 0x300123), 0);
  EXPECT_EQ(P->ram_bytes, 0x10000 + 4096);
  EXPECT_EQ(rec.ram().mapped_len[0x300], 4096) << "the new block serves the whole page";
  EXPECT_EQ(rec.ram().page_flags[0x300], 0) << "reading is not writing";
  peek_proc(P, 0x300FFF);
  EXPECT_EQ(P->ram_bytes, 0x10000 + 4096) << "allocated once";
}

TEST(RamBytes, MultiByteValuesStraddlePagesAndFlagBoth) {
  ram_record rec;
  process *saved = cproc;
  cproc = &rec.P;
  poke4(0x4FFE, 0x11223344);
  EXPECT_EQ(rec.ram().page_map[4][0xFFE], 0x44);
  EXPECT_EQ(rec.ram().page_map[4][0xFFF], 0x33);
  EXPECT_EQ(rec.ram().page_map[5][0x000], 0x22);
  EXPECT_EQ(rec.ram().page_map[5][0x001], 0x11);
  EXPECT_EQ(rec.ram().page_flags[4], 0xFF);
  EXPECT_EQ(rec.ram().page_flags[5], 0xFF);
  EXPECT_EQ(rec.ram().page_flags[6], 0);
  EXPECT_EQ(peek4(0x4FFE), 0x11223344);
  EXPECT_EQ(peek2(0x4FFF), 0x2233);
  poke2(0x7000, 0x8001);
  EXPECT_EQ(peek2(0x7000), -32767) << "16-bit values read signed";
  poke8(0xFFFFFC, static_cast<long long>(0x0102030405060708ULL));
  EXPECT_EQ(peek8(0xFFFFFC), 0x0102030405060708LL) << "wraps from the top to address 0";
  EXPECT_EQ(peek4(0), 0x01020304);
  EXPECT_EQ(peek_proc(&rec.P, 0xFFFFFC), 0x08);
  cproc = saved;
}

TEST(RamBytes, WithoutRamReadsZeroAndWritesNothing) {
  process bare;  // no RAM set up
  EXPECT_EQ(peek_proc(&bare, 0x10), 0);
  poke_proc(&bare, 0x10, 1);
  EXPECT_EQ(peek4_proc(&bare, 0x10), 0);
  EXPECT_EQ(peek_proc(nullptr, 0x10), 0);
  EXPECT_EQ(ram_memset(&bare, 0, 1, 100), 0);
  EXPECT_EQ(ram_mapped_len(&bare, 0), 0);
  EXPECT_EQ(bare.ram_bytes, 0);
}

/* ---------------------------------------------------------------------- */
/* block operations                                                       */
/* ---------------------------------------------------------------------- */

TEST(RamBlocks, MemsetOverVideoMemoryCosts1044AndFlagsItsPages) {
  ram_record rec;
  // 480 x 270 bytes: 31 chunks of 4096 (33 cycles each) and one of 2624 (21).
  EXPECT_EQ(ram_memset(&rec.P, 0x10000, 7, 480 * 270), 1044);
  for (int p = 0x10; p <= 0x2F; p++) EXPECT_EQ(rec.ram().page_flags[p], 0xFF) << p;
  EXPECT_EQ(rec.ram().page_flags[0x30], 0);
  EXPECT_EQ(peek_proc(&rec.P, 0x10000 + 480 * 270 - 1), 7);
  EXPECT_EQ(peek_proc(&rec.P, 0x10000 + 480 * 270), 0);
  EXPECT_EQ(ram_memset(&rec.P, 0x10000, 7, 0), 0);
  EXPECT_EQ(ram_memset(&rec.P, 0x10000, 7, -5), 0);
  EXPECT_EQ(ram_memset(&rec.P, 0x10000, 0x1FF, 1), 1) << "the value's low 8 bits";
  EXPECT_EQ(peek_proc(&rec.P, 0x10000), 0xFF);
}

TEST(RamBlocks, OverlappingCopyMovesAndCostsAnEighth) {
  ram_record rec;
  process *P = &rec.P;
  for (int i = 0; i < 10; i++) poke_proc(P, 0x10000 + i, i + 1);
  EXPECT_EQ(ram_memcpy(P, 0x10001, 0x10000, 10), 1);
  for (int i = 0; i < 10; i++) EXPECT_EQ(peek_proc(P, 0x10001 + i), i + 1) << i;
  EXPECT_EQ(ram_memcpy(P, 0x10000, 0x10001, 10), 1) << "and back down";
  for (int i = 0; i < 10; i++) EXPECT_EQ(peek_proc(P, 0x10000 + i), i + 1) << i;

  // A scroll of the video memory by one row, both ways, across page ends.
  for (int i = 0; i < 480 * 270; i++) poke_proc(P, 0x10000 + i, i % 251);
  EXPECT_EQ(ram_memcpy(P, 0x10000, 0x10000 + 480, 480 * 269), 480 * 269 / 8);
  for (int i = 0; i < 480 * 269; i += 97) EXPECT_EQ(peek_proc(P, 0x10000 + i), (i + 480) % 251);
  EXPECT_EQ(ram_memcpy(P, 0x10000 + 480, 0x10000, 480 * 269), 480 * 269 / 8);
  for (int i = 480; i < 480 * 270; i += 97) EXPECT_EQ(peek_proc(P, 0x10000 + i), i % 251);
}

TEST(RamBlocks, CopiesWithoutOverlapGoChunkByChunk) {
  ram_record rec;
  process *P = &rec.P;
  for (int i = 0; i < 6000; i++) poke_proc(P, 0x20800 + i, i * 7);
  // Source 0x20800.. and destination 0x40100.. reach their page ends at
  // different points: chunks of 0x800 (the source's page end), 0x700 (the
  // destination's) and the last 0x870 bytes.
  int64_t cost = ram_memcpy(P, 0x40100, 0x20800, 6000);
  EXPECT_EQ(cost, (0x800 / 128 + 1) + (0x700 / 128 + 1) + (0x870 / 128 + 1));
  for (int i = 0; i < 6000; i++) ASSERT_EQ(peek_proc(P, 0x40100 + i), (i * 7) & 0xFF) << i;
  EXPECT_EQ(ram_memcpy(P, 0x40100, 0x40100, 100), 0) << "onto itself: nothing";
  EXPECT_EQ(ram_memcpy(P, 0x1040100, 0x40100, 100), 0) << "the same address, wrapped";
}

TEST(RamBlocks, BlockOperationsWrapAtTheEndOfTheSpace) {
  ram_record rec;
  process *P = &rec.P;
  EXPECT_EQ(ram_memset(P, 0xFFFF00, 9, 0x200), 3 + 3) << "two chunks of 256 bytes";
  EXPECT_EQ(peek_proc(P, 0xFFFF00), 9);
  EXPECT_EQ(peek_proc(P, 0xFFFFFF), 9);
  EXPECT_EQ(peek_proc(P, 0x0), 9);
  EXPECT_EQ(peek_proc(P, 0xFF), 9);
  EXPECT_EQ(peek_proc(P, 0x100), 0);
  EXPECT_EQ(rec.ram().page_flags[0xFFF], 0xFF);
  EXPECT_EQ(rec.ram().page_flags[0], 0xFF);

  for (int i = 0; i < 0x200; i++) poke_proc(P, 0x5000 + i, i);
  ram_memcpy(P, -0x100, 0x5000, 0x200);  // -0x100 is 0xFFFF00
  for (int i = 0; i < 0x200; i++) ASSERT_EQ(peek_proc(P, 0xFFFF00 + i), i & 0xFF) << i;
  EXPECT_EQ(ram_memset(P, INT64_MAX, 1, 1), 1) << "any 64-bit address is defined";
  EXPECT_EQ(peek_proc(P, 0xFFFFFF), 1);
}

TEST(RamBlocks, PageCopyBetweenProcessesHonoursTheMappedLength) {
  ram_record from, to;
  for (int i = 0; i < 3 * 4096; i++) poke_proc(&from.P, 0x30000 + i, i % 253);
  std::vector<uint8_t> bytes(1904, 0xEE);
  std::vector<const void *> released;
  ASSERT_EQ(ram_map(&to.P, window_of(bytes), 0x31000, 0, std::nullopt, released), 1904);
  int64_t before = to.P.ram_bytes;
  kvt_pmemcpy_pages(&from.P, &to.P, 0x2F000, 0x33000);  // pages 0x2F (nothing there) to 0x32
  EXPECT_EQ(to.ram().page_map[0x2F], nullptr) << "a page the source has nothing at is skipped";
  for (int i = 0; i < 2 * 4096; i++) ASSERT_EQ(peek_proc(&to.P, 0x30000 + i), i % 253) << i;
  EXPECT_EQ(bytes[0], 4096 % 253) << "the window received its part";
  EXPECT_EQ(bytes[1903], (4096 + 1903) % 253);
  EXPECT_EQ(to.ram().mapped_len[0x31], 1904) << "and kept its length";
  EXPECT_EQ(to.ram().mapped_len[0x30], 4096);
  EXPECT_EQ(to.P.ram_bytes, before + 3 * 4096) << "own blocks for pages 0x30, 0x32 and 0x31's tail";
  EXPECT_EQ(to.ram().page_flags[0x30], 0xFF);
}

/* ---------------------------------------------------------------------- */
/* windows                                                                */
/* ---------------------------------------------------------------------- */

TEST(RamWindows, AMappingServesWholePagesAndTheLastOnePartly) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(6000);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 3);
  std::vector<const void *> released;
  ASSERT_EQ(ram_map(P, window_of(bytes), 0x20000, 0, std::nullopt, released), 6000);
  EXPECT_EQ(rec.ram().mapped_len[0x20], 4096);
  EXPECT_EQ(rec.ram().mapped_len[0x21], 1904);
  EXPECT_EQ(rec.ram().mapped_pages[0] >> 0x20 & 3, 3u);
  EXPECT_EQ(ram_window_pages(P, &bytes), 2);
  EXPECT_EQ(peek_proc(P, 0x21000 + 1903), static_cast<uint8_t>((4096 + 1903) * 3));
  int64_t before = P->ram_bytes;
  EXPECT_EQ(peek_proc(P, 0x21770), 0) << "offset 1904 of the second page is the own block's";
  EXPECT_EQ(P->ram_bytes, before + 4096);
  poke_proc(P, 0x20005, 0xAB);
  EXPECT_EQ(bytes[5], 0xAB) << "writes reach the userdata";

  ASSERT_EQ(ram_map(P, window_of(bytes), 0x1000, 0, std::nullopt, released), 6000);
  EXPECT_EQ(rec.ram().mapped_len[1], 4096);
  EXPECT_EQ(rec.ram().page_map[2], rec.ram().own_page[2]) << "the 1,904-byte rest is not mapped "
                                                             "among the system pages";
  EXPECT_EQ(peek_proc(P, 0x1005), 0xAB) << "two windows onto one userdata";
  EXPECT_TRUE(released.empty());
}

TEST(RamWindows, OffsetAndLengthOfAMapping) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(6000);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i);
  ram_window w = window_of(bytes);
  std::vector<const void *> released;
  EXPECT_EQ(ram_map(P, w, 0x20000, 7, 10, released), 10) << "offset 7 counts as 4";
  EXPECT_EQ(peek_proc(P, 0x20000), 4);
  EXPECT_EQ(rec.ram().mapped_len[0x20], 10);
  EXPECT_EQ(ram_map(P, w, 0x20000, 6000, std::nullopt, released), std::nullopt);
  EXPECT_EQ(ram_map(P, w, 0x20000, -4, std::nullopt, released), std::nullopt);
  EXPECT_EQ(ram_map(P, w, 0x30000, 0, 0, released), 0) << "nothing to map";
  EXPECT_EQ(ram_map(P, w, 0x30000, 0, -9, released), -9);
  EXPECT_EQ(rec.ram().mapped_len[0x30], 0);
  EXPECT_EQ(ram_map(P, w, 0x30FFF, 0, 100, released), 100) << "the low 12 bits are ignored";
  EXPECT_EQ(rec.ram().mapped_len[0x30], 100);
}

TEST(RamWindows, LengthIsClampedToTheUserdataAndPagesStopAt4095) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(6000, 1);
  std::vector<const void *> released;
  EXPECT_EQ(ram_map(P, window_of(bytes), 0x20000, 4000, 1 << 20, released), 2000);
  EXPECT_EQ(rec.ram().mapped_len[0x20], 2000);
  EXPECT_EQ(rec.ram().mapped_len[0x21], 0) << "no page beyond the userdata's end";

  std::vector<uint8_t> big(5 * 4096, 2);
  EXPECT_EQ(ram_map(P, window_of(big), 0xFFE000, 0, std::nullopt, released), 5 * 4096);
  EXPECT_EQ(rec.ram().mapped_len[0xFFE], 4096);
  EXPECT_EQ(rec.ram().mapped_len[0xFFF], 4096);
  EXPECT_EQ(rec.ram().page_window[0], 0) << "page 0 is not reached by wrapping";
  EXPECT_EQ(ram_window_pages(P, &big), 2);
  EXPECT_EQ(ram_map(P, window_of(big), -4096, 0, std::nullopt, released), 5 * 4096)
      << "a negative address maps at the top";
  EXPECT_EQ(ram_window_pages(P, &big), 2);
}

TEST(RamWindows, UnmappingByRangeAndWhole) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(4 * 4096, 3);
  ram_window w = window_of(bytes);
  std::vector<const void *> released;
  ASSERT_EQ(ram_map(P, w, 0x40000, 0, std::nullopt, released), 4 * 4096);
  poke_proc(P, 0x40010, 1);  // into the userdata, not an own block
  // The length bounds both the part of the userdata looked at (pages 0x40 and
  // 0x41 point into its first 8192 bytes) and the address range (0x41-0x42).
  EXPECT_FALSE(ram_unmap(P, w, 0x41000, 8192, released)) << "page 0x40 stayed";
  EXPECT_EQ(rec.ram().mapped_len[0x41], 0);
  EXPECT_EQ(rec.ram().page_map[0x41], nullptr) << "back to its own block: none yet";
  EXPECT_EQ(rec.ram().page_flags[0x41], 0xFF);
  EXPECT_EQ(ram_window_pages(P, &bytes), 3);
  EXPECT_TRUE(released.empty());
  EXPECT_EQ(peek_proc(P, 0x41000), 0);

  EXPECT_TRUE(ram_unmap(P, w, -1, 4096, released))
      << "only the page pointing into the first 4096 bytes is looked at, and it went";
  EXPECT_EQ(rec.ram().mapped_len[0x40], 0);
  EXPECT_EQ(ram_window_pages(P, &bytes), 2);
  EXPECT_TRUE(ram_unmap(P, w, -1, INT64_MAX, released));
  EXPECT_EQ(ram_window_pages(P, &bytes), 0);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0], &bytes);
  EXPECT_EQ(rec.ram().mapped_pages[1], 0u);
  EXPECT_TRUE(ram_unmap(P, w, -1, INT64_MAX, released)) << "nothing left: true";
}

TEST(RamWindows, AMappingOverAnotherReleasesItsLastPage) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> a(4096, 1), b(8192, 2);
  std::vector<const void *> released;
  ram_map(P, window_of(a), 0x50000, 0, std::nullopt, released);
  ram_map(P, window_of(b), 0x50000, 0, std::nullopt, released);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0], &a);
  EXPECT_EQ(ram_window_pages(P, &a), 0);
  EXPECT_EQ(ram_window_pages(P, &b), 2);
  EXPECT_EQ(peek_proc(P, 0x50000), 2);
  released.clear();
  ram_map(P, window_of(b), 0x50000, 0, std::nullopt, released);
  EXPECT_TRUE(released.empty()) << "mapping the same userdata again keeps it";
}

/* ---------------------------------------------------------------------- */
/* aliasing: two windows onto one userdata                                */
/* ---------------------------------------------------------------------- */

TEST(RamWindows, CopiesThroughAliasedWindowsActAsByteLoops) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(3 * 4096);
  std::vector<const void *> released;
  auto fill = [&] {
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i % 13);
  };
  // RAM 0x60000 shows bytes 0..; RAM 0x80000 shows bytes 8.. : the same memory.
  ram_map(P, window_of(bytes), 0x60000, 0, std::nullopt, released);
  ram_map(P, window_of(bytes), 0x80000, 8, std::nullopt, released);

  // Forward copy to the destination 8 bytes ahead in memory: a loop from the
  // first byte up repeats the first 8 bytes.
  fill();
  ram_memcpy(P, 0x80000, 0x60000, 100);
  for (int i = 0; i < 108; i++) ASSERT_EQ(bytes[i], i % 8 % 13) << i;

  // The other way round the loop is a move.
  fill();
  ram_memcpy(P, 0x60000, 0x80000, 100);
  for (int i = 0; i < 100; i++) ASSERT_EQ(bytes[i], (i + 8) % 13) << i;
}

TEST(RamWindows, AMoveThroughAliasedWindowsActsAsTheDownwardLoop) {
  ram_record rec;
  process *P = &rec.P;
  std::vector<uint8_t> bytes(3 * 4096);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i % 251);
  std::vector<const void *> released;
  // Page 0x60 shows bytes 0.., page 0x61 bytes 0x400..: 0x61000 + j is byte 0x400 + j.
  ram_map(P, window_of(bytes), 0x60000, 0, 4096, released);
  ram_map(P, window_of(bytes), 0x61000, 0x400, 4096, released);
  auto index = [](int64_t a) { return a < 0x61000 ? a - 0x60000 : a - 0x61000 + 0x400; };
  std::vector<uint8_t> want = bytes;
  for (int64_t i = 0x1000 - 1; i >= 0; i--)
    want[size_t(index(0x60800 + i))] = want[size_t(index(0x60000 + i))];
  // The ranges overlap in the address space: a move, from the top down.
  EXPECT_EQ(ram_memcpy(P, 0x60800, 0x60000, 0x1000), 0x1000 / 8);
  EXPECT_EQ(bytes, want);
}

/* ---------------------------------------------------------------------- */
/* failed own-page allocations                                            */
/* ---------------------------------------------------------------------- */

TEST(RamOutOfMemory, AFailedPageReadsZerosAndMarksTheProcess) {
  ram_record rec;
  process *P = &rec.P;
  {
    failing_pages fail;
    EXPECT_EQ(peek_proc(P, 0x300000), 0);
    EXPECT_EQ(P->out_of_memory, 1);
    EXPECT_EQ(P->ram_bytes, 0x10000);
    poke_proc(P, 0x300000, 0x77);  // lands nowhere
    EXPECT_EQ(peek_proc(P, 0x300000), 0) << "the shared zero page stays zero";
    EXPECT_EQ(peek_proc(P, 0x400000), 0);
    EXPECT_GT(ram_memset(P, 0x300000, 0x55, 3 * 4096), 0);
    EXPECT_EQ(peek4_proc(P, 0x301000), 0);
    ram_memcpy(P, 0x500000, 0x300000, 2 * 4096);
    poke_proc(P, 0x8000, 5);
    ram_memcpy(P, 0x8000, 0x300010, 100);  // into a system page, from a missing one
    EXPECT_EQ(peek_proc(P, 0x8000), 0);
    EXPECT_EQ(rec.ram().own_page[0x300], nullptr);
  }
  EXPECT_EQ(peek_proc(P, 0x300000), 0) << "a later touch gets its block";
  EXPECT_NE(rec.ram().own_page[0x300], nullptr);
}

TEST(RamOutOfMemory, ACreationWithoutPagesFails) {
  ASSERT_TRUE(processes_init());
  {
    failing_pages fail;
    EXPECT_EQ(create_process_from_code("x = 1", "p", "/p.lua"), nullptr);
  }
  EXPECT_EQ(get_process_count(), 0);
  ASSERT_TRUE(processes_init());
}

/* ---------------------------------------------------------------------- */
/* a process's RAM from creation to release                               */
/* ---------------------------------------------------------------------- */

class RamProcesses : public ScriptApi {};

// Every process also starts with its sound data: the default wavetables
// (0xF78000-0xFFFFFF) and the page of the default instrument (0x40000).
constexpr int64_t sound_data_bytes = 0x88000 + 0x1000;

TEST_F(RamProcesses, CreationGivesTheSystemPages) {
  process_ram &r = *root->ram;
  EXPECT_EQ(root->ram_bytes, 0x10000 + sound_data_bytes);
  for (int p = 0; p < 16; p++) {
    EXPECT_NE(r.own_page[p], nullptr) << p;
    EXPECT_EQ(r.page_map[p], r.own_page[p]) << p;
    EXPECT_EQ(r.mapped_len[p], 4096) << p;
    EXPECT_EQ(r.page_flags[p], p >= 8 && p <= 11 ? 2 : 0) << p;
  }
  EXPECT_EQ(r.own_page[16], nullptr);
  EXPECT_EQ(r.mapped_len[16], 0);
  EXPECT_EQ(r.current_map, nullptr);
}

TEST_F(RamProcesses, RestartGivesFreshRamWithTheCollectorBit) {
  process *P = create_process_from_code("while true do end", "p", "/apps/p.lua");
  ASSERT_NE(P, nullptr);
  poke_proc(P, 0x6000, 9);
  peek_proc(P, 0x700000);
  EXPECT_EQ(P->ram_bytes, 0x10000 + sound_data_bytes + 4096);
  EXPECT_EQ(peek_proc(P, ram_gc_flags_address), 0) << "a new process starts without it";
  restart_process(P);
  EXPECT_EQ(P->ram_bytes, 0x10000 + sound_data_bytes);
  EXPECT_EQ(peek_proc(P, 0x6000), 0);
  EXPECT_EQ(peek_proc(P, ram_gc_flags_address), 1);
  EXPECT_EQ(P->ram->page_flags[5], 0xFF) << "the restart's poke marked its page";
}

TEST_F(RamProcesses, KillReleasesTheRam) {
  process *P = create_process_from_code("", "p", "/apps/p.lua");
  ASSERT_NE(P, nullptr);
  int64_t id = P->id;
  peek_proc(P, 0x900000);
  kill_process(P);  // the sanitiser's leak check sees the own pages go
  EXPECT_EQ(get_process(id), nullptr);
}

// A process's pages are kept for the next one (handed out zeroed), and
// between frames a bounded number more are made ready for processes to come.
TEST_F(RamProcesses, PagesOfAGoneProcessComeBackZeroedAndMoreAreMadeReady) {
  for (int i = 0; i < 64; i++) ram_make_memory_ready();  // what a few frames make ready
  size_t ready = ram_memory_kept_ready();
  ASSERT_GE(ready, 152u) << "a process's system pages and wavetables";
  process *P = create_process_from_code("", "p", "/apps/p.lua");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(ram_memory_kept_ready(), ready - 16 - sound_data_bytes / 4096) << "taken warm";
  for (int a : {0x6000, 0x40010, 0x700000, 0xF78000, 0xFFFFFF}) poke_proc(P, a, 0xA5);
  kill_process(P);
  EXPECT_EQ(ram_memory_kept_ready(), ready) << "its pages are kept, the one it touched too";
  process *Q = create_process_from_code("", "q", "/apps/q.lua");
  ASSERT_NE(Q, nullptr);
  EXPECT_EQ(peek_proc(Q, 0x6000), 0);
  EXPECT_EQ(peek_proc(Q, 0x700000), 0);
  EXPECT_EQ(peek_proc(Q, 0x40010), peek_proc(root, 0x40010)) << "the default instrument";
  EXPECT_EQ(peek2_proc(Q, 0xFFFFFE), peek2_proc(root, 0xFFFFFE)) << "the default wavetables";
  size_t before = ram_memory_kept_ready();
  ram_make_memory_ready();
  EXPECT_LE(ram_memory_kept_ready(), before + 16) << "a bounded amount between frames";
  kill_process(Q);
}

/* ---------------------------------------------------------------------- */
/* the script functions                                                   */
/* ---------------------------------------------------------------------- */

const luaL_Reg ram_functions[] = {
    {"peek", lua54_peek},     {"poke", lua54_poke},       {"peek2", lua54_peek2},
    {"poke2", lua54_poke2},   {"peek4", lua54_peek4},     {"poke4", lua54_poke4},
    {"peek8", lua54_peek8},   {"poke8", lua54_poke8},     {"_ppeek", lua54__ppeek},
    {"_ppeek4", lua54__ppeek4}, {"memcpy", lua54_memcpy}, {"memset", lua54_memset},
    {"_map_ram", lua54__map_ram}, {"_unmap_ram", lua54__unmap_ram}, {"userdata", lua54_userdata},
    {"vec", lua54_vec},       {"get", lua54_get},
};

// The registry has no rows for these yet: the tests give them to the root.
class RamScript : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    for (const luaL_Reg &f : ram_functions) lua_register(root->lua_state, f.name, f.func);
  }
};

TEST_F(RamScript, PeekAndPokeCountsAndCharges) {
  EXPECT_EQ(run("poke(0x8000, 1, 2, 3, 255, 256, -1) return peek(0x8000, 6)"),
            (R{"i:1", "i:2", "i:3", "i:255", "i:0", "i:255"}));
  EXPECT_EQ(run("return peek(0x8000.9)"), (R{"i:1"})) << "a number address is truncated";
  EXPECT_EQ(run("return peek('32768')"), (R{"i:0"})) << "only numbers count: address 0";
  EXPECT_EQ(run("return peek(0x8000, 0)"), R{});
  EXPECT_EQ(run("return peek(0x8000, 0x10001)"), R{});
  EXPECT_EQ(run("return select('#', peek(0, 0x10000))"), (R{"i:65536"}));
  EXPECT_EQ(charge_of("peek", "0x8000"), 1) << "n - 1, at least 1";
  EXPECT_EQ(charge_of("peek", "0x8000, 5"), 4);
  EXPECT_EQ(charge_of("poke", "0x8000, 1"), 0) << "one value: no charge";
  EXPECT_EQ(charge_of("poke", "0x8000, 1, 2, 3"), 2);
  EXPECT_EQ(charge_of("poke", "0x8000"), 0) << "no values: nothing";
}

TEST_F(RamScript, WideValuesSignsStepsAndCharges) {
  EXPECT_EQ(run("poke2(0x8000, 0xFFFF, 2, 0x18000) return peek2(0x8000, 3)"),
            (R{"i:-1", "i:2", "i:-32768"}));
  EXPECT_EQ(run("poke2(0x8000.7, 5) return peek2(0x8000)"), (R{"i:5"}));
  EXPECT_EQ(run("poke4(0x8000, 0x80000000, 7.0, 7.5) return peek4(0x8000, 3)"),
            (R{"i:-2147483648", "i:7", "i:0"}))
      << "poke4 stores integer values only; other numbers are 0";
  EXPECT_EQ(run("poke8(0x8000, math.mininteger, -2) return peek8(0x8000, 2)"),
            (R{"i:" + std::to_string(LLONG_MIN), "i:-2"}));
  EXPECT_EQ(run("poke4(0x8000, 0x11223344) return peek4(0x8000.9), peek4('32768'), peek('32768')"),
            (R{"i:287454020", "i:287454020", "i:0"}))
      << "peek4's address is read as an integer (floored; numeric strings too), peek's only "
         "as a number";
  EXPECT_EQ(charge_of("peek2", "0x8000"), 0) << "one value: no charge";
  EXPECT_EQ(charge_of("peek4", "0x8000, 3"), 2);
  EXPECT_EQ(charge_of("peek8", "0x8000"), 2) << "a 64-bit read pays for its host time";
  EXPECT_EQ(charge_of("peek8", "0x8000, 2"), 3);
  EXPECT_EQ(charge_of("poke8", "0x8000, 1, 2"), 1);
}

TEST_F(RamScript, OtherProcessesRam) {
  process *other = create_process_from_code("", "other", "/apps/other.lua");
  ASSERT_NE(other, nullptr);
  poke_proc(other, 0x5000, 0x81);
  poke_proc(other, 0x5001, 0xFF);
  poke_proc(other, 0x5002, 0xFF);
  poke_proc(other, 0x5003, 0xFF);
  std::string id = std::to_string(other->id);
  EXPECT_EQ(run("return _ppeek(" + id + ", 0x5000)"), (R{"i:129"}));
  EXPECT_EQ(run("return _ppeek4(" + id + ", 0x5000)"), (R{"i:-127"}));
  EXPECT_EQ(run("return _ppeek(" + id + ".0, 0x5000.5)"), (R{"i:129"}));
  EXPECT_EQ(run("return _ppeek(99, 0x5000)"), R{});
  EXPECT_EQ(run("return _ppeek(1.5, 0x5000)"), R{}) << "not an integer: id 0";
  // Reading another process's RAM takes nothing from it: untouched pages read
  // 0, as the video output reads them (from the map area up to the default
  // wavetables every process is given at 0xF78000).
  int64_t before = other->ram_bytes;
  EXPECT_EQ(run("local s = 0 for a = 0x100000, 0xF77FFF, 4096 do s = s + _ppeek(" + id +
                ", a) + _ppeek4(" + id + ", a + 8) end return s"),
            (R{"i:0"}));
  EXPECT_EQ(other->ram_bytes, before);
  EXPECT_EQ(other->ram->own_page[0x200], nullptr);
}

TEST_F(RamScript, MemcpyAndMemsetCharges) {
  EXPECT_EQ(charge_of("memset", "0x10000, 7, 480 * 270"), 1044);
  EXPECT_EQ(run("return peek(0x10000), peek(0x10000 + 480 * 270)"), (R{"i:7", "i:0"}));
  EXPECT_EQ(run("for i = 0, 9 do poke(0x10000 + i, i + 1) end memcpy(0x10001, 0x10000, 10) "
                "return peek(0x10001, 10)"),
            (R{"i:1", "i:2", "i:3", "i:4", "i:5", "i:6", "i:7", "i:8", "i:9", "i:10"}));
  EXPECT_EQ(charge_of("memcpy", "0x10001, 0x10000, 10"), 1) << "10 / 8";
  EXPECT_EQ(charge_of("memcpy", "0x20000, 0x10000, 100"), 1);
  EXPECT_EQ(charge_of("memcpy", "0x20000, 0x10000, -1"), 0) << "a negative length does nothing";
  EXPECT_EQ(charge_of("memset", "0x20000, 1, -1"), 0);
  EXPECT_EQ(charge_of("memset", "0x20000, 1, 0"), 1) << "cost 0 still charges one cycle";
  EXPECT_EQ(run("memset(0x20000, 0x1234, 1) return peek(0x20000)"), (R{"i:52"}));
  // A length beyond the space is the whole space: every page is touched once.
  EXPECT_EQ(charge_of("memset", "0, 0, 1e300"), 4096 * (4096 / 128 + 1));
  EXPECT_EQ(root->ram_bytes, 0x1000000);
}

TEST_F(RamScript, HostileNumbersAreDefined) {
  // Every address, length and value below passes through the saturating
  // conversion; the sanitisers fail the test on any undefined conversion.
  // NaN is 0; +-huge saturate to the ends of the i64 range, whose low 24 bits
  // are 0xFFFFFF and 0.
  EXPECT_EQ(run("memset(0/0, 1, 4) return peek(0, 4)"), (R{"i:1", "i:1", "i:1", "i:1"}));
  EXPECT_EQ(run("memset(-1e300, 2, 1) memset(1e300, 3, 1) return peek(0), peek(0xFFFFFF)"),
            (R{"i:2", "i:3"}));
  EXPECT_EQ(run("memcpy(math.huge, 0/0, 1) return peek(0xFFFFFF)"), (R{"i:2"}));
  EXPECT_EQ(run("memcpy(0, 0, -math.huge) memset(0, 7, -1e300) return peek(0)"), (R{"i:2"}));
  EXPECT_EQ(run("poke(0/0, 9) poke2(1e300, 0x0102) poke4(-1e300, 5) "
                "return peek(0), peek(0xFFFFFF), peek2(math.huge), peek4(0/0), _ppeek(1, 1e300), "
                "peek(0, 1e300)"),
            (R{"i:5", "i:2", "i:1282", "i:5", "i:2"}));
}

// A userdata's elements, written through the RAM and read back with get.
TEST_F(RamScript, MappedUserdataSeesRamWrites) {
  EXPECT_EQ(run("local u = userdata('u8', 6000) "
                "local n = _map_ram(u, 0x20000) poke(0x20000, 65, 66) poke(0x21000 + 1903, 67) "
                "return n, get(u, 0), get(u, 1), get(u, 5999), peek(0x21770)"),
            (R{"i:6000", "i:65", "i:66", "i:67", "i:0"}));
}

TEST_F(RamScript, MapRamArgumentsAndResults) {
  EXPECT_EQ(run("return _map_ram({}, 0x20000)"), R{});
  EXPECT_EQ(run("return _map_ram(vec(1, 2), 0x20000)"), R{}) << "f64 is never mapped";
  EXPECT_EQ(run("return _map_ram(userdata('u8', 100), 0x20000, 100)"), R{})
      << "offset past the end";
  EXPECT_EQ(run("return _map_ram(userdata('i16', 100), 0x20000, 8, 16)"), (R{"i:16"}));
  EXPECT_EQ(run("return _map_ram(userdata('i32', 100), 0x20000, 0, '16')"), (R{"i:400"}))
      << "a length that is not a number: the rest of the userdata";
  EXPECT_EQ(run("return _map_ram(userdata('u8', 100), 0x20000, 0, 1e300)"), (R{"i:100"}));
  EXPECT_EQ(run("return _map_ram(userdata('u8', 100), 0x20000, 0, -5)"), (R{"i:-5"}));
  EXPECT_EQ(run("return _unmap_ram(5)"), R{});
  // An unmap walks the bits of every mapped page and may drop an anchor,
  // whatever it finds: more than the anchor alone.
  EXPECT_GT(charge_of("_unmap_ram", "userdata('u8', 8)"), anchor_cycles);
}

TEST_F(RamScript, CurrentMapFollowsMappingsAt0x100000) {
  EXPECT_EQ(run("m = userdata('i16', 64, 32) _map_ram(m, 0x100000) return peek2(0x100000)"),
            (R{"i:0"}));
  ASSERT_NE(root->ram->current_map, nullptr);
  EXPECT_EQ(static_cast<userdata *>(root->ram->current_map)->width, 64u);
  run("_unmap_ram(m)");
  EXPECT_NE(root->ram->current_map, nullptr) << "unmapping leaves the current map";
  run("_map_ram(userdata('u8', 64), 0x100000)");
  EXPECT_EQ(root->ram->current_map, nullptr) << "a map that is not i16 clears it";
  run("_map_ram(m, 0x100000) _map_ram(vec(1), 0x100000)");
  EXPECT_EQ(root->ram->current_map, nullptr) << "so does f64, which is not mapped";
  run("_map_ram(m, 0x100000.5)");
  EXPECT_NE(root->ram->current_map, nullptr) << "0x100000.5 is 0x100000 once truncated";
  run("_map_ram(userdata('u8', 64), 0x100001)");
  EXPECT_NE(root->ram->current_map, nullptr) << "only exactly 0x100000 sets it";
}

// What keeps a mapped userdata: after the script drops every reference and the
// collector runs in full, the RAM still reads and writes its elements (under
// the sanitisers any touch of freed memory fails the test).
TEST_F(RamScript, MappedUserdataSurvivesAFullCollection) {
  EXPECT_EQ(run("seen = setmetatable({}, {__mode = 'v'}) "
                "do local u = userdata('u8', 9000) seen[1] = u _map_ram(u, 0x30000) "
                "poke(0x32000 + 100, 42) end "
                "do local m = userdata('i16', 300) seen[2] = m _map_ram(m, 0x100000) "
                "poke2(0x100000 + 20, -7) end "
                "collectgarbage() collectgarbage() "
                "poke(0x30000, 9) "
                "return seen[1] ~= nil, peek(0x32000 + 100), peek2(0x100000 + 20), "
                "get(seen[1], 0)"),
            (R{"b:true", "i:42", "i:-7", "i:9"}));
  // Unmapped, the first goes; the second stays as the current map.
  EXPECT_EQ(run("_unmap_ram(seen[1]) _unmap_ram(seen[2]) collectgarbage() collectgarbage() "
                "return seen[1] == nil, seen[2] ~= nil"),
            (R{"b:true", "b:true"}));
  EXPECT_EQ(run("_map_ram(userdata('u8', 8), 0x100000) collectgarbage() collectgarbage() "
                "return seen[2] == nil"),
            (R{"b:true"}))
      << "replacing the current map drops its anchor";
  EXPECT_EQ(run("local u = userdata('u8', 8192) seen[3] = u _map_ram(u, 0x40000) "
                "_map_ram(userdata('u8', 8192), 0x40000) u = nil collectgarbage() collectgarbage() "
                "return seen[3] == nil"),
            (R{"b:true"}))
      << "a userdata whose pages were all mapped over is let go";
  EXPECT_EQ(run("local u = userdata('u8', 100) seen[4] = u _map_ram(u, 0x1000) u = nil "
                "collectgarbage() collectgarbage() return seen[4] == nil"),
            (R{"b:true"}))
      << "a mapping that mapped nothing keeps nothing";
}

// The debug library reaches the registry: a script that removes the anchors
// lets the userdata go, and its pages go back to plain RAM as it is freed.
TEST_F(RamScript, AnchorsRemovedByTheScriptNeverLeaveADanglingPage) {
  EXPECT_EQ(run("seen = setmetatable({}, {__mode = 'v'}) "
                "do local u = userdata('u8', 9000) seen[1] = u _map_ram(u, 0x30000) "
                "local m = userdata('i16', 300) seen[2] = m _map_ram(m, 0x100000) "
                "poke(0x30000, 5) end "
                "for k, v in pairs(debug.getregistry()) do "
                "  if type(k) == 'userdata' and type(v) == 'table' then "
                "    for kk in pairs(v) do v[kk] = nil end end end "
                "collectgarbage() collectgarbage() "
                "poke(0x30000 + 1, 6) poke2(0x100000, 7) "
                "return seen[1] == nil, seen[2] == nil, peek(0x30000), peek(0x30001), "
                "peek2(0x100000)"),
            (R{"b:true", "b:true", "i:0", "i:6", "i:7"}));
  EXPECT_EQ(root->ram->current_map, nullptr);
}

TEST_F(RamScript, StateCloseWithMappedUserdataIsClean) {
  process *P = create_process_from_code("", "mapper", "/apps/mapper.lua");
  ASSERT_NE(P, nullptr);
  for (const luaL_Reg &f : ram_functions) lua_register(P->lua_state, f.name, f.func);
  cproc = P;
  EXPECT_EQ(run("u = userdata('u8', 5000) _map_ram(u, 0x20000) _map_ram(u, 0x40000, 8) "
                "_map_ram(userdata('i16', 10), 0x100000) return peek(0x20000)"),
            (R{"i:0"}));
  cproc = root;
  kill_process(P);  // the state closes first, then the page map goes
  restart_process(root);
  EXPECT_EQ(root->ram->current_map, nullptr);
}

/* ---------------------------------------------------------------------- */
/* differential: the RAM against a flat 16 MB model                       */
/* ---------------------------------------------------------------------- */

// The address rule, byte by byte, on one flat array for the own blocks and a
// per-page note of which userdata bytes a page shows.
struct flat_model {
  std::vector<uint8_t> own = std::vector<uint8_t>(ram_space_size);
  std::vector<bool> own_alloc = std::vector<bool>(ram_page_count);
  std::vector<int32_t> mapped_len = std::vector<int32_t>(ram_page_count);
  std::vector<int> window = std::vector<int>(ram_page_count, -1);  // userdata index
  std::vector<int64_t> window_at = std::vector<int64_t>(ram_page_count);
  std::vector<uint8_t> flags = std::vector<uint8_t>(ram_page_count);
  std::vector<std::vector<uint8_t>> uds;
  int64_t ram_bytes = 0x10000;

  flat_model() {
    for (int p = 0; p < 16; p++) {
      own_alloc[p] = true;
      mapped_len[p] = 4096;
    }
    for (int p = 8; p <= 11; p++) flags[p] = 2;
  }

  uint8_t &at(int64_t address, bool write) {
    auto a = static_cast<uint32_t>(static_cast<uint64_t>(address) & 0xFFFFFF);
    uint32_t p = a >> 12, off = a & 0xFFF;
    if (write) flags[p] = 0xFF;
    if (static_cast<int32_t>(off) < mapped_len[p]) {
      if (window[p] >= 0) return uds[size_t(window[p])][size_t(window_at[p] + off)];
      return own[a];
    }
    if (!own_alloc[p]) {
      own_alloc[p] = true;
      ram_bytes += 4096;
      if (mapped_len[p] == 0) mapped_len[p] = 4096;
    }
    return own[a];
  }
  uint64_t peek_n(int64_t a, int k) {
    uint64_t v = 0;
    for (int i = 0; i < k; i++) v |= uint64_t{at(a + i, false)} << (8 * i);
    return v;
  }
  void poke_n(int64_t a, uint64_t v, int k) {
    for (int i = 0; i < k; i++) at(a + i, true) = static_cast<uint8_t>(v >> (8 * i));
  }

  int32_t region_end(int64_t address) {
    auto a = static_cast<uint32_t>(static_cast<uint64_t>(address) & 0xFFFFFF);
    int32_t off = a & 0xFFF;
    return off < mapped_len[a >> 12] ? mapped_len[a >> 12] : 4096;
  }
  // Chunk by chunk, each ending where a region of the source or destination ends.
  int64_t chunk_cost(int64_t dst, std::optional<int64_t> src, int64_t n) {
    int64_t cost = 0;
    for (int64_t done = 0; done < n;) {
      auto off = [](int64_t a) { return int32_t(static_cast<uint64_t>(a) & 0xFFF); };
      int64_t len = std::min<int64_t>(region_end(dst + done) - off(dst + done), n - done);
      if (src) len = std::min<int64_t>(len, region_end(*src + done) - off(*src + done));
      cost += len / 128 + 1;
      done += len;
    }
    return cost;
  }

  int64_t memset(int64_t a, int v, int64_t n) {
    if (n <= 0) return 0;
    int64_t cost = chunk_cost(a, std::nullopt, n);
    for (int64_t i = 0; i < n; i++) at(a + i, true) = static_cast<uint8_t>(v);
    return cost;
  }
  int64_t write(int64_t a, const std::vector<uint8_t> &bytes) {
    auto n = static_cast<int64_t>(bytes.size());
    if (n == 0) return 0;
    int64_t cost = chunk_cost(a, std::nullopt, n);
    for (int64_t i = 0; i < n; i++) at(a + i, true) = bytes[size_t(i)];
    return cost;
  }
  int64_t memcpy(int64_t dst, int64_t src, int64_t n) {
    if (n <= 0) return 0;
    int64_t d = dst & 0xFFFFFF, s = src & 0xFFFFFF;
    if (d == s) return 0;
    int64_t ahead = (d - s) & 0xFFFFFF, behind = (s - d) & 0xFFFFFF;
    auto move = [&](int64_t i) {
      uint8_t v = at(s + i, false);
      at(d + i, true) = v;
    };
    if (ahead < n || behind < n) {
      if (ahead < behind)
        for (int64_t i = n - 1; i >= 0; i--) move(i);
      else
        for (int64_t i = 0; i < n; i++) move(i);
      return n / 8;
    }
    int64_t cost = chunk_cost(d, s, n);
    for (int64_t i = 0; i < n; i++) move(i);
    return cost;
  }
  std::optional<int64_t> map(int k, int64_t addr, int64_t offset, std::optional<int64_t> len) {
    auto size = static_cast<int64_t>(uds[size_t(k)].size());
    offset &= ~int64_t{3};
    if (offset < 0 || offset >= size) return std::nullopt;
    int64_t n = len ? std::min(*len, size - offset) : size - offset;
    if (n <= 0) return n;
    int64_t base = addr & 0xFFF000;
    int64_t pages = std::max<int64_t>(1, (n + 4095) / 4096);
    for (int64_t i = 0; i < pages; i++) {
      int64_t p = (base >> 12) + i, left = n - 4096 * i;
      if (p > 4095 || (base < 0x10000 && left < 4096)) break;
      window[size_t(p)] = k;
      window_at[size_t(p)] = offset + 4096 * i;
      mapped_len[size_t(p)] = int32_t(std::clamp<int64_t>(left, 0, 4096));
      flags[size_t(p)] = 0xFF;
    }
    return n;
  }
  bool unmap(int k, int64_t addr, int64_t len) {
    len = std::min(len, static_cast<int64_t>(uds[size_t(k)].size()));
    uint64_t first = static_cast<uint64_t>(addr) >> 12;
    int64_t last = addr < 0 ? 4095 : saturating_add(saturating_add(addr, len), -1) >> 12;
    bool all = true;
    for (int64_t p = 0; p < 4096; p++) {
      if (window[size_t(p)] != k || window_at[size_t(p)] >= len) continue;
      if ((addr >= 0 && uint64_t(p) < first) || p > last) {
        all = false;
        continue;
      }
      window[size_t(p)] = -1;
      mapped_len[size_t(p)] = 0;
      flags[size_t(p)] = 0xFF;
    }
    return all;
  }
};

class RamDifferential : public testing::TestWithParam<uint64_t> {
 protected:
  std::mt19937_64 rng{GetParam()};
  ram_record rec;
  flat_model model;
  std::vector<std::vector<uint8_t>> uds;  // what the RAM maps; the model has its own copies
  std::vector<int64_t> pool = {0x0, 0x1, 0x7, 0x8, 0xE, 0xF, 0x10, 0x11, 0x20, 0x21, 0x22,
                               0x23, 0x100, 0x101, 0x7FF, 0x800, 0xFFC, 0xFFD, 0xFFE, 0xFFF};

  int64_t pick(int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint64_t>(n)); }

  int64_t address() {
    int64_t page = pool[size_t(pick(int64_t(pool.size())))];
    int64_t offsets[] = {0, 1, 4095, 4094, 2048, 1904, 1903, 1905, pick(4096), 4096 - pick(9)};
    int64_t a = page * 4096 + offsets[pick(10)];
    switch (pick(12)) {
      case 0: return a + 0x1000000 * (pick(5) - 2);  // the same byte, unwrapped
      case 1: return a - 0x1000000;                  // below zero
      default: return a;
    }
  }
  int64_t length() {
    if (pick(400) == 0) return 0x1000000 - pick(3);
    switch (pick(40)) {
      case 0: return -pick(5);
      case 1: case 2: case 3: return pick(3 * 4096) + 4096;
      default: return pick(300);
    }
  }

  void check_state(bool all_bytes) {
    process_ram &r = rec.ram();
    ASSERT_EQ(rec.P.ram_bytes, model.ram_bytes);
    for (uint32_t p = 0; p < 4096; p++) {
      ASSERT_EQ(r.mapped_len[p], model.mapped_len[p]) << "page " << p;
      ASSERT_EQ(r.page_flags[p], model.flags[p]) << "page " << p;
      ASSERT_EQ(r.own_page[p] != nullptr, bool(model.own_alloc[p])) << "page " << p;
      // The page lists agree with the flags and the page map.
      const uint64_t bit = uint64_t{1} << (p & 63);
      ASSERT_EQ((r.mirror_pages[p >> 6] & bit) != 0, (model.flags[p] & 1) != 0) << "page " << p;
      ASSERT_EQ((r.own_pages[p >> 6] & bit) != 0, bool(model.own_alloc[p])) << "page " << p;
      ASSERT_EQ((ram_pages_present(r, int(p >> 6)) & bit) != 0, r.page_map[p] != nullptr)
          << "page " << p;
      bool pooled = std::find(pool.begin(), pool.end(), int64_t(p)) != pool.end();
      if (!all_bytes && !pooled) continue;
      for (uint32_t off = 0; off < 4096; off++) {
        uint32_t a = p << 12 | off;
        uint8_t want = static_cast<int32_t>(off) < model.mapped_len[p] && model.window[p] >= 0
                           ? model.uds[size_t(model.window[p])][size_t(model.window_at[p] + off)]
                           : model.own[a];
        ASSERT_EQ(shown(r, a), want) << "address " << a;
      }
    }
    ASSERT_EQ(uds, model.uds);
  }
};

TEST_P(RamDifferential, RandomOperationsMatchTheFlatModel) {
  process *P = &rec.P;
  for (size_t size : {6000, 100, 4096, 8196, 20000, 1, 7}) {
    std::vector<uint8_t> bytes(size);
    for (auto &b : bytes) b = static_cast<uint8_t>(rng());
    uds.push_back(bytes);
    model.uds.push_back(bytes);
  }
  std::vector<const void *> released;
  const int ops = 6000;
  for (int op = 0; op < ops; op++) {
    SCOPED_TRACE("op " + std::to_string(op));
    int kind = int(pick(100));
    if (kind < 25) {  // peeks
      int64_t a = address();
      int k = 1 << pick(4);
      uint64_t got = k == 1   ? uint8_t(peek_proc(P, int(a)))
                     : k == 2 ? uint16_t(peek2_proc(P, int(a)))
                     : k == 4 ? uint32_t(peek4_proc(P, int(a)))
                              : 0;
      if (k == 8) {
        process *saved = cproc;
        cproc = P;
        got = uint64_t(peek8(int(a)));
        cproc = saved;
      }
      ASSERT_EQ(got, model.peek_n(a, k)) << "peek" << k << " " << a;
    } else if (kind < 40 && pick(3) == 0) {  // host bytes written in one go
      int64_t a = address(), n = std::max<int64_t>(length(), 0);
      std::vector<uint8_t> bytes(static_cast<size_t>(n));
      for (auto &b : bytes) b = static_cast<uint8_t>(rng());
      ASSERT_EQ(ram_write(P, a, bytes.data(), n), model.write(a, bytes)) << "write " << a << " " << n;
    } else if (kind < 50) {  // pokes
      int64_t a = address();
      int k = 1 << pick(4);
      uint64_t v = rng();
      process *saved = cproc;
      cproc = P;
      switch (k) {
        case 1: poke(int(a), int(v)); break;
        case 2: poke2(int(a), int(v)); break;
        case 4: poke4(int(a), int(v)); break;
        default: poke8(int(a), static_cast<long long>(v)); break;
      }
      cproc = saved;
      model.poke_n(a, v, k);
    } else if (kind < 62) {  // memset
      int64_t a = address(), n = length();
      int v = int(rng() & 0x1FF);
      ASSERT_EQ(ram_memset(P, a, v, n), model.memset(a, v, n)) << "memset " << a << " " << n;
    } else if (kind < 82) {  // memcpy, often overlapping
      int64_t src = address(), n = length();
      int64_t dst = pick(3) == 0 ? src + pick(600) - 300 : address();
      ASSERT_EQ(ram_memcpy(P, dst, src, n), model.memcpy(dst, src, n))
          << "memcpy " << dst << " " << src << " " << n;
    } else if (kind < 92) {  // map
      int k = int(pick(int64_t(uds.size())));
      int64_t size = int64_t(uds[size_t(k)].size());
      int64_t a = address();
      int64_t offset = pick(4) == 0 ? pick(size + 8) - 4 : pick(2) * 4 * pick(size / 4 + 1);
      std::optional<int64_t> len;
      if (pick(2)) len = pick(3) == 0 ? int64_t(pick(100000)) - 1000 : pick(size + 1);
      ram_window w{&uds[size_t(k)], uds[size_t(k)].data(), size};
      ASSERT_EQ(ram_map(P, w, a, offset, len, released), model.map(k, a, offset, len))
          << "map " << k << " at " << a << " offset " << offset;
    } else {  // unmap
      int k = int(pick(int64_t(uds.size())));
      int64_t size = int64_t(uds[size_t(k)].size());
      int64_t a = pick(3) == 0 ? -1 : address();
      int64_t len = pick(3) == 0 ? size : pick(size + 8193) - 4096;
      ram_window w{&uds[size_t(k)], uds[size_t(k)].data(), size};
      ASSERT_EQ(ram_unmap(P, w, a, len, released), model.unmap(k, a, len))
          << "unmap " << k << " at " << a << " len " << len;
    }
    if (op % 250 == 0) ASSERT_NO_FATAL_FAILURE(check_state(false));
    if (op % 97 == 0) {  // the audio mirror takes the pages written so far
      process_ram &r = rec.ram();
      for (int w = 0; w < ram_page_count / 64; w++)
        for (uint64_t bits = r.mirror_pages[w]; bits; bits &= bits - 1) {
          int p = w * 64 + std::countr_zero(bits);
          ram_page_mirrored(r, p);
          model.flags[size_t(p)] &= static_cast<uint8_t>(~page_flag_mirror);
        }
    }
  }
  ASSERT_NO_FATAL_FAILURE(check_state(true));
  // Every userdata the page map no longer points into was reported.
  for (size_t k = 0; k < uds.size(); k++) {
    bool mapped = ram_window_pages(P, &uds[k]) > 0;
    bool model_mapped = std::count(model.window.begin(), model.window.end(), int(k)) > 0;
    EXPECT_EQ(mapped, model_mapped) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RamDifferential, testing::Values(1u, 2u, 3u, 0x2105u));

}  // namespace
