// Opening host paths and URLs.
#include "platform/host_open.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "pdisk/pfile.h"
#include "platform/window.h"

extern char **environ;

namespace {

bool url_byte_plain(unsigned char c) {
  // ASCII only, whatever the host's locale says a letter is.
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c == '-' || c == '.' || c == '/' || c == '&' || c == ':' || c == '=' || c == '?' ||
         c == '_';
}

// Children not yet reaped: the opener may run for as long as the application
// it starts, so the main thread never waits for it.
std::vector<pid_t> running_openers;

void reap_finished_openers() {
  std::erase_if(running_openers, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

void run_xdg_open(const std::string &argument) {
  reap_finished_openers();
  pid_t pid = os_spawn_opener("xdg-open", argument.c_str());
  if (pid > 0) running_openers.push_back(pid);
}

}  // namespace

void (*os_host_opener)(const std::string &argument) = run_xdg_open;

std::string escape_url_for_host(std::string_view url) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : url) {
    size_t width = url_byte_plain(c) ? 1 : 3;
    if (out.size() + width > host_url_max) break;
    if (width == 1) {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> host_open_argument(std::string_view text) {
  if (text.starts_with("https:")) return escape_url_for_host(text);
  resolved_path r = resolve_to_origin(text, false);
  if (r.kind != pmount_host) return std::nullopt;
  return r.origin;
}

bool os_open_host_path(std::string_view text) {
  std::optional<std::string> argument = host_open_argument(text);
  if (!argument) return false;
  os_host_opener(*argument);
  os_minimise_window_in_fullscreen();
  return true;
}

pid_t os_spawn_opener(const char *program, const char *argument) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char *argv[] = {const_cast<char *>(program), const_cast<char *>(argument), nullptr};
  pid_t pid = -1;
  int status = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return status == 0 ? pid : -1;
}
