// An X server of a test's own: Xvfb on a display it picks itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char **environ;

// Xvfb picks a free display itself and writes its number to -displayfd once it
// accepts clients, so parallel test runs never race for a display number.
struct xvfb_server {
  static constexpr int ready_ms = 15000;
  int screen_w, screen_h;
  pid_t pid = -1;
  std::string display;  // ":N" once running

  xvfb_server(int w, int h) : screen_w(w), screen_h(h) {}
  xvfb_server(const xvfb_server &) = delete;
  xvfb_server &operator=(const xvfb_server &) = delete;

  // False when Xvfb is not installed or never became ready.
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    std::string fd_text = std::to_string(fds[1]);
    std::string screen = std::to_string(screen_w) + "x" + std::to_string(screen_h) + "x24";
    const char *argv[] = {"Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", screen.c_str(),
                          "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    int failed = posix_spawnp(&pid, "Xvfb", &quiet, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    close(fds[1]);
    if (failed) {  // not installed
      pid = -1;
      close(fds[0]);
      return false;
    }
    std::string number;
    pollfd p = {fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, ready_ms) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (c != '\n' || number.empty()) {  // it ended, or never became ready
      stop();
      return false;
    }
    display = ":" + number;
    return true;
  }

  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~xvfb_server() { stop(); }
};
