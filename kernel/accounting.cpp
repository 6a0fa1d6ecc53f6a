// Cycle and memory accounting.
#include "kernel/accounting.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gfx/draw_state.h"
#include "gfx/sprites.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "lkernel.h"
#include "lauxlib.h"
#include "lua.h"

int cpu_cycles = 0;
int cpu_cycles_max = 0;
int cpu_superyielding = 0;

// The header that precedes every block handed to Lua.
static constexpr size_t block_header = 8;

// Adds a non-negative charge to cpu_cycles, stopping at the ceiling. The count
// may already be above it (the interpreter's own adds): then it stays.
static void charge_cycles(int64_t n) {
  int64_t now = static_cast<uint32_t>(cpu_cycles);  // the interpreter counts unsigned
  if (now >= cpu_cycles_ceiling) return;
  cpu_cycles = static_cast<int>(std::min<int64_t>(now + n, cpu_cycles_ceiling));
}

void spend_cpu(int64_t n) {
  if (n < 0) return;
  charge_cycles(std::max<int64_t>(n, 1));
}

void superyield() { cpu_superyielding = cpu_superyield_value; }

bool cpu_overrun() {
  int64_t now = static_cast<uint32_t>(cpu_cycles);
  return now - int64_t{cpu_cycles_max} > cpu_overrun_limit;
}

const char *cpu_limit_reached() { return cpu_overrun() ? cpu_limit_message : nullptr; }

// Bytes of heap a full collection goes over per cycle charged (the library
// benchmark's figure keeps it near the interpreter's nanoseconds per cycle).
static constexpr int64_t collection_bytes_per_cycle = 16;

int64_t collection_cycles(int64_t bytes) {
  return std::max<int64_t>(bytes, 0) / collection_bytes_per_cycle;
}

void charged_full_collection(lua_State *L) {
  int64_t heap = int64_t{lua_gc(L, LUA_GCCOUNT)} * 1024 + lua_gc(L, LUA_GCCOUNTB);
  spend_cpu(collection_cycles(heap));
  lua_gc(L, LUA_GCCOLLECT);
}

void spend_cpu_or_stop(lua_State *L, int64_t n) {
  spend_cpu(n);
  if (cpu_overrun()) luaL_error(L, "%s", cpu_limit_message);
}

void spend_host_line(lua_State *L, size_t bytes) {
  spend_cpu_or_stop(L, host_line_cycles + static_cast<int64_t>(bytes / host_line_bytes_per_cycle));
}

int64_t process_memory_in_use(const process *P) {
  return P->ram_bytes + P->heap_bytes + P->host_bytes - P->heap_baseline + process_memory_reserve;
}

bool process_over_memory_cap(const process *P) {
  return process_memory_in_use(P) > process_memory_cap;
}

void record_heap_baseline(process *P) {
  if (!P || !P->lua_state) return;
  charged_full_collection(P->lua_state);
  if (P->heap_baseline == 0) P->heap_baseline = P->heap_bytes;
}

void *l_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int last_try, size_t charged) {
  (void)osize;  // the header knows the block's charge; osize is the kind for new blocks
  auto *owner = static_cast<process *>(ud);
  auto *block = ptr ? static_cast<unsigned char *>(ptr) - block_header : nullptr;
  uint64_t old = 0;
  if (block) memcpy(&old, block, sizeof old);

  if (nsize == 0) {
    if (owner && block) {
      ram_block_freed(owner, ptr, osize);
      draw_target_block_freed(owner, ptr, osize);
      sprite_slots_block_freed(owner, ptr, osize);
    }
    free(block);
    if (owner) owner->heap_bytes -= static_cast<int64_t>(old);
    return nullptr;
  }

  // Charged before the allocation; it stands even when the allocation fails.
  charge_cycles(static_cast<int64_t>(std::min<size_t>(nsize / 64, INT32_MAX)) + 4);

  // Only a block that grows can be refused for size; the host bytes count too,
  // where they are more than the charge.
  bool refused = nsize > SIZE_MAX - block_header;
  if (!refused && owner) {
    int64_t grown = static_cast<int64_t>(std::min<size_t>(std::max(nsize, charged), INT64_MAX / 4));
    int64_t after = process_memory_in_use(owner) - static_cast<int64_t>(old) + grown;
    refused = grown > static_cast<int64_t>(old) && after > process_memory_hard_limit;
  }
  void *fresh = refused ? nullptr : realloc(block, nsize + block_header);
  if (!fresh) {
    if (last_try && owner) {
      owner->out_of_memory = 1;
      // Stop the slice only when it is this process's own: another process's
      // state fails here only while the kernel closes or sets it up.
      if (owner->busy) superyield();
    }
    return nullptr;
  }
  uint64_t charge = charged;
  memcpy(fresh, &charge, sizeof charge);
  if (owner) owner->heap_bytes += static_cast<int64_t>(charged) - static_cast<int64_t>(old);
  return static_cast<unsigned char *>(fresh) + block_header;
}
