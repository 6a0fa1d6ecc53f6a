// Atomic host writes: the new bytes whole, or the old file untouched.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_write.h"

namespace {

class AtomicWrite : public testing::Test {
 protected:
  void SetUp() override {
    dir = testing::TempDir() + "kestrune-atomic-" + std::to_string(getpid()) + "-" +
          testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string read(const std::string &path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entries() const {
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) n += !e.path().empty();
    return n;
  }
  std::set<std::string> names(const std::string &folder) const {
    std::set<std::string> all;
    for (const auto &e : std::filesystem::directory_iterator(folder))
      all.insert(e.path().filename().string());
    return all;
  }
  std::string dir;
};

TEST_F(AtomicWrite, WritesNewAndReplacesOldFiles) {
  std::string path = dir + "/f.txt";
  EXPECT_TRUE(write_host_file_atomically(path, "one", 3));
  EXPECT_EQ(read(path), "one");
  chmod(path.c_str(), 0600);
  EXPECT_TRUE(write_host_file_atomically(path, "second", 6));
  EXPECT_EQ(read(path), "second");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u); // the old file's mode is kept
  EXPECT_TRUE(write_host_file_atomically(path, "", 0));
  EXPECT_EQ(read(path), "");
  EXPECT_EQ(entries(), 1u);

  // a link is written through
  std::string link = dir + "/link";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_TRUE(write_host_file_atomically(link, "via", 3));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read(path), "via");

  // a long name still finds room for its temporary
  std::string long_name = dir + "/" + std::string(250, 'n');
  EXPECT_TRUE(write_host_file_atomically(long_name, "x", 1));
}

