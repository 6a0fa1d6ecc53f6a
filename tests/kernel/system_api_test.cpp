// System functions: stat's numbers, _signal's effects, time and date (checked
// against dates written by python3 and the stock lua5.4), the window title and
// the userland clipboard.
#include "kernel/system_api.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../platform/sdl_env.h"
#include "kernel/buffer.h"
#include "kernel/messages.h"
#include "kernel/ram.h"
#include "pdisk/pfile.h"
#include "platform/frame_pacing.h"
#include "platform/host_log.h"
#include "platform/window.h"
#include "script_api_fixture.h"

namespace {

using namespace script_api_test;

struct date_case {
  int64_t when;
  std::optional<int64_t> offset;
  const char *format;
  const char *text;
};

// Generated with python3 time.strftime(format, time.gmtime(when + offset)); stock lua5.4
// os.date('!' .. format, when + offset) gave the same text for every row.
const date_case python_dates[] = {
    {5638709824LL, std::nullopt, "%c", "Fri Sep  6 20:17:04 2148"},
    {3296709340LL, 12862173LL, "[%n|%t]", "[\n|\t]"},
    {2993290209LL, std::nullopt, "%y %C %e %D %F %T", "64 20  7 11/07/64 2064-11-07 13:30:09"},
    {7022707894LL, 75445483LL, "%I:%M %p | %r | %R | %h", "01:16 PM | 01:16:17 PM | 13:16 | Dec"},
    {866996393LL, std::nullopt, "%I:%M %p | %r | %R | %h", "04:19 PM | 04:19:53 PM | 16:19 | Jun"},
    {-1197157896LL, -84954918LL, "%a %A %b %B %d", "Thu Thursday May May 16"},
    {5608583052LL, std::nullopt, "100%% at %H", "100% at 03"},
    {2477321899LL, std::nullopt, "%I:%M %p | %r | %R | %h", "04:58 PM | 04:58:19 PM | 16:58 | Jul"},
    {7001164890LL, std::nullopt, "%x %X", "11/10/91 00:01:30"},
    {1214755034LL, std::nullopt, "%a %A %b %B %d", "Sun Sunday Jun June 29"},
    {5400329634LL, std::nullopt, "%Y-%m-%d %H:%M:%S", "2141-02-16 19:33:54"},
    {2850738821LL, std::nullopt, "%a %A %b %B %d", "Sun Sunday May May 02"},
    {5634139160LL, std::nullopt, "%I:%M %p | %r | %R | %h", "10:39 PM | 10:39:20 PM | 22:39 | Jul"},
    {1348361733LL, -36636398LL, "%x %X", "07/27/11 00:08:55"},
    {3987864294LL, std::nullopt, "%I:%M %p | %r | %R | %h", "08:04 PM | 08:04:54 PM | 20:04 | May"},
    {1897347133LL, std::nullopt, "%Ey %EC %OH %Om %Od", "30 20 00 02 15"},
    {1421576500LL, -5652911LL, "%a %A %b %B %d", "Fri Friday Nov November 14"},
    {1300657121LL, std::nullopt, "%y %C %e %D %F %T", "11 20 20 03/20/11 2011-03-20 21:38:41"},
    {3299554513LL, std::nullopt, "%G-W%V-%u %g", "2074-W30-1 74"},
    {5760831609LL, std::nullopt, "%c", "Fri Jul 21 07:00:09 2152"},
    {6553988905LL, -51052809LL, "%G-W%V-%u %g", "2176-W04-5 76"},
    {-1018019204LL, std::nullopt, "%G-W%V-%u %g", "1937-W39-2 37"},
    {4441990470LL, std::nullopt, "[%n|%t]", "[\n|\t]"},
    {5646572660LL, std::nullopt, "%Ey %EC %OH %Om %Od", "48 21 20 12 06"},
    {6300773880LL, std::nullopt, "%j %U %W %w %u", "242 35 35 3 3"},
    {1569484708LL, std::nullopt, "%I:%M %p | %r | %R | %h", "07:58 AM | 07:58:28 AM | 07:58 | Sep"},
    {5792437800LL, std::nullopt, "[%n|%t]", "[\n|\t]"},
    {6236858820LL, -85897812LL, "%j %U %W %w %u", "335 48 48 5 5"},
    {3258788002LL, -78678539LL, "%Y-%m-%d %H:%M:%S", "2070-10-09 19:44:23"},
    {-1096152736LL, std::nullopt, "%Ey %EC %OH %Om %Od", "35 19 01 04 08"},
    {5871523724LL, std::nullopt, "%I:%M %p | %r | %R | %h", "10:48 AM | 10:48:44 AM | 10:48 | Jan"},
    {880778898LL, std::nullopt, "%Ey %EC %OH %Om %Od", "97 19 04 11 29"},
    {8105245999LL, std::nullopt, "%c", "Sun Nov  5 17:13:19 2226"},
    {2195806747LL, 98063155LL, "100%% at %H", "100% at 10"},
    {-897680314LL, 1168567LL, "%a %A %b %B %d", "Mon Monday Aug August 04"},
    {6243446208LL, std::nullopt, "[%n|%t]", "[\n|\t]"},
    {1592162247LL, std::nullopt, "%Y-%m-%d %H:%M:%S", "2020-06-14 19:17:27"},
    {-1705650917LL, std::nullopt, "%a %A %b %B %d", "Tue Tuesday Dec December 14"},
    {3130720688LL, std::nullopt, "%I:%M %p | %r | %R | %h", "04:38 AM | 04:38:08 AM | 04:38 | Mar"},
    {-220076669LL, -44787642LL, "[%n|%t]", "[\n|\t]"},
    {1576949327LL, std::nullopt, "%j %U %W %w %u", "355 50 50 6 6"},
    {8355577676LL, 36439293LL, "%c", "Mon Dec  7 19:49:29 2235"},
    {7254140168LL, -54751198LL, "%Ey %EC %OH %Om %Od", "98 21 06 02 20"},
    {8050167914LL, std::nullopt, "%j %U %W %w %u", "037 06 05 0 7"},
    {8441515971LL, std::nullopt, "%G-W%V-%u %g", "2237-W26-7 37"},
    {6051839912LL, std::nullopt, "%a %A %b %B %d", "Sat Saturday Oct October 10"},
    {1033994056LL, std::nullopt, "%I:%M %p | %r | %R | %h", "12:34 PM | 12:34:16 PM | 12:34 | Oct"},
    {-2023397855LL, std::nullopt, "%c", "Sun Nov 19 01:02:25 1905"},
    {4167766759LL, std::nullopt, "%x %X", "01/27/02 00:59:19"},
    {-2025240202LL, 87395730LL, "%x %X", "08/05/08 05:52:08"},
    {8574090085LL, std::nullopt, "[%n|%t]", "[\n|\t]"},
    {3717150350LL, 1631111LL, "[%n|%t]", "[\n|\t]"},
    {5248474241LL, 86159733LL, "%Ey %EC %OH %Om %Od", "39 21 10 01 18"},
    {2387144659LL, 71016851LL, "%Y-%m-%d %H:%M:%S", "2047-11-23 22:38:30"},
    {3846181758LL, 6522325LL, "%a %A %b %B %d", "Fri Friday Feb February 01"},
    {-2035007019LL, std::nullopt, "[%n|%t]", "[\n|\t]"},
    {7175043980LL, -42613332LL, "[%n|%t]", "[\n|\t]"},
    {887552870LL, 3935845LL, "%I:%M %p | %r | %R | %h", "03:45 AM | 03:45:15 AM | 03:45 | Apr"},
    {2712723017LL, std::nullopt, "%Ey %EC %OH %Om %Od", "55 20 06 12 18"},
    {7281121778LL, std::nullopt, "100%% at %H", "100% at 05"},
    {1792062696LL, -76186799LL, "%j %U %W %w %u", "137 19 20 4 4"},
    {2626142629LL, std::nullopt, "%x %X", "03/21/53 04:03:49"},
    {7657527025LL, -24655728LL, "%a %A %b %B %d", "Sun Sunday Nov November 17"},
    {6481800605LL, 65398529LL, "%Ey %EC %OH %Om %Od", "77 21 18 06 21"},
};
// Date texts and their UTC seconds, from python3 calendar.timegm.
const std::pair<const char *, int64_t> python_date_texts[] = {
    {"9783-03-01 09:35:57", 246559628157LL},
    {"5476-05-14 22:49:17", 110650315757LL},
    {"1766-07-11 05:37:15", -6421054965LL},
    {"2282-02-26 07:03:14", 9850662194LL},
    {"8340-06-25 22:45:08", 201033009908LL},
    {"9178-03-19 12:23:35", 227469212615LL},
    {"4178-02-26 05:13:28", 69682655608LL},
    {"1714-08-22 07:03:06", -8058416214LL},
    {"7203-09-05 06:04:43", 165158892283LL},
    {"9052-11-01 22:13:22", 223512732802LL},
    {"5133-09-25 10:28:24", 99837743304LL},
    {"4168-01-03 20:46:11", 69362426771LL},
    {"6791-06-03 11:04:54", 152149316694LL},
    {"9422-03-18 11:22:00", 235169004120LL},
    {"4562-01-22 20:03:15", 81797544195LL},
    {"9172-01-23 13:53:11", 227275077191LL},
    {"9786-03-27 21:01:07", 246656610067LL},
    {"1522-12-13 10:41:38", -14107612702LL},
    {"4950-08-03 21:56:12", 94058315772LL},
    {"6220-02-24 17:08:10", 134121719290LL},
    {"8996-01-08 18:00:01", 221719831201LL},
    {"1755-05-18 19:04:42", -6772827318LL},
    {"9443-01-14 21:46:26", 235826286386LL},
    {"3026-12-04 06:39:20", 33353275160LL},
};
// os.date('!*t', when) of stock lua5.4: year month day hour min sec yday wday isdst.
const std::pair<int64_t, std::array<int, 9>> lua_date_tables[] = {
    {2593672252LL, {2052, 3, 10, 8, 30, 52, 70, 1, 0}},
    {6345029053LL, {2171, 1, 24, 20, 4, 13, 24, 5, 0}},
    {7681885564LL, {2213, 6, 6, 17, 6, 4, 157, 1, 0}},
    {709329032LL, {1992, 6, 23, 19, 50, 32, 175, 3, 0}},
    {8032566394LL, {2224, 7, 17, 12, 26, 34, 199, 7, 0}},
    {7234644268LL, {2199, 4, 4, 7, 24, 28, 94, 5, 0}},
    {2332321611LL, {2043, 11, 28, 11, 6, 51, 332, 7, 0}},
    {870581205LL, {1997, 8, 3, 4, 6, 45, 215, 1, 0}},
};

const luaL_Reg system_functions[] = {
    {"time", lua54_time},
    {"t", lua54_time},
    {"stat", lua54_stat},
    {"date", lua54_date},
    {"_signal", lua54__signal},
    {"_apply_system_settings", lua54__apply_system_settings},
    {"_set_host_window_title", lua54__set_host_window_title},
    {"_get_userland_clipboard_text", lua54__get_userland_clipboard_text},
    {"_set_userland_clipboard_text", lua54__set_userland_clipboard_text},
};

void give_system_functions(process *P) {
  for (const luaL_Reg &f : system_functions) lua_register(P->lua_state, f.name, f.func);
}

// Until the registry has their rows, the tests give the functions to the root.
class SystemApi : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    give_system_functions(root);
    userland_clipboard_text.clear();
  }
  void TearDown() override {
    userland_clipboard_text.clear();
    ScriptApi::TearDown();
  }
};

