// A 20 MB download from a server on 127.0.0.1: a fetch job (worker thread,
// polled from this thread as the frame loop polls it) beside the curl
// command fetching the same URL.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "pdisk/gurl.h"
#include "tests/pdisk/http_loopback.h"

extern char **environ;

namespace {

constexpr size_t download_bytes = 20 * 1024 * 1024;

http_loopback &server() {
  static http_loopback s;
  if (s.port == 0) {
    s.fixed_body = http_loopback::pattern(int64_t(download_bytes));
    s.start();
  }
  return s;
}

void bm_fetch_job_20_mb(benchmark::State &state) {
  std::string url = server().url("/fixed");
  gurl_body_max = int64_t(download_bytes) + 1;
  for (auto _ : state) {
    int64_t id = gurl_get(url);
    std::optional<gurl_result> r;
    while ((r = gurl_get_job(id)) && r->status != gurl_status_done && r->status != gurl_status_failed)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!r || r->status != gurl_status_done || r->body.size() != download_bytes)
      state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(download_bytes));
}
BENCHMARK(bm_fetch_job_20_mb)->Unit(benchmark::kMillisecond)->UseRealTime();

void bm_curl_command_20_mb(benchmark::State &state) {
  std::string url = server().url("/fixed");
  const char *argv[] = {"curl", "-s", "-o", "/dev/null", url.c_str(), nullptr};
  for (auto _ : state) {
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char **>(argv), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("curl command not available");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(download_bytes));
}
BENCHMARK(bm_curl_command_20_mb)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server().stop();
  return 0;
}
