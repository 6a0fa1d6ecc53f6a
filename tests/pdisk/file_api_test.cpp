// The file functions driven by hostile scripts: bombs and refusals leave the
// files as they were, charges follow the work, nothing crashes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "pdisk/pfile.h"
#include "values/png_qoi.h"
#include "values/crc32.h"
#include "../kernel/script_api_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using namespace script_api_test;

class FileApi : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    host = testing::TempDir() + "kestrune-file-api-" + std::to_string(getpid());
    std::filesystem::remove_all(host);
    std::filesystem::create_directories(host);
    pfile_init();
    pfile_reset();
    ASSERT_TRUE(mount_host_path("/", host));
    ASSERT_TRUE(mount_ram_folder("/ram"));
  }
  void TearDown() override {
    pfile_reset();
    std::filesystem::remove_all(host);
    ScriptApi::TearDown();
  }
  std::string host;
};

// A png that says it is 100000 x 100000 pixels.
std::string png_bomb() {
  std::string ihdr("IHDR\0\1\x86\xa0\0\1\x86\xa0\x08\x06\0\0\0", 17);
  uint32_t crc = crc32b(reinterpret_cast<const uint8_t *>(ihdr.data()), int64_t(ihdr.size()));
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12);
  png += ihdr;
  for (int s = 24; s >= 0; s -= 8) png += char(crc >> s);
  return png + std::string(64, '\0');
}

TEST_F(FileApi, HostileValuesLeaveFilesAsTheyWere) {
  std::ofstream(host + "/bomb.png", std::ios::binary) << png_bomb();
  CaptureStdout();
  EXPECT_EQ(run("return select('#', fetch('/bomb.png'))"), (R{"i:0"}));
  EXPECT_EQ(GetCapturedStdout(), " ** couldn't load png\n");

  EXPECT_EQ(run(R"(
    store("/ram/keep.txt", "kept", '--[[tuk_format="raw", metadata_format="none"]]')
    local t = {} t[1] = t
    store("/ram/keep.txt", t)                         -- cycle: cannot be written
    local deep = {} for i = 1, 1000 do deep = {deep} end
    store("/ram/keep.txt", deep)                      -- too deep
    store("/ram/pic.png", userdata("f64", 2, 2))      -- not a picture type
    store("/ram/pic.png", {1, 2})
    mkdir("/ram/c.kvt")
    store("/ram/c.kvt/a.txt", "a", '--[[tuk_format="raw"]]')
    store("/ram/c.kvt", {1})                          -- a cartridge takes bytes only
    return fetch("/ram/keep.txt") == "kept", fetch("/ram/pic.png"), #ls("/ram/c.kvt")
  )"),
            (R{"b:true", "nil", "i:1"}));

  // Texts too long for the mount table: no mount is made.
  size_t mounts = pmount_table.size();
  EXPECT_EQ(run(R"(
    local long = string.rep("/abc", 1200)
    mount(long, "/ram")
    mount("/m", "/ram" .. long)
    return mkdir(long .. ".kvt")
  )"),
            (R{"s:mkdir failed"}));
  EXPECT_EQ(pmount_table.size(), mounts);

  // Names that would leave the cache folder, and arguments of the wrong type.
  EXPECT_EQ(run(R"(
    _cache_store("..", "x", string.rep("x", 600))
    _cache_store("carts", "../../escape", string.rep("x", 600))
    return _cache_fetch("..", "x"), _cache_fetch("carts", "../../escape"),
           fetch(7), store(7, 1), ls(false), mkdir(1), fullpath({}), cd(nil), cp("/a")
  )"),
            (R{"nil", "nil", "nil", "nil", "nil", "s:mkdir: no path", "nil", "nil"}));
}

// A script filling RAM files in a loop fills the RAM file space and no more:
// the stores past it are refused, the files made before keep their bytes.
TEST_F(FileApi, RamFileBombsStopAtTheSpace) {
  const int64_t saved_room = ram_files_room;
  ram_files_room = 1 << 20;
  CaptureStdout();
  EXPECT_EQ(run(R"(
    local s = string.rep("x", 65536)
    for i = 1, 100 do store("/ram/f" .. i, s, '--[[tuk_format="raw", metadata_format="none"]]') end
    local made = 0
    for i = 1, 100 do if fetch("/ram/f" .. i) then made = made + 1 end end
    return made, fetch("/ram/f1") == s
  )"),
            (R{"i:15", "b:true"}));
  EXPECT_NE(GetCapturedStdout().find("** out of RAM file space **"), std::string::npos);
  ram_files_room = saved_room;
}

