// A runtime killed (SIGKILL) while it writes a large cartridge back never
// leaves a cut or damaged cartridge on the host: each file found is a whole
// one, in the old or the new version. The kill comes after a random number of
// changes seen in the folder, so it lands inside writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/dat_pack.h"
#include "pdisk/rom_form.h"
#include "pdisk/text_form.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

// Every few frames a new version n: "n.txt" holds n and "data.txt" some
// 900 KB of lines naming n, in a text cartridge and a rom cartridge.
constexpr const char *writer_boot = R"(
local bare = '--[[tuk_format="raw", metadata_format="none"]]'
mkdir("/big.kvt")
mkdir("/big.kvt.rom")
local n = tonumber(fetch("/big.kvt/n.txt") or "") or 0
local frames = 0
while true do
  frames += 1
  if frames % 8 == 1 then
    n += 1
    local data = string.rep("version " .. n .. " of the data\n", 40000)
    for _, cart in ipairs({ "/big.kvt", "/big.kvt.rom" }) do
      store(cart .. "/data.txt", data, bare)
      store(cart .. "/n.txt", tostring(n), bare)
    end
  end
  flip()
end
)";

std::string read_file(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The version a cartridge's entries hold, or -1 when they are not whole
// versions. The two stores of a version may fall in two frames (a slice can
// end between them), so the cartridge written back at a frame's end may hold
// the new data beside the old count, never anything else.
int version_of(const std::vector<cart_entry> &entries) {
  std::string n, data;
  for (const cart_entry &e : entries) {
    if (e.name == "n.txt") n = e.data;
    if (e.name == "data.txt") data = e.data;
  }
  if (data.empty()) return n.empty() ? 0 : -1;
  size_t end = data.find('\n');
  if (end == std::string::npos || data.compare(0, 8, "version ") != 0) return -1;
  std::string line = data.substr(0, end + 1);
  if (data.size() != line.size() * 40000) return -1;
  for (size_t at = 0; at < data.size(); at += line.size())
    if (data.compare(at, line.size(), line) != 0) return -1;
  int v = std::atoi(line.c_str() + 8);
  int counted = n.empty() ? 0 : std::atoi(n.c_str());
  return counted == v || counted == v - 1 ? v : -1;
}

TEST(WriteBackKill, ACartridgeIsAlwaysWhole) {
  fs::path work = fs::path(testing::TempDir()) / ("kestrune-kill-" + std::to_string(getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "sys");
  std::ofstream(work / "sys" / "boot.lua") << writer_boot;
  buffer_owner pack(create_buffer_2(0, 0));
  std::string error;
  ASSERT_TRUE(build_dat_pack(pack.get(), "", (work / "sys").string(), "", &error)) << error;
  std::ofstream(work / "sysrom.dat", std::ios::binary)
      .write(reinterpret_cast<const char *>(pack->data), pack->length);
  fs::create_symlink(KESTRUNE_BINARY, work / "kestrune");
  fs::path drive = work / "data" / "Kestrune" / "exp" / "shared" / "drive";
  fs::create_directories(drive);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, drive.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO), 0);

  std::vector<std::string> env_text = {"HOME=" + (work / "home").string(),
                                       "XDG_DATA_HOME=" + (work / "data").string(),
                                       "SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy",
                                       "ASAN_OPTIONS=detect_leaks=0"};
  std::vector<char *> env;
  for (std::string &e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string binary = (work / "kestrune").string(), headless = "-x";
  char *argv[] = {binary.data(), headless.data(), nullptr};

  std::mt19937 rng(std::random_device{}());
  int best = 0;
  for (int round = 0; round < 4; round++) {
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &quiet, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&quiet);
    // Kill after k changes in the folder (or after a while without them).
    int k = 1 + int(rng() % 7), seen = 0;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (seen < k && std::chrono::steady_clock::now() < give_up) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      alignas(inotify_event) char events[4096];
      for (ssize_t n = read(watch, events, sizeof events), at = 0; n > 0 && at < n;) {
        auto *e = reinterpret_cast<inotify_event *>(events + at);
        at += ssize_t(sizeof(inotify_event) + e->len);
        seen++;
      }
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the runtime ended by itself: " << status;

    for (const char *name : {"big.kvt", "big.kvt.rom"}) {
      if (!fs::exists(drive / name)) continue;
      std::string bytes = read_file(drive / name);
      std::vector<cart_entry> entries;
      auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
      bool whole = std::string(name) == "big.kvt"
                       ? decode_kvt_text(p, int64_t(bytes.size()), name, &entries) == kvt_text_kind::cart
                       : decode_kvt_rom(p, int64_t(bytes.size()), name, &entries) == kvt_rom_kind::cart;
      ASSERT_TRUE(whole) << name << " cut or damaged after a kill in round " << round;
      int v = version_of(entries);
      ASSERT_GE(v, 0) << name << " holds parts of versions that never stood together";
      best = std::max(best, v);
    }
  }
  EXPECT_GT(best, 1) << "no write-back reached the host";
  close(watch);
  fs::remove_all(work);
}

} // namespace
