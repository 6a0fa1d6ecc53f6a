// Shared by the Lua core tests: owned states, the slice counters saved around
// a test, and running a chunk the way the kernel runs a process, slice by slice.
#pragma once

#include <climits>
#include <memory>

#include "lkernel.h"
#include "lua.hpp"

namespace lua_harness {

struct lua_closer {
  void operator()(lua_State *L) const { lua_close(L); }
};
using state_owner = std::unique_ptr<lua_State, lua_closer>;

inline state_owner new_state() {
  state_owner L(luaL_newstate());
  luaL_openlibs(L.get());
  return L;
}

// Saves the interpreter's slice counters and restores them at the end of the
// test; starts with a cap no count reaches, as an unlimited slice.
struct cycle_guard {
  int saved_cycles = cpu_cycles;
  int saved_max = cpu_cycles_max;
  int saved_super = cpu_superyielding;
  cycle_guard() { set_slice(0, INT_MAX); }
  ~cycle_guard() {
    cpu_cycles = saved_cycles;
    cpu_cycles_max = saved_max;
    cpu_superyielding = saved_super;
  }
  static void set_slice(int cycles, int cap) {
    cpu_cycles = cycles;
    cpu_cycles_max = cap;
    cpu_superyielding = 0;
  }
};

// Runs the function on top of L's stack in a new thread, slice after slice,
// each slice starting at cycle 0 with the given cap as the kernel's time slice
// does, until the thread ends or yields values of its own. Replaces the
// function with its results (or error message); `slices` counts the resumes.
inline int run_sliced(lua_State *L, int cap, int *slices = nullptr) {
  int base = lua_gettop(L) - 1;
  lua_State *co = lua_newthread(L);
  lua_rotate(L, -2, 1);
  lua_xmove(L, co, 1);
  int status, nres = 0, n = 0;
  do {
    cycle_guard::set_slice(0, cap);
    status = lua_resume(co, L, 0, &nres);
    n++;
  } while (status == LUA_YIELD && nres == 0);
  cycle_guard::set_slice(0, INT_MAX);
  if (slices) *slices = n;
  lua_xmove(co, L, status == LUA_OK || status == LUA_YIELD ? nres : 1);
  lua_remove(L, base + 1);  // the thread
  return status;
}

}  // namespace lua_harness
