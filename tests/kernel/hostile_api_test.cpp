// Every registered function and userdata method, called once with each hostile
// value of the harness's pool alone, twice (aliased) and six times, and with a
// few fixed hostile combinations: nothing may crash, trip a sanitizer, hang,
// or hold host memory no process is charged for. The same harness drives the
// api_fuzz target.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "fuzz/hostile_api.h"

namespace {

// Host bytes a plan may hold beyond its process's charge (the file system's
// records, fetch bookkeeping).
constexpr int64_t uncharged_max = int64_t{64} << 20;
// The pool's last slots hold fed results: without feeding they are all nil.
constexpr int fed_slots = 16;

// A call: target, its arguments as pool indices, and the receiver index.
void add_call(std::string &plan, size_t target, int receiver, const std::vector<int> &args,
              int mode = 0) {
  plan += char(target);
  plan += char(args.size());
  plan += char(receiver);
  plan += char(mode);
  for (int a : args) plan += char(a);
}

class HostileApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { hostile_api::init_sandbox(); }
  static void TearDownTestSuite() {
    hostile_api::reset_world();
    hostile_api::remove_sandbox();
  }
};

// Functions that end their own process when called (so the plan cannot reach
// its end): the halt, and a kill of the caller's own id.
bool may_end_its_caller(const std::string &name) {
  return name == "_halt" || name == "_kill_process";
}

TEST_F(HostileApi, EveryFunctionTakesEveryHostileValue) {
  hostile_api::plan_result empty = hostile_api::run_plan(std::string(1, '\0'));
  ASSERT_TRUE(empty.finished);
  const int n = empty.pool_size;
  ASSERT_GT(n, 100);
  ASSERT_LE(n, 256);
  ASSERT_LE(hostile_api::target_count(), 256u);
  std::set<lua_CFunction> walked;  // a function registered under two names is walked once
  for (size_t t = 0; t < hostile_api::target_count(); t++) {
    if (!walked.insert(hostile_api::target_function(t)).second) continue;
    std::string name = hostile_api::target_name(t);
    // Every other target runs as a /system/ process with an eager collector
    // (the finalizers armed with the combinations then run during calls).
    std::string plan(1, char(t & 1 ? 3 : 0));
    add_call(plan, t, 0, {});
    bool method = name.starts_with("USERDATA.");
    for (int v = 0; v < n - fed_slots; v++) {
      add_call(plan, t, v, {v});
      add_call(plan, t, v + 1, {v, v});
      if (!method) add_call(plan, t, v + 2, {v, v, v, v, v, v});
      // In turn: the value after small numbers, between huge ones, and among
      // userdata of the pool (the mapped RAM one included).
      const std::vector<int> combos[3] = {{0, 1, v}, {13, 14, v, 14}, {n - 20, v, n - 19, n - 21}};
      // Between huge numbers the call runs in a coroutine of its own; among
      // userdata a hostile finalizer runs at the call's collections.
      const int modes[3] = {0, 128, 1 + v / 3 % 16};
      add_call(plan, t, v, combos[v % 3], modes[v % 3]);
    }
    int64_t base = hostile_api::host_bytes_allocated();
    auto t0 = std::chrono::steady_clock::now();
    hostile_api::plan_result r = hostile_api::run_plan(plan, 3000, base, false);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (getenv("HOSTILE_TIMES")) fprintf(stderr, "TIME %s %.1f\n", name.c_str(), ms);
    if (!may_end_its_caller(name)) EXPECT_TRUE(r.finished) << name;
    EXPECT_LT(r.uncharged, uncharged_max) << name;
  }
}

}  // namespace
