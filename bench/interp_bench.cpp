// The interpreter against the unchanged Lua 5.4.2 release, both built with the
// same flags into this one program: per script, the time on each core and their
// ratio, and the instructions each core executes (counted by valgrind's callgrind,
// exact and repeatable) and their ratio, with the geometric means of the ratios
// (targets: at most 1.05 in time, 1.04 in instructions). Then typed-array indexing
// in our core, ud[i] read and written against a Lua table's t[i] (target: at most
// 1.5 in time).
//
//   interp_bench [--benchmark_min_time=S]   each side of each comparison runs for
//       about S seconds (default 0.5). Instructions are counted when valgrind is on
//       the path, except in a quick run (S below 0.1, as the test suite runs it).
//   interp_bench --count CASE SIDE          (used by the above under callgrind)
//       runs one case once on one side with callgrind's collection on.
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "lkernel.h"
#include "lua.hpp"
#include "runner.h"

#include "bench/min_time_flag.h"
#include "kernel/registry.h"
#include "values/userdata_api.h"

extern char **environ;

// Both cores seed their string hashes from the clock, which would make the
// instruction counts of scripts with string keys differ from run to run by
// where the keys land: in this program the clock reads one fixed second.
extern "C" time_t time(time_t *t) noexcept {
  if (t) *t = 1000000000;
  return 1000000000;
}

