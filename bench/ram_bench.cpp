// Process RAM: block operations against libc over plain memory, and the PEEK
// operator against indexing a Lua table.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstring>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "lua.hpp"

namespace {

constexpr int64_t space = ram_space_size;
constexpr int64_t half = space / 2;
constexpr int64_t scroll = space - 480;  // one 480-byte row up or down

// A process record with every page of its RAM allocated.
struct ram_fixture {
  process P;
  ram_fixture() {
    ram_init(&P);
    ram_memset(&P, 0, 1, space);
  }
  ~ram_fixture() { ram_release(&P); }
};

ram_fixture &ram() {
  static ram_fixture f;
  return f;
}

std::vector<uint8_t> &flat() {
  static std::vector<uint8_t> v(size_t(space), 1);
  return v;
}

void bm_ram_memset_16mb(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(ram_memset(&ram().P, 0, 7, space));
  state.SetBytesProcessed(state.iterations() * space);
}
BENCHMARK(bm_ram_memset_16mb);

void bm_libc_memset_16mb(benchmark::State &state) {
  for (auto _ : state) {
    memset(flat().data(), 7, size_t(space));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * space);
}
BENCHMARK(bm_libc_memset_16mb);

void bm_ram_memcpy_8mb(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(ram_memcpy(&ram().P, half, 0, half));
  state.SetBytesProcessed(state.iterations() * half);
}
BENCHMARK(bm_ram_memcpy_8mb);

void bm_libc_memcpy_8mb(benchmark::State &state) {
  for (auto _ : state) {
    memcpy(flat().data() + half, flat().data(), size_t(half));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * half);
}
BENCHMARK(bm_libc_memcpy_8mb);

// The overlapping copies of a scroll: arg 0 moves the space up a row, 1 down.
void bm_ram_scroll(benchmark::State &state) {
  bool up = state.range(0) == 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(up ? ram_memcpy(&ram().P, 0, 480, scroll)
                                : ram_memcpy(&ram().P, 480, 0, scroll));
  state.SetBytesProcessed(state.iterations() * scroll);
}
BENCHMARK(bm_ram_scroll)->Arg(0)->Arg(1);

void bm_libc_memmove_scroll(benchmark::State &state) {
  bool up = state.range(0) == 0;
  uint8_t *m = flat().data();
  for (auto _ : state) {
    if (up) memmove(m, m + 480, size_t(scroll));
    else memmove(m + 480, m, size_t(scroll));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * scroll);
}
BENCHMARK(bm_libc_memmove_scroll)->Arg(0)->Arg(1);

// 65,536 four-byte writes a pass, the path of poke4 and the drawing state's
// writes: arg 0 within one page, 1 one write per page in turn (every write
// lands on a page other than the last one's).
void bm_poke4_sweep(benchmark::State &state) {
  process *was = cproc;
  cproc = &ram().P;
  const bool per_page = state.range(0) == 1;
  for (auto _ : state) {
    for (int i = 0; i < 65536; i++)
      poke4(per_page ? (i & 4095) << 12 | (i >> 12) << 2 : 0x10000 + 4 * (i & 1023), i);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 65536);
  cproc = was;
}
BENCHMARK(bm_poke4_sweep)->Arg(0)->Arg(1);

// 65,536 reads a pass, in the dialect: arg 0 PEEK, 1 a table index.
void bm_peek_against_table(benchmark::State &state) {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  process *was = cproc;
  cproc = &ram().P;
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
  const char *code = state.range(0) == 0
                         ? "local s = 0 for i = 0, 65535 do s = s + @i end return s"
                         : "local t = {} for i = 0, 65535 do t[i] = 1 end "
                           "return function() local s = 0 for i = 0, 65535 do s = s + t[i] end "
                           "return s end";
  luaL_loadstring(L, code);
  if (state.range(0) == 1) lua_call(L, 0, 1);  // the table is built once
  for (auto _ : state) {
    lua_pushvalue(L, -1);
    cpu_cycles = 0;
    lua_call(L, 0, 1);
    lua_pop(L, 1);
  }
  state.SetItemsProcessed(state.iterations() * 65536);
  state.SetLabel(state.range(0) == 0 ? "peek @i" : "table t[i]");
  lua_close(L);
  cproc = was;
}
BENCHMARK(bm_peek_against_table)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
