// The boot clock counts frames from its first reading after a reset.
#include <gtest/gtest.h>

#include "gfx/boot_clock.h"
#include "kernel/system.h"

TEST(BootClock, CountsFramesFromTheFirstReading) {
  app = app_record{};
  app.frame_count = 10;
  EXPECT_EQ(boot_get_time(), 0);
  EXPECT_EQ(app.boot_time_base, 10);
  app.frame_count = 70;
  EXPECT_EQ(boot_get_time(), 996);  // 60 x 16.6, truncated
  app.frame_count = 10 + 76;
  EXPECT_EQ(boot_get_time(), 1261);

  // A base of 0 is unset: a reading at frame 0 leaves it for a later frame.
  app = app_record{};
  EXPECT_EQ(boot_get_time(), 0);
  app.frame_count = 3;
  EXPECT_EQ(boot_get_time(), 0);
  app.frame_count = 4;
  EXPECT_EQ(boot_get_time(), 16);

  app.frame_count = INT64_MAX / 2;  // saturates instead of wrapping
  EXPECT_EQ(boot_get_time(), INT32_MAX);
  app = app_record{};
}
