// Host time against charged cycles: every encoder, decoder and bulk binding a
// script can make work hard, called directly on arguments prepared
// beforehand. The counter ns_per_cycle is the host time one charged cycle buys
// (allocations' charges included); the aim is 10 or less for each.
#include <benchmark/benchmark.h>

#include <climits>
#include <string>
#include <vector>

#include "bench/charge_timer.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "values/png_qoi.h"

namespace {

// A process table with one process whose state has the whole registry; no
// cycle cap, so nothing stops the calls.
struct bench_world {
  process *P = nullptr;
  bench_world() {
    processes_init();
    config = config_record{};
    config.headless = 1;
    P = create_process_from_code("", "[bench]", "[bench]");
    cproc = P;
    cpu_cycles_max = INT_MAX;
  }
  ~bench_world() {
    processes_init();
    cpu_cycles = cpu_cycles_max = 0;
  }
};

// Runs `setup` once, then times calls of the function `fn` evaluates to with
// the arguments `args` evaluates to.
void charge_case(benchmark::State &state, const char *setup, const char *fn, const char *args) {
  bench_world w;
  if (!w.P) return state.SkipWithError("no process");
  lua_State *L = w.P->lua_state;
  int base = lua_gettop(L);  // the process's own chunk lies below
  std::string prepare = std::string(setup) + "\nreturn " + fn + (*args ? ", " : "") + args;
  if (luaL_loadstring(L, prepare.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK)
    return state.SkipWithError(lua_tostring(L, -1));
  time_charged_calls(state, L, base + 1, lua_gettop(L));
}

constexpr const char *ints = "t = {} for i = 1, 10000 do t[i] = i end";
constexpr const char *floats = "t = {} for i = 1, 10000 do t[i] = i / 7 end";
constexpr const char *strings = "t = {} for i = 1, 10000 do t[i] = ('x'):rep(20) .. i end";
constexpr const char *keyed = "t = {} for i = 1, 10000 do t['key' .. i] = i end";
constexpr const char *nested = "t = {} for i = 1, 3000 do t[i] = {a = i, b = {i, 'x'}} end";
constexpr const char *f64s = "t = userdata('f64', 100000) for i = 0, 99999 do t[i] = i / 3 end";
constexpr const char *bitmap =
    "t = userdata('u8', 480, 270) for i = 0, #t - 1 do t[i] = (i // 7 + i // 480) % 16 end";

}  // namespace

BENCHMARK_CAPTURE(charge_case, tuk_integers, ints, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_floats, floats, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_strings, strings, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_keys, keyed, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_nested, nested, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_f64_userdata, f64s, "tuk", "t");
BENCHMARK_CAPTURE(charge_case, tuk_zqu_bitmap, bitmap, "tuk", "t, 1");
BENCHMARK_CAPTURE(charge_case, tuk_lz4, nested, "tuk", "t, 2");
BENCHMARK_CAPTURE(charge_case, tuk_base64, nested, "tuk", "t, 4");

BENCHMARK_CAPTURE(charge_case, untuk_integers, ints, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_floats, floats, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_strings, strings, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_keys, keyed, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_nested, nested, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_f64_userdata, f64s, "untuk", "tuk(t)");
BENCHMARK_CAPTURE(charge_case, untuk_zqu_bitmap, bitmap, "untuk", "tuk(t, 1)");
BENCHMARK_CAPTURE(charge_case, untuk_lz4, nested, "untuk", "tuk(t, 2)");
BENCHMARK_CAPTURE(charge_case, untuk_base64, nested, "untuk", "tuk(t, 4)");

BENCHMARK_CAPTURE(charge_case, create_delta,
                  "a = {} for i = 1, 20000 do a[i] = string.format('%07d,', i * 7919 % 100003) end "
                  "a = table.concat(a) b = a:sub(1, 50000) .. 'changed' .. a:sub(50100)",
                  "create_delta", "a, b");
BENCHMARK_CAPTURE(charge_case, apply_delta,
                  "a = {} for i = 1, 20000 do a[i] = string.format('%07d,', i * 7919 % 100003) end "
                  "a = table.concat(a) d = create_delta(a, a:sub(1, 50000) .. 'changed' .. a:sub(50100))",
                  "apply_delta", "a, d");

BENCHMARK_CAPTURE(charge_case, send_and_read_message, nested,
                  "function() send_message(pid(), t) return _read_message() end", "");
BENCHMARK_CAPTURE(charge_case, split_numbers, "s = ('12,'):rep(100000)", "split", "s");
BENCHMARK_CAPTURE(charge_case, split_bytes, "s = ('ab'):rep(50000)", "split", "s, 1, false");
BENCHMARK_CAPTURE(charge_case, create_process,
                  "code = ('local a = {1, 2, 3} a[1] = a[2] + a[3]\\n'):rep(2000)",
                  "function(c) _kill_process(_create_process_from_code(c, 'x', 'x')) end", "code");
BENCHMARK_CAPTURE(charge_case, stat_collect, nested, "stat", "0");
BENCHMARK_CAPTURE(charge_case, userdata_from_decimals, "s = ('1.5,'):rep(100000)", "userdata",
                  "'f64', 100000, s");
BENCHMARK_CAPTURE(charge_case, convert_to_palette,
                  "u = userdata('i32', 480, 270) for i = 0, #u - 1 do u[i] = i * 2654435761 % 300 end",
                  "u.convert", "u, 'u8', true");
BENCHMARK_CAPTURE(charge_case, date_long_format, "f = ('%Y-%m-%d %H:%M:%S '):rep(200)", "date",
                  "f, 0");
BENCHMARK_CAPTURE(charge_case, userland_clipboard, "s = ('x'):rep(1000000)",
                  "_set_userland_clipboard_text", "s");

namespace {

// The image codecs have no binding of their own yet: their charge rules
// (values/png_qoi.h) against a 480 x 270 picture with runs and noise.
std::vector<uint8_t> picture() {
  std::vector<uint8_t> px(size_t{480} * 270 * 4);
  uint32_t seed = 7;
  for (size_t i = 0; i < px.size(); i += 4) {
    seed = seed * 1103515245 + 12345;
    uint8_t v = (i / 4) % 480 < 240 ? uint8_t(i / 4 / 480) : uint8_t(seed >> 24);
    px[i] = px[i + 1] = v;
    px[i + 2] = uint8_t(i / 64);
    px[i + 3] = 255;
  }
  return px;
}

template <typename Work>
void codec_case(benchmark::State &state, int64_t cycles_per_call, Work work) {
  double ns = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    work();
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  }
  double cycles = static_cast<double>(cycles_per_call) * static_cast<double>(state.iterations());
  state.counters["cycles_per_call"] = static_cast<double>(cycles_per_call);
  state.counters["ns_per_cycle"] = ns / cycles;
}

void png_encode(benchmark::State &state) {
  std::vector<uint8_t> px = picture();
  codec_case(state, png_coding_cycles(480 * 270), [&] {
    buffer_owner out(create_buffer_2(1024, 0));
    benchmark::DoNotOptimize(LodePNG_encode32_pbuffer(px.data(), 480, 270, out.get()));
  });
}
BENCHMARK(png_encode);

void png_decode(benchmark::State &state) {
  std::vector<uint8_t> px = picture();
  buffer_owner file(create_buffer_2(1024, 0));
  LodePNG_encode32_pbuffer(px.data(), 480, 270, file.get());
  codec_case(state, png_coding_cycles(480 * 270), [&] {
    image_pixels out;
    unsigned w, h;
    benchmark::DoNotOptimize(LodePNG_decode32_pbuffer(&out, &w, &h, file.get(), 480 * 270));
  });
}
BENCHMARK(png_decode);

void qoi_encode(benchmark::State &state) {
  std::vector<uint8_t> px = picture();
  codec_case(state, qoi_coding_cycles(480 * 270), [&] {
    int n;
    benchmark::DoNotOptimize(encode_qoi(px.data(), label_qoi_desc, &n));
  });
}
BENCHMARK(qoi_encode);

void qoi_decode(benchmark::State &state) {
  std::vector<uint8_t> px = picture();
  int n;
  image_pixels file = encode_qoi(px.data(), label_qoi_desc, &n);
  codec_case(state, qoi_coding_cycles(480 * 270), [&] {
    qoi_desc d;
    benchmark::DoNotOptimize(decode_qoi(file.get(), n, &d, 480 * 270));
  });
}
BENCHMARK(qoi_decode);

}  // namespace

BENCHMARK_MAIN();
