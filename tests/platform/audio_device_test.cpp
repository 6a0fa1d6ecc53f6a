// System start, the audio device and its callback, and the nested audio lock.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include <atomic>

#include "kernel/system.h"
#include "platform/audio_device.h"
#include "platform/host_system.h"
#include "sdl_env.h"

namespace {

// Keeps app, config and SDL as they were; never opens a window.
class HostAudio : public testing::Test {
 protected:
  void SetUp() override {
    env.set("SDL_VIDEODRIVER", "dummy");
    env.set("SDL_AUDIODRIVER", "dummy");
    saved_app = app;
    saved_config = config;
    calls = 0;
    os_set_audio_mixer(counting_mixer);
  }
  void TearDown() override {
    os_system_shutdown();
    os_set_audio_mixer(nullptr);
    SDL_Quit();
    app = saved_app;
    config = saved_config;
  }

  // A mixer that counts its calls and fills its frames with 0x0101.
  static inline std::atomic<int> calls{0};
  static inline std::atomic<int> last_frames{0};
  static void counting_mixer(int16_t *stream, int frames) {
    for (int i = 0; i < 2 * frames; i++) stream[i] = 0x0101;
    last_frames = frames;
    calls++;
  }
  static bool within_two_seconds(const std::function<bool()> &done) {
    for (int i = 0; i < 200; i++) {
      if (done()) return true;
      SDL_Delay(10);
    }
    return done();
  }

  scoped_env env;
  app_record saved_app;
  config_record saved_config;
};

TEST_F(HostAudio, SystemStartWithDummyDriversOpensTheDeviceAndSetsHints) {
  config.sdl_render_driver = 1;
  testing::internal::CaptureStdout();
  os_system_init();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(os_audio_is_open());
  EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  EXPECT_STREQ(SDL_GetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER), "1");
  EXPECT_STREQ(SDL_GetHint(SDL_HINT_RENDER_DRIVER), "opengl");
  EXPECT_STREQ(SDL_GetCurrentVideoDriver(), "dummy");
  EXPECT_STREQ(SDL_GetCurrentAudioDriver(), "dummy");

  os_system_shutdown();
  EXPECT_FALSE(os_audio_is_open());
  EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

TEST_F(HostAudio, WithoutAnAudioDeviceTheSystemRunsSilent) {
  env.set("SDL_AUDIODRIVER", "kestrune_no_such_driver");
  testing::internal::CaptureStdout();
  os_system_init();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("** audio init failed ", 0), 0u) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_FALSE(os_audio_is_open());
  // Everything else still started, and the audio lock still nests.
  EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  EXPECT_EQ(os_lock_audio(), 1);
  EXPECT_EQ(os_lock_audio(), 2);
  os_unlock_audio();
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 0);
  // Stopping a system that never had sound is harmless.
  os_system_shutdown();
  EXPECT_FALSE(os_audio_is_open());
}

TEST_F(HostAudio, CallbackHandsWholeFramesToTheMixerAndWritesEveryByte) {
  alignas(4) uint8_t stream[66];
  memset(stream, 0xAA, sizeof stream);
  sdl2_mixer_callback(nullptr, stream, sizeof stream);
  EXPECT_EQ(last_frames, 16);
  for (int i = 0; i < 64; i++) ASSERT_EQ(stream[i], 1) << i;
  EXPECT_EQ(stream[64], 0);  // the odd tail is silence, never left as it was
  EXPECT_EQ(stream[65], 0);

  os_set_audio_mixer(nullptr);  // no mixer: silence
  memset(stream, 0xAA, sizeof stream);
  sdl2_mixer_callback(nullptr, stream, sizeof stream);
  for (uint8_t b : stream) ASSERT_EQ(b, 0);
}

TEST_F(HostAudio, NestedLockHoldsTheCallbackOffUntilTheOutermostUnlock) {
  ASSERT_TRUE(os_open_audio());
  ASSERT_TRUE(within_two_seconds([&] { return calls > 0; })) << "callback never ran";

  EXPECT_EQ(os_lock_audio(), 1);
  EXPECT_EQ(os_lock_audio(), 2);
  const int held = calls;
  SDL_Delay(60);  // several 512-sample blocks' time
  EXPECT_EQ(calls, held);
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 1);
  SDL_Delay(60);
  EXPECT_EQ(calls, held);
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 0);
  EXPECT_TRUE(within_two_seconds([&] { return calls > held; }));
  EXPECT_EQ(last_frames, os_audio_samples);
}

int sdl_takes = 0;
int sdl_releases = 0;

TEST(AudioLock, TakesAndReleasesTheSdlLockOnlyAtTheOutermostLevel) {
  auto *saved_take = os_take_sdl_audio_lock;
  auto *saved_release = os_release_sdl_audio_lock;
  os_take_sdl_audio_lock = [] { sdl_takes++; };
  os_release_sdl_audio_lock = [] { sdl_releases++; };
  sdl_takes = sdl_releases = 0;

  EXPECT_EQ(os_lock_audio(), 1);
  EXPECT_EQ(os_lock_audio(), 2);
  EXPECT_EQ(sdl_takes, 1);
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 1);
  EXPECT_EQ(sdl_releases, 0);
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 0);
  EXPECT_EQ(sdl_releases, 1);

  // An unlock at level 0 is ignored: no release, and the level does not go
  // below 0, so the next lock takes SDL's lock again.
  os_unlock_audio();
  EXPECT_EQ(os_audio_lock_level(), 0);
  EXPECT_EQ(sdl_releases, 1);
  EXPECT_EQ(os_lock_audio(), 1);
  EXPECT_EQ(sdl_takes, 2);
  os_unlock_audio();
  EXPECT_EQ(sdl_releases, 2);

  os_take_sdl_audio_lock = saved_take;
  os_release_sdl_audio_lock = saved_release;
}

}  // namespace
