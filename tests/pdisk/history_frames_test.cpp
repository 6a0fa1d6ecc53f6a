// A script switches the file history on over a drive of many small files:
// the day's snapshot goes on over frames, none of them much longer than the
// frames of a control that stores one small file a frame, and at its end the
// history holds every file of the drive once. Under the sanitiser the drive is
// smaller; the mechanism is the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>

#include "pdisk/murmur3.h"
#include "pdisk/yorelog.h"
#include "tests/frame_loop.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int drive_files = 1000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int drive_files = 1000;
#else
constexpr int drive_files = 12000;
#endif
#else
constexpr int drive_files = 12000;
#endif

// 2024-05-10 09:00:00 UTC: no midnight falls within the run.
time_t fixed_now() { return 1715331600; }

const char *hostile_boot = R"lua(
_apply_system_settings({ yorelog = true })
while true do flip() end
)lua";

const char *control_boot = R"lua(
local plain = '--[[tuk_format="raw", metadata_format="none"]]'
mkdir("/control")
local n = 0
while true do
  n = n + 1
  store("/control/c" .. (n % 64) .. ".txt", "control " .. n, plain)
  flip()
end
)lua";

class HistoryFrames : public testing::Test {
 protected:
  void SetUp() override { yorelog_clock = fixed_now; }
  void TearDown() override {
    yorelog_close();
    frame_loop::end();
    yorelog_clock = [] { return time(nullptr); };
  }
};

TEST_F(HistoryFrames, SwitchingTheHistoryOnOverManyFilesKeepsEveryFrameShort) {
  frame_loop::boot({{"boot.lua", hostile_boot}});
  // Placed before the first frame, so the snapshot finds them all.
  std::string drive = hovi_prefix_with_appdata_path("drive");
  std::unordered_map<std::string, std::string> expected; // path -> hash
  for (int i = 0; i < drive_files; i++) {
    std::string rel = "docs/d" + std::to_string(i / 1000) + "/note" + std::to_string(i) + ".txt";
    std::string text = "note " + std::to_string(i) + "\n";
    std::filesystem::create_directories(std::filesystem::path(drive + "/" + rel).parent_path());
    std::ofstream(drive + "/" + rel, std::ios::binary) << text;
    expected["/" + rel] = murmur3_hex(text.data(), text.size());
  }
  // The day's log is made in the first frame; the snapshot ends when no step
  // of it is left.
  std::string log_name = hovi_prefix_with_appdata_path("yorelog/2024-05/10.log");
  frame_loop::figures hostile =
      frame_loop::run({.frames = 40 * drive_files, .host_seconds = 900, .until = [&] {
                         return !yorelog_snapshot_pending() && std::filesystem::exists(log_name);
                       }});
  ASSERT_EQ(hostile.stopped, frame_loop::stop::condition) << "the snapshot did not end";
  // A frame takes a bounded part of the snapshot.
  EXPECT_GT(hostile.frames(), drive_files / yorelog_step_files / 2);

  // Every file once in today's log, with the hash of its bytes.
  std::ifstream in(log_name, std::ios::binary);
  std::ostringstream log;
  log << in.rdbuf();
  std::istringstream lines(log.str());
  int held = 0, wrong = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 36 || !line.starts_with(": ")) continue;
    auto it = expected.find(line.substr(35));
    if (it == expected.end()) continue;
    if (it->second == line.substr(2, 32)) {
      held++;
      it->second = "(held)";  // a second line for it counts as wrong
    } else {
      wrong++;
    }
  }
  EXPECT_EQ(held, drive_files);
  EXPECT_EQ(wrong, 0);

  // The control stores a small file each frame, as many frames: the same
  // disk, the same kind of host write in a frame.
  frame_loop::boot({{"boot.lua", control_boot}});
  frame_loop::figures control =
      frame_loop::run({.frames = std::clamp<int64_t>(hostile.frames(), 300, 3000)});
  std::printf("history on over %d files: %lld frames, longest %.2f ms; control longest %.2f ms\n",
              drive_files, static_cast<long long>(hostile.frames()), hostile.longest_ns() / 1e6,
              control.longest_ns() / 1e6);
  // One synced write can stall on a busy disk in either run: the bound
  // allows one such stall beside the control's longest frame. Taken in one
  // frame, the snapshot is that frame: it would hold nearly all of the run.
  constexpr int64_t one_stalled_write_ns = 50'000'000;
  EXPECT_LT(hostile.longest_ns(), 8 * control.longest_ns() + one_stalled_write_ns)
      << "longest frame " << hostile.longest_ns() / 1e6 << " ms against the control's "
      << control.longest_ns() / 1e6 << " ms";
  EXPECT_LT(hostile.longest_ns(), hostile.total_ns() / 10) << "one frame held the snapshot";
}

}  // namespace
