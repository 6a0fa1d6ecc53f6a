// The host log.
#include "platform/host_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "kernel/process.h"
#include "platform/host_paths.h"

namespace {

const auto program_start = std::chrono::steady_clock::now();

struct log_file {
  FILE *f = nullptr;
  bool tried = false;
  std::string path_override;
  ~log_file() {
    if (f) fclose(f);
  }
};
log_file host_log;

FILE *open_log() {
  if (!host_log.tried) {
    host_log.tried = true;
    // Resolved at the first message, before the command line and the data
    // pack are read: so always the default folder with "shared".
    std::string path = host_log.path_override.empty() ? hovi_prefix_with_appdata_path("log.txt")
                                                      : host_log.path_override;
    host_log.f = fopen(path.c_str(), "w");
  }
  return host_log.f;
}

}  // namespace

int64_t host_ms_since_start() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               program_start)
      .count();
}

void hovi_set_log_path(std::string_view host_path) {
  if (host_log.f) fclose(host_log.f);
  host_log.f = nullptr;
  host_log.tried = false;
  host_log.path_override = std::string(host_path);
}

void hovi_debug(std::string_view message) {
  FILE *f = open_log();
  if (!f) return;
  if (!message.empty() && message.front() == '>') message.remove_prefix(1);
  if (!message.empty() && message.front() == '<') message.remove_prefix(1);
  fprintf(f, "[%06lld %03lld] ", static_cast<long long>(host_ms_since_start()),
          static_cast<long long>(current_process_id()));
  fwrite(message.data(), 1, message.size(), f);
  fflush(f);
}

void hovi_debugf(const char *format, ...) {
  char small[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    hovi_debug(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, format);
  vsnprintf(big.data(), big.size(), format, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  hovi_debug(big);
}
