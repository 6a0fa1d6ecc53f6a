// Opening host paths and URLs: what the opener is given, and how it is started.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../lua/lua_harness.h"
#include "pdisk/pfile.h"
#include "platform/host_open.h"
#include "platform/platform_api.h"

namespace {

std::vector<std::string> opened;

// A host folder whose name needs quoting in any shell, mounted at "/", and
// "/ram"; the opener only records what it is given.
class HostOpen : public testing::Test {
 protected:
  void SetUp() override {
    host = testing::TempDir() + "kestrune open " + std::to_string(getpid()) + "/it's \"here\" $x";
    std::filesystem::create_directories(host);
    pfile_init();
    pfile_reset();
    ASSERT_TRUE(mount_host_path("/", host + "/"));
    ASSERT_TRUE(mount_ram_folder("/ram"));
    saved_opener = os_host_opener;
    os_host_opener = [](const std::string &argument) { opened.push_back(argument); };
    opened.clear();
  }
  void TearDown() override {
    os_host_opener = saved_opener;
    pfile_reset();
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(host).parent_path(), ec);
  }

  std::string host;
  void (*saved_opener)(const std::string &) = nullptr;
};

TEST_F(HostOpen, UrlsAreEscapedAndCut) {
  EXPECT_TRUE(os_open_host_path("https://example.com/a b"));
  EXPECT_TRUE(os_open_host_path("https://x.org/q?a=1&b=two_3-4.5:6"));
  EXPECT_TRUE(os_open_host_path("https://x.org/\xC3\xBC\"'$;#"));
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[0], "https://example.com/a%20b");
  EXPECT_EQ(opened[1], "https://x.org/q?a=1&b=two_3-4.5:6");
  EXPECT_EQ(opened[2], "https://x.org/%C3%BC%22%27%24%3B%23");

  // 1,020 characters at most, and never part of an escape.
  std::string base = "https://";
  EXPECT_EQ(escape_url_for_host(base + std::string(1100, 'a')), base + std::string(1012, 'a'));
  EXPECT_EQ(escape_url_for_host(base + std::string(1009, 'a') + " z"),
            base + std::string(1009, 'a') + "%20");
  EXPECT_EQ(escape_url_for_host(base + std::string(1010, 'a') + " z"),
            base + std::string(1010, 'a'));
}

TEST_F(HostOpen, VirtualPathsOpenOnlyInHostFolders) {
  EXPECT_TRUE(os_open_host_path("/docs/readme.txt"));
  EXPECT_TRUE(os_open_host_path("notes.txt"));  // no process: relative to "/"
  ASSERT_EQ(opened.size(), 2u);
  // Passed as they are: no quoting, whatever the host folder's name holds.
  EXPECT_EQ(opened[0], host + "/docs/readme.txt");
  EXPECT_EQ(opened[1], host + "/notes.txt");

  opened.clear();
  EXPECT_FALSE(os_open_host_path("/ram/x.txt"));          // RAM folder
  EXPECT_FALSE(os_open_host_path("http://example.com"));  // not a URL here, nor a legal path
  EXPECT_FALSE(os_open_host_path(""));
  EXPECT_FALSE(os_open_host_path("/a b.txt"));
  EXPECT_TRUE(opened.empty());
}

TEST_F(HostOpen, ScriptBindingTakesOnlyStrings) {
  lua_harness::cycle_guard guard;
  lua_harness::state_owner L = lua_harness::new_state();
  os_add_public_c_functions(L.get());
  ASSERT_EQ(luaL_dostring(L.get(), "_open_host_path('https://k.test/x y') "
                                   "_open_host_path(12) _open_host_path() "
                                   "return select('#', _open_host_path('/a.txt'))"),
            LUA_OK)
      << lua_tostring(L.get(), -1);
  EXPECT_EQ(lua_tointeger(L.get(), -1), 0);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], "https://k.test/x%20y");
  EXPECT_EQ(opened[1], host + "/a.txt");
}

TEST(HostOpener, StartsWithoutAShellWithOneArgument) {
  std::string dir = testing::TempDir() + "kestrune-opener-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::string script = dir + "/opener.sh";
  std::ofstream(script)
      << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > \"$(dirname \"$0\")/args.txt\"\n";
  chmod(script.c_str(), 0755);

  std::string pwned = dir + "/pwned";
  std::string argument = "/x y/it's \"q\" $(touch " + pwned + "); echo no";
  pid_t pid = os_spawn_opener(script.c_str(), argument.c_str());
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::ifstream in(dir + "/args.txt");
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "1\n" + argument + "\n");
  EXPECT_FALSE(std::filesystem::exists(pwned));

  // A missing opener is reported, not fatal.
  EXPECT_EQ(os_spawn_opener("/nonexistent/kestrune-opener", "x"), -1);
  std::filesystem::remove_all(dir);
}

}  // namespace
