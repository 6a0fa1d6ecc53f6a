// gurl: HTTP fetch jobs on worker threads, and the cartridge cache.
#include "pdisk/gurl.h"

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "pdisk/file_ops.h"
#include "platform/atomic_write.h"
#include "platform/host_paths.h"
#include "platform/host_threads.h"

// 29 characters, as the scheme, a host name of 20 and a '/'.
std::string gurl_cart_server = "https://www.kestrune.invalid/";
int64_t gurl_connect_timeout_ms = 15000;
int64_t gurl_stall_timeout_s = 30;
int64_t gurl_transfer_timeout_ms = 10 * 60 * 1000;
// As much as a process may hold: the body becomes one of its strings.
int64_t gurl_body_max = 32 * 1024 * 1024;
int64_t gurl_bodies_max = 4 * gurl_body_max;

namespace {

constexpr int64_t gurl_buffer_min = 256;
constexpr int64_t gurl_map_from = 2 * 1024 * 1024;
// Bytes libcurl hands over at a time.
constexpr long gurl_receive_buffer = 256 * 1024;

// Owned by the main thread; a running worker holds its job's record too, and
// so does a result being read.
std::array<std::shared_ptr<gurl_job>, gurl_job_max> gurl_jobs;
// Per record, the last job refused while the record's worker ran (0: none).
std::array<int64_t, gurl_job_max> gurl_refused_ids;
int64_t next_gurl_job_id = 1;
// The room of every gurl_buffer, for the bodies' bound (workers grow theirs).
std::atomic<int64_t> gurl_bytes_held{0};

size_t record_of(int64_t id) { return size_t(((id % gurl_job_max) + gurl_job_max) % gurl_job_max); }

// Takes n more bytes of room under the bound; false (nothing taken) past it.
bool take_room(int64_t n, int64_t bound) {
  int64_t held = gurl_bytes_held.load(std::memory_order_relaxed);
  do {
    if (n > bound - held) return false;
  } while (!gurl_bytes_held.compare_exchange_weak(held, held + n, std::memory_order_relaxed));
  return true;
}

void give_room(int64_t n) { gurl_bytes_held.fetch_sub(n, std::memory_order_relaxed); }

size_t gurl_curl_write(char *bytes, size_t size, size_t count, void *user) {
  auto *job = static_cast<gurl_job *>(user);
  size_t n = size * count;
  // A large body whose length the server states is given its room at once.
  if (job->body.length == 0 && job->curl) {
    curl_off_t stated = -1;
    curl_easy_getinfo(job->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &stated);
    if (stated >= gurl_map_from && stated < job->body_max) gurl_buffer_reserve(job->body, stated + 1);
  }
  // Returning less than n ends the transfer with an error: the body cap.
  if (!gurl_buffer_write(job->body, bytes, int64_t(n), job->body_max)) return 0;
  job->last_chunk.store(int64_t(n), std::memory_order_relaxed);
  job->status.store(gurl_status_receiving, std::memory_order_relaxed);
  return n;
}

// The cartridge cache: only whole answers (2xx) from the cartridge server.
void gurl_cb(gurl_job &job) {
  if (job.cache_file.empty() || job.response_code < 200 || job.response_code > 299) return;
  if (!hovi_mkdir(job.cache_folder) || !hovi_mkdir(job.cache_folder + "/carts")) return;
  write_host_file_atomically(job.cache_file, job.body.data, size_t(job.body.length));
}

// One download, on a worker.
void run_job(std::shared_ptr<gurl_job> job) {
  int32_t status = gurl_status_failed;
  if (CURL *curl = curl_easy_init()) {
    curl_easy_setopt(curl, CURLOPT_URL, job->url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, gurl_redirects_max);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(job->connect_timeout_ms));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(job->transfer_timeout_ms));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(job->stall_timeout_s));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, gurl_curl_write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, job.get());
    job->curl = curl;
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, gurl_receive_buffer);
    // An answer with an error status is a finished download all the same.
    if (curl_easy_perform(curl) == CURLE_OK) status = gurl_status_done;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &job->response_code);
    job->curl = nullptr;
    curl_easy_cleanup(curl);
  }
  if (status == gurl_status_done) gurl_cb(*job);
  else gurl_buffer_free(job->body); // nobody reads a failed job's bytes
  // The record may be given to a new job from here on: this worker's own
  // reference keeps it alive for the last store.
  job->running.store(false, std::memory_order_release);
  job->status.store(status, std::memory_order_release);
}

