// note, sfx and music from scripts; stat's audio answers; the RAM mirror and
// its owner; default data in new processes; audio capture; and the mixer on
// the audio thread while the main thread plays and restarts (under TSan).
#include <SDL.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "../kernel/script_api_fixture.h"
#include "../platform/sdl_env.h"
#include "kernel/messages.h"
#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "mudo/mudo.h"
#include "pdisk/pfile.h"
#include "platform/audio_device.h"
#include "values/crc32.h"

namespace script_api_test {
namespace {

class Audio : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    mudo_init();
    mudo_clear();
    app.audio_pid = -2;
    app.audio_mirror_pid = -3;
  }
  // stat with a fresh frame, so cached channel fields are read again.
  R stat(const std::string &args) {
    cproc->time++;
    return run("return stat(" + args + ")");
  }
};

TEST_F(Audio, NoteSfxAndMusicAsStatSeesThem) {
  struct step {
    const char *code;
    const char *query;
    R expected;
  } steps[] = {
      {"note(60)", "400, 4", {"f:60"}},
      {"", "400, 1", {"f:0"}},
      {"", "400, 2", {"f:64"}},
      {"", "400, 0", {"f:1"}},
      {"note(255, 255, 255, 255, 0, 2) note(50, 0, 30, 0, 0, 2) note(255, 255, 255, 255, 0, 2)", "402, 0", {"f:0"}},
      {"", "402, 1", {"f:0"}},
      {"", "402, 2", {"f:30"}},
      {"poke(0x553A, 99) note(48, 0, 64, 0, 0, 3)", "403, 14", {"f:99"}},
      {"sfx(-4, 3, 128)", "403, 14", {"f:128"}},
      {"sfx(-4, 3, 999)", "403, 14", {"f:255"}},
      {"note(48, 0, -20, 0, 0, 4)", "404, 2", {"f:-20"}},
      {"note(60, 0, 64, 0, 0, 99) note(60, 0, 64, 0, 0, -9)", "415, 1", {"f:-1"}},
      {"note()", "400, 1", {"f:-1"}},
      {"", "400, -1", {"f:-1"}},
      {"", "416, 1", {"f:0"}},
      {"", "464", {"i:0"}},
      {"", "466", {"i:-1"}},
      {"", "467", {"i:0"}},
  };
  for (const step &s : steps) {
    if (*s.code) {
      ASSERT_EQ(run(s.code), R{}) << s.code;
    }
    EXPECT_EQ(stat(s.query), s.expected) << s.code << " / stat(" << s.query << ")";
  }
}

TEST_F(Audio, MusicFadesAndStops) {
  run("poke(0x553D, 3) music(0, 0, 1)");
  EXPECT_EQ(mixer->music.playing, 1);
  EXPECT_EQ(mixer->music.level, 256);
  run("music(-1, 500)");
  EXPECT_EQ(mixer->music.fade_ticks, 60);
  EXPECT_EQ(mixer->music.fade_target, 0);
  run("music(-1)");
  EXPECT_EQ(mixer->music.playing, 0);
}

TEST_F(Audio, ASecondProcessTakesTheSoundAndAStaleMirrorIsNeverKept) {
  run("poke(0x40100, 7) note(60)");  // a byte of instrument 0's envelopes
  EXPECT_EQ(app.audio_pid, root->id);
  EXPECT_EQ(mixer->ram[0x40100], 7);
  EXPECT_EQ(mixer->channels[0].note_on, 1);

  process *other = create_process_from_code("", "other", "/other.lua");
  ASSERT_NE(other, nullptr);
  cproc = other;
  run("poke(0x40100, 9) note(50, 0, 64, 0, 0, 5)");
  EXPECT_EQ(app.audio_pid, other->id);
  EXPECT_EQ(mixer->ram[0x40100], 9);
  EXPECT_EQ(mixer->channels[0].note_on, 0);  // the first process's note is gone
  EXPECT_EQ(mixer->channels[5].pitch, 50);
  cproc = root;
  EXPECT_EQ(stat("400, 3"), R{"f:-1"});  // only the owner is answered
  EXPECT_EQ(stat("464"), R{"i:-1"});

  // The owner restarts: its sound stops, and its fresh RAM is mirrored whole
  // the next time it plays (no byte of the old instrument survives).
  restart_process(other);
  EXPECT_EQ(mixer->channels[5].note_on, 0);
  EXPECT_EQ(app.audio_pid, -2);
  cproc = other;
  run("note(40)");
  EXPECT_EQ(mixer->ram[0x40100], 0);

  // Its changed pages reach the mirror at the end of the frame.
  run("poke(0x40101, 5)");
  EXPECT_EQ(mixer->ram[0x40101], 0);
  update_processes_after_frame();
  EXPECT_EQ(mixer->ram[0x40101], 5);

  // Once the owner is gone, the mirror is cleared and the sound stops.
  kill_process(other);
  cproc = root;
  update_processes_after_frame();
  EXPECT_EQ(app.audio_pid, -2);
  EXPECT_EQ(mixer->ram[0x40101], 0);
}

