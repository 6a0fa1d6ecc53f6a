// The interpreter against the unchanged Lua 5.4.2 release: the same scripts on
// both cores in one process, each script's times and ratio, and the geometric mean
// of the ratios (the target is at most 1.10).
#include <time.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lkernel.h"
#include "lua.hpp"
#include "runner.h"

namespace {

struct script {
  const char *name;
  const char *code;  // a chunk whose first result shows that both cores agree
};

const std::vector<script> scripts = {
    {"numeric_loop", R"lua(
      local s = 0
      for i = 1, 3000000 do s = s + i % 7 end
      return s
    )lua"},
    {"recursive_calls", R"lua(
      local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
      return fib(27)
    )lua"},
    {"tables", R"lua(
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
    )lua"},
    {"method_calls", R"lua(
      local Point = {}
      Point.__index = Point
      function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
      function Point:add(o) self.x = self.x + o.x self.y = self.y + o.y return self end
      function Point:len2() return self.x * self.x + self.y * self.y end
      local p, q = Point.new(0, 0), Point.new(1, 2)
      local s = 0
      for i = 1, 400000 do p:add(q) s = s + p:len2() % 3 end
      return s
    )lua"},
    {"floats", R"lua(
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
    )lua"},
    {"closures", R"lua(
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
    )lua"},
    {"strings", R"lua(
      local parts = {}
      for i = 1, 50000 do parts[#parts + 1] = "item" .. i end
      local s = table.concat(parts, ",")
      local n = 0
      for i = 1, 50000 do
        local x = string.format("%d:%s", i, "v")
        n = n + #x + #(x:sub(2, 4))
      end
      return #s + n
    )lua"},
};

// Our core, run as the kernel runs it but never stopped: a cap no count reaches.
struct our_state {
  lua_State *L = luaL_newstate();
  our_state() { luaL_openlibs(L); }
  ~our_state() { lua_close(L); }
  bool load(const char *code, std::string *error) {
    if (luaL_loadstring(L, code) == LUA_OK) return true;
    *error = lua_tostring(L, -1);
    return false;
  }
  bool call(std::string *result) {
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
    cpu_superyielding = 0;
    lua_pushvalue(L, 1);
    bool ok = lua_pcall(L, 0, 1, 0) == LUA_OK;
    const char *s = luaL_tolstring(L, -1, nullptr);
    *result = s ? s : "";
    lua_settop(L, 1);
    return ok;
  }
};

struct pristine {
  pristine_state *S = pristine_open();
  ~pristine() { pristine_close(S); }
  bool load(const char *code, std::string *error) { return pristine_load(S, code, error); }
  bool call(std::string *result) { return pristine_call(S, result); }
};

// Thread CPU time: a benchmark descheduled by the host loses nothing.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <typename core>
double timed_call(core &c, std::string *result) {
  double t0 = cpu_seconds();
  if (!c.call(result)) {
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

// Reads --benchmark_min_time=SECONDS (each script's time on each core); the
// test suite passes 0.01, which makes one round per script.
double min_time_from(int argc, char **argv) {
  const std::string flag = "--benchmark_min_time=";
  double t = 0.5;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a.rfind(flag, 0) == 0) {
      t = std::atof(a.c_str() + flag.size());
    } else {
      std::fprintf(stderr, "usage: %s [--benchmark_min_time=SECONDS]\n", argv[0]);
      std::exit(2);
    }
  }
  return t;
}

}  // namespace

// Both cores run each script in alternating rounds, so that a round's two times
// see the same machine; the ratio of a script is the median of its rounds' ratios.
int main(int argc, char **argv) {
  double min_time = min_time_from(argc, argv);
  double log_sum = 0;
  std::printf("%-16s %12s %12s %8s %7s\n", "script", "ours ms", "pristine ms", "ratio", "rounds");
  for (const script &s : scripts) {
    our_state ours;
    pristine base;
    std::string ours_result, base_result, error;
    if (!ours.load(s.code, &error) || !base.load(s.code, &error)) {
      std::fprintf(stderr, "%s: %s\n", s.name, error.c_str());
      return 1;
    }
    timed_call(ours, &ours_result);  // warm-up, and both cores must agree
    timed_call(base, &base_result);
    if (ours_result != base_result) {
      std::fprintf(stderr, "%s: ours gives %s, pristine %s\n", s.name, ours_result.c_str(),
                   base_result.c_str());
      return 1;
    }
    std::vector<double> ours_t, base_t, ratios;
    double spent = 0;
    for (int round = 0; round < 1000 && (round == 0 || spent < 2 * min_time); round++) {
      double a, b;
      if (round % 2) {
        a = timed_call(ours, &ours_result);
        b = timed_call(base, &base_result);
      } else {
        b = timed_call(base, &base_result);
        a = timed_call(ours, &ours_result);
      }
      ours_t.push_back(a);
      base_t.push_back(b);
      ratios.push_back(a / b);
      spent += a + b;
    }
    double ratio = median(ratios);
    std::printf("%-16s %12.3f %12.3f %8.3f %7zu\n", s.name, median(ours_t) * 1e3,
                median(base_t) * 1e3, ratio, ratios.size());
    log_sum += std::log(ratio);
  }
  std::printf("%-16s %34.3f\n", "geometric mean", std::exp(log_sum / double(scripts.size())));
  return 0;
}
