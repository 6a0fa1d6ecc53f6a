// Atomic host writes: the new bytes whole, or the old file untouched.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

} // namespace
