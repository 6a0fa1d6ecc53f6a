// HTTP fetch jobs against a server on 127.0.0.1: bodies, error pages,
// redirects and their limit, stalls, endless bodies, refused schemes, the
// cartridge cache, and 256 jobs in flight handed over from their workers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "http_loopback.h"
#include "kernel/system.h"
#include "pdisk/gurl.h"
#include "../kernel/script_api_fixture.h"

namespace {

using namespace script_api_test;

// The job's last state once it is done or failed (or after 20 s).
gurl_result wait_for(int64_t id) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    std::optional<gurl_result> r = gurl_get_job(id);
    if (!r) return gurl_result{-1, "", ""};
    if (r->status == gurl_status_done || r->status == gurl_status_failed ||
        std::chrono::steady_clock::now() > until)
      return std::move(*r);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string body_of(const gurl_result &r) {
  return r.status == gurl_status_done ? std::string(r.body) : std::string("(none)");
}

class Downloads : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    home = testing::TempDir() + "kestrune-gurl-" + std::to_string(getpid());
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home);
    config.home_path = home;
    saved_server = gurl_cart_server;
    gurl_cart_server = server.url("/cart/");
    gurl_stall_timeout_s = 2;
    gurl_transfer_timeout_ms = 4000;
    gurl_body_max = 1 << 20;
  }
  void TearDown() override {
    server.stop();
    gurl_cart_server = saved_server;
    gurl_stall_timeout_s = 30;
    gurl_transfer_timeout_ms = 10 * 60 * 1000;
    gurl_body_max = 32 * 1024 * 1024;
    gurl_bodies_max = 4 * gurl_body_max;
    config.home_path.clear();
    std::filesystem::remove_all(home);
  }
  std::string cached(const std::string &name) {
    std::ifstream in(home + "/cache/carts/" + name, std::ios::binary);
    if (!in) return "(missing)";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  http_loopback server;
  std::string home, saved_server;
};

TEST_F(Downloads, AnswersOfEveryKind) {
  struct row {
    std::string path;
    int32_t status;
    std::string body;
  };
  const std::vector<row> rows = {
      {"/body/3000", gurl_status_done, http_loopback::pattern(3000)},
      {"/missing", gurl_status_done, "no such page"}, // an error page is a finished download
      {"/redirect/77", gurl_status_done, http_loopback::pattern(77)},
      {"/loop", gurl_status_failed, "(none)"},      // the redirect limit
      {"/stall", gurl_status_failed, "(none)"},     // the stall timeout
      {"/endless", gurl_status_failed, "(none)"},   // the body cap
      {"/body/0", gurl_status_done, ""},
  };
  std::vector<int64_t> ids;
  for (const row &r : rows) ids.push_back(gurl_get(server.url(r.path)));
  for (size_t i = 0; i < rows.size(); i++) {
    gurl_result got = wait_for(ids[i]);
    EXPECT_EQ(got.status, rows[i].status) << rows[i].path;
    EXPECT_EQ(body_of(got), rows[i].body) << rows[i].path;
    EXPECT_EQ(got.url, server.url(rows[i].path));
  }
  // Other schemes are refused, redirects to them too.
  for (std::string url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"})
    EXPECT_EQ(wait_for(gurl_get(url)).status, gurl_status_failed) << url;
  EXPECT_EQ(gurl_get(""), -1);
  // A URL past the length limit is refused, not kept.
  std::string long_url = server.url("/body/5?") + std::string(gurl_url_max, 'x');
  gurl_result refused = wait_for(gurl_get(long_url));
  EXPECT_EQ(refused.status, gurl_status_failed);
  EXPECT_EQ(refused.url, "");

  gurl_buffer b;
  ASSERT_TRUE(gurl_buffer_reserve(b, gurl_body_capacity));
  ASSERT_TRUE(gurl_buffer_write(b, http_loopback::pattern(3000).data(), 3000, 1 << 20));
  EXPECT_EQ(b.capacity, 4096);
  EXPECT_EQ(b.data[3000], '\0');
  EXPECT_FALSE(gurl_buffer_write(b, "x", 1, 3000)); // the cap
}

TEST_F(Downloads, CartridgesFromTheServerAreCached) {
  EXPECT_EQ(body_of(wait_for(gurl_get(server.url("/cart/cart123.kvt.png")))), "cartridge cart123.kvt.png");
  EXPECT_EQ(cached("cart123.kvt.png"), "cartridge cart123.kvt.png");
  // Only whole answers, and only names that stay in the cache folder.
  EXPECT_EQ(body_of(wait_for(gurl_get(server.url("/cart/missing.kvt")))), "no such cartridge");
  EXPECT_EQ(cached("missing.kvt"), "(missing)");
  wait_for(gurl_get(server.url("/cart/a/b.kvt")));
  wait_for(gurl_get(server.url("/cart/..")));
  wait_for(gurl_get(server.url("/body/10")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home + "/cache/carts"),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(gurl_cart_cache_name(gurl_cart_server + "x.kvt"), "x.kvt");
  EXPECT_EQ(gurl_cart_cache_name(gurl_cart_server + "../x.kvt"), "");
  EXPECT_EQ(gurl_cart_cache_name("http://elsewhere/x.kvt"), "");
}

// The main thread reads what 256 workers write, while they write it.
class DownloadThreads : public Downloads {};

TEST_F(DownloadThreads, ManyJobsInFlight) {
  gurl_stall_timeout_s = 15; // 256 answers at once may keep some waiting
  gurl_transfer_timeout_ms = 20000;
  std::vector<int64_t> ids;
  // The first answers only when the server stops, so its worker surely runs
  // when the 257th job comes, however slowly 256 workers start.
  for (int i = 0; i < gurl_job_max; i++)
    ids.push_back(gurl_get(server.url("/slow/" + std::string(i ? "300/" : "60000/") + std::to_string(i * 40))));
  // One more comes to the first job's record while its worker runs: refused,
  // and the record stays with the running job.
  int64_t extra = gurl_get(server.url("/body/5"));
  EXPECT_EQ(wait_for(extra).status, gurl_status_failed);
  EXPECT_EQ(wait_for(extra).url, "");
  std::optional<gurl_result> first = gurl_get_job(ids[0]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->url, server.url("/slow/60000/0"));
  EXPECT_NE(first->status, gurl_status_done);
  EXPECT_NE(first->status, gurl_status_failed);
  first.reset();
  for (int i = 1; i < gurl_job_max; i++) {
    gurl_result r = wait_for(ids[size_t(i)]);
    ASSERT_EQ(r.status, gurl_status_done) << i;
    ASSERT_EQ(body_of(r), http_loopback::pattern(i * 40)) << i;
  }
  EXPECT_EQ(ids[1] - ids[0], 1);
  EXPECT_EQ(wait_for(extra).status, gurl_status_failed);
}

TEST_F(DownloadThreads, BodiesTogetherStayUnderTheirBound) {
  // Answers handed over before are let go first, so only this test's count.
  gurl_bodies_max = 0;
  EXPECT_EQ(wait_for(gurl_get("http://127.0.0.1:1/")).status, gurl_status_failed);
  gurl_body_max = 40000;
  gurl_bodies_max = gurl_body_bytes_held() + 100000;
  // Two bodies of 40,000 bytes need 2 x 65,536 bytes of room: one fails.
  int64_t a = gurl_get(server.url("/slow/300/40000")), b = gurl_get(server.url("/slow/300/40000"));
  int64_t kept = 0;
  {
    gurl_result ra = wait_for(a), rb = wait_for(b);
    ASSERT_EQ((ra.status == gurl_status_done) + (rb.status == gurl_status_done), 1);
    ASSERT_EQ((ra.status == gurl_status_failed) + (rb.status == gurl_status_failed), 1);
    kept = ra.status == gurl_status_done ? a : b;
  }
  // A record keeps its answer: polled again, the same bytes.
  EXPECT_EQ(body_of(wait_for(kept)), http_loopback::pattern(40000));
  EXPECT_EQ(body_of(wait_for(kept)), http_loopback::pattern(40000));
  // A new job finds its room by letting that answer go, now it is handed over.
  EXPECT_EQ(body_of(wait_for(gurl_get(server.url("/body/40000")))), http_loopback::pattern(40000));
  EXPECT_FALSE(gurl_get_job(kept));
  EXPECT_LE(gurl_body_bytes_held(), gurl_bodies_max);
}

class RemoteScripts : public ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    ASSERT_TRUE(server.start());
    config.network_access = 1;
  }
  void TearDown() override {
    server.stop();
    ScriptApi::TearDown();
  }
  http_loopback server;
};