// Workers stay once started and take the jobs queued for them: a new one
// starts only when none is idle. Starting a thread makes the caller wait
// until the host has run it (hundreds of microseconds on a virtualised
// host); a queued job only wakes an idle worker.
struct worker_pool {
  std::mutex lock;
  std::condition_variable queued;
  std::deque<std::shared_ptr<gurl_job>> jobs;
  int idle = 0;     // workers waiting for a job
  int workers = 0;  // started
};

// Never destroyed: idle workers wait on it until the program ends.
worker_pool &pool() {
  static auto *p = new worker_pool;
  return *p;
}

int pool_worker(void *) {
  worker_pool &p = pool();
  std::unique_lock<std::mutex> hold(p.lock);
  for (;;) {
    p.idle++;
    p.queued.wait(hold, [&] { return !p.jobs.empty(); });
    p.idle--;
    std::shared_ptr<gurl_job> job = std::move(p.jobs.front());
    p.jobs.pop_front();
    hold.unlock();
    run_job(std::move(job));
    hold.lock();
  }
}

// Queues the job for a worker, starting one when none is idle; false (the
// job taken back) when there is no worker at all and none could start. A job
// that finds every worker busy and no new one waits for the first free.
bool dispatch(const std::shared_ptr<gurl_job> &job) {
  worker_pool &p = pool();
  bool start;
  {
    std::lock_guard<std::mutex> hold(p.lock);
    p.jobs.push_back(job);
    start = p.idle < int(p.jobs.size());
  }
  p.queued.notify_one();
  if (!start) return true;
  os_thread *thread = os_create_thread(pool_worker, nullptr);
  os_destroy_thread(thread);  // let go at once: workers are never joined
  std::lock_guard<std::mutex> hold(p.lock);
  if (thread) p.workers++;
  if (p.workers > 0) return true;
  p.jobs.erase(std::find(p.jobs.begin(), p.jobs.end(), job));
  return false;
}

// Anonymous memory starting on a huge-page boundary, so all of it can be
// backed by huge pages.
void *map_aligned(size_t n) {
  size_t span = n + size_t(gurl_map_from);
  auto *p = static_cast<char *>(mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (p == MAP_FAILED) return nullptr;
  size_t lead = (size_t(gurl_map_from) - reinterpret_cast<uintptr_t>(p) % size_t(gurl_map_from)) % size_t(gurl_map_from);
  if (lead) munmap(p, lead);
  size_t tail = span - lead - n;
  if (tail) munmap(p + lead + n, tail);
  return p + lead;
}

// Lets go of finished answers already handed over, oldest first, until a
// body of the full cap fits under the bound beside what is held. Their ids
// then read as those of taken records.
void make_room_for_a_body() {
  for (int64_t id = std::max<int64_t>(next_gurl_job_id - gurl_job_max, 1); id < next_gurl_job_id; id++) {
    if (gurl_body_bytes_held() <= gurl_bodies_max - gurl_body_max) return;
    std::shared_ptr<gurl_job> &job = gurl_jobs[record_of(id)];
    if (job && job->id == id && job->handed_over) job.reset();
  }
}

} // namespace

gurl_buffer::~gurl_buffer() { gurl_buffer_free(*this); }

void gurl_buffer_free(gurl_buffer &b) {
  if (b.mapped) munmap(b.data, size_t(b.capacity));
  else std::free(b.data);
  give_room(b.capacity);
  b.data = nullptr;
  b.length = b.capacity = 0;
  b.mapped = false;
}

int64_t gurl_body_bytes_held() { return gurl_bytes_held.load(std::memory_order_relaxed); }