// Work done by the host on a script's behalf, whatever its size, is charged
// before it runs: long paths by their bytes, norm's trace by what it may print,
// a fetch's worker, a new process, and the signals that reach the host.
TEST_F(FileApi, HostWorkIsChargedBeforeItRuns) {
  config.network_access = 1;
  const int64_t long_path = 1 + 2 * 2000;  // '/' .. ('a/'):rep(2000)
  const struct {
    const char *fn, *args;
    int64_t at_least;
  } rows[] = {
      {"fstat", "p", 4 * long_path},
      {"fetch", "p", 4 * long_path},
      {"store", "p, 'x'", 4 * long_path},
      {"mkdir", "p", 4 * long_path},
      {"_fdelete", "p", 4 * long_path},
      {"fullpath", "p", 4 * long_path},
      {"cp", "p, p", 8 * long_path},
      {"norm", "q", 200 * 401},  // every segment prints the path so far
      {"_fetch_remote", "'http://127.0.0.1:1/'", 16384},
      {"_create_process_from_code", "'', 'x', '/apps/x.lua'", 32768},
      {"_signal", "16", pfile_write_cycles},  // an audio capture starts
      {"_signal", "16", pfile_write_cycles},  // and ends
      {"_signal", "65", 4096},
  };
  // (norm's path is shorter: its charge stays below the cpu limit.)
  EXPECT_EQ(run("p = '/' .. ('a/'):rep(2000) q = '/' .. ('a/'):rep(200)"), (R{}));
  for (const auto &r : rows) {
    bool trace = std::string(r.fn) == "norm";
    if (trace) CaptureStdout();
    int64_t charged = charge_of(r.fn, r.args);
    if (trace) GetCapturedStdout();
    EXPECT_GE(charged, r.at_least) << r.fn << "(" << r.args << ")";
  }
}

// Every operation a file call makes on the host is paid for, whatever comes
// of it: a missing file costs its look-up, a failed open its open. Each row
// sums the host operations the call makes at the least.
TEST_F(FileApi, HostOperationsArePaidForWhateverComesOfThem) {
  config.home_path = host + "/data";
  std::filesystem::create_directories(config.home_path + "/cache/carts");
  std::ofstream(config.home_path + "/cache/carts/c.kvt", std::ios::binary) << std::string(600, 'c');
  const int64_t n = 5000;  // the drive file's and the RAM file's bytes
  std::ofstream(host + "/d.txt", std::ios::binary) << std::string(n, 'x');
  std::ofstream(host + "/d.lua", std::ios::binary) << "--[[tuk a=1]]\nreturn 1";
  std::filesystem::create_directories(host + "/many");
  for (int i = 1; i <= 40; i++) std::ofstream(host + "/many/f" + std::to_string(i)) << "x";
  EXPECT_EQ(run(R"(
    raw = '--[[tuk_format="raw", metadata_format="none"]]'
    store('/ram/r.txt', ('x'):rep(5000), raw)
    chunk = ('local a = 1 a = a + 1 '):rep(50)
  )"),
            (R{}));
  const int64_t stat = pfile_host_stat_cycles, open = pfile_host_open_cycles,
                folder = pfile_host_folder_cycles, bytes = pfile_bytes_per_cycle;
  const struct {
    const char *fn, *args;
    int64_t at_least;
  } rows[] = {
      {"fetch", "'/d.txt'", open + n / bytes},
      {"fetch", "'/none.txt'", open},
      {"fetch", "'/many'", open},                      // a folder is no file
      {"fetch", "'/ram/r.txt'", n / bytes},            // its bytes copied out
      {"store", "'/e.txt', 'y', raw", open + pfile_write_cycles},
      {"store", "'/none/x.txt', 'y', raw", open},      // no folder to write in
      {"store", "'/ram/s.txt', ('y'):rep(5000), raw", n / bytes},
      {"fstat", "'/d.txt'", folder + 2 * stat},        // not a folder; a file; its size
      {"fstat", "'/many'", folder + stat},
      {"fstat", "'/none.txt'", folder + stat},
      {"ls", "'/many'", folder + 40 * pfile_host_entry_cycles},
      {"ls", "'/none'", folder},
      {"mkdir", "'/dd'", folder + pfile_host_mkdir_cycles},
      {"mkdir", "'/many'", folder},                    // there already
      {"_fdelete", "'/dd'", stat + pfile_host_rmdir_cycles},
      {"_fdelete", "'/many/f1'", pfile_host_unlink_cycles},
      {"_fdelete", "'/none.txt'", 2 * stat},
      {"cp", "'/d.txt', '/d2.txt'", 2 * open + pfile_write_cycles + n},
      {"cp", "'/none.txt', '/d3.txt'", open},
      {"cd", "'/many'", folder},
      {"cd", "'/none'", folder},
      {"_cache_fetch", "'carts', 'c.kvt'", stat + open + 600 / bytes},
      {"_cache_fetch", "'carts', 'none.kvt'", stat},
      {"_cache_store", "'carts', 'c.kvt', ('c'):rep(600)", pfile_write_cycles},
      {"_fetch_metadata_from_file", "'/d.lua'", open},
      {"_fetch_metadata_from_file", "'/none.lua'", open},
      {"_store_metadata_str_to_file", "'/ram/r.txt', '--[[tuk b=2]]'", 2 * n / bytes},
      {"load", "chunk", 2 * 50 * 22},                  // compiled: more than a cycle a byte
  };
  for (const auto &r : rows)
    EXPECT_GE(charge_of(r.fn, r.args), r.at_least) << r.fn << "(" << r.args << ")";
  // The calls did what they were charged for.
  EXPECT_EQ(run("return fstat('/dd'), fstat('/many/f1'), #fetch('/d2.txt'), #fetch('/ram/s.txt'), "
                "fetch('/e.txt')"),
            (R{"nil", "nil", "i:5000", "i:5000", "s:y"}));
}

