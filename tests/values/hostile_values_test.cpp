// Encoders, decoders and bulk bindings against hostile input: what they
// allocate stays within what the calling process may still hold, and work
// past the ten-frame ceiling ends in the cpu limit error.
#include <gtest/gtest.h>
#include <lz4.h>

#include <string>

#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "kernel/messages.h"
#include "platform/host_log.h"
#include "tests/values/values_state.h"
#include "values/crc32.h"
#include "values/tuk.h"

namespace {

using values_test::R;

class HostileValues : public values_test::ValuesState {
 protected:
  // As a real slice: a frame's cap, so the ceiling lies ten frames above it.
  static R run_capped(const std::string &code) {
    cpu_cycles = 0;
    cpu_cycles_max = frame_cycle_budget;
    R r = run(code);
    cpu_cycles = 0;
    cpu_cycles_max = 0x7FFFFFFF;
    return r;
  }
};

std::string u32le(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[size_t(i)] = char(v >> (8 * i));
  return s;
}

// The tuk LZ4 wrapper of a text.
std::string lz4_wrapper(const std::string &text) {
  std::string block(size_t(LZ4_compressBound(int(text.size()))), '\0');
  int n = LZ4_compress_default(text.data(), block.data(), int(text.size()), int(block.size()));
  block.resize(size_t(n));
  return std::string("lz4\0", 4) + u32le(uint32_t(n)) + u32le(uint32_t(text.size())) + block;
}

// Lua source for a string literal of any bytes.
std::string lua_bytes(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) out += "\\" + std::to_string(int(c));
  return out + "\"";
}

