// A GIF recording in the frame loop (tests/frame_loop.h), the picture built
// every frame as a window builds it: a full-screen recording at scale 4 run
// into its memory cap adds to no frame much more than it adds to a typical
// one, measured against the same userland without a recording, and its file
// is written whole.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gfx/gif_memory.h"
#include "tests/frame_loop.h"

namespace {

// The display process draws a scene that moves every frame; the root slices
// it and, with RECORD set, starts a full-screen recording at scale 4.
const char *boot_code = R"lua(
local display = [[
  local vm = userdata("u8", 480, 270)
  _map_ram(vm, 0x10000)
  _set_draw_target(vm)
  local t = 0
  while true do
    cls(1)
    for i = 0, 15 do
      local x = (t * 3 + i * 29) % 440
      rectfill(x, i * 16, x + 40, i * 16 + 12, i + 2)
    end
    t += 1
    flip()
  end
]]
assert(_create_process_from_code("while true do flip() end", "wm", "/system/wm.lua") == 2)
assert(_create_process_from_code(display, "display", "/system/display.lua") == 3)
_signal(37)
_signal(65)
if RECORD then
  for i, w in ipairs({0, 0, 480, 270, 4, 0, 0, 1}) do poke2(0x40 + 2 * (i - 1), w) end
  memset(0x60, 0, 64)
  poke(0x60, ord("clip", 1, 4))
  _signal(18)
end
while true do
  _run_process_slice(3, 0.5)
  flip()
end
)lua";

class GifFrameLoop : public testing::Test {
 protected:
  void TearDown() override {
    frame_loop::end();
    set_gif_memory_limit(gif_memory_cap);
  }
};

// The host processor time of each frame of a run (the harness times frames on
// the wall clock, which a loaded machine stretches at random), from the second
// frame: the first boots the userland (processes made, the desktop mounted,
// the recording's file made), slower in the first boot of the test program
// than in the next.
struct frame_cpu {
  std::vector<int64_t> ns;
  bool booted = false;
  int64_t last = now();
  static int64_t now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
  }
  void frame_done() {
    int64_t t = now();
    if (booted) ns.push_back(t - last);
    booted = true;
    last = t;
  }
  int64_t longest() const { return *std::max_element(ns.begin(), ns.end()); }
  int64_t median() const {
    std::vector<int64_t> v = ns;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  }
};

TEST_F(GifFrameLoop, ARecordingRunIntoItsCapSpreadsItsWorkOverFrames) {
  // A small cap keeps the sanitised run short: the end is the same whatever
  // the cap, and at this one an end done at once adds hundreds of times what
  // a frame of the recording typically adds.
  set_gif_memory_limit(int64_t{40} << 20);

  frame_loop::boot({{"boot.lua", std::string("RECORD = true\n") + boot_code}});
  bool started = false;
  int recorded = 0, finishing = 0;
  frame_cpu rec_cpu;
  frame_loop::figures rec = frame_loop::run({.frames = 2000, .until = [&] {
    rec_cpu.frame_done();
    started |= app.gif_recording != 0;
    if (app.gif_recording) recorded = gif_recorded_frames();
    if (started && !app.gif_recording && gif_recording_open()) finishing++;
    return started && !gif_recording_open();
  }, .build_picture = true});
  ASSERT_EQ(rec.stopped, frame_loop::stop::condition) << "the recording ended and was written";
  EXPECT_GE(recorded, 16) << "run into its cap";
  EXPECT_GE(finishing, 2) << "finished over frames";
  std::filesystem::path file;
  for (const auto &e : std::filesystem::recursive_directory_iterator(hostile_api::sandbox_root + "/desktop"))
    if (e.path().filename() == "clip.gif") file = e.path();
  ASSERT_FALSE(file.empty());
  std::ifstream in(file, std::ios::binary);
  std::string gif(std::istreambuf_iterator<char>(in), {});
  ASSERT_GT(gif.size(), 800u);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(gif.back(), ';');

  // The control: the same userland as long, without the recording.
  frame_loop::boot({{"boot.lua", boot_code}});
  frame_cpu control_cpu;
  frame_loop::figures control = frame_loop::run({.frames = rec.frames(), .until = [&] {
    control_cpu.frame_done();
    return false;
  }, .build_picture = true});

  // What the recording adds to a frame: at most, and in the middle frame.
  double most = double(rec_cpu.longest() - control_cpu.longest()) / 1e6;
  double typical = double(rec_cpu.median() - control_cpu.median()) / 1e6;
  printf("recording: %lld frames (%d images, %d finishing), longest %.2f ms (processor: %.2f ms, middle %.2f ms); "
         "control: longest %.2f ms (processor: %.2f ms, middle %.2f ms); added at most %.2f ms, typically %.2f ms\n",
         static_cast<long long>(rec.frames()), recorded, finishing, double(rec.longest_ns()) / 1e6,
         double(rec_cpu.longest()) / 1e6, double(rec_cpu.median()) / 1e6, double(control.longest_ns()) / 1e6,
         double(control_cpu.longest()) / 1e6, double(control_cpu.median()) / 1e6, most, typical);
  // Every frame of the recording encodes a bounded share (those that record
  // also build their image), so its longest frame adds a few times what its
  // middle frame adds.
  ASSERT_GT(typical, 0.0);
  EXPECT_LT(most, 10 * typical);
}

}  // namespace
