// The file history over two simulated days: snapshots, blobs and deltas
// written as files change, versions fetched back byte-exact by date, damage
// detected, and the path table and blob hash on their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/system.h"
#include "pdisk/htable.h"
#include "pdisk/murmur3.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"
#include "vfs_fixture.h"

namespace {

time_t fake_now = 0;

time_t utc(int y, int mo, int d, int h, int mi) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  return timegm(&tm);
}

std::string noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) c = char(rng());
  return s;
}

std::string read_whole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string fetched(const std::string &text) {
  buffer_owner b = yorelog_fetch(text);
  return b ? std::string(reinterpret_cast<const char *>(b->data), size_t(b->length)) : "(none)";
}

class History : public Vfs {
 protected:
  void SetUp() override {
    Vfs::SetUp();
    data = testing::TempDir() + "kestrune-history-" + std::to_string(getpid());
    std::filesystem::remove_all(data);
    std::filesystem::create_directories(data);
    config.home_path = data;
    config.yorelog = 1;
    yorelog_clock = [] { return fake_now; };
    yorelog_open();
  }
  void TearDown() override {
    yorelog_close();
    config.yorelog = 0;
    config.home_path.clear();
    yorelog_clock = [] { return time(nullptr); };
    std::filesystem::remove_all(data);
    Vfs::TearDown();
  }
  std::string log_of(const char *day) { return read_whole(data + "/yorelog/2024-05/" + day + ".log"); }
  // Steps the day's snapshot to its end, as the frame loop does.
  int step_to_end() {
    int steps = 0;
    for (; yorelog_snapshot_pending() && steps < 10000; steps++) yorelog_step();
    return steps;
  }
  int blobs() {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator(data + "/yorelog/2024-05/tuk")) n += e.is_regular_file();
    return n;
  }
  std::string data;
};

