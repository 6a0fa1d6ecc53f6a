// The process table: records, creation, removal, restart and the time slice.
#include "kernel/process.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gfx/boot_clock.h"
#include "kernel/accounting.h"
#include "kernel/input.h"
#include "kernel/maths.h"
#include "kernel/messages.h"
#include "kernel/numbers.h"
#include "kernel/ram.h"
#include "kernel/registry.h"
#include "kernel/system.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "platform/host_log.h"
#include "platform/platform_api.h"

process *cproc = nullptr;
int32_t total_frame_cycles = 0;

namespace {

// The dense table: live records in creation order. It holds pointers, so
// closing a gap moves pointers and never a record. Never destroyed: closing the
// states at exit would run scripts' finalizers while the program is torn down.
std::vector<std::unique_ptr<process>> &table = *new std::vector<std::unique_ptr<process>>();
// The id of each record of the table, at the same index. Ids are handed out
// in creation order and a restart keeps its id and place, so they ascend: a
// look-up by id is a binary search over this, never a walk over the records.
std::vector<int64_t> &table_ids = *new std::vector<int64_t>();

int64_t next_id = 1;
// Table changes (creation, removal, restart, reset) in progress. Lua code runs
// inside them (finalizers and __close while a state closes), so meanwhile
// creation is refused and kills and restarts wait.
int table_changes = 0;
bool settling = false;
bool deferred_work = false;  // some record has a kill or restart waiting

constexpr int64_t debt_limit = 10 * int64_t{frame_cycle_budget};
constexpr int boot_hold_ms = 1250;
constexpr int first_held_id = 4;  // ids below this are the system's own processes
constexpr int message_queue_capacity = 0x4000;
constexpr int buffer_group_messages = 114;
constexpr size_t chunk_name_max = 255;
constexpr size_t traceback_text_max = 16383;

// init_process results
constexpr int init_ok = 0;
constexpr int init_syntax_error = 1;
constexpr int init_could_not_create = 2;

void settle_deferred();

struct table_change {
  table_change() { table_changes++; }
  ~table_change() {
    if (--table_changes == 0) settle_deferred();
  }
  table_change(const table_change &) = delete;
  table_change &operator=(const table_change &) = delete;
};

int index_of(const process *P) {
  for (size_t i = 0; i < table.size(); i++)
    if (table[i].get() == P) return static_cast<int>(i);
  return -1;
}

// The index of the record with that id, or -1.
int index_of_id(int64_t id) {
  auto at = std::lower_bound(table_ids.begin(), table_ids.end(), id);
  if (at == table_ids.end() || *at != id) return -1;
  return static_cast<int>(at - table_ids.begin());
}

// The index of a record known to be in the table.
int index_of_live(const process *P) {
  int i = index_of_id(P->id);
  return i >= 0 && table[static_cast<size_t>(i)].get() == P ? i : index_of(P);
}

// A process pointer kept across Lua code, which may remove that process. It is
// checked by id too: a new record may reuse a freed record's address.
struct process_ref {
  process *P;
  int64_t id;
  explicit process_ref(process *p) : P(p), id(p ? p->id : 0) {}
  process *get() const { return P && get_process(id) == P ? P : nullptr; }
};

int32_t add_saturated(int32_t a, int64_t b) { return saturate_i32(int64_t{a} + b); }

std::string clipped(const char *text, size_t max) {
  std::string s(text ? text : "");
  if (s.size() > max) s.resize(max);
  return s;
}

// The root designates the first record, whichever process that is now.
void designate_root() { root_process = table.empty() ? nullptr : table.front().get(); }

// Drops a record whose state has been closed. Nothing keeps naming it.
void destroy_record(int index) {
  process *P = table[static_cast<size_t>(index)].get();
  if (cproc == P) cproc = nullptr;
  table.erase(table.begin() + index);
  table_ids.erase(table_ids.begin() + index);
  designate_root();
}

// Closes the record's state with the record current, so that the frees are
// counted on it and its finalizers run as that process. The field is cleared
// first: Lua code run by the close finds no state to slice.
void close_lua_state(process *P) {
  lua_State *L = P->lua_state;
  if (!L) return;
  P->lua_state = nullptr;
  process_ref previous(cproc);
  cproc = P;
  lua_close(L);
  cproc = previous.get();
}

// The record's copy of its code is host memory held for it.
void set_source(process *P, std::string code) {
  P->host_bytes -= static_cast<int64_t>(P->source.size());
  P->source = std::move(code);
  P->source.shrink_to_fit();
  P->host_bytes += static_cast<int64_t>(P->source.size());
}

// Releases what the record owns; the record stays in the table.
void free_process(process *P) {
  close_lua_state(P);
  ram_release(P);  // own pages; pages mapped onto userdata were theirs
  P->message_queue.reset();
  set_source(P, std::string());
}

struct setup_job {
  process *P;
  std::string chunk_name;
  int load_status;
  std::string message;
};

// Runs protected: a memory error while the state is set up is a failed
// creation, not a panic.
int setup_state(lua_State *L) {
  auto *job = static_cast<setup_job *>(lua_touserdata(L, 1));
  luaL_openlibs(L);
  api_add_c_functions(L);  // after the libraries: its load replaces theirs
  os_add_public_c_functions(L);
  add_userdata_metatable_functions(L);
  // Text only: the core does not verify binary chunks.
  job->load_status = luaL_loadbufferx(L, job->P->source.data(), job->P->source.size(),
                                      job->chunk_name.c_str(), "t");
  if (job->load_status != LUA_OK) {
    const char *m = lua_tostring(L, -1);
    job->message = m ? m : "";
    return 0;
  }
  return 1;
}

// Sets up a zeroed record as process `id`: its state with the code loaded (run at
// its first slice) and its message queue. On failure the record owns nothing.
int init_process(process *P, int64_t id, std::string code, const char *name, const char *path) {
  P->id = id;
  P->name = clipped(name, process_name_max);
  P->path = clipped(path, process_path_max);
  P->system_flag = P->path.rfind("/system/", 0) == 0;
  P->parent_id = current_process_id();
  P->pwd = "/";

  process_ref previous(cproc);
  bool had_current = cproc != nullptr;
  cproc = P;
  set_source(P, std::move(code));

  auto fail = [&](int result) {
    close_lua_state(P);
    P->message_queue.reset();
    set_source(P, std::string());
    cproc = previous.get();
    return result;
  };

  lua_State *L = P->lua_state = lua_newstate(l_alloc, P);
  if (!L) {
    hovi_debugf("** could not create process ** (no Lua state)\n");
    return fail(init_could_not_create);
  }
  setup_job job{P, clipped(("@" + P->name).c_str(), chunk_name_max), LUA_OK, {}};
  lua_pushcfunction(L, setup_state);
  lua_pushlightuserdata(L, &job);
  int status = lua_pcall(L, 1, 1, 0);
  if (status == LUA_OK && job.load_status == LUA_ERRSYNTAX) {
    report_error("*syntax error");
    report_error(job.message.c_str());
    hovi_debug("syntax error. ** could not create process **\n");
    hovi_debugf("%s\n", job.message.c_str());
    return fail(init_syntax_error);
  }
  if (status != LUA_OK || job.load_status != LUA_OK) {
    hovi_debugf("** could not create process ** (out of memory while setting up)\n");
    return fail(init_could_not_create);
  }

  seed_process_random(P);
  P->message_queue.reset(create_buffer_2(message_queue_capacity, buffer_group_messages));
  if (!P->message_queue) return fail(init_could_not_create);
  if (!ram_init(P)) {
    hovi_debugf("** could not create process ** (no RAM pages)\n");
    return fail(init_could_not_create);
  }
  P->state = process_running;
  generate_default_wavetable(P);
  generate_default_audio_data(P);
  if (had_current) cproc = previous.get();
  return init_ok;
}

void remove_now(process *P) {
  table_change change;
  free_process(P);
  int i = index_of_live(P);
  if (i >= 0) destroy_record(i);
}

void restart_now(process *P) {
  table_change change;
  std::string source = P->source;
  std::string name = P->name;
  std::string path = P->path;
  int64_t id = P->id;
  if (id == app.audio_pid) mudo_kill_all_audio_locked();
  // Its RAM starts afresh: whoever plays next is mirrored whole.
  if (id == app.audio_mirror_pid) app.audio_mirror_pid = -3;
  app.audio_pid = -2;
  free_process(P);
  bool kill_after = P->kill_pending;  // asked for by a finalizer during the close
  *P = process{};
  int made = init_process(P, id, std::move(source), name.c_str(), path.c_str());
  if (kill_after) {
    P->kill_pending = true;
    deferred_work = true;
  }
  if (made == init_ok) poke_proc(P, ram_gc_flags_address, 1);  // the per-frame collector bit
}

// Carries out kills and restarts that had to wait, once nothing is in the way.
void settle_deferred() {
  if (!deferred_work || table_changes > 0 || settling) return;
  settling = true;
  for (;;) {
    process *next = nullptr;
    bool waiting = false;
    for (auto &rec : table) {
      if (!rec->kill_pending && !rec->restart_pending) continue;
      if (rec->busy) {
        waiting = true;
        continue;
      }
      next = rec.get();
      break;
    }
    if (!next) {
      deferred_work = waiting;
      break;
    }
    if (next->kill_pending)
      remove_now(next);
    else
      restart_now(next);
  }
  settling = false;
}

struct error_report {
  bool has_message;
  std::string message;
  std::string traceback;
};

// Runs protected on the failed state: converting the message and building the
// traceback allocate, and a memory error there must not panic. Arguments: the
// report to fill and the error object.
int describe_error(lua_State *L) {
  auto *r = static_cast<error_report *>(lua_touserdata(L, 1));
  if (!r->has_message && lua_type(L, 2) == LUA_TNUMBER) {
    size_t n;
    const char *s = lua_tolstring(L, 2, &n);
    r->message.assign(s, n);
    r->has_message = true;
  }
  // Level 1: the frames below this helper, where the error stopped.
  luaL_traceback(L, L, nullptr, 1);
  r->traceback = lua_tostring(L, -1);
  return 0;
}

// Step 14 of a slice: a runtime error reached the top of the process.
void fail_slice(process *P, lua_State *L, int status) {
  P->state = process_failed;
  error_report r{false, {}, {}};
  // A text is read as it is: it needs no call, which a slice nested too deep
  // could not make.
  if (lua_type(L, -1) == LUA_TSTRING) {
    size_t n;
    const char *s = lua_tolstring(L, -1, &n);
    r.message.assign(s, n);
    r.has_message = true;
  }
  if (lua_checkstack(L, 3)) {
    lua_pushcfunction(L, describe_error);
    lua_pushlightuserdata(L, &r);
    lua_pushvalue(L, -3);  // the error object, on top since the resume
    if (lua_pcall(L, 2, 0, 0) != LUA_OK) lua_pop(L, 1);
  }
  const char *message = r.has_message ? r.message.c_str() : nullptr;
  hovi_debugf("run_process_slice() for process %" PRId64 " error: %d %s\n", P->id, status,
              message ? message : "unknown error");
  hovi_debugf("--------\ntraceback:\n%s\n---------\n", r.traceback.c_str());
  report_error("*runtime error");
  report_error(message);
  report_error(filter_system_traceback_lines(r.traceback).c_str());

  // The first two records are the system's own: the kernel and the window manager.
  int index = index_of_live(P);
  if (index == 0) {
    hovi_debug("** RUNTIME ERROR IN KERNEL **\n");
    hovi_debugf("%s\n", message ? message : "");
    kestrune_fatal("** RUNTIME ERROR IN KERNEL **", 0);
  }
  if (index == 1) {
    hovi_debug("** RUNTIME ERROR IN WINDOW MANAGER **\n");
    hovi_debugf("%s\n", message ? message : "");
    std::string text =
        std::string("** RUNTIME ERROR IN WINDOW MANAGER **\n") + (message ? message : "");
    kestrune_fatal(text.c_str(), 0);
  }
  P->busy = false;
  if (P->id >= first_held_id) kill_process(P);
}

}  // namespace