// A host folder as large as a photo collection lists whole in one call: its
// charge stays far below the cpu limit, since the listing tells each entry's
// kind without a look at the entry itself.
TEST_F(FileApi, ALargeHostFolderListsWithinOneCall) {
  std::filesystem::create_directories(host + "/big/sub");
  for (int i = 1; i < 6000; i++) std::ofstream(host + "/big/f" + std::to_string(i)) << "x";
  cpu_cycles = 0;
  EXPECT_EQ(run("local t, n = ls('/big') return #t, n"), (R{"i:6000", "i:1"}));
  EXPECT_LT(cpu_cycles, cpu_overrun_limit / 4);
}

TEST_F(FileApi, ChargesFollowTheWork) {
  EXPECT_EQ(run(R"(
    for i = 1, 3000 do store("/ram/many/f" .. i, "", '--[[tuk_format="raw", metadata_format="none"]]') end
    store("/ram/big", string.rep("x", 100000), '--[[tuk_format="raw", metadata_format="none"]]')
  )"),
            (R{}));
  EXPECT_GE(charge_of("ls", "'/ram/many'"), 3000 * 16);
  EXPECT_GE(charge_of("cp", "'/ram/big', '/ram/big2'"), 100000);
  EXPECT_LT(charge_of("cp", "'/ram/none', '/ram/big3'"), 1000);  // its two paths, nothing copied
  EXPECT_EQ(run("local t, n = ls('/ram/many') return #t, n, t[1], t[3000]"),
            (R{"i:3000", "i:0", "s:f1", "s:f3000"}));
  // What a listing looks at and does not show costs as much: hidden files,
  // and files in folders that have no folder of their own.
  EXPECT_EQ(run(R"(
    for i = 1, 2000 do store("/ram/hidden/.f" .. i, "", '--[[tuk_format="raw", metadata_format="none"]]') end
    for i = 1, 2000 do store("/ram/deep/d" .. i .. "/f", "", '--[[tuk_format="raw", metadata_format="none"]]') end
  )"),
            (R{}));
  EXPECT_GE(charge_of("ls", "'/ram/hidden'"), 2000 * 16);
  EXPECT_GE(charge_of("ls", "'/ram/deep'"), 2000 * 16);
  EXPECT_EQ(run("return #ls('/ram/hidden'), #ls('/ram/deep')"), (R{"i:0", "i:0"}));

  // Pictures are charged by what the codec costs, before it runs.
  EXPECT_GE(charge_of("store", "'/ram/p.png', userdata('u8', 200, 100)"), png_coding_cycles(20000));
  EXPECT_GE(charge_of("fetch", "'/ram/p.png'"), png_coding_cycles(20000));
  EXPECT_EQ(run("local p = fetch('/ram/p.png') return p:width(), p:height()"), (R{"i:200", "i:100"}));

  // A cartridge met on a path is read once to see that it opens and once to
  // fill its folder: both reads are charged.
  std::string cart = "kestrune cartridge\nversion 2\n\n:: a.txt\n" + std::string(80000, 'x') + "\n:: [eoc]\n";
  std::ofstream(host + "/c.kvt", std::ios::binary) << cart;
  EXPECT_GE(charge_of("fetch", "'/c.kvt/a.txt'"), 2 * int64_t(cart.size()) / 8);
  EXPECT_EQ(run("return #fetch('/c.kvt/a.txt')"), (R{"i:80000"}));
}

} // namespace
