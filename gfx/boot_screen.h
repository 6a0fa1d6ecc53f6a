// The boot screen: three frames that draw themselves along the screen's edges
// and vanish, a version line, a notice line and a status line, drawn by a
// private process record (the boot process) into a bitmap of its own.
#pragma once

#include <cstdint>

struct process;

constexpr int boot_screen_width = 480;
constexpr int boot_screen_height = 270;

// 64 colour words; entries 32-63 are 0.
extern const uint32_t boot_palette[64];

// The host's millisecond clock as the status line reads it (time since the
// host layer started; a reboot does not reset it). Tests swap it.
extern int64_t (*boot_host_clock)();

// Draws one boot screen frame from the boot clock and returns the boot
// process, whose RAM the video output then shows. The current process is the
// boot process while drawing and is restored before returning. Null only when
// the boot process could not be given its RAM.
process *draw_boot();

// The reset hook of every boot and reboot: the boot screen keeps no per-boot
// state (its clock lives in app), so there is nothing to reset.
void boot_init();

// The easing of the frames: 2v^2 below one half, 1 - 2(1 - v)^2 above.
double nll(double v);

// Writes the visible stretch, between path fractions tail and head, of the path
// a -> b -> c into the w x h bytes at pixels (both segments start with the same
// colour phase). Pixels outside the bitmap are skipped.
struct boot_point {
  int x, y;
};
void draw_path(uint8_t *pixels, int w, int h, boot_point a, boot_point b, boot_point c, double tail,
               double head, int phase, bool style);
