// The audio owner changing back and forth keeps the frame loop's pace: a root
// that alternates note() with tiny slices of a child that also plays makes
// the mirror change hands over and over, and each change is paid for by the
// process that asks for it. Beside it, measured in the same run: a control
// root that does the same without audio calls, and an empty loop.
#include <gtest/gtest.h>

#include <string>

#include "tests/frame_loop.h"

namespace {

// The system's own two processes, then a child on the drive; the root runs
// `root` (which never flips: it spends its whole share each frame).
std::string boot_code(const char *root) {
  return frame_loop::system_processes + R"lua(
child = _create_process_from_code(fetch("/apps/child.lua"), "child", "/apps/child.lua")
)lua" + root;
}

class OwnerChangePace : public testing::Test {
 protected:
  void TearDown() override { frame_loop::end(); }
};

TEST_F(OwnerChangePace, PlayingInTurnWithAChildKeepsTheFrameLoopsPace) {
  struct userland {
    const char *root, *child;
    double fps = 0;
  } empty{"while true do x = 1 end", "while true do flip() end"},
      control{"while true do x = 1 _run_process_slice(child, 0.0001) end",
              "plays = 0 while true do x = 1 plays = plays + 1 end"},
      playing{"while true do note(60) _run_process_slice(child, 0.0001) end",
              "plays = 0 while true do note(60) plays = plays + 1 end"};
  for (userland *u : {&empty, &control, &playing}) {
    SCOPED_TRACE(u->root);
    frame_loop::boot({{"boot.lua", boot_code(u->root)}}, {{"apps/child.lua", u->child}});
    frame_loop::figures f = frame_loop::run({.frames = 60, .host_seconds = 2});
    ASSERT_GE(f.frames(), 1);
    if (u != &empty)
      EXPECT_GT(frame_loop::global_integer(4, "plays").value_or(0), 0) << "the child ran";
    u->fps = f.frames_per_second();
  }
  // Unmended, every change copied 16 MB uncharged: a frame took seconds.
  const std::string figures = "frames/s: empty loop " + std::to_string(empty.fps) + ", control " +
                              std::to_string(control.fps) + ", playing " + std::to_string(playing.fps);
  EXPECT_GT(playing.fps * 4, control.fps) << figures;
  EXPECT_GT(playing.fps * 10, empty.fps) << figures;
}

}  // namespace
