// The boot clock.
#include "gfx/boot_clock.h"

#include "kernel/numbers.h"
#include "kernel/system.h"

int boot_get_time() {
  // A base of 0 counts as unset, so the first reading at a non-zero frame count sets it.
  if (app.boot_time_base == 0) app.boot_time_base = app.frame_count;
  return saturate_i32(trunc_to_i64(double(app.frame_count - app.boot_time_base) * 16.6));
}
