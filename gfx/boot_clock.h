// The boot clock: milliseconds since the current boot, counted in frames.
#pragma once

// (frames since the first reading after a reset) x 16.6, truncated. The
// video output ends the boot screen with it and the kernel holds user
// processes back by it.
int boot_get_time();