process_table_guard::process_table_guard() { table_changes++; }
process_table_guard::~process_table_guard() {
  if (--table_changes == 0) settle_deferred();
}

bool processes_init() {
  if (table_changes > 0 || settling) return false;
  for (auto &rec : table)
    if (rec->busy) return false;
  {
    table_change change;
    while (!table.empty()) {
      process *P = table.back().get();
      free_process(P);
      destroy_record(index_of_live(P));
    }
    table.reserve(max_processes);
    table_ids.reserve(max_processes);
    next_id = 1;
    deferred_work = false;
  }
  cproc = nullptr;
  total_frame_cycles = 0;
  // The video output sets the graphics video mode to 0 here.
  return true;
}

process *create_process_from_code(const char *code, const char *name, const char *path) {
  if (!code) return nullptr;
  return create_process_from_code(std::string_view(code), name, path);
}

process *create_process_from_code(std::string_view code, const char *name, const char *path) {
  if (table_changes > 0) return nullptr;
  if (table.size() >= max_processes) {
    hovi_debugf("** could not create process ** (%d processes)\n", max_processes);
    return nullptr;
  }
  int64_t id = next_id;
  hovi_debugf("creating process %" PRId64 " %s %s\n", id, name ? name : "", path ? path : "");
  table_change change;
  table.push_back(std::make_unique<process>());
  table_ids.push_back(id);
  designate_root();
  process *P = table.back().get();
  next_id++;  // used up even when the code does not compile
  if (init_process(P, id, std::string(code), name, path) != init_ok) {
    destroy_record(index_of_live(P));
    return nullptr;
  }
  return P;
}

