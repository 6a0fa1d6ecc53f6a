// The frame loop run in process (tests/frame_loop.h): each frame the root's
// slice of a child gives it the share it names, whatever the child does; each
// boot starts from a fresh world; only a loop that builds its picture ends the
// boot screen; an exit request stops the run instead of the test program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/frame_loop.h"

namespace {

// The system's own two processes, then a child whose code is on the drive,
// sliced at 0.9 each frame; `frames` counts the root's frames.
const std::string boot_code = frame_loop::sliced_child_boot("frames = 0", "  frames = frames + 1");

class FrameLoop : public testing::Test {
 protected:
  void TearDown() override { frame_loop::end(); }
};

TEST_F(FrameLoop, AChildSlicedAtNineTenthsSpendsThemEveryFrameOnlyWhenItLoops) {
  constexpr int64_t share = int64_t{frame_cycle_budget} * 9 / 10;
  struct userland {
    const char *child;
    int64_t least, most;  // the child's cycles in each frame
  } cases[] = {
      {"while true do flip() end", 0, frame_cycle_budget / 100},  // the control
      {"local n = 0 while true do n = n + 1 end", share, share + 64},
  };
  for (const userland &u : cases) {
    SCOPED_TRACE(u.child);
    frame_loop::boot({{"boot.lua", boot_code}}, {{"apps/child.lua", u.child}});
    std::vector<int64_t> spent;  // the child's cycles, frame by frame
    frame_loop::figures f = frame_loop::run({.frames = 30, .until = [&] {
      process *child = get_process(4);
      spent.push_back(child ? child->cycles_frame : -1);
      return false;
    }});
    EXPECT_EQ(f.stopped, frame_loop::stop::frames);
    ASSERT_EQ(f.frames(), 30);
    EXPECT_EQ(app.frame_count, 30);
    // A process from id 4 up is sliced from the first frame, once a frame.
    EXPECT_EQ(frame_loop::global_integer(1, "child"), 4);
    EXPECT_EQ(frame_loop::global_integer(1, "frames"), 30);
    for (size_t i = 0; i < spent.size(); i++) {
      EXPECT_GE(spent[i], u.least) << "frame " << i;
      EXPECT_LE(spent[i], u.most) << "frame " << i;
    }
    EXPECT_GT(f.frames_per_second(), 0);
    EXPECT_LE(f.longest_ns(), f.total_ns());
  }
}

TEST_F(FrameLoop, OnlyALoopThatBuildsItsPictureEndsTheBootScreen) {
  frame_loop::boot({{"boot.lua", boot_code}}, {{"apps/child.lua", "while true do flip() end"}});
  frame_loop::run({.frames = 200});
  EXPECT_EQ(app.boot_finished, 0);

  // The boot clock counts frames: 2200 ms of it take some 133 of them.
  frame_loop::boot({{"boot.lua", boot_code}}, {{"apps/child.lua", "while true do flip() end"}});
  frame_loop::figures f = frame_loop::run(
      {.frames = 200, .until = [] { return app.boot_finished != 0; }, .build_picture = true});
  EXPECT_EQ(f.stopped, frame_loop::stop::condition);
  EXPECT_GE(f.frames(), 130);
  EXPECT_LE(f.frames(), 140);
}

TEST_F(FrameLoop, AnExitRequestStopsTheRunBeforeItIsServed) {
  frame_loop::boot({{"boot.lua", "for i = 1, 5 do flip() end _signal(33) while true do flip() end"}});
  frame_loop::figures f = frame_loop::run({.frames = 100});
  EXPECT_EQ(f.stopped, frame_loop::stop::exit_requested);
  EXPECT_EQ(f.frames(), 6);
  EXPECT_EQ(app.exit_requested, 1);
}

}  // namespace
