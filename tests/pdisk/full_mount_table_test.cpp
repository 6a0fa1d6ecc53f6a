// A script that fills the mount table (distinct mounts, and the desktop
// mounted again and again) does not slow another process's path calls: a
// child sliced at 0.9 each frame, looping on fstat, cp, fetch and store,
// keeps the pace it has beside an empty table, in the same run.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pdisk/pfile.h"
#include "tests/frame_loop.h"

namespace {

// The system's own two processes; the root fills the table (FILL), then
// slices the child at 0.9 each frame.
const std::string boot_code = frame_loop::sliced_child_boot("FILL\nfilled = 1");

const char *child_code = R"lua(
store("/ram/x.txt", "x")
calls = 0
while true do
  fstat("/ram/x.txt")
  cp("/ram/x.txt", "/ram/y.txt")
  fetch("/ram/x.txt")
  store("/ram/x.txt", "x")
  calls = calls + 1
end
)lua";

// This thread's processor time: a loaded machine's other work stays out.
int64_t thread_cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

class FullMountTable : public testing::Test {
 protected:
  void TearDown() override { frame_loop::end(); }

  // The processor time a frame takes once the table is filled, and the calls
  // the child made in those frames.
  std::pair<int64_t, int64_t> pace(const std::string &fill) {
    std::string code = boot_code;
    code.replace(code.find("FILL"), 4, fill);
    frame_loop::boot({{"boot.lua", code}}, {{"apps/child.lua", child_code}});
    frame_loop::run({.frames = 100, .until = [] { return frame_loop::global_integer(1, "filled") == 1; }});
    records = pmount_table.size();
    desktops = std::count_if(pmount_table.begin(), pmount_table.end(),
                             [](const pmount &m) { return m.mount_point == "/desktop/host"; });
    int64_t before = frame_loop::global_integer(4, "calls").value_or(0);
    int64_t from = thread_cpu_ns();
    frame_loop::figures f = frame_loop::run({.frames = 40, .host_seconds = 3});
    int64_t spent = thread_cpu_ns() - from;
    int64_t calls = frame_loop::global_integer(4, "calls").value_or(0) - before;
    return {spent / f.frames(), calls};
  }

  size_t records = 0;
  int64_t desktops = 0;
};

TEST_F(FullMountTable, DoesNotSlowAnotherProcesssPathCalls) {
  auto [control_ns, control_calls] = pace("");
  size_t control_records = records;
  auto [full_ns, full_calls] =
      pace("for i = 1, 2100 do mount('/m/' .. i, '/ram') end for i = 1, 100 do _signal(65) end");
  EXPECT_GE(records, size_t(pmount_script_refuse_at));
  EXPECT_LT(control_records, size_t(10));
  EXPECT_EQ(desktops, 1);  // mounted once, however often asked
  EXPECT_GT(control_calls, 0);
  EXPECT_GT(full_calls, 0);
  // Each resolution once compared the path with every mount: these frames
  // took some twenty times as long.
  EXPECT_LE(full_ns, 4 * control_ns) << "control " << control_ns << " ns a frame, full " << full_ns;
}

}  // namespace
