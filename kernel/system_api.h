// Script-API functions of the system's spine, and the plain system functions
// behind them: stat, _signal, time and date, the window title and the
// userland clipboard.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "lua.hpp"

struct process;

/* ---------------------------------------------------------------------- */
/* plain functions                                                        */
/* ---------------------------------------------------------------------- */

// One value of a stat answer. A text lives in static or long-lived storage
// (a constant, the settings, a host key name) and is read before the next
// stat.
struct stat_value {
  enum kind_t { is_nil, is_number, is_integer, is_text } kind = is_number;
  double number = 0;
  int64_t integer = 0;
  std::string_view text;
};

// A stat answer holds its values in place: asking allocates nothing.
struct stat_answer {
  int count = 1;
  stat_value values[2];
};

// stat(n, a, b) asked by process P: one value (two for n = 5). Numbers the
// system has no answer for give 0.
stat_answer system_stat(process *P, int64_t n, int64_t a, int64_t b);
// _signal(n) from process P; numbers without a meaning do nothing.
void system_signal(process *P, int64_t n);

// One text shared by all processes; it survives reboots and may hold NULs.
extern std::string userland_clipboard_text;

constexpr const char *default_date_format = "!%Y-%m-%d %H:%M:%S";
// A date text "YYYY-MM-DD HH:MM:SS" read by character positions (year 0-3,
// month 5-6, day 8-9, hour 11-12, minute 14-15, second 17-18; separators
// ignored) as UTC seconds since 1970. A character that is not a digit counts
// as 0; a field the text does not reach in full takes its value at the start
// of 1970 (year 1970, month and day 1, the rest 0). Out-of-range fields carry
// over (month 13 is January of the next year).
int64_t date_text_to_time(std::string_view text);

struct date_result {
  enum kind_t { as_text, as_table, bad_specifier, unrepresentable } kind = as_text;
  std::string text;  // the date; for bad_specifier, the format after the bad '%'
  std::tm fields{};  // for table
};
// The date at `when` by the format, as the language's os.date writes it: a
// leading '!' for UTC (else local time), "*t" for the fields, otherwise the
// text with each conversion specifier through strftime.
date_result format_date(std::string_view format, int64_t when);

/* ---------------------------------------------------------------------- */
/* bindings                                                               */
/* ---------------------------------------------------------------------- */

int lua54__apply_system_settings(lua_State *L);
int lua54_time(lua_State *L);  // also t
int lua54_stat(lua_State *L);
int lua54_date(lua_State *L);
int lua54__signal(lua_State *L);
int lua54__warp_mouse(lua_State *L);
int lua54__set_host_window_icon(lua_State *L);
int lua54__set_host_window_title(lua_State *L);
int lua54__get_userland_clipboard_text(lua_State *L);
int lua54__set_userland_clipboard_text(lua_State *L);
