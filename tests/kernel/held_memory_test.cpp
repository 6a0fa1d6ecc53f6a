// Host memory held for a process: what holds and charged buffers count, what
// they refuse, and that every charge goes when its holder does.
#include "kernel/held_memory.h"

#include <gtest/gtest.h>

#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "tests/kernel/script_api_fixture.h"

namespace {

using script_api_test::ScriptApi;
using HeldMemory = ScriptApi;

TEST_F(HeldMemory, AHoldCountsWhileItLivesAndRefusesPastTheRoom) {
  int64_t in_use = process_memory_in_use(root);
  int64_t room = process_memory_room(root);
  EXPECT_EQ(room, process_memory_cap - in_use);
  {
    memory_hold h;
    const struct {
      int64_t bytes;
      bool taken;
      int64_t held;
    } steps[] = {
        {1000, true, 1000},           {room, true, room},   {room + 1, false, room},
        {10, true, 10},               {-5, true, 0},        {room / 2, true, room / 2},
    };
    for (const auto &s : steps) {
      EXPECT_EQ(h.hold(s.bytes), s.taken) << s.bytes;
      EXPECT_EQ(h.held(), s.held);
      EXPECT_EQ(process_memory_in_use(root), in_use + s.held);
    }
    memory_hold second;
    EXPECT_EQ(second.room(), room - room / 2) << "holds share the process's room";
    EXPECT_FALSE(second.hold(room - room / 2 + 1));
  }
  EXPECT_EQ(process_memory_in_use(root), in_use) << "all given back";
  EXPECT_EQ(root->host_bytes, int64_t(root->source.size()));
}

TEST_F(HeldMemory, AChargedBufferGrowsOnlyWithinTheRoomAndGivesItBack) {
  int64_t in_use = process_memory_in_use(root);
  int64_t room = process_memory_room(root);
  buffer *b = create_buffer_2(100, 0);
  ASSERT_TRUE(bcharge_to_current(b));
  EXPECT_TRUE(bcharge_to_current(b)) << "charging twice charges once";
  EXPECT_EQ(process_memory_in_use(root), in_use + int64_t(b->capacity));
  std::string chunk(1 << 20, 'x');
  while (bwrite(chunk.data(), 1, int64_t(chunk.size()), b) == int64_t(chunk.size())) {
  }
  EXPECT_LE(int64_t(b->capacity), room) << "never more than the process may hold";
  EXPECT_GT(int64_t(b->capacity), room - (2 << 20)) << "grown to the room, not refused early";
  EXPECT_EQ(process_memory_in_use(root), in_use + int64_t(b->capacity));
  destroy_buffer(b);
  EXPECT_EQ(process_memory_in_use(root), in_use);
}

TEST_F(HeldMemory, ChargesOfAProcessThatIsGoneVanish) {
  process *other = create_process_from_code("", "other", "/apps/other.lua");
  ASSERT_NE(other, nullptr);
  cproc = other;
  buffer *b = create_buffer_2(5000, 0);
  ASSERT_TRUE(bcharge_to_current(b));
  cproc = root;
  EXPECT_GE(other->host_bytes, 5001);
  kill_process(other);
  EXPECT_EQ(bwrite(std::string(9000, 'x').data(), 1, 9000, b), 0) << "a holder gone has no room";
  destroy_buffer(b);  // gives back to nobody
  EXPECT_EQ(root->host_bytes, int64_t(root->source.size()));
}

TEST(HeldMemoryUnowned, WorkForNoProcessSharesOneAllowance) {
  cproc = nullptr;
  int64_t room = process_memory_room(nullptr);
  EXPECT_EQ(room, unowned_memory_room);
  {
    memory_hold a;
    EXPECT_TRUE(a.hold(room - 10));
    memory_hold b;
    EXPECT_FALSE(b.hold(11));
    EXPECT_TRUE(b.hold(10));
  }
  EXPECT_EQ(process_memory_room(nullptr), room);
  EXPECT_TRUE(charge_host_memory(0, int64_t{1} << 40)) << "holder 0 is nobody";
}

TEST_F(HeldMemory, TheSourceCopyIsHeldForItsProcess) {
  std::string code(100000, ' ');
  process *P = create_process_from_code(code.c_str(), "big", "/apps/big.lua");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P->host_bytes, 100000);
  EXPECT_GE(process_memory_in_use(P), 100000 + P->ram_bytes + process_memory_reserve);
}

}  // namespace
