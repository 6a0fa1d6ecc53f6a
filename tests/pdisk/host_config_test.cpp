// The host configuration file: its default contents and its mount lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kernel/system.h"
#include "pdisk/host_config.h"
#include "pdisk/pfile.h"
#include "platform/host_paths.h"

namespace {

class HostConfig : public testing::Test {
 protected:
  void SetUp() override {
    saved_home = config.home_path;
    home = testing::TempDir() + "kestrune-config-" + std::to_string(getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home);
    config.home_path = home;
    pfile_init();
    pfile_reset();
  }
  void TearDown() override {
    pfile_reset();
    config.home_path = saved_home;
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
  void write_config(const std::string &text) {
    std::ofstream(home + std::string(host_config_name), std::ios::binary) << text;
  }
  std::vector<std::pair<std::string, std::string>> mounts() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const pmount &m : pmount_table) out.emplace_back(m.mount_point, m.origin);
    return out;
  }
  std::string home, saved_home;
};

using mount_list = std::vector<std::pair<std::string, std::string>>;

TEST(HostMountLine, SplitsAtTheFirstBlankAndKeepsSpacesInTheFolder) {
  auto m = parse_host_mount_line("mount /desktop /Users/me/My Files");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->mount_point, "/desktop");
  EXPECT_EQ(m->host_folder, "/Users/me/My Files");
  m = parse_host_mount_line("mount  /x /y");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->mount_point, "");
  EXPECT_EQ(m->host_folder, "/x /y");
  m = parse_host_mount_line("mount /a    /b");
  EXPECT_EQ(m->host_folder, "/b");
  EXPECT_FALSE(parse_host_mount_line("Mount / x"));
  EXPECT_FALSE(parse_host_mount_line("# mount / x"));
  EXPECT_FALSE(parse_host_mount_line("mount"));
}

TEST_F(HostConfig, AFreshDataFolderGetsTheDefaultFile) {
  EXPECT_EQ(process_config(), 0);
  std::ifstream in(home + std::string(host_config_name));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "# kestrune config\n\nmount / " + home + "drive\n");
  EXPECT_TRUE(std::filesystem::is_directory(home + "drive"));
  EXPECT_EQ(mounts(), (mount_list{{"", home + "drive"}}));
  EXPECT_EQ(resolve_to_origin("/x.txt", false).origin, home + "drive/x.txt");
}

TEST_F(HostConfig, MountLinesInOrderAndAnEmptyHostFolderMountsNothing) {
  write_config("# kestrune config\r\n"
               "mount / /srv/root/\r\n"
               "mount /desktop /Users/me/My Files\n"
               "Mount /no /x\n"
               "# mount /no /x\n"
               "mount  /x /y\n"
               "mount /nothing\n"
               "mount /nothing \n"
               "mount\n"
               "mount /desktop /second\n"
               "mount /" + std::string(300, 'l') + " /long\n"
               "mount /last /z");
  EXPECT_EQ(process_config(), 0);
  // Two blanks: the empty mount point, which serves every path like "/";
  // "/nothing" would mount the host's own root and is left out.
  EXPECT_EQ(mounts(), (mount_list{{"", "/srv/root"},
                                  {"/desktop", "/Users/me/My Files"},
                                  {"", "/x /y"},
                                  {"/desktop", "/second"},
                                  {"/last", "/z"}}));
  // the earlier of two mounts at one point serves
  EXPECT_EQ(resolve_to_origin("/desktop/a", false).origin, "/Users/me/My Files/a");
  EXPECT_EQ(resolve_to_origin("/a", false).origin, "/srv/root/a");
}

TEST_F(HostConfig, AConfigThatCannotBeReadMountsNothing) {
  std::filesystem::create_directories(home + std::string(host_config_name));
  EXPECT_EQ(process_config(), 0);
  EXPECT_TRUE(pmount_table.empty());
}

TEST_F(HostConfig, AnUnwritableDataFolderEndsTheProgram) {
  config.home_path = home + "not-a-folder/";
  std::ofstream(home + "not-a-folder") << "file";
  testing::internal::CaptureStdout();
  pid_t child = fork();
  if (child == 0) {
    process_config();
    _exit(99);
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::string said = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(said, "ERROR: could not write to " + home + "not-a-folder/" + std::string(host_config_name) + "\n");
}

} // namespace