namespace {

// Two chunks measured against each other. Each returns a function (the work, run
// once per round) whose first result shows that both sides agree.
struct comparison {
  const char *name;
  const char *a;  // ours, or ud[i]
  const char *b;  // the same on the release, or t[i]
};

// The same chunk on both cores: it returns itself, so the chunk is the work.
#define BOTH(name, code) {name, "return function() " code " end", "return function() " code " end"}

const std::vector<comparison> scripts = {
    BOTH("numeric_loop", R"lua(
      local s = 0
      for i = 1, 3000000 do s = s + i % 7 end
      return s
    )lua"),
    BOTH("recursive_calls", R"lua(
      local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
      return fib(27)
    )lua"),
    BOTH("tables", R"lua(
      local t = {}
      for i = 1, 200000 do t[i] = i end
      local s = 0
      for j = 1, 5 do for i = 1, #t do s = s + t[i] end end
      local h = {}
      for i = 1, 100000 do h[i * 3] = i end
      for i = 1, 100000 do s = s + h[i * 3] end
      local r = {x = 1, y = 2, z = 3}
      for i = 1, 300000 do r.x = r.y + r.z end
      return s + r.x
    )lua"),
    BOTH("method_calls", R"lua(
      local Point = {}
      Point.__index = Point
      function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
      function Point:add(o) self.x = self.x + o.x self.y = self.y + o.y return self end
      function Point:len2() return self.x * self.x + self.y * self.y end
      local p, q = Point.new(0, 0), Point.new(1, 2)
      local s = 0
      for i = 1, 400000 do p:add(q) s = s + p:len2() % 3 end
      return s
    )lua"),
    BOTH("floats", R"lua(
      local count = 0
      for py = 0, 79 do
        for px = 0, 79 do
          local cr, ci = px / 40 - 1.5, py / 40 - 1.0
          local zr, zi = 0.0, 0.0
          local n = 0
          while n < 100 and zr * zr + zi * zi < 4.0 do
            zr, zi = zr * zr - zi * zi + cr, 2.0 * zr * zi + ci
            n = n + 1
          end
          count = count + n
        end
      end
      return count
    )lua"),
    BOTH("closures", R"lua(
      local function adder(k) return function(x) return x + k end end
      local s = 0
      for i = 1, 200000 do
        local f = adder(i)
        s = s + f(1)
      end
      local n = 0
      local function bump() n = n + 1 end
      for i = 1, 500000 do bump() end
      return s + n
    )lua"),
    BOTH("strings", R"lua(
      local parts = {}
      for i = 1, 50000 do parts[#parts + 1] = "item" .. i end
      local s = table.concat(parts, ",")
      local n = 0
      for i = 1, 50000 do
        local x = string.format("%d:%s", i, "v")
        n = n + #x + #(x:sub(2, 4))
      end
      return #s + n
    )lua"),
    BOTH("sieve", R"lua(
      local count = 0
      for round = 1, 3 do
        local composite = {}
        count = 0
        for i = 2, 200000 do
          if not composite[i] then
            count = count + 1
            for j = i * i, 200000, i do composite[j] = true end
          end
        end
      end
      return count
    )lua"),
};

// Indexing: the typed array and the table hold the same values.
const std::vector<comparison> indexing = {
    {"read",
     "local u = userdata('i32', 100000) for i = 0, 99999 do u[i] = i end "
     "return function() local s = 0 for r = 1, 10 do "
     "for i = 0, 99999 do s = s + u[i] end end return s end",
     "local t = {} for i = 0, 99999 do t[i] = i end "
     "return function() local s = 0 for r = 1, 10 do "
     "for i = 0, 99999 do s = s + t[i] end end return s end"},
    {"write",
     "local u = userdata('i32', 100000) "
     "return function() for r = 1, 10 do "
     "for i = 0, 99999 do u[i] = i + r end end return u[99999] end",
     "local t = {} for i = 0, 99999 do t[i] = 0 end "
     "return function() for r = 1, 10 do "
     "for i = 0, 99999 do t[i] = i + r end end return t[99999] end"},
};

// One side of a comparison, ready to run: prepare() runs the chunk and keeps the
// function it returns; call() runs that function once.
using call_fn = std::function<bool(std::string *)>;

// Our core as the kernel runs it, with the typed arrays, but never stopped: a
// cap no count reaches.
struct our_state {
  lua_State *L = luaL_newstate();
  our_state() {
    luaL_openlibs(L);
    add_userdata_metatable_functions(L);
    lua_register(L, "userdata", lua54_userdata);
  }
  ~our_state() { lua_close(L); }
  bool run(std::string *result) {
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
    cpu_superyielding = 0;
    bool ok = lua_pcall(L, 0, 1, 0) == LUA_OK;
    const char *s = luaL_tolstring(L, -1, nullptr);
    *result = s ? s : "";
    return ok;
  }
  bool prepare(const char *code, std::string *error) {
    lua_settop(L, 0);
    if (luaL_loadstring(L, code) != LUA_OK) {
      *error = lua_tostring(L, -1);
      return false;
    }
    if (!run(error)) return false;
    lua_settop(L, 1);
    return lua_isfunction(L, 1);
  }
  bool call(std::string *result) {
    lua_pushvalue(L, 1);
    bool ok = run(result);
    lua_settop(L, 1);
    return ok;
  }
};

struct pristine {
  pristine_state *S = pristine_open();
  ~pristine() { pristine_close(S); }
  bool prepare(const char *code, std::string *error) { return pristine_prepare(S, code, error); }
  bool call(std::string *result) { return pristine_call(S, result); }
};

// Thread CPU time: a benchmark descheduled by the host loses nothing.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double timed(const call_fn &call, std::string *result) {
  double t0 = cpu_seconds();
  if (!call(result)) {
    std::fprintf(stderr, "error: %s\n", result->c_str());
    std::exit(1);
  }
  return cpu_seconds() - t0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct timing {
  double a_ms, b_ms, ratio;
  size_t rounds;
};

// Both sides run in alternating rounds, so that a round's two times see the same
// machine; the ratio is the median of the rounds' ratios.
timing compare_times(const char *name, const call_fn &a, const call_fn &b, double min_time) {
  std::string ra, rb;
  timed(a, &ra);  // warm-up, and both sides must agree
  timed(b, &rb);
  if (ra != rb) {
    std::fprintf(stderr, "%s: the two sides give %s and %s\n", name, ra.c_str(), rb.c_str());
    std::exit(1);
  }
  std::vector<double> ta, tb, ratios;
  double spent = 0;
  for (int round = 0; round < 1000 && (round == 0 || spent < 2 * min_time); round++) {
    double x, y;
    if (round % 2) {
      x = timed(a, &ra);
      y = timed(b, &rb);
    } else {
      y = timed(b, &rb);
      x = timed(a, &ra);
    }
    ta.push_back(x);
    tb.push_back(y);
    ratios.push_back(x / y);
    spent += x + y;
  }
  return {median(ta) * 1e3, median(tb) * 1e3, median(ratios), ratios.size()};
}

/* ---------------------------------------------------------------------- */
/* instruction counts                                                      */
/* ---------------------------------------------------------------------- */

const comparison *find_case(const std::vector<comparison> &list, const std::string &name) {
  for (const comparison &c : list)
    if (name == c.name) return &c;
  return nullptr;
}

// The child's side: one warm-up call, then one call counted.
template <typename side>
int count_one(const char *code) {
  side s;
  std::string result;
  if (!s.prepare(code, &result) || !s.call(&result)) {
    std::fprintf(stderr, "error: %s\n", result.c_str());
    return 1;
  }
  CALLGRIND_TOGGLE_COLLECT;
  bool ok = s.call(&result);
  CALLGRIND_TOGGLE_COLLECT;
  return ok ? 0 : 1;
}

// Side "a" is ours; side "b" the release for a script, ours for indexing.
int count_main(const std::string &name, const std::string &side) {
  if (const comparison *c = find_case(scripts, name))
    return side == "a" ? count_one<our_state>(c->a) : count_one<pristine>(c->b);
  if (const comparison *c = find_case(indexing, name))
    return count_one<our_state>(side == "a" ? c->a : c->b);
  return 2;
}

bool valgrind_on_path() {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string file = dirs.substr(at, end - at) + "/valgrind";
    if (access(file.c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

struct count_job {
  std::string name, side, out;
  pid_t pid = -1;
  double instructions = -1;
};

bool start(count_job &job, const std::string &self) {
  std::string out_flag = "--callgrind-out-file=" + job.out;
  std::vector<std::string> args = {"valgrind",  "--tool=callgrind", "--collect-atstart=no", "-q",
                                   out_flag,    self,               "--count",
                                   job.name,    job.side};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return posix_spawnp(&job.pid, "valgrind", nullptr, nullptr, argv.data(), environ) == 0;
}

// The "totals:" line of a callgrind output file: the instructions collected.
double read_totals(const std::string &file) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("totals: ", 0) == 0) return std::atof(line.c_str() + 8);
  return -1;
}

// Counts every case on both sides, a few valgrind runs at a time (KESTRUNE_JOBS,
// default 3); -1 instructions where a run failed.
std::vector<count_job> count_all() {
  std::vector<count_job> jobs;
  std::string self(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (n <= 0) return jobs;
  self.resize(static_cast<size_t>(n));
  std::string dir = "/tmp/interp_bench." + std::to_string(getpid());
  for (const auto *list : {&scripts, &indexing})
    for (const comparison &c : *list)
      for (const char *side : {"a", "b"})
        jobs.push_back({c.name, side, dir + "." + c.name + "." + side + ".out"});
  const char *env = std::getenv("KESTRUNE_JOBS");
  size_t parallel = std::max(1, env ? std::atoi(env) : 3);
  size_t next = 0, done = 0, running = 0;
  while (done < jobs.size()) {
    while (running < parallel && next < jobs.size()) {
      if (start(jobs[next], self)) running++;
      else done++;
      next++;
    }
    if (running == 0) continue;
    int status = 0;
    pid_t pid = wait(&status);
    if (pid < 0) break;
    for (count_job &j : jobs) {
      if (j.pid != pid) continue;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) j.instructions = read_totals(j.out);
      std::remove(j.out.c_str());
      running--;
      done++;
    }
  }
  return jobs;
}

double instructions_of(const std::vector<count_job> &jobs, const char *name, const char *side) {
  for (const count_job &j : jobs)
    if (j.name == name && j.side == side) return j.instructions;
  return -1;
}

/* ---------------------------------------------------------------------- */
/* the table                                                               */
/* ---------------------------------------------------------------------- */

// One table: a line per comparison, then the geometric means of the ratios.
// `a` and `b` name the sides in the column heads.
void print_table(const char *title, const char *a, const char *b,
                 const std::vector<comparison> &list, bool ours_against_ours, double min_time,
                 const std::vector<count_job> &counts) {
  std::string head[4] = {std::string(a) + " ms", std::string(b) + " ms", std::string(a) + " Mi",
                         std::string(b) + " Mi"};
  std::printf("%-16s %9s %9s %7s %12s %12s %7s %7s\n", title, head[0].c_str(), head[1].c_str(),
              "time x", head[2].c_str(), head[3].c_str(), "instr x", "rounds");
  double log_time = 0, log_instr = 0;
  size_t counted = 0;
  for (const comparison &c : list) {
    our_state ours, ours_b;
    pristine base;
    std::string error;
    bool ready = ours.prepare(c.a, &error) &&
                 (ours_against_ours ? ours_b.prepare(c.b, &error) : base.prepare(c.b, &error));
    if (!ready) {
      std::fprintf(stderr, "%s: %s\n", c.name, error.c_str());
      std::exit(1);
    }
    call_fn call_a = [&](std::string *r) { return ours.call(r); };
    call_fn call_b = ours_against_ours ? call_fn([&](std::string *r) { return ours_b.call(r); })
                                       : call_fn([&](std::string *r) { return base.call(r); });
    timing t = compare_times(c.name, call_a, call_b, min_time);
    double ia = instructions_of(counts, c.name, "a"), ib = instructions_of(counts, c.name, "b");
    log_time += std::log(t.ratio);
    if (ia > 0 && ib > 0) {
      std::printf("%-16s %9.3f %9.3f %7.3f %12.1f %12.1f %7.3f %7zu\n", c.name, t.a_ms, t.b_ms,
                  t.ratio, ia * 1e-6, ib * 1e-6, ia / ib, t.rounds);
      log_instr += std::log(ia / ib);
      counted++;
    } else {
      std::printf("%-16s %9.3f %9.3f %7.3f %12s %12s %7s %7zu\n", c.name, t.a_ms, t.b_ms, t.ratio,
                  "-", "-", "-", t.rounds);
    }
  }
  double n = static_cast<double>(list.size());
  if (counted == list.size())
    std::printf("%-16s %27.3f %33.3f\n", "geometric mean", std::exp(log_time / n),
                std::exp(log_instr / n));
  else
    std::printf("%-16s %27.3f\n", "geometric mean", std::exp(log_time / n));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--count") == 0) return count_main(argv[2], argv[3]);
  // The test suite passes 0.01: one round per comparison, no instruction counts.
  double min_time = min_time_from(argc, argv, 0.5);
  std::vector<count_job> counts;
  if (min_time >= 0.1 && valgrind_on_path()) counts = count_all();
  print_table("script", "ours", "base", scripts, false, min_time, counts);
  std::printf("\n");
  print_table("indexing", "ud[i]", "t[i]", indexing, true, min_time, counts);
  std::printf("\n(ms: median time of a run; Mi: millions of instructions of a run; "
              "x: ours / base, ud[i] / t[i])\n");
  return 0;
}