TEST_F(AtomicWrite, RefusesWhatItCannotReplace) {
  std::string error;
  EXPECT_FALSE(write_host_file_atomically(dir, "x", 1, &error));
  EXPECT_NE(error.find("not a file"), std::string::npos);
  EXPECT_FALSE(write_host_file_atomically(dir + "/no/such/folder/f", "x", 1, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos);
  EXPECT_FALSE(write_host_file_atomically("", "x", 1));
  EXPECT_EQ(entries(), 0u);
}

TEST_F(AtomicWrite, AWriteCutShortLeavesTheOldFile) {
  std::string path = dir + "/keep";
  ASSERT_TRUE(write_host_file_atomically(path, "old bytes", 9));
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit small{100, 100};
    setrlimit(RLIMIT_FSIZE, &small);
    std::string big(100000, 'b');
    std::string error;
    bool ok = write_host_file_atomically(path, big.data(), big.size(), &error);
    _exit(!ok && error.find("left as it was") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read(path), "old bytes");
  EXPECT_EQ(entries(), 1u);
}

// A write killed between creating its temporary file and the rename leaves
// that file; a second kill leaves no second one, and the next write of the
// target takes it away. Files of the user's that merely look alike stay.
TEST_F(AtomicWrite, AKilledWriteLeavesNothingAfterTheNextWrite) {
  std::string sub = dir + "/real";
  std::filesystem::create_directories(sub);
  std::ofstream(sub + "/linked.kvt") << "";
  ASSERT_EQ(symlink((sub + "/linked.kvt").c_str(), (dir + "/link.kvt").c_str()), 0);
  struct row {
    std::string written, real; // the path written and the file it reaches
  };
  const row rows[] = {
      {dir + "/k.kvt", dir + "/k.kvt"},
      {dir + "/" + std::string(250, 'n'), dir + "/" + std::string(250, 'n')},
      {dir + "/link.kvt", sub + "/linked.kvt"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.written.substr(dir.size(), 40));
    std::string folder = r.real.substr(0, r.real.rfind('/'));
    std::string base = r.real.substr(r.real.rfind('/') + 1);
    ASSERT_TRUE(write_host_file_atomically(r.written, "old bytes", 9));
    std::vector<std::string> alike;
    for (const std::string &name : {"." + base + ".abc123", "." + base + ".kestrune-partial~",
                                    base + ".kestrune-partial", std::string(".kestrune-partial")})
      if (name.size() <= 255) alike.push_back(folder + "/" + name);
    for (const std::string &p : alike) std::ofstream(p) << "the user's";
    std::set<std::string> before = names(folder);

    for (int kill = 0; kill < 2; kill++) {
      pid_t child = fork();
      if (child == 0) {
        rlimit none{0, 0}, small{100, 100};
        setrlimit(RLIMIT_CORE, &none);
        signal(SIGXFSZ, SIG_DFL); // the kill: a write past the limit ends the process
        setrlimit(RLIMIT_FSIZE, &small);
        std::string big(100000, 'b');
        write_host_file_atomically(r.written, big.data(), big.size());
        _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
      EXPECT_EQ(read(r.real), "old bytes");
      EXPECT_EQ(names(folder).size(), before.size() + 1); // one temporary file, however many kills
    }

    ASSERT_TRUE(write_host_file_atomically(r.written, "new bytes", 9));
    EXPECT_EQ(read(r.real), "new bytes");
    EXPECT_EQ(names(folder), before);
    for (const std::string &p : alike) EXPECT_EQ(read(p), "the user's") << p;
    for (const std::string &p : alike) std::filesystem::remove(p);
  }
}

// A read-only target's temporary file gets the target's mode before its
// rename; one left so by a kill is removed, not a wall that fails every later
// write. Run as another user when root, whom modes do not stop.
TEST_F(AtomicWrite, AReadOnlyTemporaryFileIsReplaced) {
  chmod(dir.c_str(), 0777);
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    std::string path = dir + "/ro.kvt", temp = dir + "/.ro.kvt.kestrune-partial";
    std::ofstream(path) << "old";
    std::ofstream(temp) << "stale";
    chmod(path.c_str(), 0444);
    chmod(temp.c_str(), 0444);
    bool ok = write_host_file_atomically(path, "new", 3);
    struct stat st;
    _exit(ok && read(path) == "new" && stat(path.c_str(), &st) == 0 &&
                  (st.st_mode & 0777) == 0444 && entries() == 1
              ? 0
              : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A stream's pieces go beside the target, which changes only at the finish;
// one abandoned or dropped leaves the target as it was and nothing beside it,
// and a second stream of the target while one is written is refused.
TEST_F(AtomicWrite, AStreamReplacesTheFileOnlyOnceFinished) {
  std::string path = dir + "/clip";
  ASSERT_TRUE(write_host_file_atomically(path, "old", 3));
  chmod(path.c_str(), 0600);
  enum class end { finish, abandon, drop };
  for (end how : {end::finish, end::abandon, end::drop}) {
    SCOPED_TRACE(int(how));
    {
      host_file_stream s;
      ASSERT_TRUE(host_stream_open(s, path));
      host_file_stream other;
      std::string error;
      EXPECT_FALSE(host_stream_open(other, path, &error));
      EXPECT_NE(error.find("being written"), std::string::npos) << error;
      for (const char *piece : {"one ", "two ", "three"}) {
        EXPECT_TRUE(host_stream_write(s, piece, strlen(piece)));
        EXPECT_EQ(read(path), how == end::finish ? "old" : "one two three");
        EXPECT_EQ(entries(), 2u) << "the pieces go beside it";
      }
      if (how == end::finish) {
        EXPECT_TRUE(host_stream_finish(s));
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
      } else if (how == end::abandon) {
        host_stream_abandon(s);
      }  // end::drop: the stream goes out of scope
    }
    EXPECT_EQ(read(path), "one two three") << "finished first, left as it was since";
    EXPECT_EQ(entries(), 1u);
  }
  host_file_stream s;
  std::string error;
  EXPECT_FALSE(host_stream_open(s, dir, &error));
  EXPECT_NE(error.find("not a file"), std::string::npos);
  EXPECT_FALSE(host_stream_write(s, "x", 1));
  EXPECT_FALSE(host_stream_finish(s));
}

class AtomicWriteThreads : public AtomicWrite {};

// Writes of one target at once take turns: each lands whole, none fails, and
// no temporary file is left.
TEST_F(AtomicWriteThreads, WritesOfOneTargetAtOnceTakeTurns) {
  std::string path = dir + "/shared.kvt";
  constexpr int writers = 4, rounds = 25;
  std::vector<std::string> payloads;
  for (int w = 0; w < writers; w++) payloads.push_back(std::string(50000 + 30000 * w, char('a' + w)));
  ASSERT_TRUE(write_host_file_atomically(path, payloads[0].data(), payloads[0].size()));
  std::atomic<int> failed{0}, torn{0}, running{writers};
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; w++)
    threads.emplace_back([&, w] {
      for (int i = 0; i < rounds; i++)
        failed += !write_host_file_atomically(path, payloads[w].data(), payloads[w].size());
      running--;
    });
  while (running > 0) {
    std::string seen = read(path);
    bool whole = false;
    for (const std::string &p : payloads) whole |= seen == p;
    torn += !whole;
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(entries(), 1u);
}

} // namespace