TEST_F(RemoteScripts, FetchRemoteDecodesByTheUrl) {
  EXPECT_EQ(run("return math.type(_fetch_remote('" + server.url("/cart/x.txt") + "'))"), (R{"s:integer"}));
  std::string id;
  auto result_of = [&](const std::string &path) {
    id = run("return _fetch_remote('" + server.url(path) + "')")[0].substr(2);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      R r = run("return _fetch_remote_result(" + id + ")");
      if (!r.empty() || std::chrono::steady_clock::now() > until) return r;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  EXPECT_EQ(result_of("/cart/hello.txt"), (R{"s:cartridge hello.txt"}));
  // The record keeps its answer until a job 256 ids later takes it.
  EXPECT_EQ(run("return _fetch_remote_result(" + id + ")"), (R{"s:cartridge hello.txt"}));
  EXPECT_EQ(result_of("/loop"), (R{"nil", "nil", "s:could not download"}));
  EXPECT_EQ(run("return _fetch_remote_result(" + id + ")"), (R{"nil", "nil", "s:could not download"}));
  EXPECT_GE(charge_of("_fetch_remote_result", id), 8) << "the record held and the answer made";
  EXPECT_EQ(run("return _fetch_remote_result(999999)"), (R{}));
  config.network_access = 0;
  EXPECT_EQ(run("return _fetch_remote('" + server.url("/body/1") + "')"), (R{"nil", "s:no network access"}));
  EXPECT_EQ(run("return _fetch_remote_result(1)"), (R{"nil", "nil", "s:no network access"}));
}

TEST_F(RemoteScripts, AnAnswerOutlivesItsRecordWhileItIsDecoded) {
  // Object data of many tables: decoding it runs the collector, and with it a
  // finalizer that starts the 256 jobs that take the answer's record.
  std::string tuk = "--[[tuk]]\n{";
  for (int i = 1; i <= 3000; i++) tuk += "{" + std::to_string(i) + "},";
  server.fixed_body = tuk + "}";
  std::string id = run("return _fetch_remote('" + server.url("/fixed") + "')")[0].substr(2);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (gurl_get_job(std::stoll(id))->status != gurl_status_done && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Starting 256 fetches costs more than a slice may run past its cap: the
  // limit is not what this is about.
  uncharged_work no_limit;
  EXPECT_EQ(run(R"(
    local ran = false
    collectgarbage("incremental", 0, 1000)
    setmetatable({}, {__gc = function()
      ran = true
      for i = 1, 256 do _fetch_remote("http://127.0.0.1:1/") end
    end})
    local t = _fetch_remote_result()" + id + R"()
    collectgarbage("incremental", 200, 100)
    return ran, #t, t[3000][1], select("#", _fetch_remote_result()" + id + R"())
  )"),
            (R{"b:true", "i:3000", "i:3000", "i:0"}));
}

} // namespace