TEST_F(History, TwoDaysOfChanges) {
  std::string v0 = noise(100000, 1), v1 = v0, v2 = v0;
  v1[5000] ^= 1;
  v2[90000] ^= 2;
  host_put("big.bin", v0);
  host_put("docs/readme.txt", "hello");
  std::filesystem::create_directory_symlink(host, host + "/docs/loop"); // must not trap the walk

  // Day 1: the first change of the day writes the snapshot first.
  fake_now = utc(2024, 5, 10, 9, 0);
  ASSERT_TRUE(put("/big.bin", v1));
  std::string day1 = log_of("10");
  EXPECT_NE(day1.find(": " + murmur3_hex(v0.data(), v0.size()) + " /big.bin\n"), std::string::npos) << day1;
  EXPECT_NE(day1.find("^ /docs/\n"), std::string::npos);
  EXPECT_NE(day1.find(" /docs/readme.txt\n"), std::string::npos);
  EXPECT_NE(day1.find("@ 2024-05-10_09:00:00\n+ " + murmur3_hex(v0.data(), v0.size()) + " /big.bin\n| "),
            std::string::npos);
  EXPECT_EQ(blobs(), 2); // the snapshot's two files; the one-byte change is a delta

  // A 300-byte file: first whole, then rewritten entirely as a small delta.
  fake_now = utc(2024, 5, 10, 9, 10);
  ASSERT_TRUE(put("/small.txt", std::string(300, 'a')));
  ASSERT_TRUE(put("/small.txt", std::string(300, 'b')));
  // A 64 KB file whose delta is larger than a sixteenth of it: a new blob.
  std::string mid = noise(65536, 2), mid2 = mid;
  for (size_t i = 0; i < mid2.size(); i += 13) mid2[i] ^= 0x55;
  ASSERT_TRUE(put("/mid.bin", mid));
  ASSERT_TRUE(put("/mid.bin", mid2));
  ASSERT_EQ(pmkdir("/made"), 0);
  delete_path("/small.txt");
  day1 = log_of("10");
  EXPECT_NE(day1.find("$ " + murmur3_hex(mid2.data(), mid2.size()) + " /mid.bin\n"), std::string::npos);
  EXPECT_NE(day1.find("\n+ " + murmur3_hex(std::string(300, 'a').data(), 300) + " /small.txt\n"),
            std::string::npos);
  EXPECT_NE(day1.find("> /made\n"), std::string::npos);
  EXPECT_NE(day1.find("- /small.txt\n"), std::string::npos);

  // Day 2: its snapshot holds the version from before its first change.
  fake_now = utc(2024, 5, 11, 8, 0);
  ASSERT_TRUE(put("/big.bin", v2));
  std::string day2 = log_of("11");
  EXPECT_NE(day2.find(": " + murmur3_hex(v1.data(), v1.size()) + " /big.bin\n"), std::string::npos);

  struct row {
    std::string text, expected;
  };
  const std::vector<row> rows = {
      {"/big.bin@2024-05-10 08:59:59", v0},  // the day's snapshot
      {"/big.bin@2024-05-10 09:00:00", v1},  // rebuilt from its delta
      {"/big.bin@2024-05-11 07:00:00", v1},  // the next day's snapshot
      {"/big.bin@2024-05-11 08:00:00", v2},
      {"/big.bin@2024-06-30 12:00:00", v2},  // the latest log before that day
      {"/big.bin@2031-01-01 00:00:00", v2},  // years past 2030 are searched from 2030
      {"/small.txt@2024-05-10 09:10:00", std::string(300, 'b')},
      {"/mid.bin@2024-05-10 09:10:00", mid2},
      {"/big.bin@2024-03-31 10:00:00", "(none)"}, // before any log
      {"/nothing@2024-05-10 10:00:00", "(none)"},
      {"/big.bin@2024-13-01 00:00:00", "(none)"}, // a bad date returns at once
      {"/big.bin@2024-05-00 00:00:00", "(none)"},
      {"/big.bin@2024-05-1x 00:00:00", "(none)"},
      {"/big.bin@2024-05-10", "(none)"},
      {"/big.bin", "(none)"},
  };
  for (const row &r : rows) EXPECT_TRUE(fetched(r.text) == r.expected) << r.text;
  // Every month and day looked for on the way back is a probe of the host,
  // charged; months without a folder are passed over whole.
  cpu_cycles = 0;
  EXPECT_EQ(fetched("/nothing@2030-12-31 00:00:00"), "(none)");
  EXPECT_GE(cpu_cycles, (78 + 21) * yorelog_probe_cycles);
  EXPECT_LT(cpu_cycles, 200 * yorelog_probe_cycles);

  // A damaged blob is found out, not handed back.
  std::string blob = data + "/yorelog/2024-05/tuk/" + murmur3_hex(v0.data(), v0.size());
  std::string damaged = v0;
  damaged[10] ^= 1;
  std::ofstream(blob, std::ios::binary) << damaged;
  EXPECT_EQ(fetched("/big.bin@2024-05-10 08:00:00"), "(none)");
  EXPECT_EQ(fetched("/big.bin@2024-05-10 09:00:00"), "(none)");

  // Off: nothing is recorded.
  config.yorelog = 0;
  fake_now = utc(2024, 5, 12, 8, 0);
  ASSERT_TRUE(put("/big.bin", v0));
  EXPECT_FALSE(std::filesystem::exists(data + "/yorelog/2024-05/12.log"));
}

