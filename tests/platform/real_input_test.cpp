// Input end to end in a real X server: the kestrune binary runs a test
// userland in a window on an Xvfb server of the test's own; xdotool focuses
// the window, types two keys and clicks into it; the userland's display
// process prints every event message it receives and ends the program at the
// click. The test then checks what it printed.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "xvfb_server.h"

namespace {

namespace fs = std::filesystem;

const char *const boot_code = R"(
local display = [[
  local ready = false
  while true do
    local m = _read_message()
    while m do
      -- The first message comes from the first pump with the window: from
      -- then on frames run, and the title tells the test so.
      if not ready then _set_host_window_title("Kestrune ready") ready = true end
      if m.event == "keydown" or m.event == "keyup" then
        print(m.event .. " " .. m.scancode)
      elseif m.event == "textinput" then
        print("textinput " .. m.text)
      elseif m.event == "mouse" then
        print("mouse " .. m.mx .. " " .. m.my .. " " .. m.mb)
        if m.mb == 1 then _signal(33) end
      end
      m = _read_message()
    end
    flip()
  end
]]
_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua")
_create_process_from_code(display, "display", "/system/display.lua")
_apply_system_settings({ fullscreen = false, pixel_scale = 2 })
_signal(37)
while true do
  _run_process_slice(2, 0.1)
  _run_process_slice(3, 0.5)
  coroutine.yield()
end
)";

// A program started with its own environment; stdout to a file when given.
struct child {
  pid_t pid = -1;
  bool start(const std::vector<std::string> &args, const std::vector<std::string> &env,
             const std::string &out_path = "") {
    std::vector<char *> argv, envp;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    if (!out_path.empty())
      posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    int failed = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (failed) pid = -1;
    return !failed;
  }
  // The exit status, or -1 when it did not end in time (it is then killed).
  int wait_for(int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  ~child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The environment with one variable set (replacing any earlier value).
void set_env(std::vector<std::string> &env, const std::string &name, const std::string &value) {
  std::erase_if(env, [&](const std::string &e) { return e.rfind(name + "=", 0) == 0; });
  env.push_back(name + "=" + value);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RealInput, TypedKeysAndAClickReachTheDisplayProcess) {
  std::vector<std::string> base_env;
  for (char **e = environ; *e; e++) base_env.emplace_back(*e);
  xvfb_server xvfb(1280, 1024);
  if (!xvfb.start())
    GTEST_SKIP() << "Xvfb is not installed or did not start (tools/setup.sh installs it): no input "
                    "end to end";

  fs::path work = testing::TempDir() + "kestrune-real-input-" + std::to_string(getpid());
  std::vector<std::string> env = base_env;
  set_env(env, "DISPLAY", xvfb.display);
  set_env(env, "SDL_VIDEODRIVER", "x11");
  set_env(env, "SDL_AUDIODRIVER", "dummy");
  set_env(env, "SDL_RENDER_DRIVER", "software");
  set_env(env, "HOME", (work / "home").string());
  set_env(env, "XDG_DATA_HOME", (work / "data").string());
  // The host's X11 libraries keep blocks to the end; the program's own code is
  // leak-checked by the other tests.
  set_env(env, "ASAN_OPTIONS", "detect_leaks=0");
  {
    child probe;
    if (!probe.start({"xdotool", "version"}, env, "/dev/null"))
      GTEST_SKIP() << "xdotool is not installed (tools/setup.sh installs it): no input end to end";
    ASSERT_EQ(probe.wait_for(10000), 0);
  }

  fs::remove_all(work);
  fs::create_directories(work / "system");
  std::ofstream(work / "system" / "boot.lua") << boot_code;
  fs::create_symlink(KESTRUNE_BINARY, work / "kestrune");
  {
    child pack;
    ASSERT_TRUE(pack.start({KVT_PACK_BINARY, (work / "sysrom.dat").string(), "--name", "",
                            "--system", (work / "system").string()},
                           base_env));
    ASSERT_EQ(pack.wait_for(30000), 0);
  }

  fs::create_directories(work / "home");
  std::string out = (work / "stdout.txt").string();
  child kestrune;
  ASSERT_TRUE(kestrune.start({(work / "kestrune").string()}, env, out));

  // Wait until the display process has had its first message (the title says
  // so), focus the window, let the focus settle (keys read as up for 100 ms
  // after it), type a and b, then click at window point (200, 101): screen
  // point (100, 50) at two window pixels a screen pixel.
  std::string window;
  std::string ids = (work / "windows.txt").string();
  for (int i = 0; i < 150 && window.empty(); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    child search;
    ASSERT_TRUE(
        search.start({"xdotool", "search", "--onlyvisible", "--name", "Kestrune ready"}, env, ids));
    search.wait_for(10000);
    std::vector<std::string> found = lines_of(read_file(ids));
    if (found.size() == 1) window = found[0];
  }
  ASSERT_FALSE(window.empty()) << "the window never showed the display process running";
  child xdotool;
  ASSERT_TRUE(xdotool.start({"xdotool", "windowfocus", "--sync", window, "sleep", "1", "key",
                             "--delay", "120", "a", "b", "mousemove", "--window", window, "--sync",
                             "200", "101", "sleep", "0.3", "click", "1"},
                            env, "/dev/null"));
  EXPECT_EQ(xdotool.wait_for(30000), 0) << "xdotool did not finish";
  int status = kestrune.wait_for(30000);
  std::string printed = read_file(out);
  ASSERT_EQ(status, 0) << "the program did not end at the click; it printed:\n" << printed;

  // Each key: its text and its keydown in the frame it went down, its keyup in
  // a later one (xdotool's press and release fall within one frame). When a
  // slow frame takes the release of a and the press of b together, b's text
  // (an event) comes before a's keyup (the key scan after the events).
  std::vector<std::string> keys, mouse;
  for (const std::string &line : lines_of(printed))
    (line.rfind("mouse ", 0) == 0 ? mouse : keys).push_back(line);
  const std::vector<std::string> in_order = {"textinput a", "keydown 4", "keyup 4",
                                             "textinput b", "keydown 5", "keyup 5"};
  const std::vector<std::string> one_slow_frame = {"textinput a", "keydown 4", "textinput b",
                                                   "keyup 4",     "keydown 5", "keyup 5"};
  EXPECT_TRUE(keys == in_order || keys == one_slow_frame) << printed;
  ASSERT_FALSE(mouse.empty()) << printed;
  EXPECT_EQ(mouse.back(), "mouse 100 50 1") << printed;
  fs::remove_all(work);
}

}  // namespace