// The first page where the mirror differs from P's RAM (zeros where P has
// none), or -1.
int mirror_difference(const process *P) {
  static std::vector<uint8_t> ram(ram_space_size);
  ram_read_untouched(P->ram.get(), 0, ram.data(), int(ram_space_size));
  for (int p = 0; p < ram_page_count; p++)
    if (memcmp(ram.data() + int64_t{p} * ram_page_size, mixer->ram + int64_t{p} * ram_page_size,
               ram_page_size) != 0)
      return p;
  return -1;
}

// Whatever path writes the owner's RAM, its pages reach the mirror: with the
// owner's next sound call, which pays for each page it copies, or at the end
// of the frame, which leaves the owner the copy to repay in its next slice.
TEST_F(Audio, EveryWayOfWritingRamReachesTheMirrorAndIsPaidFor) {
  run("U = userdata('u8', 6000) for i = 0, 5999 do U[i] = i % 251 + 1 end note(60)");
  const int64_t call = charge_of("note", "60");  // nothing to copy
  struct {
    const char *write;
    int pages;
  } cases[] = {
      {"", 0},
      {"poke(0x123456, 9)", 1},
      {"poke2(0x200fff, 0x1234)", 2},  // straddles two pages
      {"poke4(0x210ffe, -1) poke8(0x211ffc, -1)", 3},
      {"memset(0x300000, 7, 0x5000)", 5},
      {"memcpy(0x400800, 0x300000, 0x3000)", 4},
      {"memcpy(0x300010, 0x300000, 0x2000)", 3},  // a move, copied from the top down
      {"_map_ram(U, 0x500000)", 2},              // a whole page of U, then 1,904 bytes
      {"poke(0x501800, 5)", 1},                  // the own block behind the partly mapped page
      {"_unmap_ram(U)", 2},
      {"memset(0xfff000, 3, 0x2000)", 2},  // wraps to page 0
      {"color(12) camera(5, 6) pal(1, 2)", 2},  // the draw registers and a colour table
      {"stat(465, 0, 0x600000)", 0},  // nothing mixed yet: no samples
      {"stat(400, 19, 0x610000)", 1},
      {"for a = 0x700000, 0x7fffff, 0x1000 do poke(a, 1) end", 256},
  };
  for (bool at_frame_end : {false, true}) {
    for (auto &c : cases) {
      SCOPED_TRACE(std::string(c.write) + (at_frame_end ? " (frame end)" : " (note)"));
      ASSERT_EQ(run(c.write), R{});
      if (at_frame_end) {
        root->cycle_debt = 0;
        update_processes_after_frame();
        EXPECT_EQ(root->cycle_debt, c.pages * mirror_page_cycles);
      } else {
        EXPECT_EQ(charge_of("note", "60"), call + c.pages * mirror_page_cycles);
      }
      EXPECT_EQ(mirror_difference(root), -1);
    }
  }
  // A process that is not the owner writes without charge for the mirror.
  process *other = create_process_from_code("", "other", "/other.lua");
  ASSERT_NE(other, nullptr);
  cproc = other;
  run("memset(0x100000, 1, 0x100000)");
  root->cycle_debt = 0;
  update_processes_after_frame();
  EXPECT_EQ(other->cycle_debt, 0);
  EXPECT_EQ(root->cycle_debt, 0);
}

