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

// The video output's frame builder: the 480 x 270 ARGB picture of this frame
// (rows 480 pixels apart), or null when it gives none.
using picture_builder = const uint32_t *(*)();

// Presents the frame that build_picture gives (never built in headless mode)
// and paces the loop (at most 100 pauses of 1 ms).
void end_frame(picture_builder build_picture = nullptr);