void kill_process(process *P) {
  if (!P || index_of(P) < 0) return;
  if (P->busy || table_changes > 0) {
    P->kill_pending = true;
    deferred_work = true;
    return;
  }
  remove_now(P);
}

void kill_process_by_id(int64_t id) { kill_process(get_process(id)); }

void restart_process(process *P) {
  if (!P || index_of(P) < 0) return;
  if (P->busy || table_changes > 0) {
    P->restart_pending = true;
    deferred_work = true;
    return;
  }
  restart_now(P);
}

process *get_process(int64_t id) {
  int i = index_of_id(id);
  return i < 0 ? nullptr : table[static_cast<size_t>(i)].get();
}

process *find_process(int64_t id) { return get_process(id); }

int get_process_count() { return static_cast<int>(table.size()); }

process *get_process_by_index(int i) {
  if (i < 0 || i >= get_process_count()) return nullptr;
  return table[static_cast<size_t>(i)].get();
}

void set_current_process(process *P) {
  if (!P) {
    printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", "P", __FILE__, __LINE__, __func__);
    fflush(stdout);
    abort();
  }
  cproc = P;
}

int64_t current_process_id() { return cproc ? cproc->id : 0; }

int32_t run_process_slice(process *P, double fraction, lua_State *from) {
  if (!P) return 0;
  if (P->id >= first_held_id && app.shutdown_holder != 0 && app.shutdown_holder != P->id) return 0;
  if (!config.headless && P->id >= first_held_id && !app.boot_finished &&
      boot_get_time() < boot_hold_ms)
    return 0;
  if (P->state >= process_finished || !P->lua_state) return 0;
  // Its slice is running (a scheduler above, or itself), or it is about to go.
  if (P->busy || P->kill_pending || P->restart_pending) return 0;

  process_ref caller(cproc);
  cproc = P;
  P->slice_count = add_saturated(P->slice_count, 1);
  double f = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
  int64_t cap = std::min<int64_t>(frame_cycle_budget - int64_t{total_frame_cycles},
                                  static_cast<int64_t>(f * frame_cycle_budget));
  if (cap <= 0) {
    cproc = caller.get();
    return 0;
  }

  int saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_super = cpu_superyielding;
  cpu_cycles_max = static_cast<int>(cap);
  // The slice starts already charged with what it repays of earlier overruns.
  int64_t debt = std::min(P->cycle_debt, debt_limit);
  int64_t repaid = std::max<int64_t>(std::min(cap, debt), 0);
  cpu_cycles = static_cast<int>(repaid);
  P->cycle_debt = debt - repaid;
  cpu_superyielding = 0;

  P->busy = true;
  lua_State *L = P->lua_state;
  int results = 0;
  // A slice that its debt uses up runs nothing: not even one instruction,
  // which could be a call far dearer than the cycles the slice repays.
  int status = LUA_YIELD;
  if (repaid < cap) {
    status = lua_resume(L, from, 0, &results);
    if (status == LUA_YIELD) lua_pop(L, results);
  }

  // The interpreter counts unsigned while it cannot yield.
  int64_t used = static_cast<uint32_t>(cpu_cycles);
  if (used > cpu_cycles_max) {
    P->cycle_debt += used - cpu_cycles_max;
    used = int64_t{cpu_cycles_max} + 1;
  }
  cpu_cycles = saved_cycles;
  cpu_cycles_max = saved_max;
  cpu_superyielding = saved_super;

  // A scheduler's counters include what it handed out.
  P->cycles_frame = add_saturated(P->cycles_frame, used);
  P->cycles_since_flip = add_saturated(P->cycles_since_flip, used);
  if (process *Q = caller.get()) {
    Q->cycles_frame = add_saturated(Q->cycles_frame, used);
    Q->cycles_since_flip = add_saturated(Q->cycles_since_flip, used);
  }
  total_frame_cycles = add_saturated(total_frame_cycles, used);

  // Still busy: finalizers run by the collection cannot slice or remove it.
  if (!P->out_of_memory && process_over_memory_cap(P)) {
    lua_gc(L, LUA_GCCOLLECT);
    if (process_over_memory_cap(P)) P->out_of_memory = 1;
  }

  if (P->out_of_memory) {
    P->state = process_finished;
    report_error("*runtime error: out of memory");
    P->busy = false;
    kill_process(P);
  } else if (status == LUA_YIELD) {
    P->busy = false;
  } else if (status == LUA_OK) {
    P->state = process_finished;  // the chunk returned
    P->busy = false;
    kill_process(P);
  } else {
    fail_slice(P, L, status);
  }
  settle_deferred();
  cproc = caller.get();
  return static_cast<int32_t>(used);
}

