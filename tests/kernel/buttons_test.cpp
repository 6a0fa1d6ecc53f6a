// The buttons through the script API: btn, btnp with its repeats, the
// per-frame sample and its RAM copy, cancelling and the analogue limit, and
// waiting for release. The players' values come from a table of the test's.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/input.h"
#include "script_api_fixture.h"

namespace {

using namespace script_api_test;

uint8_t held[button_players][buttons_per_player];

uint32_t table_source(int player, uint8_t out[buttons_per_player]) {
  memcpy(out, held[player], buttons_per_player);
  return 0;
}

class Buttons : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    memset(held, 0, sizeof held);
    saved_source = button_source;
    button_source = table_source;
  }
  void TearDown() override {
    button_source = saved_source;
    ScriptApi::TearDown();
  }

  // One frame: the sample, then the script's reads.
  static R frame(const std::string &reads) { return run("_update_buttons(true) return " + reads); }

  uint32_t (*saved_source)(int, uint8_t *) = nullptr;
};

TEST_F(Buttons, BtnpRepeatsAfterTheDelayThenEveryInterval) {
  struct repeat_case {
    const char *name;
    int delay_byte, interval_byte;
    std::string pattern;  // one character per frame of holding: 1 = btnp true
  };
  auto zeros = [](int n) { return std::string(size_t(n), '0'); };
  const std::vector<repeat_case> cases = {
      {"defaults: 30, then every 8th", 0, 0,
       "1" + zeros(29) + "1" + zeros(7) + "1" + zeros(7) + "1"},
      {"255 delay never repeats", 255, 0, "1" + zeros(60)},
      {"delay 3, 255 interval: one repeat", 3, 255, "1001" + zeros(20)},
      {"delay 1, interval 2", 1, 2, "11010101"},
  };
  for (const repeat_case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(run("_update_buttons(false) _update_buttons(true)").empty());  // nothing held
    run("poke(0x5F5C, " + std::to_string(c.delay_byte) + ", " + std::to_string(c.interval_byte) + ")");
    held[0][4] = 255;
    std::string got;
    for (size_t i = 0; i < c.pattern.size(); i++)
      got += frame("btnp(4)") == R{"b:true"} ? '1' : '0';
    EXPECT_EQ(got, c.pattern);
    held[0][4] = 0;
    frame("btnp(4)");
  }
}

TEST_F(Buttons, ValuesMasksAndLimits) {
  struct value_case {
    const char *name;
    std::vector<std::vector<int>> set;  // {player, button, value}
    std::string reads;
    R expected;
  };
  const std::vector<value_case> cases = {
      {"one button", {{0, 4, 255}}, "btn(4), btn(4, 0), btn(5)", {"i:255", "i:255", "b:false"}},
      {"left and right cancel", {{0, 0, 255}, {0, 1, 255}}, "btn(0), btn(1)", {"b:false", "b:false"}},
      {"up and down cancel on the right stick", {{2, 10, 200}, {2, 11, 90}}, "btn(10, 2), btn(11, 2)",
       {"b:false", "b:false"}},
      {"full diagonal comes back to the circle", {{0, 1, 255}, {0, 2, 255}}, "btn(1), btn(2)",
       {"i:181", "i:181"}},
      {"short diagonal stays", {{0, 1, 100}, {0, 2, 100}}, "btn(1), btn(2)", {"i:100", "i:100"}},
      {"btn() of player 1 button 2 is bit 10", {{1, 2, 255}}, "btn(), btnp()", {"i:1024", "i:1024"}},
      {"player 7 button 7 is bit 63", {{7, 7, 64}}, "btn() == math.mininteger, btnp() == math.mininteger",
       {"b:true", "b:true"}},
      {"buttons 8-15 are not in the mask", {{0, 8, 255}}, "btn(), btn(8)", {"i:0", "i:255"}},
      {"any value is in btn's mask, 64 and up in btnp's", {{0, 0, 1}, {0, 3, 128}, {2, 7, 64}, {5, 1, 63}},
       "btn() == 1 | 1 << 3 | 1 << 23 | 1 << 41, btnp() == 1 << 3 | 1 << 23", {"b:true", "b:true"}},
      {"below 64 is held but not pressed", {{0, 5, 63}}, "btn(5), btnp(5), btnp()",
       {"i:63", "b:false", "i:0"}},
      {"out of range", {{0, 0, 255}}, "btn(16), btn(0, 8), btn(-2), btnp(16), btnp(0, -1)",
       {"b:false", "b:false", "b:false", "b:false", "b:false"}},
      {"string and float arguments", {{3, 12, 77}}, "btn('12', 3.7), btn(12.9, '3')", {"i:77", "i:77"}},
      {"RAM holds the values before cancelling", {{0, 0, 255}, {0, 1, 255}, {1, 15, 9}},
       "peek(0x5580), peek(0x5581), peek(0x5580 + 31)", {"i:255", "i:255", "i:9"}},
  };
  for (const value_case &c : cases) {
    SCOPED_TRACE(c.name);
    memset(held, 0, sizeof held);
    run("_update_buttons(false) _update_buttons(true)");
    for (const auto &s : c.set) held[s[0]][s[1]] = uint8_t(s[2]);
    EXPECT_EQ(frame(c.reads), c.expected);
  }
}

TEST_F(Buttons, HeldButtonsWaitForReleaseAfterLosingInput) {
  held[0][4] = 255;
  EXPECT_EQ(frame("btn(4), btnp(4)"), (R{"i:255", "b:true"}));
  // Input lost while held, and back: the held button is ignored until released.
  EXPECT_EQ(run("_update_buttons(false) return btn(4), peek(0x5584)"), (R{"b:false", "i:255"}));
  EXPECT_EQ(frame("btn(4), btnp(4)"), (R{"b:false", "b:false"}));
  EXPECT_EQ(run("return peek(0x5584)"), (R{"i:255"})) << "the RAM copy shows the host's value";
  held[0][4] = 0;
  EXPECT_EQ(frame("btn(4)"), (R{"b:false"}));
  held[0][4] = 255;
  EXPECT_EQ(frame("btn(4), btnp(4)"), (R{"i:255", "b:true"}));

  // _signal(23): up at once and until released; previous and counters kept.
  EXPECT_EQ(run("_signal(23) return btn(4), btnp(4)"), (R{"b:false", "b:false"}));
  EXPECT_EQ(frame("btn(4)"), (R{"b:false"}));
  held[0][4] = 0;
  frame("btn(4)");
  held[0][4] = 255;
  EXPECT_EQ(frame("btnp(4)"), (R{"b:true"}));
}

TEST_F(Buttons, AnActiveSampleIsCharged) {
  for (const auto &[args, cycles] : std::vector<std::pair<std::string, int64_t>>{
           {"true", 64}, {"1", 64}, {"false", 0}, {"", 0}}) {
    EXPECT_EQ(charge_of("_update_buttons", args), cycles) << args;
  }
}

TEST_F(Buttons, ANeverSampledProcessSeesNothing) {
  held[0][4] = 255;
  EXPECT_EQ(run("return btn(), btn(4), btnp(4), btnp()"), (R{"i:0", "b:false", "b:false", "i:0"}));
}

}  // namespace
