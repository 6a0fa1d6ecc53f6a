// untuk on arbitrary text, unbounded and at the limits of memory and cycles;
// whatever parses must write and parse again, and nothing stays held.
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "kernel/registry.h"
#include "lua.hpp"
#include "values/tuk.h"

static constexpr int64_t little_room = 4096;

static lua_State *fuzz_state() {
  static lua_State *L = [] {
    lua_State *s = luaL_newstate();
    luaL_openlibs(s);
    add_userdata_metatable_functions(s);
    cpu_cycles_max = INT_MAX;  // no cap but where a run asks for one
    return s;
  }();
  return L;
}

struct text_arg {
  const uint8_t *data;
  size_t size;
};

static int parse_protected(lua_State *L) {
  auto *t = static_cast<text_arg *>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  return destringify_object(L, reinterpret_cast<const char *>(t->data), t->size);
}

// Most of the allowance for host memory taken, and the slice a few thousand
// cycles short of the cpu limit: the decoder meets both bounds and must stop
// cleanly (its error unwinding it), never allocating past them.
static void parse_at_the_limits(lua_State *L, const uint8_t *data, size_t size) {
  memory_hold taken;
  if (!taken.hold(unowned_memory_room - little_room)) abort();
  cpu_cycles_max = frame_cycle_budget;
  cpu_cycles = static_cast<int>(frame_cycle_budget + cpu_overrun_limit - 5000);
  text_arg t{data, size};
  lua_pushcfunction(L, parse_protected);
  lua_pushlightuserdata(L, &t);
  lua_pcall(L, 1, LUA_MULTRET, 0);
  lua_settop(L, 0);
  cpu_cycles = 0;
  cpu_cycles_max = INT_MAX;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = fuzz_state();
  lua_settop(L, 0);
  parse_at_the_limits(L, data, size);
  if (process_memory_room(nullptr) != unowned_memory_room) abort();  // nothing stays held
  cpu_cycles = 0;
  int n = destringify_object(L, reinterpret_cast<const char *>(data), size);
  if (n < 0 || n > 2 || lua_gettop(L) != n) abort();
  if (n > 0) {
    // The first result, written with every flag set and without any, reads back.
    for (int flags : {0, 0x37}) {
      buffer_owner out(create_buffer_2(64, 0));
      // A few bytes of zqu can stand for a large bitmap: its text, or the
      // compressed form's working copies, may pass the allowance and be refused.
      if (!stringify_object(L, 1, out.get(), 0, flags)) continue;
      int m = destringify_object(L, reinterpret_cast<const char *>(out->data),
                                 static_cast<size_t>(out->length));
      if (m != 1) abort();
      lua_pop(L, 1);
    }
  }
  lua_settop(L, 0);
  lua_gc(L, LUA_GCSTEP, 0);
  if (process_memory_room(nullptr) != unowned_memory_room) abort();
  return 0;
}
