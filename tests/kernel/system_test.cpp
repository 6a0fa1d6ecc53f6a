// Start-up pieces: the data pack reader, the command line, settings and the
// frame's reboot and exit rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/system.h"
#include "kernel/system_api.h"
#include "tests/test_bytes.h"

namespace {

// Reads records from bytes through a real FILE, as start-up does.
std::vector<std::string> read_records(const std::string &bytes) {
  FILE *f = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), f);
  rewind(f);
  std::vector<buffer *> recs = read_dat_records(f);
  fclose(f);
  std::vector<std::string> out;
  for (buffer *b : recs) {
    EXPECT_EQ(b->position, 0);
    EXPECT_GE(b->capacity, uint64_t(b->length) + 1);
    out.emplace_back(reinterpret_cast<char *>(b->data), size_t(b->length));
    destroy_buffer(b);
  }
  return out;
}

TEST(DataPack, RecordsInFileOrder) {
  auto recs = read_records(be32(5) + "hello" + be32(0) + be32(3) + "abc");
  EXPECT_EQ(recs, (std::vector<std::string>{"hello", "", "abc"}));
}

TEST(DataPack, TruncatedRecordIsKeptEmptyAndEndsTheList) {
  auto recs = read_records(be32(2) + "ok" + be32(10) + "short");
  EXPECT_EQ(recs, (std::vector<std::string>{"ok", ""}));
  // A header cut short ends the list too.
  EXPECT_EQ(read_records(be32(1) + "x" + std::string("\0\0", 2)), std::vector<std::string>{"x"});
}

TEST(DataPack, LengthAboveLimitEndsTheListQuietly) {
  auto recs = read_records(be32(1) + "a" + be32(0x2000001) + "whatever" + be32(1) + "b");
  EXPECT_EQ(recs, std::vector<std::string>{"a"});
  // The limit itself is allowed: announced but cut short, it reads as empty.
  EXPECT_EQ(read_records(be32(0x2000000) + "xyz"), std::vector<std::string>{""});
}

TEST(DataPack, StopsAtSixtyFourRecords) {
  std::string bytes;
  for (int i = 0; i < 70; i++) bytes += be32(1) + char('A' + i % 26);
  auto recs = read_records(bytes);
  ASSERT_EQ(recs.size(), size_t(dat_file_max));
  EXPECT_EQ(recs[63], "L");
}

TEST(DataPack, GetDatFileResetsPositionAndChecksRange) {
  int saved_count = dat_files;
  buffer *saved_first = dat_file[0];
  dat_file[0] = create_buffer_from_str("shared");
  dat_files = 1;
  dat_file[0]->position = 4;
  EXPECT_EQ(get_dat_file(0), dat_file[0]);
  EXPECT_EQ(dat_file[0]->position, 0);
  EXPECT_EQ(get_dat_file(1), nullptr);
  EXPECT_EQ(get_dat_file(-1), nullptr);
  destroy_buffer(dat_file[0]);
  dat_file[0] = saved_first;
  dat_files = saved_count;
}

// Runs the command-line scan on a fresh default config.
void scan(std::vector<const char *> args) {
  set_default_config();
  args.insert(args.begin(), "kestrune");
  process_arguments(int(args.size()), const_cast<char **>(args.data()));
}

TEST(CommandLine, Examples) {
  std::string home = testing::TempDir() + "kestrune_home_arg";
  scan({"-home", home.c_str(), "start.lua"});
  EXPECT_EQ(config.home_path, home);
  EXPECT_EQ(config.start_path, "start.lua");
  EXPECT_EQ(config.headless, 0);

  scan({"-foo", "start.lua"});
  EXPECT_EQ(config.start_path, "");

  scan({"-x", "start.lua"});
  EXPECT_EQ(config.headless, 1);
  EXPECT_EQ(config.start_path, "start.lua");

  scan({"-home", "-x"});
  EXPECT_EQ(config.headless, 1);
  EXPECT_EQ(config.home_path, "");

  scan({"run.lua", ">", "out.txt"});
  EXPECT_EQ(config.start_path, "run.lua");

  scan({"-use_system_rom", "a.lua", "b.lua"});
  EXPECT_EQ(config.start_path, "b.lua");

  std::string long_path(2000, 'p');
  scan({long_path.c_str()});
  EXPECT_EQ(config.start_path.size(), 1023u);
}

