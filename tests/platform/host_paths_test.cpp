// Host folders and the host log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "kernel/system.h"
#include "platform/host_log.h"
#include "platform/host_paths.h"

namespace {

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Keeps the environment, settings and data pack of the process as they were.
class HostPaths : public testing::Test {
 protected:
  void SetUp() override {
    root = testing::TempDir() + "kestrune_paths_" + std::to_string(getpid());
    hovi_mkdir(root);
    saved_count = dat_files;
    saved_first = dat_file[0];
    dat_files = 0;
    set_default_config();
    save("XDG_DATA_HOME");
    save("HOME");
    save("XDG_DESKTOP_DIR");
  }
  void TearDown() override {
    set_record0(nullptr);
    dat_files = saved_count;
    dat_file[0] = saved_first;
    for (auto &[name, value] : saved_env) {
      if (value.second) setenv(name.c_str(), value.first.c_str(), 1);
      else unsetenv(name.c_str());
    }
  }
  void save(const std::string &name) {
    const char *v = getenv(name.c_str());
    saved_env[name] = {v ? v : "", v != nullptr};
  }
  std::string root;
  // Record 0 becomes b (owned by the test), or no records at all.
  void set_record0(buffer *b) {
    if (dat_files > 0) destroy_buffer(dat_file[0]);
    dat_file[0] = b;
    dat_files = b ? 1 : 0;
  }
  int saved_count = 0;
  buffer *saved_first = nullptr;
  std::map<std::string, std::pair<std::string, bool>> saved_env;
};

TEST_F(HostPaths, DataFolderFollowsXdgAndMakesEachLevel) {
  setenv("XDG_DATA_HOME", (root + "/xdg").c_str(), 1);
  EXPECT_EQ(hovi_prefix_with_appdata_path("log.txt"), root + "/xdg/Kestrune/exp/shared/log.txt");
  EXPECT_TRUE(is_dir(root + "/xdg/Kestrune/exp/shared"));

  // Record 0 names the sub-folder; an empty one means "shared".
  set_record0(create_buffer_from_str("mine"));
  EXPECT_EQ(hovi_prefix_with_appdata_path(""), root + "/xdg/Kestrune/exp/mine/");
  EXPECT_TRUE(is_dir(root + "/xdg/Kestrune/exp/mine"));
  set_record0(create_buffer_2(0, 105));
  EXPECT_EQ(hovi_prefix_with_appdata_path(""), root + "/xdg/Kestrune/exp/shared/");
  // A record that would lead out of the data folder is not taken as a folder name.
  set_record0(create_buffer_from_str("../../escape"));
  EXPECT_EQ(hovi_prefix_with_appdata_path(""), root + "/xdg/Kestrune/exp/shared/");
}

TEST_F(HostPaths, DataFolderFallsBackToHome) {
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", root.c_str(), 1);
  EXPECT_EQ(hovi_prefix_with_appdata_path("x"), root + "/.local/share/Kestrune/exp/shared/x");
}

TEST_F(HostPaths, HomeOverrideReplacesTheWholePath) {
  config.home_path = "C:\\data\\here";
  EXPECT_EQ(hovi_prefix_with_appdata_path("f"), "C:/data/here/f");
  config.home_path = "/some/where/";
  EXPECT_EQ(hovi_prefix_with_appdata_path("f"), "/some/where/f");
  config.home_path = " blank";  // a blank first character means no override
  setenv("XDG_DATA_HOME", (root + "/xdg2").c_str(), 1);
  EXPECT_EQ(hovi_prefix_with_appdata_path("f"), root + "/xdg2/Kestrune/exp/shared/f");
}

TEST_F(HostPaths, ProgramAndDesktopFolders) {
  std::string saved = hovi_argv0;
  hovi_argv0 = "/opt/kestrune/bin/kestrune";
  EXPECT_EQ(hovi_prefix_with_program_path("sysrom.dat"), "/opt/kestrune/bin/sysrom.dat");
  hovi_argv0 = "kestrune";  // started through PATH: the running executable's folder
  std::string p = hovi_prefix_with_program_path("sysrom.dat");
  EXPECT_EQ(p.front(), '/');
  EXPECT_EQ(p.substr(p.size() - 11), "/sysrom.dat");
  hovi_argv0 = saved;

  setenv("XDG_DESKTOP_DIR", "/desk", 1);
  EXPECT_EQ(hovi_prefix_with_desktop_path("shot.png"), "/desk/shot.png");
  unsetenv("XDG_DESKTOP_DIR");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(hovi_prefix_with_desktop_path("shot.png"), "/home/u/Desktop/shot.png");
}

TEST(HostLog, LinesCarryTimeAndProcessAndDropOneMarker) {
  std::string path = testing::TempDir() + "kestrune_log_" + std::to_string(getpid()) + ".txt";
  hovi_set_log_path(path);
  hovi_debug("<ok\n");
  hovi_debug("><both\n");
  hovi_debugf("n=%d %s\n", 42, "x");
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  std::string text = all.str();
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> bodies;
  while (std::getline(lines, line)) {
    ASSERT_GE(line.size(), 14u) << line;
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line[7], ' ');
    EXPECT_EQ(line.substr(8, 5), "000] ");
    bodies.push_back(line.substr(13));
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"ok", "both", "n=42 x"}));
}

}  // namespace