// A drive larger than one step of the snapshot, and what happens to it while
// the snapshot is walked a step at a time. Whatever comes between, the day's
// log ends with every file in it once, as of before any change, and the
// changes after it, under their own times.
TEST_F(History, SnapshotSpreadOverSteps) {
  constexpr int files = 3 * int(yorelog_step_files);
  struct drive_file {
    std::string path, text;
  };
  std::vector<drive_file> drive;
  for (int i = 0; i < files; i++) {
    char name[32];
    snprintf(name, sizeof name, "/d%d/f%02d.txt", i % 3, i);
    drive.push_back({name, "version 0 of " + std::string(name)});
  }
  const std::string last = drive.back().path; // in "/d2", which the walk comes to last

  struct fetch_row {
    std::string path, at, expected;
  };
  struct spread_case {
    const char *name;
    std::function<void(History &)> meanwhile; // after the first step
    std::vector<fetch_row> rows;              // besides every other file before 09:00
    std::vector<std::string> changed;         // files whose later versions differ
  };
  const std::string old_last = "version 0 of " + last;
  const std::vector<spread_case> cases = {
      {"nothing", [](History &) {}, {}, {}},
      {"changed before the walk comes to it",
       [&](History &) {
         fake_now = utc(2024, 5, 20, 9, 30);
         cpu_cycles = 0;
         ASSERT_TRUE(put(last, "changed"));
         // The writer pays for the version recorded ahead of the walk.
         EXPECT_GE(cpu_cycles, 2 * pfile_write_cycles);
       },
       {{last, "09:29:59", old_last}, {last, "09:30:00", "changed"}},
       {last}},
      {"deleted before the walk comes to it",
       [&](History &) {
         fake_now = utc(2024, 5, 20, 9, 30);
         delete_path(last);
       },
       {{last, "09:29:59", old_last}, {last, "23:00:00", old_last}},
       {last}},
      {"made while the walk goes on",
       [&](History &) {
         fake_now = utc(2024, 5, 20, 9, 30);
         ASSERT_TRUE(put("/d2/f99.txt", "new"));
       },
       {{"/d2/f99.txt", "09:29:59", "(none)"}, {"/d2/f99.txt", "09:30:00", "new"}},
       {}},
      {"fetched before the walk comes to it", [&](History &) {},
       {{last, "09:00:00", old_last}}, {}},
      {"history switched off, then a change",
       [&](History &) {
         config.yorelog = 0;
         fake_now = utc(2024, 5, 20, 9, 30);
         ASSERT_TRUE(put(last, "changed while off"));
         config.yorelog = 1;
       },
       {{last, "23:00:00", old_last}},
       {last}},
      {"exit, then the next boot",
       [&](History &) {
         yorelog_close();
         EXPECT_FALSE(yorelog_snapshot_pending());
         fake_now = utc(2024, 5, 20, 9, 30);
         yorelog_open(); // loads the log and goes on
       },
       {}, {}},
      {"reboot",
       [&](History &) {
         yorelog_open();
         EXPECT_TRUE(yorelog_snapshot_pending());
       },
       {}, {}},
  };
  for (const spread_case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(data + "/yorelog");
    std::filesystem::remove_all(host);
    for (const drive_file &f : drive) host_put(f.path.substr(1), f.text);
    yorelog_close();
    config.yorelog = 0;
    yorelog_open();

    // The history switched on.
    fake_now = utc(2024, 5, 20, 9, 0);
    config.yorelog = 1;
    yorelog_event(yorelog_open_day, "", "");
    ASSERT_TRUE(yorelog_snapshot_pending());
    std::string first = log_of("20");
    EXPECT_TRUE(first.starts_with("@ 2024-05-20_00:00:00 __start_snapshot\n")) << first;
    EXPECT_EQ(first.find(" " + last + "\n"), std::string::npos);
    if (std::string(c.name).starts_with("fetched")) {
      EXPECT_EQ(fetched(last + "@2024-05-20 00:00:00"), old_last);
      EXPECT_NE(log_of("20").find(" " + last + "\n"), std::string::npos);
    }
    c.meanwhile(*this);
    EXPECT_GT(step_to_end(), 1);
    EXPECT_FALSE(yorelog_snapshot_pending());

    std::string log = log_of("20");
    EXPECT_NE(log.find(" __end_snapshot\n"), std::string::npos);
    for (const drive_file &f : drive) {
      std::string line = ": " + murmur3_hex(f.text.data(), f.text.size()) + " " + f.path + "\n";
      size_t first_at = log.find(line);
      EXPECT_NE(first_at, std::string::npos) << f.path;
      EXPECT_EQ(log.find(line, first_at + 1), std::string::npos) << f.path << " twice";
      bool changed = std::find(c.changed.begin(), c.changed.end(), f.path) != c.changed.end();
      EXPECT_EQ(fetched(f.path + "@2024-05-20 08:59:59"), f.text) << f.path;
      if (!changed) EXPECT_EQ(fetched(f.path + "@2024-05-20 23:00:00"), f.text) << f.path;
    }
    for (const fetch_row &r : c.rows)
      EXPECT_EQ(fetched(r.path + "@2024-05-20 " + r.at), r.expected) << r.path << " at " << r.at;
    // Every line whole; every entry after snapshot lines under a time of its own.
    EXPECT_EQ(log.find("\n\n"), std::string::npos);
    for (size_t at = log.find("\n- "); at != std::string::npos; at = log.find("\n- ", at + 1))
      EXPECT_EQ(log.rfind("@ 2024-05-20_09:30:00\n", at), log.rfind("@ ", at)) << log;
  }
}