// TZ for one test; the C library reads it again afterwards.
struct scoped_tz {
  std::optional<std::string> saved;
  explicit scoped_tz(const char *tz) {
    if (const char *old = getenv("TZ")) saved = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~scoped_tz() {
    if (saved)
      setenv("TZ", saved->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

/* ---------------------------------------------------------------------- */
/* stat                                                                   */
/* ---------------------------------------------------------------------- */

TEST_F(SystemApi, StatConstantsAndDefaults) {
  EXPECT_EQ(run("return stat(5)"), (R{"i:18", "s:0.2.0d"}));
  EXPECT_EQ(run("return stat('5')"), (R{"i:18", "s:0.2.0d"})) << "numeric strings count";
  EXPECT_EQ(run("return stat(2)"), (R{"f:0"}));
  EXPECT_EQ(run("return stat(9999), stat(-1)"), (R{"f:0", "f:0"}));
  EXPECT_EQ(run("return stat(101)"), (R{"nil"}));
  EXPECT_EQ(run("return stat(150), stat(153)"), (R{"s:", "s:"}));
  EXPECT_EQ(run("return stat(314)"), (R{"f:3.1415926535897931"}));
}

TEST_F(SystemApi, StatFramesPerSecond) {
  root->fps = 30;  // flips every other frame
  EXPECT_EQ(run("return stat(7)"), (R{"f:30"}));
  app.slow_frame = 1;
  EXPECT_EQ(run("return stat(7)"), (R{"f:15"})) << "halved in battery-saver frames";
  EXPECT_EQ(run("return stat(330)"), (R{"f:1"}));
  root->fps = 0;
  app.slow_frame = 0;
  EXPECT_EQ(run("return stat(7)"), (R{"f:60"})) << "before its first flips";
}

TEST_F(SystemApi, StatCpu) {
  root->cycles_since_flip = 500;
  total_frame_cycles = 139810;
  // The direct call's own count is what the running slice has used so far.
  cpu_cycles = 1000;
  lua_State *L = root->lua_state;
  lua_pushcfunction(L, lua54_stat);
  lua_pushinteger(L, 1);
  lua_call(L, 1, 1);
  EXPECT_DOUBLE_EQ(lua_tonumber(L, -1), 1500 / 279620.0);
  lua_pop(L, 1);
  EXPECT_EQ(run("return stat(301)"), (R{"f:0.5"})) << "half the frame's budget";
}

TEST_F(SystemApi, StatMemoryAfterAFullCollection) {
  run("garbage = {} for i = 1, 1000 do garbage[i] = {i} end garbage = nil");
  int64_t before = root->heap_bytes;
  std::vector<std::string> r = run("return stat(0)");
  EXPECT_LT(root->heap_bytes, before) << "the garbage was collected first";
  EXPECT_EQ(r, (R{"f:" + std::to_string(process_memory_in_use(root))}));
  r = run("return stat(3)");
  lua_State *L = root->lua_state;
  double bytes = lua_gc(L, LUA_GCCOUNT) * 1024.0 + lua_gc(L, LUA_GCCOUNTB);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(std::stod(r[0].substr(2)), bytes, 256) << "the state's own count";
  root->heap_baseline = 1000;
  EXPECT_EQ(run("return stat(0)"), (R{"f:" + std::to_string(process_memory_in_use(root))}));
}

TEST_F(SystemApi, StatRam) {
  // The system pages and the sound data (wavetables at 0xF78000, instrument page 0x40000).
  EXPECT_EQ(run("return stat(313)"), (R{"f:626688"}));
  EXPECT_EQ(run("return stat(312, 0x5000), stat(312, 0x20000)"), (R{"f:4096", "f:0"}));
  std::vector<uint8_t> bytes(6000);
  std::vector<const void *> released;
  ram_map(root, {&bytes, bytes.data(), 6000}, 0x20000, 0, std::nullopt, released);
  EXPECT_EQ(run("return stat(312, 0x21000), stat(312, 0x21FFF)"), (R{"f:1904", "f:1904"}));
  // Addresses outside the space wrap into it, as every RAM address does.
  EXPECT_EQ(run("return stat(312, 0x1021000), stat(312, -1), stat(312, 1e300), stat(312, -1e300)"),
            (R{"f:1904", "f:4096", "f:4096", "f:4096"}));
  peek_proc(root, 0x300000);
  EXPECT_EQ(run("return stat(313)"), (R{"f:630784"}));
}

TEST_F(SystemApi, StatSettingsAndAppState) {
  config.start_path = "/desktop/game.kvt";
  EXPECT_EQ(run("return stat(315), stat(316), stat(317)"),
            (R{"f:1", "s:/desktop/game.kvt", "f:1"}));
  app.expcart_mounted = 1;
  EXPECT_EQ(run("return stat(317)"), (R{"f:3"}));
  EXPECT_EQ(run("return stat(320), stat(321), stat(322)"), (R{"f:0", "f:0", "f:0"}));
  app.gif_recording = 1;
  app.gif_frame_count = 7;
  app.audio_capture_on = 1;
  EXPECT_EQ(run("return stat(320), stat(321), stat(322)"), (R{"f:1", "f:3", "f:1"}));
  app.gif_recording = 0;
  EXPECT_EQ(run("return stat(321)"), (R{"f:0"})) << "no recording: no frames";
  app.boot_finished = 1;
  app.signal_36_flag = 1;
  EXPECT_EQ(run("return stat(985), stat(986)"), (R{"f:1", "f:1"}));
  EXPECT_EQ(run("return stat(307)"), (R{"f:0"}));
  app.frame_count = 100;
  app.boot_time_base = 40;  // 60 frames into the boot
  EXPECT_EQ(run("return stat(987)"), (R{"f:996"}));
}

TEST_F(SystemApi, StatBuffersAndFileSlots) {
  auto number = [](const std::string &shown) { return std::stod(shown.substr(2)); };
  R before = run("return stat(308), stat(309)");
  buffer *b = create_buffer_2(1000, 3);
  ASSERT_NE(b, nullptr);
  R during = run("return stat(308), stat(309)");
  EXPECT_EQ(number(during[0]), number(before[0]) + 1) << "one more live buffer";
  EXPECT_GE(number(during[1]) - number(before[1]), 1000) << "holding at least its capacity";
  destroy_buffer(b);
  EXPECT_EQ(run("return stat(308), stat(309)"), before);

  pfile_init();
  pfile_reset();
  ASSERT_TRUE(mount_ram_folder("/ram"));
  R slots = run("return stat(310), stat(311)");
  pfile *f = pfopen("/ram/note.txt", "w");
  ASSERT_NE(f, nullptr);
  pfwrite("hi", 1, 2, f);
  ASSERT_TRUE(pfclose(f));
  R more = run("return stat(310), stat(311)");
  EXPECT_EQ(number(more[0]), number(slots[0]) + 1) << "a RAM file";
  EXPECT_EQ(number(more[1]), number(slots[1]) - 1);
  pfile_reset();
}

TEST_F(SystemApi, StatChannelsAnswerOnlyTheAudioOwner) {
  app.audio_pid = 7;
  EXPECT_EQ(run("return stat(400, 3), stat(415, 0), stat(408, -5)"), (R{"f:-1", "f:-1", "f:-1"}));
}

TEST_F(SystemApi, StatHostTime) {
  double before = double(time(nullptr));
  R r = run("return stat(86)");
  ASSERT_EQ(r.size(), 1u);
  double got = std::stod(r[0].substr(2));
  EXPECT_GE(got, before);
  EXPECT_LE(got, before + 2);
  // The zone is read once a frame: a change shows from the next frame on
  // (frames no other test reaches).
  scoped_tz tz("XYZ3");  // three hours west of UTC
  app.frame_count = 1000000;
  EXPECT_EQ(run("return stat(87)"), (R{"f:10800"}));
  {
    scoped_tz east("XYZ-2");
    EXPECT_EQ(run("return stat(87)"), (R{"f:10800"})) << "the same frame's answer";
    app.frame_count++;
    EXPECT_EQ(run("return stat(87)"), (R{"f:-7200"}));
  }
}

/* ---------------------------------------------------------------------- */
/* _signal                                                                */
/* ---------------------------------------------------------------------- */

// Calls whose host work goes beyond reading their arguments pay for it
// beyond a like call without that work.
TEST_F(SystemApi, HostWorkBeyondTheArgumentsIsCharged) {
  const struct {
    const char *fn, *dear, *plain, *work;
  } rows[] = {
      {"date", "'!*t', 0", "'!%d', 0", "the fields' table"},
      {"_signal", "22", "0", "a read of the host's clock"},
      {"stat", "5", "314", "a text made a Lua string"},
      {"stat", "302, 4", "5", "the key's name from the host's layout"},
      {"_apply_system_settings", "{x = 1, y = 2}", "{x = 1}", "a second pair, unknown keys too"},
      {"_apply_system_settings", "{x = 1}", "{}", "a pair"},
  };
  for (const auto &r : rows)
    EXPECT_GT(charge_of(r.fn, r.dear), charge_of(r.fn, r.plain)) << r.fn << "(" << r.dear << "): " << r.work;
  EXPECT_GT(charge_of("_apply_system_settings", "{}"), 0) << "the pass over the stored settings";
}

TEST_F(SystemApi, SignalsSetTheAppFlags) {
  run("_signal(33) _signal(35) _signal(36) _signal(37) _signal(39)");
  EXPECT_EQ(app.exit_requested, 1);
  EXPECT_EQ(app.boot_style, 1);
  EXPECT_EQ(app.signal_36_flag, 1);
  EXPECT_EQ(app.boot_release, 1);
  EXPECT_EQ(app.cart_mount_blocked, 1);
  EXPECT_EQ(app.reboot_requested, 0);
  run("_signal('34')");
  EXPECT_EQ(app.reboot_requested, 1);
  app.last_activity_ms = -1;
  run("_signal(22)");
  EXPECT_GE(app.last_activity_ms, 0);
  EXPECT_LE(app.last_activity_ms, os_get_time());
  app_record before = app;
  run("_signal(0) _signal(17) _signal(1e300) _signal()");
  EXPECT_EQ(memcmp(&before, &app, sizeof app), 0) << "other numbers do nothing";
}

TEST_F(SystemApi, SignalRecordsTheHeapBaselineOnce) {
  run("junk = {} for i = 1, 500 do junk[i] = {} end junk = nil");
  int64_t before = root->heap_bytes;
  run("_signal(38)");
  EXPECT_LT(root->heap_bytes, before) << "a full collection came first";
  int64_t baseline = root->heap_baseline;
  EXPECT_GT(baseline, 0);
  run("keep = {} for i = 1, 500 do keep[i] = {} end _signal(38)");
  EXPECT_EQ(root->heap_baseline, baseline) << "a later call keeps the first baseline";
}

TEST_F(SystemApi, ShutdownHolderHoldsTheRebootUntilItLetsGoOrDies) {
  process *holder = create_process_from_code("", "holder", "/apps/holder.lua");
  ASSERT_NE(holder, nullptr);
  give_system_functions(holder);
  cproc = holder;
  run("_signal(40)");
  EXPECT_EQ(app.shutdown_holder, holder->id);
  cproc = root;
  run("_signal(34)");
  EXPECT_EQ(serve_frame_requests(app, shutdown_hold_active()), frame_request::go_on);
  EXPECT_EQ(serve_frame_requests(app, shutdown_hold_active()), frame_request::go_on);
  cproc = holder;
  run("_signal(41)");
  EXPECT_EQ(app.shutdown_holder, 0);
  EXPECT_EQ(serve_frame_requests(app, shutdown_hold_active()), frame_request::reboot);

  // Held again, then the holder goes away without letting go.
  run("_signal(40)");
  cproc = root;
  EXPECT_EQ(serve_frame_requests(app, shutdown_hold_active()), frame_request::go_on);
  kill_process(holder);
  EXPECT_EQ(serve_frame_requests(app, shutdown_hold_active()), frame_request::reboot);
  EXPECT_EQ(app.shutdown_holder, 0) << "the hold was released";
}

class SystemApiDesktop : public SystemApi {
 protected:
  void SetUp() override {
    SystemApi::SetUp();
    host = testing::TempDir() + "kestrune-desktop-" + std::to_string(getpid());
    std::filesystem::remove_all(host);
    std::filesystem::create_directories(host);
    pfile_init();
    pfile_reset();
    ASSERT_TRUE(mount_ram_folder("/ram"));
    // Processes 2 and 3: the display process receives the notices.
    create_process_from_code("", "wm", "/system/wm.lua");
    create_process_from_code("", "display", "/system/display.lua");
    cproc = root;
  }
  void TearDown() override {
    pfile_reset();
    std::filesystem::remove_all(host);
    SystemApi::TearDown();
  }
  std::string host;
};

TEST_F(SystemApiDesktop, DesktopFolderIsMadeAndMounted) {
  config.desktop_path = host;
  run("_signal(65)");
  std::string folder = host + "/kestrune_desktop";
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(get_mount_description("/desktop/host"), "host:" + folder);
  EXPECT_EQ(read_process_message(get_process(3), nullptr), nullptr) << "no notice";
}

TEST_F(SystemApiDesktop, NoDesktopFolderIsReported) {
  std::string file = host + "/not_a_folder";
  std::ofstream(file) << "x";
  config.desktop_path = file;  // the folder cannot be made inside a file
  run("_signal(65)");
  EXPECT_EQ(get_mount_description("/desktop/host"), std::nullopt);
  buffer *m = read_process_message(get_process(3), nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(to_cstr(m), "{event=\"user_notification\",content=\"could not mount desktop\"}");
}

/* ---------------------------------------------------------------------- */
/* time and date                                                          */
/* ---------------------------------------------------------------------- */

TEST_F(SystemApi, TimeIsProcessFramesInSeconds) {
  root->time = 90;
  EXPECT_EQ(run("return time(), t()"), (R{"f:1.5", "f:1.5"}));
}

TEST_F(SystemApi, DateExamples) {
  EXPECT_EQ(run("return date('%Y', '2024-02-29 12:00:00')"), (R{"s:2024"}));
  EXPECT_EQ(run("return date(nil, 0)"), (R{"s:1970-01-01 00:00:00"}));
  EXPECT_EQ(run("return date(nil, 0, 86400)"), (R{"s:1970-01-02 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2024-02-29 12:00:00', -86400 * 366)"),
            (R{"s:2023-02-28 12:00:00"}));
  EXPECT_EQ(run("return date('!%H:%M', 3600.0)"), (R{"s:01:00"})) << "an integral float counts";
  R now = run("return date()");
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].size(), 2 + 19u) << "without a when: the host time";
}

TEST_F(SystemApi, DateMatchesPythonAndStockLua) {
  for (const date_case &c : python_dates) {
    std::string code = "return date('!" + std::string(c.format) + "', " + std::to_string(c.when) +
                       (c.offset ? ", " + std::to_string(*c.offset) : "") + ")";
    EXPECT_EQ(run(code), (R{"s:" + std::string(c.text)})) << code;
  }
}

TEST_F(SystemApi, DateTextsAreReadByPosition) {
  for (auto [text, seconds] : python_date_texts) {
    EXPECT_EQ(date_text_to_time(text), seconds) << text;
    EXPECT_EQ(run("return date(nil, '" + std::string(text) + "')"), (R{"s:" + std::string(text)}));
  }
  EXPECT_EQ(date_text_to_time("2024/02/29T12.00.00Z"), date_text_to_time("2024-02-29 12:00:00"))
      << "separators are ignored";
}

TEST_F(SystemApi, ShortAndOddDateTexts) {
  EXPECT_EQ(run("return date(nil, '')"), (R{"s:1970-01-01 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2024')"), (R{"s:2024-01-01 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2024-02-29')"), (R{"s:2024-02-29 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2024-02-29 12:3')"), (R{"s:2024-02-29 12:00:00"}))
      << "a field cut short counts as absent";
  EXPECT_EQ(run("return date(nil, '2024-02-29 12:34:5')"), (R{"s:2024-02-29 12:34:00"}));
  EXPECT_EQ(run("return date(nil, '2024-13-01 00:00:00')"), (R{"s:2025-01-01 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2024-00-10 00:00:00')"), (R{"s:2023-12-10 00:00:00"}));
  EXPECT_EQ(run("return date(nil, '2023-02-29 25:61:61')"), (R{"s:2023-03-02 02:02:01"}));
  EXPECT_EQ(run("return date(nil, '2O24-0x-29 ab:00:00')"), (R{"s:2023-12-29 00:00:00"}))
      << "a character that is not a digit counts as 0: year 2024, month 0";
}

TEST_F(SystemApi, DateTableMatchesStockLua) {
  for (const auto &[when, f] : lua_date_tables) {
    R r = run("local d = date('!*t', " + std::to_string(when) +
              ") return d.year, d.month, d.day, d.hour, d.min, d.sec, d.yday, d.wday, d.isdst");
    R want;
    for (int i = 0; i < 8; i++) want.push_back("i:" + std::to_string(f[size_t(i)]));
    want.push_back(f[8] ? "b:true" : "b:false");
    EXPECT_EQ(r, want) << when;
  }
}

TEST_F(SystemApi, DateInLocalTime) {
  scoped_tz tz("XYZ3");
  EXPECT_EQ(run("return date('%Y-%m-%d %H', 0), date('!%H', 0)"), (R{"s:1969-12-31 21", "s:00"}));
  EXPECT_EQ(run("return date('*t', 0).hour"), (R{"i:21"}));
}

TEST_F(SystemApi, DateErrorsAreTheLanguages) {
  EXPECT_EQ(run("return date('%Q', 0)"),
            (R{"error: test:1: bad argument #1 to 'date' (invalid conversion specifier '%Q')"}));
  EXPECT_EQ(run("return date('!%Y %', 0)"),
            (R{"error: test:1: bad argument #1 to 'date' (invalid conversion specifier '%')"}));
  EXPECT_EQ(run("return date('%Ez', 0)"),
            (R{"error: test:1: bad argument #1 to 'date' (invalid conversion specifier '%Ez')"}));
  EXPECT_EQ(run("return date('%Oy %OE', 0)"),
            (R{"error: test:1: bad argument #1 to 'date' (invalid conversion specifier '%OE')"}));
  EXPECT_EQ(run("return date('%Y %O', 0)"),
            (R{"error: test:1: bad argument #1 to 'date' (invalid conversion specifier '%O')"}));
  EXPECT_EQ(run("return date('%Y', 1.5)"),
            (R{"error: test:1: bad argument #2 to 'date' (number has no integer representation)"}));
  EXPECT_EQ(run("return date('%Y', {})"),
            (R{"error: test:1: bad argument #2 to 'date' (number expected, got table)"}));
  EXPECT_EQ(run("return date('%Y', 0, 0.5)"),
            (R{"error: test:1: bad argument #3 to 'date' (number has no integer representation)"}));
  EXPECT_EQ(run("return date(nil, math.maxinteger, 1)"),
            (R{"error: test:1: time result cannot be represented in this installation"}));
  EXPECT_EQ(run("return date(nil, math.mininteger, -1)"),
            (R{"error: test:1: time result cannot be represented in this installation"}));
  EXPECT_EQ(run("return date(nil, math.maxinteger)"),
            (R{"error: test:1: date result cannot be represented in this installation"}));
  EXPECT_EQ(run("return date({})"),
            (R{"error: test:1: bad argument #1 to 'date' (string expected, got table)"}));
}

TEST_F(SystemApi, DateFormatKeepsItsNulBytes) {
  EXPECT_EQ(run("return date('!%Y\\0%m', 0)"), (R{std::string("s:1970\0" "01", 9)}));
  EXPECT_EQ(run("return date('!*t\\0x', 0).year"), (R{"i:1970"})) << "*t is read as a C text";
}

/* ---------------------------------------------------------------------- */
/* the userland clipboard                                                 */
/* ---------------------------------------------------------------------- */

TEST_F(SystemApi, UserlandClipboardIsSharedAndKeepsNuls) {
  EXPECT_EQ(run("return _get_userland_clipboard_text()"), (R{"s:"}));
  run("_set_userland_clipboard_text('a\\0b')");
  EXPECT_EQ(run("return _get_userland_clipboard_text()"), (R{std::string("s:a\0b", 5)}));
  run("_set_userland_clipboard_text({}) _set_userland_clipboard_text()");
  EXPECT_EQ(userland_clipboard_text, std::string("a\0b", 3)) << "not a text: no change";
  run("_set_userland_clipboard_text(12)");
  process *other = create_process_from_code("", "other", "/apps/other.lua");
  ASSERT_NE(other, nullptr);
  give_system_functions(other);
  cproc = other;
  EXPECT_EQ(run("return _get_userland_clipboard_text()"), (R{"s:12"})) << "one text for all";
  cproc = root;
  // A text too long to be interned is a new block each time: it pays for it.
  int64_t short_text = charge_of("_get_userland_clipboard_text", "");
  userland_clipboard_text.assign(41, 'x');
  EXPECT_GE(charge_of("_get_userland_clipboard_text", "") - short_text, 12);
  userland_clipboard_text = "12";
  ASSERT_TRUE(processes_init());  // as a reboot does
  EXPECT_EQ(userland_clipboard_text, "12") << "it outlives the processes";
}

/* ---------------------------------------------------------------------- */
/* the window title                                                       */
/* ---------------------------------------------------------------------- */

class SystemApiWindow : public SystemApi {
 protected:
  void SetUp() override {
    SystemApi::SetUp();
    env.set("SDL_VIDEODRIVER", "dummy");
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
    saved_inited = system_inited;
    system_inited = true;
    set_default_config();
    config.fullscreen = 0;
    config.pixel_scale = 1;
    os_apply_video_config();
    ASSERT_NE(os_get_window(), nullptr);
  }
  void TearDown() override {
    os_release_video();
    SDL_Quit();
    system_inited = saved_inited;
    SystemApi::TearDown();
  }
  scoped_env env;
  bool saved_inited = false;
};

TEST_F(SystemApiWindow, TitleTakesTextsAndNumbers) {
  run("_set_host_window_title('my program')");
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "my program");
  run("_set_host_window_title(3.5)");
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "3.5");
  run("_set_host_window_title({}) _set_host_window_title()");
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "3.5") << "anything else changes nothing";
}

}  // namespace
