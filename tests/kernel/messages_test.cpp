// Message queues and the kernel's event messages, byte for byte.
#include "kernel/messages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kernel/process.h"
#include "platform/host_log.h"

namespace {

class Messages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(processes_init());
    for (int i = 0; i < 3; i++) ASSERT_NE(create_process_from_code("", "p", "/p"), nullptr);
    cproc = nullptr;
  }
  void TearDown() override { ASSERT_TRUE(processes_init()); }

  static std::string next(process *P) {
    buffer *b = read_process_message(P, nullptr);
    return b ? std::string(reinterpret_cast<char *>(b->data), static_cast<size_t>(b->length))
             : std::string("<none>");
  }

  // An event text with its _sent_t value replaced by "T", after checking that
  // the value lies between the clock readings around the send.
  static std::string without_time(const std::string &event, int64_t before, int64_t after) {
    size_t at = event.find("_sent_t=");
    if (at == std::string::npos) return event;
    at += 8;
    size_t end = event.find(',', at);
    int64_t t = std::strtoll(event.substr(at, end - at).c_str(), nullptr, 10);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    return event.substr(0, at) + "T" + event.substr(end);
  }
};

TEST_F(Messages, QueueIsFirstInFirstOut) {
  process *P = get_process(2);
  send_process_message_string(P, "A");
  send_process_message_string(P, "{x=1}");
  EXPECT_EQ(next(P), std::string("A\0", 2)) << "the read keeps the NUL";
  EXPECT_EQ(next(P), std::string("{x=1}\0", 6));
  EXPECT_EQ(next(P), "<none>");
}

TEST_F(Messages, ReadIntoAGivenBufferOrTheSharedOne) {
  process *P = get_process(2);
  send_process_message_string(P, "first");
  send_process_message_string(P, "2nd");
  buffer_owner into(create_buffer_from_str("leftover text"));
  EXPECT_EQ(read_process_message(P, into.get()), into.get());
  EXPECT_EQ(into->length, 6);
  EXPECT_STREQ(reinterpret_cast<char *>(into->data), "first");
  buffer *shared = read_process_message(P, nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_STREQ(reinterpret_cast<char *>(shared->data), "2nd");
  send_process_message_string(P, "3");
  EXPECT_EQ(read_process_message(P, nullptr), shared) << "one shared buffer, reused";
  EXPECT_EQ(shared->length, 2);
}

TEST_F(Messages, BufferTextEndsAtItsFirstNul) {
  process *P = get_process(2);
  buffer_owner msg(create_buffer_2(16, 0));
  bappend_bytes(msg.get(), "ab\0cd", 5);
  send_process_message(P, msg.get());
  EXPECT_EQ(next(P), std::string("ab\0", 3));
  EXPECT_EQ(next(P), "<none>");
}

TEST_F(Messages, NobodyToReceiveIsHarmless) {
  send_process_message_string(nullptr, "x");
  send_process_message(nullptr, nullptr);
  EXPECT_EQ(read_process_message(nullptr, nullptr), nullptr);
  kill_process_by_id(3);
  EXPECT_EQ(report_error("lost"), 0);
  notify("lost");
  send_drop_items_event("/ram/drop/x");
  EXPECT_EQ(next(get_process(2)), "<none>");
}

TEST_F(Messages, ManyMessagesGrowTheQueue) {
  process *P = get_process(2);
  for (int i = 0; i < 5000; i++) send_process_message_string(P, std::to_string(i).c_str());
  for (int i = 0; i < 5000; i++) ASSERT_EQ(next(P), std::to_string(i) + '\0');
  EXPECT_EQ(next(P), "<none>");
}

TEST_F(Messages, ReportErrorText) {
  ASSERT_NE(create_process_from_code("", "four", "/apps/four"), nullptr);
  process *five = create_process_from_code("", "five", "/system/five.lua");
  cproc = five;
  int64_t before = host_ms_since_start();
  EXPECT_EQ(report_error("line 1\nsaid \"no\" \\ \x7f\xc8."), 0);
  int64_t after = host_ms_since_start();
  EXPECT_EQ(without_time(next(get_process(3)), before, after),
            std::string(
                "{event=\"report_error\",content=\"line 1\\010said \\034no\\034 \\092 \x7f\\200.\","
                "_from=5,_sent_t=T,_flags=1}") +
                '\0');

  cproc = nullptr;
  before = host_ms_since_start();
  report_error(nullptr);
  after = host_ms_since_start();
  EXPECT_EQ(
      without_time(next(get_process(3)), before, after),
      std::string("{event=\"report_error\",content=\"unknown error\",_from=0,_sent_t=T,_flags=0}") +
          '\0');
}

TEST_F(Messages, NotificationAndDropTexts) {
  notify("saved \"cart\"\tok");
  send_drop_items_event("/ram/drop/my_file_1_.txt");
  notify(nullptr);
  process *display = get_process(3);
  EXPECT_EQ(
      next(display),
      std::string("{event=\"user_notification\",content=\"saved \\034cart\\034\\009ok\"}") + '\0');
  EXPECT_EQ(next(display), std::string("{event=\"drop_items\",items={{tuk_type=\"file_reference\","
                                       "fullpath=\"/ram/drop/my_file_1_.txt\"}}}") +
                               '\0');
  EXPECT_EQ(next(display), std::string("{event=\"user_notification\",content=\"\"}") + '\0');
}

}  // namespace
