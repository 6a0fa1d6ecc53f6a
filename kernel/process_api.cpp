// Script-API functions of processes: ids, creation, slices, kill and restart,
// halting, flip, the slice-escape flag, state queries, and load.
#include "kernel/process_api.h"

#include <cmath>
#include <string>
#include <string_view>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "lstate.h"  // the thread's yielded_to_escape_slice field

/* ---------------------------------------------------------------------- */
/* plain process operations                                               */
/* ---------------------------------------------------------------------- */

// A slice's resume and its end, whatever it runs (a yield is a thrown
// exception): the caller pays for them when a slice runs.
static constexpr int64_t slice_cycles = 384;

double slice_fraction(bool is_number, double value) {
  if (!is_number) return 0;
  if (std::isnan(value)) return 1;
  return value < 0 ? 0 : value > 1 ? 1 : value;
}

display_size process_display_size(int64_t id) {
  process *P = get_process(id);
  if (!P) return {0, 0};
  return {ppeek2_proc(P, display_width_address), ppeek2_proc(P, display_height_address)};
}

slice_report run_slice_for_script(int64_t id, double fraction, lua_State *from) {
  process *P = get_process(id);
  if (!P) return {true, 0, "_run_process_slice: bad process id"};
  if (!P->lua_state) return {true, 0, "_run_process_slice: invalid process"};
  if (P->flipped) return {true, 0, nullptr};
  int32_t used = run_process_slice(P, fraction, from);
  if (used > 0) spend_cpu(slice_cycles);  // the caller's, restored by now
  // Its own slice may have removed it (returned, failed, out of memory) and
  // moved the records behind it: only its id still names it.
  process *after = get_process(id);
  if (!after || !after->lua_state) return {true, 0, "_run_process_slice: could not find lua state"};
  return {process_slice_completed(id), used / static_cast<double>(frame_cycle_budget), nullptr};
}

void kill_process_for_script(int64_t id, int64_t mode) {
  if (mode == 0)
    kill_process_by_id(id);
  else if (mode == 1)
    restart_process(get_process(id));
}

void flip_process(process *P, int64_t flags) {
  if (!(flags & 1)) poke_proc(P, ram_gc_flags_address, peek_proc(P, ram_gc_flags_address) & ~2);
  P->flipped = 1;
  if (flags & 3) {
    P->time -= 1;
    P->frames_since_flip = 0;
  }
}

/* ---------------------------------------------------------------------- */
/* script API                                                             */
/* ---------------------------------------------------------------------- */

namespace {

// What the compiler costs for each byte of code (its allocations are charged
// besides): a statement of a dozen bytes takes it a couple of hundred ns. A
// load pays a share of its own besides, whatever its code: the state it
// sets up and the function it makes.
constexpr int64_t compile_cycles_per_byte = 4;
constexpr int64_t load_cycles = 128;
// A new process's own set-up (its state, libraries, registry and RAM), and its
// removal later, whatever its code: a creator pays for them.
constexpr int64_t process_creation_cycles = 32768;
// One entry of the process list: a table of seven fields.
constexpr int64_t process_list_entry_cycles = 48;

}  // namespace

int lua54_pid(lua_State *L) {
  lua_pushinteger(L, current_process_id());
  return 1;
}

int lua54__create_process_from_code(lua_State *L) {
  for (int i = 1; i <= 3; i++)
    if (!lua_isstring(L, i)) return 0;  // strings, or numbers made strings
  size_t n = 0;
  const char *code = lua_tolstring(L, 1, &n);
  const char *name = lua_tostring(L, 2);
  const char *path = lua_tostring(L, 3);
  // Compiling is the creator's work: charged by the code's length first.
  spend_cpu_or_stop(L, process_creation_cycles + static_cast<int64_t>(n) * compile_cycles_per_byte);
  process *P = create_process_from_code(std::string_view(code, n), name, path);
  if (!P) return 0;
  lua_pushinteger(L, P->id);
  return 1;
}

int lua54__run_process_slice(lua_State *L) {
  double fraction = slice_fraction(lua_type(L, 2) == LUA_TNUMBER, lua_tonumber(L, 2));
  if (fraction == 0) return 0;
  slice_report r = run_slice_for_script(lua_tointegerx(L, 1, nullptr), fraction, L);
  lua_pushboolean(L, r.completed);
  lua_pushnumber(L, r.share);
  if (!r.message) return 2;
  lua_pushstring(L, r.message);
  return 3;
}

int lua54__kill_process(lua_State *L) {
  kill_process_for_script(kvt_truncp(L, 1, 0), kvt_intp(L, 2, 0));
  return 0;
}

int lua54__halt(lua_State *) {
  cproc->state = process_finished;
  superyield();
  return 0;
}

int lua54_flip(lua_State *L) {
  flip_process(cproc, kvt_intp(L, 1, 0));
  superyield();
  return 0;
}

int lua54__yielded_to_escape_slice(lua_State *L) {
  if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TNUMBER) {
    L->yielded_to_escape_slice = kvt_intp(L, 1, 0) != 0 ? cpu_superyield_value : 0;
    return 0;
  }
  lua_pushboolean(L, L->yielded_to_escape_slice != 0);
  return 1;
}

