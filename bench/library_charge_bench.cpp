// Host nanoseconds per charged cycle of the library functions whose work a
// script can make large: each script calls one of them in a loop, in a state on
// the kernel's allocator, and the time it took is divided by every cycle it was
// charged (instructions, allocations and the functions' own charges). The target
// is at most 10 ns per cycle for each.
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/min_time_flag.h"
#include "kernel/accounting.h"
#include "lkernel.h"
#include "lua.hpp"

namespace {

struct script {
  const char *name;
  const char *setup;  // run once; defines the globals the loop uses
  const char *call;   // the call made on every pass
};

const std::vector<script> scripts = {
    {"string.rep short", "", "string.rep('ab', 100)"},
    {"string.rep long", "", "string.rep('abcdefgh', 100000)"},
    {"string.rep bytes", "", "string.rep('x', 1000000)"},
    {"string.rep sep", "", "string.rep('x', 100000, ',')"},
    {"string.rep empty", "", "string.rep('', 1 << 40)"},
    {"table.move", "src = {} for i = 1, 10000 do src[i] = i end dst = {}",
     "table.move(src, 1, 10000, 1, dst)"},
    {"table.move hash", "src = {} for i = 1, 10000 do src[i * 7] = i end dst = {}",
     "table.move(src, 1, 70000, 1, dst)"},
    {"table.concat", "words = {} for i = 1, 10000 do words[i] = 'w' .. i end",
     "table.concat(words, ' ')"},
    {"table.concat long", "chunks = {} for i = 1, 100 do chunks[i] = string.rep('c', 10000) end",
     "table.concat(chunks)"},
    {"find plain", "hay = string.rep('a', 100000) needle = string.rep('a', 50) .. 'b'",
     "string.find(hay, needle, 1, true)"},
    {"find backtracking", "hay = string.rep('a', 60)",
     "string.find(hay, 'a*a*a*b')"},
    {"find repetition", "hay = string.rep('a', 3000)", "string.find(hay, '.-b')"},
    {"find set", "hay = string.rep('z', 20000) set = '[' .. string.rep('abcdefgh', 16) .. ']'",
     "string.find(hay, set)"},
    {"match captures", "text = string.rep('key = value; ', 2000)",
     "string.match(text, '(%w+) = (%w+)$')"},
    {"gmatch words", "text = string.rep('lorem ipsum dolor sit amet ', 500)",
     "for w in string.gmatch(text, '%a+') do end"},
    {"gsub words", "text = string.rep('lorem ipsum dolor sit amet ', 500)",
     "string.gsub(text, '%a+', '<%0>')"},
    {"gsub balance", "text = string.rep('(a(b)c)', 3000)", "string.gsub(text, '%b()', 'x')"},
    {"string.format items", "", "string.format('%d %s %5.2f %x %g', 12345, 'name', 3.25, 255, 1e100)"},
    {"string.format %s long", "big = string.rep('s', 100000)", "string.format('[%s]', big)"},
    {"string.format %q", "raw = string.rep('a\\n\"\\0', 10000)", "string.format('%q', raw)"},
    {"string.upper", "text = string.rep('Mixed Case ', 10000)", "string.upper(text)"},
    {"string.reverse", "text = string.rep('Mixed Case ', 10000)", "string.reverse(text)"},
    {"utf8.len", "text = string.rep('\\u{e9}t\\u{e9} ', 10000)", "utf8.len(text)"},
    {"tostring number", "", "tostring(12345.678)"},
    {"tostring table", "t = {}", "tostring(t)"},
    {"tostring string", "", "tostring('text')"},
    {"collectgarbage full", "heap = {} for i = 1, 200000 do heap[i] = {i} end",
     "collectgarbage()"},
    {"collectgarbage step", "heap = {} for i = 1, 200000 do heap[i] = {i} end",
     "heap[#heap + 1] = {} collectgarbage('step')"},
};

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs `loop` (a function of the pass count) once for `passes` and gives the
// host seconds and cycles charged.
struct run_result {
  double seconds;
  int64_t cycles;
};

run_result timed(lua_State *L, int loop, int passes) {
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
  cpu_superyielding = 0;
  lua_pushvalue(L, loop);
  lua_pushinteger(L, passes);
  double t0 = cpu_seconds();
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
    std::fprintf(stderr, "error: %s\n", lua_tostring(L, -1));
    std::exit(1);
  }
  double t = cpu_seconds() - t0;
  return {t, static_cast<uint32_t>(cpu_cycles)};
}

}  // namespace

int main(int argc, char **argv) {
  double min_time = min_time_from(argc, argv, 0.3);
  std::printf("%-24s %10s %14s %10s\n", "function", "passes", "cycles/pass", "ns/cycle");
  double worst = 0;
  for (const script &s : scripts) {
    lua_State *L = lua_newstate(l_alloc, nullptr);  // charges allocations; no process
    luaL_openlibs(L);
    std::string loop = std::string(s.setup) + " return function(n) for i = 1, n do " + s.call +
                       " end end";
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;
    if (luaL_loadstring(L, loop.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
      std::fprintf(stderr, "%s: %s\n", s.name, lua_tostring(L, -1));
      return 1;
    }
    int fn = lua_gettop(L);
    // Grow the pass count until a run takes min_time (each run's cycles stay
    // well inside the 32-bit count).
    int passes = 1;
    run_result r = timed(L, fn, passes);
    while (r.seconds < min_time && r.cycles < (int64_t{1} << 29) && passes < (1 << 24)) {
      double scale = r.seconds > 0 ? std::min(8.0, 1.2 * min_time / r.seconds) : 8.0;
      passes = std::max(passes + 1, static_cast<int>(passes * scale));
      r = timed(L, fn, passes);
    }
    double ns = r.cycles > 0 ? r.seconds * 1e9 / double(r.cycles) : 0;
    worst = std::max(worst, ns);
    std::printf("%-24s %10d %14.0f %10.2f\n", s.name, passes, double(r.cycles) / passes, ns);
    lua_close(L);
  }
  cpu_cycles = 0;
  cpu_cycles_max = 0;
  std::printf("%-24s %36.2f\n", "worst", worst);
  return 0;
}
