// send_message and _read_message between real process states: order, the
// sender's stamps, unknown and gone targets, forged senders, long queues.
#include "kernel/messages_api.h"

#include <gtest/gtest.h>

#include <string>

#include "kernel/messages.h"
#include "platform/host_log.h"
#include "tests/values/values_state.h"

namespace {

using values_test::R;

class MessagesApi : public values_test::ValuesState {
 protected:
  void SetUp() override {
    ValuesState::SetUp();
    // ids 2-5; 5 is an ordinary program, 4 a system one
    for (const char *path : {"/apps/two.lua", "/apps/three.lua", "/system/four.lua", "/apps/five.lua"})
      ASSERT_NE(new_process("p", path), nullptr);
  }
  static process *id(int64_t n) { return get_process(n); }
  static int64_t queued() {
    int64_t n = 0;
    for (int i = 0; i < get_process_count(); i++) n += count_process_messages(get_process_by_index(i));
    return n;
  }
};

TEST_F(MessagesApi, FirstInFirstOut) {
  EXPECT_EQ(run("send_message(2, {m='A'}) send_message(2, {m='B'})"), R{});
  EXPECT_EQ(run_as(id(2), "return _read_message().m, _read_message().m"), (R{"s:A", "s:B"}));
  EXPECT_EQ(run_as(id(2), "return _read_message()"), R{});
  EXPECT_EQ(run_as(id(2), "return select('#', _read_message())"), R{"i:0"});
}

TEST_F(MessagesApi, SenderIsStamped) {
  int64_t before = host_ms_since_start();
  EXPECT_EQ(run_as(id(5), "local t = {x=1} send_message(3, t) "
                          "return t._from, t._flags, math.type(t._sent_t)"),
            (R{"i:5", "i:0", "s:integer"}));
  int64_t after = host_ms_since_start();
  R got = run_as(id(3), "local m = _read_message() return m.x, m._from, m._flags, m._sent_t");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(R(got.begin(), got.begin() + 3), (R{"i:1", "i:5", "i:0"}));
  int64_t t = std::stoll(got[3].substr(2));
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  EXPECT_EQ(run_as(id(4), "send_message(3, {})"), R{});
  EXPECT_EQ(run_as(id(3), "local m = _read_message() return m._from, m._flags"), (R{"i:4", "i:1"}));
  EXPECT_EQ(run_as(id(2), "send_message(3.9, {}) return _read_message()"), R{});
  EXPECT_EQ(run_as(id(3), "return _read_message()._from"), R{"i:2"}) << "the id truncated";
}

TEST_F(MessagesApi, ASenderCannotForgeTheSystem) {
  // Fields of its own are overwritten.
  run_as(id(5), "send_message(3, {_from=1, _flags=1, _sent_t=0})");
  EXPECT_EQ(run_as(id(3), "local m = _read_message() return m._from, m._flags"), (R{"i:5", "i:0"}));
  // A metatable cannot redirect the stamps.
  run_as(id(5), "local t = setmetatable({}, {__newindex = function(t, k, v) rawset(t, k, 1) end}) "
                "send_message(3, t)");
  EXPECT_EQ(run_as(id(3), "local m = _read_message() return m._from, m._flags"), (R{"i:5", "i:0"}));
  // The stamps go on the value sent, not on a later argument.
  run_as(id(5), "send_message(3, {_from=1, _flags=1}, {})");
  EXPECT_EQ(run_as(id(3), "local m = _read_message() return m._from, m._flags"), (R{"i:5", "i:0"}));
  // A text cannot smuggle fields either: it is sent as a string, not a table.
  EXPECT_EQ(run_as(id(5), "return pcall(send_message, 3, '{_from=1}')"),
            (R{"b:false", "s:attempt to index a string value"}));
  EXPECT_EQ(queued(), 0);
}

TEST_F(MessagesApi, UnknownTargetsGetNothing) {
  for (const char *pid : {"99", "0", "-1", "1/0", "-1/0", "0/0", "2^63", "-2^64", "1e300", "'3'",
                          "nil", "{}", "math.mininteger"}) {
    EXPECT_EQ(run(std::string("return send_message(") + pid + ", {x=1})"), R{}) << pid;
  }
  EXPECT_EQ(run("return send_message()"), R{});
  EXPECT_EQ(queued(), 0);
}

TEST_F(MessagesApi, NonTableMessages) {
  EXPECT_EQ(run("return pcall(send_message, 2, 5)"),
            (R{"b:false", "s:attempt to index a number value"}));
  EXPECT_EQ(run("return pcall(send_message, 2)"), (R{"b:false", "s:attempt to index a nil value"}));
  EXPECT_EQ(run("send_message(2, userdata('u8', 2, '0102'))"), R{});
  EXPECT_EQ(run_as(id(2), "return _read_message():get()"), (R{"i:1", "i:2"}));
  EXPECT_EQ(run("local t = {} t.t = t return send_message(2, t)"), R{}) << "cyclic: nothing sent";
  EXPECT_EQ(queued(), 0);
}

TEST_F(MessagesApi, ProcessesThatWillNotRunAgainGetNothing) {
  id(2)->state = process_finished;
  id(3)->state = process_failed;
  run("send_message(2, {}) send_message(3, {})");
  EXPECT_EQ(queued(), 0);
  {
    process_table_guard guard;  // a kill asked for now waits for the guard
    kill_process(id(4));
    ASSERT_NE(id(4), nullptr);
    buffer_owner msg(create_buffer_from_str("{}"));
    EXPECT_FALSE(send_message_to_id(4, msg.get())) << "it is about to go";
    EXPECT_TRUE(send_message_to_id(5, msg.get()));
  }
  EXPECT_EQ(id(4), nullptr);
  EXPECT_EQ(count_process_messages(id(5)), 1);
}

TEST_F(MessagesApi, TargetKilledByAFinalizerDuringTheSend) {
  lua_register(cproc->lua_state, "kill", [](lua_State *L) {
    kill_process_by_id(lua_tointeger(L, 1));
    return 0;
  });
  // Finalizers run while the send allocates; one of them removes the target.
  // Whether it runs during the send or later, nothing may reach a removed
  // process and nothing may crash.
  for (int round = 0; round < 20 && id(5); round++) {
    R r = run("collectgarbage('incremental', 1, 1000) "
              "setmetatable({}, {__gc = function() kill(5) end}) "
              "local t = {} for i = 1, 300 do t[string.rep('k', 50) .. i] = string.rep('v', 60) end "
              "send_message(5, t) collectgarbage('incremental', 200, 100)");
    EXPECT_EQ(r, R{});
  }
  EXPECT_EQ(id(5), nullptr) << "the finalizer ran";
  for (int i = 0; i < get_process_count(); i++)
    EXPECT_EQ(count_process_messages(get_process_by_index(i)), 0);
}

TEST_F(MessagesApi, ReadsParseTheirOwnCopy) {
  run("send_message(1, {a=1}) send_message(1, {a=2})");
  // A read inside a finalizer run by the parse of another message.
  EXPECT_EQ(run("local inner "
                "setmetatable({}, {__gc = function() inner = _read_message() end}) "
                "collectgarbage('incremental', 1, 1000) "
                "local m = _read_message() collectgarbage() collectgarbage('incremental', 200, 100) "
                "return m.a, inner and inner.a"),
            (R{"i:1", "i:2"}));
}

TEST_F(MessagesApi, ManyMessagesDrainInOrder) {
  EXPECT_EQ(run("for i = 1, 100000 do send_message(2, {i}) end"), R{});
  EXPECT_EQ(count_process_messages(id(2)), 100000);
  EXPECT_EQ(run_as(id(2), "for i = 1, 100000 do local m = _read_message() "
                          "if m[1] ~= i then return i end end return _read_message()"),
            R{});
}

TEST(MessageQueue, InterleavedSendsAndReadsStayInOrder) {
  ASSERT_TRUE(processes_init());
  process *P = create_process_from_code("", "q", "/q");
  ASSERT_NE(P, nullptr);
  int64_t next_in = 0, next_out = 0;
  std::string filler(300, 'x');
  for (int round = 0; round < 2000; round++) {
    for (int k = 0; k < 3; k++)
      send_process_message_string(P, (std::to_string(next_in++) + filler).c_str());
    for (int k = 0; k < 2; k++) {
      buffer *b = read_process_message(P, nullptr);
      ASSERT_NE(b, nullptr);
      ASSERT_EQ(std::string(reinterpret_cast<char *>(b->data)), std::to_string(next_out++) + filler);
      size_t expected = std::to_string(next_out - 1).size() + filler.size() + 1;
      ASSERT_EQ(b->length, static_cast<int32_t>(expected));
    }
  }
  EXPECT_EQ(count_process_messages(P), next_in - next_out);
  while (read_process_message(P, nullptr)) next_out++;
  EXPECT_EQ(next_out, next_in);
  EXPECT_EQ(P->message_queue->length, 0) << "an empty queue starts again at the front";
  ASSERT_TRUE(processes_init());
}

}  // namespace