TEST_F(HostileValues, EndlessWorkEndsInTheCpuLimitError) {
  const struct {
    const char *what;
    const char *code;
  } cases[] = {
      {"tuk of shared subtables", "local t = {} for i = 1, 60 do t = {t, t} end return tuk(t)"},
      {"send_message of them", "local t = {} for i = 1, 60 do t = {t, t} end send_message(1, t)"},
      {"untuk of a long text", "local s = tuk(string.rep('x', 8e6)) for i = 1, 6 do untuk(s) end"},
      {"split into many pieces", "local s = string.rep(',', 2e6) for i = 1, 4 do split(s) end"},
      {"create_delta of long strings",
       "local a = string.rep('ab', 4e6) for i = 1, 8 do create_delta(a, a .. 'x') end"},
      {"userdata from decimals",
       "local s = string.rep('1,', 1e6) for i = 1, 4 do userdata('f64', 1e6, s) end"},
      {"a long date format", "local f = string.rep('%c', 4e5) for i = 1, 4 do date(f, 0) end"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(run_capped(std::string("return pcall(function() ") + c.code + " end)"),
              (R{"b:false", "s:test:1: cpu limit exceeded"}))
        << c.what;
  EXPECT_EQ(run_capped("return tuk({1, 2, 3})"), R{"s:{1,2,3}"}) << "ordinary work goes on";
}

TEST_F(HostileValues, NestedLz4WrappersStayWithinTheRoom) {
  // A 12 MB string inside two LZ4 wrappers: 300 bytes of text.
  std::string inner = lz4_wrapper("\"" + std::string(12 << 20, 'a') + "\"");
  std::string bomb = lz4_wrapper(inner);
  ASSERT_LT(bomb.size(), 1000u);
  std::string code = "local s = untuk(" + lua_bytes(bomb) + ") return s and #s";
  EXPECT_EQ(run(code), R{"i:" + std::to_string(12 << 20)}) << "it fits: it is read";
  // With 22 MB held already, the inner text no longer fits: nothing is made,
  // and nothing stays held.
  ASSERT_EQ(run("keep = {userdata('u8', 16 << 20), string.rep('k', 6 << 20)}"), R{});
  EXPECT_EQ(run(code), R{"nil"});
  EXPECT_EQ(cproc->host_bytes, 0);
}

TEST_F(HostileValues, WritingStaysWithinTheRoomAndTheLimit) {
  ASSERT_EQ(run("keep = {userdata('u8', 16 << 20), string.rep('k', 7 << 20), "
                "string.rep('a', 3 << 20), string.rep('b', 3 << 20)}"),
            R{});
  EXPECT_GT(process_memory_room(cproc), 1 << 20);
  EXPECT_EQ(run("return tuk({keep[3], keep[4]})"), R{})
      << "the text would not fit beside what the process holds";
  EXPECT_EQ(cproc->host_bytes, 0) << "and nothing stays held";
  EXPECT_EQ(run("return #tuk({keep[3]:sub(1, 1000)})"), R{"i:1004"});
  // send_message's text is no longer than a queue takes.
  ASSERT_EQ(run("keep = nil collectgarbage()"), R{});
  EXPECT_EQ(run("send_message(pid(), {string.rep('m', " + std::to_string(message_queue_max) +
                ")}) return _read_message()"),
            R{});
  lua_State *L = cproc->lua_state;
  lua_newtable(L);
  for (int i = 1; i <= 1000; i++) {
    lua_pushinteger(L, i);
    lua_rawseti(L, -2, i);
  }
  buffer_owner out(create_buffer_2(16, 0));
  EXPECT_FALSE(stringify_object(L, -1, out.get(), 0, 0, 100));
  EXPECT_LE(out->length, 100);
  lua_pop(L, 1);
}

TEST_F(HostileValues, ApplyDeltaTrustsNoStatedSize) {
  // An outer form whose block claims a 2 GB inner stream, and a bare stream
  // stating a 2 GB result: neither is believed, nothing that large is made.
  std::string huge_inner = std::string("dst\0", 4) + u32le(0x7FFFFFF0) + std::string(64, '\0');
  std::string huge_result = u32le(0x7FFFFFF0) + u32le(0) + u32le(0) + std::string("\5hello");
  EXPECT_EQ(run("return apply_delta('', " + lua_bytes(huge_inner) + ")"), R{});
  EXPECT_EQ(run("return apply_delta('', " + lua_bytes(huge_result) + ")"), R{});
  EXPECT_EQ(cproc->host_bytes, 0);
  std::string hello = u32le(5) + u32le(0) + u32le(crc32b(reinterpret_cast<const uint8_t *>("hello"), 5)) +
                      "\5hello";
  EXPECT_EQ(run("return apply_delta('', " + lua_bytes(hello) + ")"), R{"s:hello"});
}

TEST_F(HostileValues, GlobalsSlotOfTheRegistryReplaced) {
  EXPECT_EQ(run("local r = debug.getregistry() local g = r[2] r[2] = 5 "
                "local u = userdata('u8', 8) r[2] = g return type(u), getmetatable(u) == nil"),
            (R{"s:userdata", "b:true"}))
      << "a typed array made then has no metatable";
}

TEST_F(HostileValues, AFloodOfMessagesIsDroppedAndLoggedOnce) {
  process *P = new_process("sink", "/apps/sink.lua");
  ASSERT_NE(P, nullptr);
  std::string log = testing::TempDir() + "kestrune-flood-" + std::to_string(getpid()) + ".txt";
  hovi_set_log_path(log);
  std::string id = std::to_string(P->id);
  EXPECT_EQ(run("local m = {string.rep('f', 1000)} "
                "for i = 1, 6000 do send_message(" + id + ", m) end"),
            R{});
  int64_t queued = count_process_messages(P);
  EXPECT_GT(queued, 3000);
  EXPECT_LT(queued, 6000);
  EXPECT_LE(P->message_queue->length - P->message_queue->position, message_queue_max);
  EXPECT_EQ(run_as(P, "return #_read_message()[1]"), R{"i:1000"}) << "what was queued reads";
  EXPECT_EQ(run("send_message(" + id + ", {'last'})"), R{}) << "room again: taken";
  // Back to the scratch log that the test entry point chose.
  hovi_set_log_path(testing::TempDir() + "kestrune-tests-" + std::to_string(getpid()) + "/log.txt");
  FILE *f = fopen(log.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  std::string line = "message queue of process " + id + " is full: messages to it are dropped";
  size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find(line, at + 1), std::string::npos) << "logged once";
  remove(log.c_str());
}

}  // namespace