int lua54__process_state(lua_State *L) {
  process *P = get_process(lua_tointegerx(L, 1, nullptr));
  lua_pushinteger(L, P ? P->state : -1);
  return 1;
}

int lua54__get_process_display_size(lua_State *L) {
  display_size size = process_display_size(lua_tointegerx(L, 1, nullptr));
  lua_pushinteger(L, size.width);
  lua_pushinteger(L, size.height);
  return 2;
}

int lua54__get_process_list(lua_State *L) {
  // Building the list allocates, and a finalizer run by that may kill: the
  // guard keeps the records in place until the list is done.
  process_table_guard guard;
  int n = get_process_count();
  spend_cpu_or_stop(L, n * process_list_entry_cycles);
  lua_createtable(L, n, 0);
  for (int i = 0; i < n; i++) {
    const process *P = get_process_by_index(i);
    lua_createtable(L, 0, 7);
    lua_pushinteger(L, P->id);
    lua_setfield(L, -2, "id");
    lua_pushlstring(L, P->name.data(), P->name.size());
    lua_setfield(L, -2, "name");
    lua_pushlstring(L, P->path.data(), P->path.size());
    lua_setfield(L, -2, "prog");
    lua_pushnumber(L, P->cycles_last_frame / static_cast<double>(frame_cycle_budget));
    lua_setfield(L, -2, "cpu");
    lua_pushinteger(L, process_memory_in_use(P));
    lua_setfield(L, -2, "memory");
    lua_pushinteger(L, 1);
    lua_setfield(L, -2, "priority");
    lua_pushlstring(L, P->pwd.data(), P->pwd.size());
    lua_setfield(L, -2, "pwd");
    lua_rawseti(L, -2, i + 1);
  }
  return 1;
}

/* load: the base library's load, but for text chunks only. The core does not
   verify binary chunks, so a script must not be able to hand it one: a binary
   chunk is refused as the mode given without "b" refuses it, and a text chunk
   goes to the core with the mode given, which refuses it as published when
   that mode has no "t". */

namespace {

constexpr int reader_slot = 5;  // keeps the reader's last piece alive

// The mode given, without "b": what this load accepts.
std::string text_only(const char *mode) {
  std::string out;
  for (const char *c = mode; *c; c++)
    if (*c != 'b') out += *c;
  return out;
}

bool starts_binary(const char *s, size_t n) { return n > 0 && s[0] == LUA_SIGNATURE[0]; }

constexpr const char *binary_refused = "attempt to load a binary chunk (mode is '%s')";

struct reader_state {
  const std::string *accepted;
  bool first = true;  // the first piece's first byte tells the chunk's kind
};

const char *chunk_reader(lua_State *L, void *ud, size_t *size) {
  auto *state = static_cast<reader_state *>(ud);
  luaL_checkstack(L, 2, "too many nested functions");
  lua_pushvalue(L, 1);
  lua_call(L, 0, 1);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    *size = 0;
    state->first = false;
    return nullptr;
  }
  if (!lua_isstring(L, -1)) luaL_error(L, "reader function must return a string");
  lua_replace(L, reader_slot);
  const char *piece = lua_tolstring(L, reader_slot, size);
  spend_cpu_or_stop(L, static_cast<int64_t>(*size) * compile_cycles_per_byte);
  if (state->first && starts_binary(piece, *size)) {
    lua_pushfstring(L, binary_refused, state->accepted->c_str());
    lua_error(L);
  }
  state->first = false;
  return piece;
}

}  // namespace

int lua54_load(lua_State *L) {
  size_t n = 0;
  const char *s = lua_tolstring(L, 1, &n);
  const char *mode = luaL_optstring(L, 3, "bt");
  std::string accepted = text_only(mode);
  int env = lua_isnone(L, 4) ? 0 : 4;
  spend_cpu_or_stop(L, load_cycles);
  int status;
  if (s) {
    const char *name = luaL_optstring(L, 2, s);
    if (starts_binary(s, n)) {
      luaL_pushfail(L);
      lua_pushfstring(L, binary_refused, accepted.c_str());
      return 2;
    }
    // Compiling is charged by the chunk's length, as a new process's code is.
    spend_cpu_or_stop(L, static_cast<int64_t>(n) * compile_cycles_per_byte);
    status = luaL_loadbufferx(L, s, n, name, mode);
  } else {
    const char *name = luaL_optstring(L, 2, "=(load)");
    luaL_checktype(L, 1, LUA_TFUNCTION);
    lua_settop(L, reader_slot);
    reader_state state{&accepted};
    status = lua_load(L, chunk_reader, &state, name, mode);
  }
  if (status != LUA_OK) {
    luaL_pushfail(L);
    lua_insert(L, -2);
    return 2;  // nil and the message
  }
  if (env) {
    lua_pushvalue(L, env);
    if (!lua_setupvalue(L, -2, 1)) lua_pop(L, 1);  // the first upvalue is _ENV
  }
  return 1;
}