bool process_slice_completed(int64_t id) {
  process *P = get_process(id);
  if (!P || !P->lua_state) return true;
  return lua_status(P->lua_state) != LUA_YIELD || P->flipped;
}

void prepare_processes_for_frame() {
  for (auto &rec : table) {
    process *P = rec.get();
    P->cycles_last_frame = P->cycles_frame;
    P->cycles_frame = 0;
    if (P->flipped) {
      P->fps = 60 / (P->frames_since_flip + 1);
      P->flipped = 0;
      P->frames_since_flip = 0;
      P->cycles_since_flip = 0;
    } else {
      P->frames_since_flip = add_saturated(P->frames_since_flip, 1);
    }
  }
  total_frame_cycles = 0;
}

void update_processes_after_frame() {
  // Each process is current for its collector step; the frame's own level
  // (no process, usually) comes back at the end, or the root's next slice
  // would be counted as the last one's.
  const int64_t was = current_process_id();
  for (auto &rec : table) {
    process *P = rec.get();
    int64_t frames = std::min<int64_t>(int64_t{P->frames_since_flip} + 1, 3);
    if (P->flipped) P->time += frames;
    if (app.slow_frame) P->time += frames;
    if (P->state != process_running) continue;
    cproc = P;
    // Only switches mode and parameters: no Lua code runs here.
    if (P->lua_state && (peek(0x547F) & 1)) lua_gc(P->lua_state, LUA_GCINC, 107, 18, 0);
  }
  {
    table_change change;
    for (int i = get_process_count() - 1; i >= 0; i--) {
      process *P = table[static_cast<size_t>(i)].get();
      if (!P->out_of_memory) continue;
      if (P->busy) {
        P->kill_pending = true;
        deferred_work = true;
        continue;
      }
      free_process(P);
      destroy_record(index_of_live(P));
    }
  }
  // The synthesiser's mirror takes the audio process's changed RAM pages; the
  // owner repays the copy in its next slice.
  int64_t mirrored = audio_op_start(0, 1);
  audio_op_end();
  if (process *A = mirrored > 0 ? get_process(app.audio_pid) : nullptr)
    A->cycle_debt = saturating_add(A->cycle_debt, mirrored);
  apply_display_mouse_lock();
  cproc = get_process(was);
}

std::string filter_system_traceback_lines(std::string_view text) {
  text = text.substr(0, std::min(text.size(), traceback_text_max));
  size_t cut = text.find("/system/");
  return std::string(text.substr(0, cut));
}