// An owner change copies the pages the new owner has and clears those the
// last owner left, whatever either holds; the call pays for every page and
// for silencing the channels.
TEST_F(Audio, AnOwnerChangeMirrorsTheNewOwnerAndPaysForWhatItCopies) {
  process *fresh = create_process_from_code("", "fresh", "/fresh.lua");
  process *mapped = create_process_from_code("", "mapped", "/mapped.lua");
  ASSERT_NE(fresh, nullptr);
  ASSERT_NE(mapped, nullptr);
  cproc = mapped;
  run("U = userdata('u8', 6000) for i = 0, 5999 do U[i] = i % 251 + 1 end "
      "_map_ram(U, 0x500000) poke(0x501900, 1) _map_ram(U, 0x600000) _unmap_ram(U, 0x600000)");
  const int64_t fresh_pages = fresh->ram_bytes / ram_page_size;  // every page it has is its own
  cproc = root;
  run("note(60)");
  const int64_t call = charge_of("note", "60");
  const int64_t change = call + all_channels_cycles;
  struct {
    process *by;
    const char *write;
    int64_t pages;  // the pages written into the mirror
  } steps[] = {
      {fresh, "", fresh_pages},   // the same pages as the root's: no page to clear
      {root, "memset(0, 0, 0x1000000)", ram_page_count},
      {fresh, "", ram_page_count},  // its own, and the root's others cleared
      {mapped, "", fresh_pages + 4},  // two pages of U, and the zeros of the two unmapped
      {fresh, "", fresh_pages + 4},  // its own, and the four the other had beyond them cleared
      {fresh, "", 0},  // no change of owner
  };
  for (auto &s : steps) {
    SCOPED_TRACE(s.by->name + " " + s.write);
    cproc = s.by;
    ASSERT_EQ(run(s.write), R{});
    const bool changes = app.audio_mirror_pid != s.by->id;
    EXPECT_EQ(charge_of("note", "60"), (changes ? change : call) + s.pages * mirror_page_cycles);
    EXPECT_EQ(app.audio_mirror_pid, s.by->id);
    EXPECT_EQ(mirror_difference(s.by), -1);
  }
}

TEST_F(Audio, SampleQueriesLandInTheCallersRam) {
  run("poke(0x5538, 64) poke(0x553A, 64) poke(0x553C, 3)"
      "poke(0x40000, 0, 1, 0, 0, 1,0,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)"
      "poke(0x40020, 0, 2, 0, 0, 0,64,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)"
      "note(57)");
  int16_t stream[2 * 512];
  mudo_mix(stream, 512);
  EXPECT_EQ(stat("465, 0, 0x80000"), R{"f:512"});
  EXPECT_EQ(run("return peek2(0x80000 + 4 * 100), peek2(0x80002 + 4 * 100)"),
            (R{"i:" + std::to_string(stream[200]), "i:" + std::to_string(stream[201])}));
  EXPECT_EQ(stat("400, 19, 0x90000"), R{"f:367"});
  EXPECT_EQ(stat("400, 21, 0x90000"), R{"f:367"});
  EXPECT_EQ(run("return peek2(0x90000 + 2 * 50)"), R{"i:" + std::to_string(mixer->node_output[0][1][50])});
  EXPECT_EQ(stat("400, 17"), R{"f:-1"});
}

TEST_F(Audio, NewProcessesFindTheDefaultWavetablesAndInstrument) {
  process *other = create_process_from_code("", "other", "/other.lua");
  ASSERT_NE(other, nullptr);
  for (process *P : {root, other}) {
    cproc = P;
    std::vector<uint8_t> block(0x88000);
    for (size_t i = 0; i < block.size(); i++) block[i] = uint8_t(peek(int(0xF78000 + i)));
    EXPECT_EQ(crc32b(block.data(), int64_t(block.size())), 0x214017ccu) << P->id;
    EXPECT_EQ(run("return peek2(0xF80000 + 2 * 256), peek2(0xF80000 + 2 * (255 * 1024 + 1016)),"
                  "peek2(0xF80000 + 2 * (255 * 1024 + 1017))"),
              (R{"i:-32766", "i:-32767", "i:32767"}));
    EXPECT_EQ(run("return peek4(0x40000), peek4(0x40004), peek4(0x4001C), peek4(0x40020),"
                  "peek4(0x40024), peek4(0x40028), peek4(0x40030), peek4(0x401E0), peek4(0x401E4),"
                  "peek4(0x40040), peek4(0x401E8)"),
              (R{"i:256", "i:8198", "i:512", "i:8194", "i:1", "i:33", "i:16384", "i:-16058368",
                 "i:17692544", "i:0", "i:0"}));
  }
}

