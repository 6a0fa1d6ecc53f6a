// gurl: HTTP fetch jobs. Each download runs libcurl on a worker thread, its
// own while it runs (workers are kept and take the next job queued); the
// main thread polls the job by id. Downloads from the cartridge
// server are also kept in the data folder's "cache/carts".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kernel/buffer.h"

constexpr int gurl_job_max = 256;
// gurl_job.status
constexpr int32_t gurl_status_new = 0;
constexpr int32_t gurl_status_receiving = 2;
constexpr int32_t gurl_status_done = 3;   // the whole answer arrived (an error page too)
constexpr int32_t gurl_status_failed = 4; // no answer, a refused URL, a body past the cap
constexpr int64_t gurl_body_capacity = 1024;
constexpr long gurl_redirects_max = 10;
// A longer URL is refused (its job failed, the text not kept): 256 records
// must not hold texts of any size.
constexpr size_t gurl_url_max = 65536;

// Settings, read by each job when it starts. The cartridge server's address
// prefix (scheme, host name, '/'); downloads whose URL begins with it are
// cached under the rest of the URL.
extern std::string gurl_cart_server;
extern int64_t gurl_connect_timeout_ms;
extern int64_t gurl_stall_timeout_s;     // slower than 1 byte/s for this long: failed
extern int64_t gurl_transfer_timeout_ms; // the whole transfer
extern int64_t gurl_body_max;
// All bodies together (running jobs and finished ones whose records are not
// taken yet): no process is charged for them, so they are bounded instead. A
// download that would pass this fails like one past the body cap. Before a
// job starts, finished answers already handed over are let go, oldest first,
// until a body of the full cap would fit.
extern int64_t gurl_bodies_max;

// The body as it arrives: NUL-terminated; room grows from max(capacity, 256)
// by doubling. Room is not cleared (only the NUL after the bytes is read).
// Large bodies live in mapped memory on huge pages, grown by remapping: a
// download then costs little more than the copy of its bytes. Every buffer's
// room counts against the bodies' bound, as it stood when the buffer was made.
struct gurl_buffer {
  char *data = nullptr;
  int64_t length = 0;
  int64_t capacity = 0;
  bool mapped = false;
  int64_t bound = gurl_bodies_max;
  gurl_buffer() = default;
  gurl_buffer(const gurl_buffer &) = delete;
  gurl_buffer &operator=(const gurl_buffer &) = delete;
  ~gurl_buffer();
};
// Room for at least capacity bytes; false out of memory or past the bodies'
// bound.
bool gurl_buffer_reserve(gurl_buffer &b, int64_t capacity);
// False (nothing appended) past max bytes, out of memory or past the bound.
bool gurl_buffer_write(gurl_buffer &b, const void *bytes, int64_t n, int64_t max);
// Gives the room back: the buffer is empty, with no room.
void gurl_buffer_free(gurl_buffer &b);
// The room of all bodies now (counted against gurl_bodies_max).
int64_t gurl_body_bytes_held();

struct gurl_job {
  int64_t id = 0;
  std::string url;
  std::string cache_folder; // "cache" in the data folder; empty: nothing is cached
  std::string cache_file;   // where in it the body goes
  int64_t connect_timeout_ms = 0, stall_timeout_s = 0, transfer_timeout_ms = 0, body_max = 0;
  // Written by the worker. The body is the worker's until the status is
  // done or failed (stored with release order); the main thread reads it
  // only after seeing that status.
  std::atomic<int32_t> status{gurl_status_new};
  std::atomic<bool> running{false};
  std::atomic<int64_t> last_chunk{0};
  gurl_buffer body;
  long response_code = 0;
  void *curl = nullptr; // the worker's easy handle while the transfer runs
  bool handed_over = false; // main thread: the finished answer was polled
};

// Sets the HTTP library up once (it loads and initialises its own libraries,
// milliseconds of host time): at start-up, so no script's fetch pays it.
void gurl_init();

// A new job for url: its id, or -1 for an empty URL. A job whose worker
// cannot start, or that finds no room for its body, is failed at once. A job
// whose record is still in its worker's hands is refused: the record stays
// with the running job and the new id reads as failed.
int64_t gurl_get(std::string_view url);

struct gurl_result {
  int32_t status = gurl_status_new;
  // Valid while the result is kept: it holds the job's record, so neither
  // a later job nor anything else frees the bytes while they are read.
  std::string_view url;
  std::string_view body; // a done job's bytes
  std::shared_ptr<const gurl_job> job;
};
// The job with this id; nothing when no record holds it (its record was
// taken by a job 256 ids later). A record keeps its answer until then:
// polling a finished job again gives the same answer.
std::optional<gurl_result> gurl_get_job(int64_t id);

// The cache file for a URL from the cartridge server: the rest of the URL
// must be one plain name. Empty otherwise.
std::string gurl_cart_cache_name(std::string_view url);
