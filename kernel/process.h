// The process table: records, creation, removal, restart and the time slice.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/ram.h"

struct lua_State;
struct userdata;

// process.state
constexpr int32_t process_running = 0;
constexpr int32_t process_finished = 1;  // chunk returned, halted, or out of memory
constexpr int32_t process_failed = 2;    // runtime error

constexpr int max_processes = 512;
constexpr size_t process_name_max = 63;
constexpr size_t process_path_max = 255;

// One userland process. Records are allocated one by one and never move, so a
// pointer to one names that process until it is removed.
struct process {
  int64_t id = 0;
  int64_t parent_id = 0;    // the process current at creation (0: none)
  std::string name;         // at most process_name_max bytes
  std::string path;         // at most process_path_max bytes
  int32_t system_flag = 0;  // path begins with "/system/"
  int32_t state = process_running;
  // Owned by the record and closed only by the table's release of it (with the
  // record current); null once closed, or when a restart no longer compiles.
  lua_State *lua_state = nullptr;
  std::string source;  // the code it was created from
  std::string pwd = "/";

  int64_t time = 0;  // frames; the script's time() is time / 60
  int32_t cycles_frame = 0;
  int32_t cycles_last_frame = 0;
  int32_t cycles_since_flip = 0;
  int32_t flipped = 0;
  int32_t frames_since_flip = 0;
  int32_t fps = 0;
  int64_t cycle_debt = 0;  // 64 bits: an overrun is added before the next slice cuts it
  int32_t slice_count = 0;

  buffer_owner message_queue;  // NUL-terminated texts, oldest first
  uint64_t random_state[4] = {};  // xoshiro256**, seeded at creation
  // Paged RAM: the page map, own pages, windows and current map. Null before
  // set-up and once released.
  std::unique_ptr<process_ram> ram;

  int64_t heap_bytes = 0;     // charged bytes of live Lua blocks
  int64_t heap_baseline = 0;  // set once by _signal(38)
  int64_t ram_bytes = 0;      // 4096 per own RAM page
  int64_t out_of_memory = 0;  // set once, never cleared

  // Kernel bookkeeping. A busy process's slice is running: its state must not
  // be closed, so a kill or restart of it waits until the slice unwinds.
  bool busy = false;
  bool kill_pending = false;
  bool restart_pending = false;

  // Graphics draw state (gfx/draw_state.h).
  userdata *draw_target = nullptr;  // the bitmap drawing writes; anchored in the process's registry
  int32_t clip_x0 = 0;  // pixel clip in target pixels, ends exclusive, always inside the target
  int32_t clip_x1 = 0;
  int32_t clip_y0 = 0;
  int32_t clip_y1 = 0;
  uint64_t clip_bytes = 0;  // the RAM clip words (0x5528) the rectangle was last computed from
  const userdata *clip_target = nullptr;  // the target and shape it was computed for: a reshape recomputes
  uint32_t clip_target_width = 0;
  uint32_t clip_target_height = 0;
  int32_t inverted_fill = 0;  // colour-word bit 35: the next filled shape draws its outside

  // Audio state cache (stat 400-415 and 464): channel fields 0-18 of the 16
  // channels and the active mask, each refreshed once per frame of `time`.
  int32_t audio_cache[16][32] = {};
  int64_t audio_cache_frame = -1;
  int64_t audio_mask_frame = -1;
  int32_t audio_active_mask = 0;

  // Buttons (kernel/input.h), by button + 16 x player: last frame's and this
  // frame's values, wait-for-release flags, frames to btnp's next repeat (-1
  // never).
  uint8_t button_previous[128] = {};
  uint8_t button_current[128] = {};
  uint8_t button_wait[128] = {};
  int32_t button_repeat[128] = {};

  // Sprite slots (gfx/sprites.h): empty until the first _set_spr, then 16,384
  // bitmaps (null: none). Every bitmap a slot names is anchored in the
  // process's registry while it is set; sprite_refs counts the slots naming it.
  std::vector<userdata *> sprite_slots;
  std::map<const userdata *, int32_t> sprite_refs;

  // Host memory the kernel holds for it (kernel/held_memory.h: decoders'
  // buffers, its source copy); counted in its memory in use.
  int64_t host_bytes = 0;
  bool queue_overflow_logged = false;  // a full message queue is logged once

  // Further per-process state arrives with its subsystem: print_context
  // (gfx), sprite slots.
};

// The current process: every RAM, graphics, print and script-API operation
// works on it. Null when none.
extern process *cproc;
// The first record of the table, whichever process that is now (the next one
// takes its place when it goes); null when the table is empty. (Defined with
// the start-up code.)
extern process *root_process;
// Cycles of all slices of the current frame.
extern int32_t total_frame_cycles;


// Frees every record (last to first), restarts ids at 1 and clears cproc.
// Refused (false) while a slice runs or the table is being changed.
bool processes_init();

// The new record, or null: code that does not compile (an id is still used up),
// a state that could not be set up (likewise), a full table, or a creation asked
// for while the table is being changed (finalizers during a close).
process *create_process_from_code(const char *code, const char *name, const char *path);
// The same for code of a known length: a NUL inside it is part of the source.
process *create_process_from_code(std::string_view code, const char *name, const char *path);

// Remove a record and close the gap; unknown records and ids change nothing. A
// busy record, or any record while the table is being changed, goes once that ends.
void kill_process(process *P);
void kill_process_by_id(int64_t id);
// Re-creates the process in place: same record, id and table position. Deferred
// like a kill.
void restart_process(process *P);

process *get_process(int64_t id);
process *find_process(int64_t id);  // the same lookup, under the name start-up uses
int get_process_count();
process *get_process_by_index(int i);

// Stops the program through the assertion check when P is null.
void set_current_process(process *P);
int64_t current_process_id();

// One time slice of at most `fraction` (0..1) of the frame's budget. Returns the
// cycles charged, 0 when the process was not run. `from` is the Lua thread that
// asks for the slice (null from the frame loop); it bounds the nesting of slices.
// P may be gone when this returns: look it up again by id.
int32_t run_process_slice(process *P, double fraction, lua_State *from = nullptr);
// After a slice: true unless the process with that id is still there, suspended
// in a yield, and has not flipped in this frame.
bool process_slice_completed(int64_t id);

void prepare_processes_for_frame();
void update_processes_after_frame();

// The text cut before its first "/system/" (and to 16,383 bytes before that).
std::string filter_system_traceback_lines(std::string_view text);

// Held by kernel code that runs Lua while it works on a record it has looked up
// (a send's field writes): creations are refused and kills deferred meanwhile.
struct process_table_guard {
  process_table_guard();
  ~process_table_guard();
  process_table_guard(const process_table_guard &) = delete;
  process_table_guard &operator=(const process_table_guard &) = delete;
};
