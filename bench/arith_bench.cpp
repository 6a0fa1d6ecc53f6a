// Typed-array arithmetic beside its physical and scripted references: every
// element-wise operation, copy and take per element type at 16 MiB and 128 KiB
// as a fraction of memcpy bandwidth measured in the same run (bytes read and
// written over time), the host time per charged cycle, the speed-up over the
// same loop written in a script on the dialect, and matmul of 512 x 512 f64
// beside a naive triple loop in C++.
//
// Goals: x_memcpy >= 0.8 for add, mul, max, band and copy on u8, i32 and f64;
// ns per cycle <= 10; script speed-up >= 200; matmul >= 3x the naive loop.
// A timed program: --benchmark_min_time (the quick run of the test suite)
// measures only the small size, once; --only=mod,max measures just those.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/registry.h"
#include "lua.hpp"
#include "values/userdata_api.h"

namespace {

bool quick = false;
std::string only;  // --only=add,max: just these operations (and no matmul unless named)
bool wanted(const char *name) {
  return only.empty() || ("," + only + ",").find(std::string(",") + name + ",") != std::string::npos;
}

double now_ns() {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Best of `reps` runs of f (fewer once two seconds have gone), in ns: a busy
// machine inflates it as little as it can.
template <class F> double best_ns(int reps, F f) {
  double best = 1e300, start = now_ns();
  for (int r = 0; r < reps && (r == 0 || now_ns() - start < 2e9); r++) {
    double t0 = now_ns();
    f();
    best = std::min(best, now_ns() - t0);
  }
  return best;
}

struct state {
  lua_State *L = luaL_newstate();
  state() {
    luaL_openlibs(L);
    add_userdata_metatable_functions(L);
    lua_register(L, "userdata", lua54_userdata);
    cpu_cycles = 0;
    cpu_cycles_max = INT_MAX;  // the main thread cannot yield: no cap
  }
  ~state() { lua_close(L); }
  void run(const std::string &code) {
    if (luaL_dostring(L, code.c_str()) != LUA_OK) {
      fprintf(stderr, "%s\n", lua_tostring(L, -1));
      exit(1);
    }
  }
};

// One call of the global function `fn` (left on the stack by `prepare`) with
// no arguments; returns the cycles it charged.
int64_t call_top(lua_State *L) {
  lua_pushvalue(L, -1);
  cpu_cycles = 0;
  if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
    fprintf(stderr, "%s\n", lua_tostring(L, -1));
    exit(1);
  }
  return static_cast<uint32_t>(cpu_cycles);
}

const char *const types[] = {"u8", "i16", "i32", "i64", "f64"};
int type_size(const char *t) { return t[0] == 'u' ? 1 : t[1] == '1' ? 2 : t[1] == '3' ? 4 : 8; }

struct op_row {
  const char *name;
  int bytes_per_element_pass;  // operands read plus the destination written
  const char *script;          // the loop body in a script, or null
};
const op_row ops[] = {
    {"add", 3, "a[i] = a[i] + b[i]"}, {"sub", 3, nullptr}, {"mul", 3, "a[i] = a[i] * b[i]"},
    {"div", 3, nullptr}, {"idiv", 3, nullptr}, {"mod", 3, nullptr},
    {"mod_far", 3, nullptr},  // f64 remainders of the largest quotients (1.8e308 by 1.2e-310)
    {"pow", 3, nullptr}, {"pow_3", 3, nullptr},  // exponent 2 (a square), then 3
    {"band", 3, "a[i] = a[i] & b[i]"}, {"bor", 3, nullptr}, {"bxor", 3, nullptr},
    {"shl", 3, nullptr}, {"shr", 3, nullptr},
    {"max", 3, "local x, y = a[i], b[i] if y > x then a[i] = y end"}, {"min", 3, nullptr},
    {"abs", 2, nullptr}, {"sgn", 2, nullptr}, {"sgn0", 2, nullptr},
    {"copy", 2, "a[i] = b[i]"}, {"fill", 1, "a[i] = 7"}, {"take", 3, nullptr},
    {"lerp", 1, nullptr}, {"transpose", 2, nullptr},
};

double memcpy_gbs(int64_t bytes) {
  std::vector<uint8_t> src(static_cast<size_t>(bytes), 1), dst(static_cast<size_t>(bytes));
  int reps = bytes > (1 << 20) ? 15 : 400;
  double ns = best_ns(quick ? 3 : reps, [&] {
    memcpy(dst.data(), src.data(), src.size());
    asm volatile("" : : "r"(dst.data()) : "memory");
  });
  return 2.0 * static_cast<double>(bytes) / ns;
}

// ns per element of the loop written in a script over `n` elements.
double script_ns_per_element(const op_row &op, const char *type, int64_t n) {
  if (!op.script) return 0;
  state s;
  if (quick) n = std::min<int64_t>(n, 4096);
  s.run(std::string("a = userdata('") + type + "', " + std::to_string(n) + ") b = userdata('" +
        type + "', " + std::to_string(n) + ") for i = 0, " + std::to_string(n - 1) +
        " do a[i] = i % 7 b[i] = i % 5 + 1 end");
  s.run(std::string("return function() for i = 0, ") + std::to_string(n - 1) + " do " +
        op.script + " end end");
  return best_ns(quick ? 1 : 3, [&] { call_top(s.L); }) / n;
}

void elementwise_table() {
  std::vector<int64_t> sizes = quick ? std::vector<int64_t>{128 << 10}
                                     : std::vector<int64_t>{16 << 20, 128 << 10};
  printf("%-9s %-4s %9s %8s %9s %10s %9s\n", "op", "type", "size", "GB/s", "x_memcpy", "ns/cycle",
         "x_script");
  for (int64_t bytes : sizes) {
    double ref = memcpy_gbs(bytes);
    printf("memcpy %s: %.2f GB/s (read + written)\n", bytes > (1 << 20) ? "16 MiB" : "128 KiB", ref);
    for (const op_row &op : ops) {
      if (!wanted(op.name)) continue;
      for (const char *type : types) {
        int64_t n = bytes / type_size(type);
        std::string t = type;
        // copy with an i32 second operand is take; fill is copy of a number.
        if (std::string(op.name) == "take" && t != "i32") continue;
        if (std::string(op.name) == "copy" && t == "i32") continue;
        bool integer_only = std::string("band bor bxor shl shr").find(op.name) != std::string::npos;
        if (integer_only && t == "f64") continue;
        if (std::string(op.name) == "mod_far" && t != "f64") continue;
        state s;
        // Operands: small values for the rules that care (shift counts, divisors).
        s.run("a = userdata('" + t + "', " + std::to_string(n) + ") b = userdata('" + t + "', " +
              std::to_string(n) + ") a:copy(3, true) b:copy(2, true)");
        std::string name = op.name;
        std::string call = name == "take"        ? "a:take(b, a)"
                           : name == "fill"      ? "a:copy(7, true)"
                           : name == "mod_far"   ? "a:mod(b, c)"
                           : name == "pow_3"     ? "a:pow(b, true)"
                           : name == "lerp"      ? "a:lerp()"
                           : name == "transpose" ? "a:transpose(true)"
                                                 : "a:" + name + "(b, true)";
        int64_t used = n;  // elements the call goes over
        if (name == "transpose") {  // the largest power-of-two square within the bytes
          int64_t side = 1;
          while ((side * 2) * (side * 2) <= n) side *= 2;
          s.run("a = userdata('" + t + "', " + std::to_string(side) + ", " + std::to_string(side) + ")");
          used = side * side;
        }
        if (std::string(op.name) == "take") s.run("b:copy(7, true)");
        if (name == "mod_far") s.run("a:copy(1.7976931348623157e308, true) b:copy(1.2345678901234567e-310, true) c = a:copy()");
        if (name == "pow_3") s.run("a:copy(1, true) b:copy(3, true)");
        s.run("return function() " + call + " end");
        int64_t cycles = 0;
        int reps = quick ? 1 : bytes > (1 << 20) ? 15 : 200;  // as many as memcpy's
        double ns = best_ns(reps, [&] { cycles = call_top(s.L); });
        double gbs = static_cast<double>(op.bytes_per_element_pass * used * type_size(type)) / ns;
        double script = script_ns_per_element(op, type, used);
        char x_script[32] = "-";
        if (script > 0) snprintf(x_script, sizeof x_script, "%.0f", script / (ns / static_cast<double>(used)));
        printf("%-9s %-4s %9s %8.2f %9.2f %10.2f %9s\n", op.name, type,
               bytes > (1 << 20) ? "16 MiB" : "128 KiB", gbs, gbs / ref,
               ns / static_cast<double>(std::max<int64_t>(cycles, 1)), x_script);
      }
    }
  }
}

void matmul_row() {
  int n = quick ? 128 : 512;
  state s;
  s.run("local n = " + std::to_string(n) +
        " a = userdata('f64', n, n) b = userdata('f64', n, n) c = userdata('f64', n, n) "
        "for i = 0, n * n - 1 do a[i] = (i % 17) * 0.25 - 2 b[i] = (i % 13) * 0.5 - 3 end");
  s.run("return function() a:matmul(b, c) end");
  int64_t cycles = 0;
  double ns = best_ns(quick ? 1 : 5, [&] { cycles = call_top(s.L); });
  // The naive loop over the same elements, then the results compared.
  auto elements = [&](const char *name) {
    lua_getglobal(s.L, name);
    auto *p = reinterpret_cast<double *>(static_cast<uint8_t *>(lua_touserdata(s.L, -1)) + 16);
    lua_pop(s.L, 1);
    return p;
  };
  const double *a = elements("a"), *b = elements("b"), *c = elements("c");
  std::vector<double> d(static_cast<size_t>(n) * n);
  double naive = best_ns(quick ? 1 : 3, [&] {
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++) {
        double sum = 0.0;
        for (int k = 0; k < n; k++) sum += a[i * n + k] * b[k * n + j];
        d[static_cast<size_t>(i) * n + j] = sum;
      }
  });
  bool same = memcmp(d.data(), c, d.size() * 8) == 0;
  printf("matmul %dx%d f64: %.2f ms, naive triple loop %.2f ms, %.1fx, %.2f ns/cycle, results %s\n", n,
         n, ns / 1e6, naive / 1e6, naive / ns, ns / static_cast<double>(std::max<int64_t>(cycles, 1)),
         same ? "identical" : "DIFFER");
  if (!same) exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++)
    if (strncmp(argv[i], "--benchmark_min_time", 20) == 0) quick = true;
    else if (strncmp(argv[i], "--only=", 7) == 0) only = argv[i] + 7;
  elementwise_table();
  if (wanted("matmul")) matmul_row();
  return 0;
}