// A log whose last line lost its end: the next entries start lines of their
// own, the cut line stays unread, and each version comes back at its time.
TEST_F(History, AppendAfterACutLine) {
  fake_now = utc(2024, 5, 21, 9, 0);
  ASSERT_TRUE(put("/notes.txt", "first"));
  // A version whose record was cut before its line end; its blob is there.
  std::string lost = "lost version";
  std::filesystem::create_directories(data + "/yorelog/2024-05/tuk");
  std::ofstream(data + "/yorelog/2024-05/tuk/" + murmur3_hex(lost.data(), lost.size()),
                std::ios::binary) << lost;
  std::ofstream(data + "/yorelog/2024-05/21.log", std::ios::binary | std::ios::app)
      << "@ 2024-05-21_09:10:00\n$ " << murmur3_hex(lost.data(), lost.size()) << " /notes.txt";
  fake_now = utc(2024, 5, 21, 10, 0);
  ASSERT_TRUE(put("/notes.txt", "second, rather longer than the first"));
  fake_now = utc(2024, 5, 21, 11, 0);
  ASSERT_TRUE(put("/notes.txt", "third"));

  std::string log = log_of("21");
  for (size_t at = log.find('@'); at != std::string::npos; at = log.find('@', at + 1))
    EXPECT_TRUE(at == 0 || log[at - 1] == '\n') << log;
  struct row {
    const char *at, *expected;
  };
  const std::vector<row> rows = {
      {"09:00:00", "first"},
      {"09:30:00", "first"}, // not the cut version
      {"10:00:00", "second, rather longer than the first"},
      {"10:59:59", "second, rather longer than the first"},
      {"11:00:00", "third"},
  };
  for (const row &r : rows) EXPECT_EQ(fetched(std::string("/notes.txt@2024-05-21 ") + r.at), r.expected) << r.at;
  // Loaded afresh (a new session), the table skips the cut line as well.
  yorelog_open();
  fake_now = utc(2024, 5, 21, 12, 0);
  ASSERT_TRUE(put("/notes.txt", "fourth"));
  EXPECT_EQ(fetched("/notes.txt@2024-05-21 12:00:00"), "fourth");
  EXPECT_EQ(fetched("/notes.txt@2024-05-21 11:00:00"), "third");
}

TEST(HistoryParts, PathTableAndBlobHash) {
  EXPECT_FALSE(create_htable(100));
  std::unique_ptr<htable> t = create_htable(64);
  ASSERT_TRUE(t);
  // Bytes above 127 count as negative numbers.
  uint32_t h = 0xCAFEF00Du;
  h = uint32_t(int32_t(-1)) * (h ^ 0xF1378C35u);
  h ^= uint32_t(int32_t(h) >> 15);
  EXPECT_EQ(htable_hash("\xff"), h);
  EXPECT_NE(htable_hash("\xff"), htable_hash("\x7f"));
  EXPECT_EQ(htable_insert(*t, "/a", "1"), 0);
  EXPECT_EQ(htable_insert(*t, "/a", "2"), 0);
  EXPECT_EQ(htable_get(*t, "/a"), "2");
  EXPECT_EQ(htable_get(*t, "/b"), std::nullopt);
  int stored = 0;
  for (int i = 0; i < 200; i++) stored += htable_insert(*t, "/k" + std::to_string(i), "v") == 0;
  EXPECT_EQ(int(t->count), stored + 1);
  EXPECT_LE(stored, 63);

  EXPECT_EQ(murmur3_hex("", 0), std::string(32, '0'));
  const char *fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(murmur3_hex(fox, strlen(fox)), "6c1b07bc7bbc4be347939ac4a93c437a");
}

} // namespace