bool gurl_buffer_reserve(gurl_buffer &b, int64_t capacity) {
  if (capacity <= b.capacity) return true;
  if (!take_room(capacity - b.capacity, b.bound)) return false;
  void *p = nullptr;
  if (capacity < gurl_map_from) {
    p = std::realloc(b.data, size_t(capacity));
  } else if (b.mapped) {
    p = mremap(b.data, size_t(b.capacity), size_t(capacity), MREMAP_MAYMOVE);
    if (p == MAP_FAILED) p = nullptr;
  } else {
    p = map_aligned(size_t(capacity));
    if (p) {
      if (b.data) std::memcpy(p, b.data, size_t(b.length) + 1);
      std::free(b.data);
      b.mapped = true;
    }
  }
  if (!p) {
    give_room(capacity - b.capacity);
    return false;
  }
  if (b.mapped) madvise(p, size_t(capacity), MADV_HUGEPAGE); // a hint: refused, nothing changes
  if (!b.data) static_cast<char *>(p)[0] = '\0';
  b.data = static_cast<char *>(p);
  b.capacity = capacity;
  return true;
}

bool gurl_buffer_write(gurl_buffer &b, const void *bytes, int64_t n, int64_t max) {
  if (n < 0 || n > max - b.length) return false;
  int64_t need = b.length + n + 1;
  if (need > b.capacity) {
    int64_t room = std::max(b.capacity, gurl_buffer_min);
    while (room < need) room *= 2;
    if (!gurl_buffer_reserve(b, room)) return false;
  }
  if (n > 0) std::memcpy(b.data + b.length, bytes, size_t(n));
  b.length += n;
  b.data[b.length] = '\0';
  return true;
}

std::string gurl_cart_cache_name(std::string_view url) {
  if (gurl_cart_server.empty() || !url.starts_with(gurl_cart_server)) return std::string();
  std::string_view rest = url.substr(gurl_cart_server.size());
  return is_safe_path_segment(rest) ? std::string(rest) : std::string();
}

void gurl_init() {
  static bool curl_ready = false;
  if (curl_ready) return;
  curl_global_init(CURL_GLOBAL_DEFAULT); // before any worker: it is not thread-safe
  curl_ready = true;
}

int64_t gurl_get(std::string_view url) {
  if (url.empty()) return -1;
  gurl_init();
  int64_t id = next_gurl_job_id++;
  std::shared_ptr<gurl_job> &slot = gurl_jobs[record_of(id)];
  if (slot && slot->running.load(std::memory_order_acquire)) {
    // 256 downloads are already in flight: this one is refused, and the
    // record stays with the worker that writes into it.
    gurl_refused_ids[record_of(id)] = id;
    return id;
  }
  gurl_refused_ids[record_of(id)] = 0;
  slot.reset();
  make_room_for_a_body();
  auto job = std::make_shared<gurl_job>();
  slot = job;
  job->id = id;
  if (url.size() > gurl_url_max) {
    job->status.store(gurl_status_failed, std::memory_order_release);
    return id;
  }
  job->url.assign(url);
  job->connect_timeout_ms = gurl_connect_timeout_ms;
  job->stall_timeout_s = gurl_stall_timeout_s;
  job->transfer_timeout_ms = gurl_transfer_timeout_ms;
  job->body_max = gurl_body_max;
  if (!gurl_buffer_reserve(job->body, gurl_body_capacity)) {
    job->status.store(gurl_status_failed, std::memory_order_release);
    return id;
  }
  if (std::string name = gurl_cart_cache_name(url); !name.empty()) {
    // Host folders are found here: the worker must not read the settings.
    job->cache_folder = hovi_prefix_with_appdata_path("cache");
    job->cache_file = job->cache_folder + "/carts/" + name;
  }
  job->running.store(true, std::memory_order_release);
  if (!dispatch(job)) {
    job->running.store(false, std::memory_order_release);
    job->status.store(gurl_status_failed, std::memory_order_release);
  }
  return id;
}

std::optional<gurl_result> gurl_get_job(int64_t id) {
  const std::shared_ptr<gurl_job> &job = gurl_jobs[record_of(id)];
  if (!job || job->id != id) {
    if (id <= 0 || gurl_refused_ids[record_of(id)] != id) return std::nullopt;
    gurl_result refused;
    refused.status = gurl_status_failed;
    return refused;
  }
  gurl_result r;
  r.status = job->status.load(std::memory_order_acquire);
  r.url = job->url;
  if (r.status == gurl_status_done) r.body = std::string_view(job->body.data, size_t(job->body.length));
  if (r.status == gurl_status_done || r.status == gurl_status_failed) job->handed_over = true;
  r.job = job;
  return r;
}
