// Script-API functions of processes, and the plain process operations behind
// them.
#pragma once

#include <cstdint>

#include "lua.hpp"

struct process;

// What _run_process_slice reports: whether the process completed its slice
// (it finished, failed or flipped), the share of the frame budget it used,
// and a text when there was nothing to slice.
struct slice_report {
  bool completed;
  double share;
  const char *message;  // null when none
};

// The fraction a script asks for, limited to 0..1: a missing or non-numeric
// value is 0, a NaN is 1.
double slice_fraction(bool is_number, double value);
// One slice of process `id` for a script running in thread `from`, fraction
// already limited (and above 0). The process is looked up again afterwards, as
// its own slice may have removed it.
slice_report run_slice_for_script(int64_t id, double fraction, lua_State *from);
// _kill_process: mode 0 removes, mode 1 restarts, anything else does nothing.
// A process whose slice is running (the caller, or a scheduler above it) goes
// once that slice unwinds.
void kill_process_for_script(int64_t id, int64_t mode);
// The i16 width and height a process keeps at RAM 0x5478 and 0x547A; 0, 0
// for an unknown id.
constexpr int display_width_address = 0x5478;
constexpr int display_height_address = 0x547A;
struct display_size {
  int width, height;
};
display_size process_display_size(int64_t id);
// Marks the process as having flipped: unless flags bit 0 is set, bit 1 (no new
// frame) of RAM byte 0x547F is cleared; flags & 3 winds its time back a frame.
// The caller superyields.
void flip_process(process *P, int64_t flags);

int lua54_pid(lua_State *L);
int lua54__create_process_from_code(lua_State *L);
int lua54__run_process_slice(lua_State *L);
int lua54__kill_process(lua_State *L);
int lua54__halt(lua_State *L);
int lua54__yielded_to_escape_slice(lua_State *L);
int lua54_flip(lua_State *L);
int lua54__process_state(lua_State *L);
int lua54__get_process_display_size(lua_State *L);
int lua54__get_process_list(lua_State *L);
int lua54_load(lua_State *L);
