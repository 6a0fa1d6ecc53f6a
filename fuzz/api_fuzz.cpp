// Every script-visible function and userdata method, called by a process with
// hostile arguments (fuzz/hostile_api.h). Lua errors are expected; a crash, a
// sanitizer report, a hang, a call that takes far more host time than its
// charge, or host memory that no process is charged for is a fault.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/hostile_api.h"

namespace {

// Host bytes beyond what the processes are charged for that a plan may leave
// held while its process lives (file system records, the synthesiser's
// buffers, fetch bookkeeping), and that may stay held once the world is reset.
constexpr int64_t uncharged_while_running_max = int64_t{64} << 20;
constexpr int64_t held_after_reset_max = int64_t{64} << 20;

int64_t start_bytes = -1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (start_bytes < 0) {
    hostile_api::init_sandbox();
    atexit([] { hostile_api::remove_sandbox(); });
    hostile_api::run_plan("");  // the world's one-time allocations come first
    start_bytes = hostile_api::host_bytes_allocated();
  }
  int64_t base = hostile_api::host_bytes_allocated();
  hostile_api::plan_result r =
      hostile_api::run_plan(std::string_view(reinterpret_cast<const char *>(data), size), 4, base);
  for (const hostile_api::slow_call &c : r.slow) {
    fprintf(stderr, "%s took %lld ns for %lld cycles\n", c.name.c_str(),
            static_cast<long long>(c.ns), static_cast<long long>(c.cycles));
    abort();
  }
  int64_t uncharged = r.uncharged;
  if (uncharged > uncharged_while_running_max) {
    fprintf(stderr, "host memory not charged to any process: %lld bytes\n",
            static_cast<long long>(uncharged));
    abort();
  }
  int64_t held = hostile_api::host_bytes_allocated() - start_bytes;
  if (held > held_after_reset_max) {
    fprintf(stderr, "host memory held after the world was reset: %lld bytes\n",
            static_cast<long long>(held));
    abort();
  }
  return 0;
}