TEST_F(Audio, CaptureWritesTheStreamAndTellsTheDisplayProcess) {
  ASSERT_TRUE(mount_ram_folder("/desktop/host"));
  ASSERT_NE(create_process_from_code("", "two", "/two.lua"), nullptr);
  process *three = create_process_from_code("", "three", "/three.lua");
  ASSERT_NE(three, nullptr);
  int16_t stream[2 * 441];
  for (const char *name : {"/desktop/host/audio.raw", "/desktop/host/audio_1.raw"}) {
    cpu_cycles = 0;  // each capture's writes are a slice's worth of charges
    run("_signal(16)");
    EXPECT_EQ(run("return stat(322)"), R{"f:1"});
    for (int i = 0; i < 1000; i++) mudo_audio_callback(stream, 441);  // ten seconds
    run("_signal(16)");
    EXPECT_EQ(run("return stat(322)"), R{"f:0"});
    EXPECT_EQ(pfile_size(name, false), 1764000) << name;
    buffer *m = read_process_message(three, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(m->data)),
              std::string("{event=\"user_notification\",content=\"captured 10.000 seconds: ") + name + "\"}");
  }
  // Ending a capture that never started writes nothing.
  EXPECT_TRUE(audio_capture_end());
}

}  // namespace
}  // namespace script_api_test

namespace {

class MixerThreads : public script_api_test::Audio {
 protected:
  void SetUp() override {
    Audio::SetUp();
    env.set("SDL_AUDIODRIVER", "dummy");
    os_set_audio_mixer(mudo_audio_callback);
  }
  void TearDown() override {
    os_close_audio();
    os_set_audio_mixer(nullptr);
    Audio::TearDown();
  }
  scoped_env env;
};

// The main thread plays, queries, captures and restarts the owner while SDL's
// audio thread mixes through the dummy driver.
TEST_F(MixerThreads, NotesMusicAndRestartsWhileTheCallbackMixes) {
  ASSERT_TRUE(os_open_audio());
  process *owner = create_process_from_code("", "owner", "/owner.lua");
  ASSERT_NE(owner, nullptr);
  const std::string setup =
      "poke(0x5538, 64) poke(0x553A, 64) poke(0x553C, 3) poke(0x553D, 3)"
      "poke(0x40000, 0, 1, 0, 0, 1,0,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)"
      "poke(0x40020, 0, 2, 0, 0, 0,64,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)"
      "poke(0x50000, 4, 0, 1, 0, 4) poke(0x30100, 0, 0, 0, 0, 0, 0, 0, 0, 3, 255)";
  const Uint32 until = SDL_GetTicks() + 1500;
  int i = 0;
  while (!SDL_TICKS_PASSED(SDL_GetTicks(), until)) {
    cproc = owner;
    ASSERT_EQ(run(setup + "note(" + std::to_string(40 + i % 30) + ") sfx(0) music(0, 100)"),
              script_api_test::R{});
    run("return stat(400, 4), stat(464), stat(465, 0, 0x80000), stat(401, 19, 0x90000)");
    if (i % 4 == 0) run("_signal(16)");
    update_processes_after_frame();
    if (i % 7 == 0) restart_process(owner);
    if (i % 11 == 0) mudo_set_volume(i % 2 ? 0 : 256);
    owner->time++;
    SDL_Delay(2);
    i++;
  }
  if (app.audio_capture_on) audio_capture_abandon();
  EXPECT_GT(i, 50);
}

}  // namespace
