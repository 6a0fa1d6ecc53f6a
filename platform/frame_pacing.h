// Frame pacing: each frame ends on the host clock.
#pragma once

#include <cstdint>

#include "kernel/system.h"

// The host's milliseconds since SDL started.
int64_t os_get_time();

// Headless frames are unpaced but for a 1 ms pause every fourth frame: counts
// the frame and says whether this one pauses.
bool headless_frame_pauses(int64_t *headless_frame);
// A battery-saver frame: idle for over 500 ms after the boot has finished.
bool is_slow_frame(const config_record &c, const app_record &a, int64_t now_ms);
// What a frame may take: 16 ms, 32 ms when slow.
int64_t frame_budget_ms(bool slow);

// Presents the frame and paces the loop (at most 100 pauses of 1 ms).
void end_frame();
