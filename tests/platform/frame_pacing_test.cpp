// Frame pacing rules.
#include <gtest/gtest.h>

#include <vector>

#include "platform/frame_pacing.h"

TEST(FramePacing, HeadlessPausesOnEveryFourthFrameOnly) {
  int64_t frame = 0;
  std::vector<int> pausing;
  for (int f = 1; f <= 13; f++)
    if (headless_frame_pauses(&frame)) pausing.push_back(f);
  EXPECT_EQ(pausing, (std::vector<int>{4, 8, 12}));
}

TEST(FramePacing, BatterySaverSlowsIdleFramesAfterBoot) {
  config_record c{};
  app_record a{};
  c.battery_saver = 1;
  a.boot_finished = 1;
  a.last_activity_ms = 1000;
  EXPECT_FALSE(is_slow_frame(c, a, 1500));  // exactly 500 ms idle is not over 500
  EXPECT_TRUE(is_slow_frame(c, a, 1501));
  EXPECT_EQ(frame_budget_ms(is_slow_frame(c, a, 1501)), 32);
  a.boot_finished = 0;
  EXPECT_FALSE(is_slow_frame(c, a, 99999));
  a.boot_finished = 1;
  c.battery_saver = 0;
  EXPECT_FALSE(is_slow_frame(c, a, 99999));
  EXPECT_EQ(frame_budget_ms(false), 16);
}