TEST(Settings, DefaultsAndClamps) {
  set_default_config();
  EXPECT_EQ(config.fullscreen, 1);
  EXPECT_EQ(config.pixel_perfect, 1);
  EXPECT_EQ(config.volume, 192);
  EXPECT_EQ(config.network_access, 1);
  EXPECT_EQ(config.stretch, 0);

  kestrune_apply_setting("volume", 300);
  EXPECT_EQ(config.volume, 256);
  kestrune_apply_setting("volume", -4);
  EXPECT_EQ(config.volume, 0);
  kestrune_apply_setting("deadzone", 1LL << 40);  // saturates rather than wrapping to 0
  EXPECT_EQ(config.deadzone, 256);
  kestrune_apply_setting("pixel_scale", -(1LL << 40));
  EXPECT_EQ(config.pixel_scale, INT32_MIN);
  kestrune_apply_setting("stretch", 1LL << 32);  // non-zero in 64 bits is on
  EXPECT_EQ(config.stretch, 1);
  kestrune_apply_setting("no_such_key", 5);
  EXPECT_EQ(config.volume, 0);
}

struct lua_closer {
  void operator()(lua_State *L) const { lua_close(L); }
};

// Calls _apply_system_settings on a table written in Lua.
void apply_from_lua(const char *table_expr) {
  std::unique_ptr<lua_State, lua_closer> L(luaL_newstate());
  lua_pushcfunction(L.get(), lua54__apply_system_settings);
  lua_setglobal(L.get(), "_apply_system_settings");
  std::string code = std::string("_apply_system_settings(") + table_expr + ")";
  ASSERT_EQ(luaL_dostring(L.get(), code.c_str()), LUA_OK) << lua_tostring(L.get(), -1);
}

TEST(Settings, FromScriptTable) {
  set_default_config();
  video_hash0 = -1;
  apply_from_lua("{volume = 300, fullscreen = false}");
  EXPECT_EQ(config.volume, 256);
  EXPECT_EQ(config.fullscreen, 0);
  EXPECT_EQ(video_hash0, video_settings_hash());
  EXPECT_EQ(video_hash0, 2);  // pixel_perfect only

  apply_from_lua("{volume = 1.5}");
  EXPECT_EQ(config.volume, 0);
  apply_from_lua("{volume = 64.0, stretch = 'yes', [1] = 5}");
  EXPECT_EQ(config.volume, 64);
  EXPECT_EQ(config.stretch, 0);
  apply_from_lua("{pixel_scale = 1e300, deadzone = 0/0}");
  EXPECT_EQ(config.pixel_scale, INT32_MAX);
  EXPECT_EQ(config.deadzone, 0);

  testing::internal::CaptureStdout();
  apply_from_lua("42");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "** lua54__apply_system_settings failed; not a table\n");
}

TEST(FrameRequests, RebootWinsOverExitAndWaitsForAHolder) {
  app_record a{};
  a.reboot_requested = 1;
  a.exit_requested = 1;
  EXPECT_EQ(serve_frame_requests(a, false), frame_request::reboot);

  a = app_record{};
  a.reboot_requested = 1;
  a.shutdown_holder = 7;
  for (int frame = 0; frame < 200; frame++)
    ASSERT_EQ(serve_frame_requests(a, true), frame_request::go_on);
  // The holder lets go: served in that frame.
  a.shutdown_holder = 0;
  EXPECT_EQ(serve_frame_requests(a, false), frame_request::reboot);
}

TEST(FrameRequests, ExitAtOnceWithoutHolder) {
  app_record a{};
  a.exit_requested = 1;
  EXPECT_EQ(serve_frame_requests(a, false), frame_request::exit);
}

TEST(FrameRequests, HeldExitEndsInTheSixtyFirstFrame) {
  app_record a{};
  a.exit_requested = 1;
  a.shutdown_holder = 9;
  int frame = 1;
  while (serve_frame_requests(a, true) == frame_request::go_on) frame++;
  EXPECT_EQ(frame, 61);
}

TEST(FrameRequests, HeldExitGoesAheadWhenTheHolderLetsGoOrDies) {
  app_record a{};
  a.exit_requested = 1;
  a.shutdown_holder = 9;
  for (int frame = 0; frame < 10; frame++)
    ASSERT_EQ(serve_frame_requests(a, true), frame_request::go_on);
  // The holder's process is gone: the hold no longer counts.
  EXPECT_EQ(serve_frame_requests(a, false), frame_request::exit);
  EXPECT_EQ(a.shutdown_holder, 0);
}

}  // namespace
