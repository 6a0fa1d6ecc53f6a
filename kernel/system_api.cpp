// Script-API functions of the system's spine: thin readers of arguments over
// the plain system functions (stat, _signal, time and date, the window title
// and the userland clipboard), which live here too.
#include "kernel/system_api.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "gfx/boot_clock.h"
#include "gfx/captures.h"
#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/input.h"
#include "kernel/maths.h"
#include "kernel/messages.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "mudo/audio.h"
#include "mudo/audio_api.h"
#include "gfx/draw_state.h"
#include "pdisk/pfile.h"
#include "platform/frame_pacing.h"
#include "platform/event_pump.h"
#include "platform/host_paths.h"
#include "platform/mouse.h"
#include "platform/window.h"
#include "values/userdata.h"

std::string userland_clipboard_text;

namespace {

constexpr double frame_budget = frame_cycle_budget;
constexpr int64_t stat_version_number = 18;
constexpr double stat_pi = 3.141592653589793;
constexpr const char *desktop_folder = "kestrune_desktop";
constexpr const char *desktop_mount_point = "/desktop/host";
// strftime's room for one conversion
constexpr size_t date_item_max = 250;
// The conversion specifiers the language's os.date accepts: single letters,
// and two-letter ones of an 'E' or an 'O' and a letter.
constexpr std::string_view date_single_options = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";
constexpr std::string_view date_e_options = "cCxXyY";
constexpr std::string_view date_o_options = "deHImMSuUVwWy";
constexpr int64_t seconds_per_day = 86400;
constexpr int left_ctrl_scancode = 224, right_ctrl_scancode = 228;
constexpr int icon_bitmap_size = 16;
// Host round trips (a pump of the host's events, a pointer warp, a new window
// icon) cost the caller this much.
constexpr int64_t host_round_trip_cycles = 4096;
constexpr int64_t window_icon_cycles = 16384;
// A read of the host's clock (a system call on some hosts).
constexpr int64_t host_clock_cycles = 16;

// What a signal costs the host beyond its call, charged before it acts: an
// audio capture's start or end makes and gives back its two-minute buffer and
// writes its file, a recording's start or end opens or finishes one, the
// desktop's mount makes a host folder, an activity mark reads the host's
// clock. Unlisted signals only set flags (21 charges its capture itself).
int64_t signal_cycles(int64_t n) {
  switch (n) {
    case 16: return pfile_write_cycles;
    case 18: case 19: case 65: return host_round_trip_cycles;
    case 22: return host_clock_cycles;
    default: return 0;
  }
}
// A full collection walks the whole heap: stat(0) and stat(3) pay a cycle for
// this many bytes of it.
constexpr int64_t collect_bytes_per_cycle = 16;
// date pays this for every byte of its format (a byte may be a conversion),
// besides its time's conversion to calendar fields (the C library, with the
// zone's rules for local time), and the fields' table of nine when it asks
// for one.
constexpr int64_t date_format_byte_cycles = 8;
constexpr int64_t date_conversion_cycles = 16;
constexpr int64_t date_table_cycles = 64;
// _apply_system_settings pays this for every pair of its table (the table's
// walk finds each key again to step past it, then the key is matched), and
// the pass over the stored settings once.
constexpr int64_t setting_cycles = 16;
constexpr int64_t apply_settings_cycles = 24;
// Copying the userland clipboard's text: bytes a cycle.
constexpr int64_t clipboard_bytes_per_cycle = 64;
// A text handed to a script is made a Lua string (hashed and looked up, or a
// block of its own when long) besides its copy.
constexpr int64_t result_text_cycles = 4;
// One longer than the interpreter interns is a new block each time, to be
// collected later.
constexpr size_t interned_text_max = 40;
constexpr int64_t long_text_cycles = 12;
// stat(302): the host's keyboard layout gives the key's name, encoded afresh.
constexpr int64_t key_name_cycles = 16;

stat_value number(double x) { return {stat_value::is_number, x, 0, {}}; }
stat_value integer(int64_t i) { return {stat_value::is_integer, 0, i, {}}; }
stat_value text(std::string_view s) { return {stat_value::is_text, 0, 0, s}; }
stat_value nil() { return {stat_value::is_nil, 0, 0, {}}; }
stat_answer one(stat_value v) { return {1, {v, {}}}; }

void full_collection(process *P) {
  if (P->lua_state) charged_full_collection(P->lua_state);
}

// What the state's own count says, in bytes.
double lua_state_bytes(process *P) {
  if (!P->lua_state) return 0;
  return lua_gc(P->lua_state, LUA_GCCOUNT) * 1024.0 + lua_gc(P->lua_state, LUA_GCCOUNTB);
}

// The host's offset from UTC in seconds west (standard time). Asking the host
// reads its zone settings (a file system call at least), so the answer is
// kept for the frame it was asked in.
double host_timezone_west() {
  static int64_t read_frame = -1;
  static double west = 0;
  if (read_frame != app.frame_count) {
    tzset();
    west = static_cast<double>(timezone);
    read_frame = app.frame_count;
  }
  return west;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar
// (month 1..12).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = floor_div(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Length of the conversion specifier at conv (convlen bytes left), 0 when it
// is none the language accepts.
size_t date_option_length(const char *conv, size_t convlen) {
  if (convlen == 0) return 0;
  if (date_single_options.find(conv[0]) != std::string_view::npos) return 1;
  if (convlen < 2) return 0;
  std::string_view second = conv[0] == 'E' ? date_e_options : conv[0] == 'O' ? date_o_options : "";
  return second.find(conv[1]) != std::string_view::npos ? 2 : 0;
}

void set_int_field(lua_State *L, const char *key, int64_t value) {
  lua_pushinteger(L, value);
  lua_setfield(L, -2, key);
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* stat and _signal                                                       */
/* ---------------------------------------------------------------------- */

stat_answer system_stat(process *P, int64_t n, int64_t a, int64_t b) {
  if (is_audio_stat(n)) {
    int64_t v = audio_stat(P, n, a, b);
    bool is_integer = n >= 464 && n != 465;
    return one(is_integer ? integer(v) : number(static_cast<double>(v)));
  }
  switch (n) {
    case 0:
      full_collection(P);
      return one(number(static_cast<double>(process_memory_in_use(P))));
    case 1: {  // the running slice included (the interpreter counts unsigned)
      double used = static_cast<uint32_t>(cpu_cycles) + static_cast<double>(P->cycles_since_flip);
      return one(number(used / frame_budget));
    }
    case 3:
      full_collection(P);
      return one(number(lua_state_bytes(P)));
    case 5:
      return {2, {integer(stat_version_number), text(kestrune_version)}};
    case 7: {
      double fps = P->fps ? P->fps : 60;
      return one(number(app.slow_frame ? fps / 2 : fps));
    }
    case 86:
      return one(number(static_cast<double>(time(nullptr))));
    case 87:
      return one(number(host_timezone_west()));
    case 101:
      return one(nil());
    case 150: case 151: case 152: case 153:
      return one(text(""));
    case 301:
      return one(number(total_frame_cycles / frame_budget));
    case 302: {
      const char *name = os_key_from_scancode(a);
      return one(name ? text(name) : nil());
    }
    case 307:
      return one(number(P->system_flag));
    case 308:
      return one(number(get_total_num_buffers()));
    case 309:
      return one(number(static_cast<double>(get_total_buffer_allocation())));
    case 310:
      return one(number(pdisk_count_slots_by_kind(pfile_ram)));
    case 311:
      return one(number(pfile_free_count()));
    case 312:  // the address wraps into 16 MB, as every RAM address does
      return one(number(ram_mapped_len(P, a)));
    case 313:
      return one(number(static_cast<double>(P->ram_bytes)));
    case 314:
      return one(number(stat_pi));
    case 315:
      return one(number(config.headless));
    case 316:
      return one(text(config.start_path));
    case 317:
      return one(number(app.expcart_mounted ? 3 : 1));
    case 320:
      return one(number(app.gif_recording ? 1 : 0));
    case 321:
      return one(number(app.gif_recording ? app.gif_frame_count / 2 : 0));
    case 322:
      return one(number(app.audio_capture_on));
    case 330:
      return one(number(app.slow_frame));
    case 985:
      return one(number(app.boot_finished));
    case 986:
      return one(number(app.signal_36_flag));
    case 987:
      return one(number(boot_get_time()));
    case 988:
      spend_cpu(host_round_trip_cycles);
      pump_host_events();
      return one(number(os_key_state(left_ctrl_scancode) && os_key_state(right_ctrl_scancode) ? 1 : 0));
    default:
      break;
  }
  return one(number(0));
}

void system_signal(process *P, int64_t n) {
  switch (n) {
    case 16:
      if (app.audio_capture_on) {
        audio_capture_end();
        app.audio_capture_on = 0;
      } else {
        audio_capture_start();
        app.audio_capture_on = audio_capture_running();
      }
      break;
    case 18:  // a start while recording is ignored: one encoder, one file
      if (!app.gif_recording && gif_start(P) == 0) {
        app.gif_recording = 1;
        app.gif_frame_count = 0;
      }
      break;
    case 19:
      if (app.gif_recording) {
        gif_end();
        app.gif_recording = 0;
      }
      break;
    case 21:
      request_screenshot(P);
      break;
    case 23:
      buttons_wait_for_release(P);
      break;
    case 22:
      app.last_activity_ms = os_get_time();
      break;
    case 33:
      app.exit_requested = 1;
      break;
    case 34:
      app.reboot_requested = 1;
      break;
    case 35:
      app.boot_style = 1;
      break;
    case 36:
      app.signal_36_flag = 1;
      break;
    case 37:
      app.boot_release = 1;
      break;
    case 38:
      record_heap_baseline(P);
      break;
    case 39:
      app.cart_mount_blocked = 1;
      break;
    case 40:
      app.shutdown_holder = P->id;  // released when it dies (serve_frame_requests)
      break;
    case 41:
      app.shutdown_holder = 0;
      break;
    case 65: {
      std::string host = hovi_prefix_with_desktop_path(desktop_folder);
      hovi_mkdir(host);
      if (!host_directory_exists(host) || !mount_host_path(desktop_mount_point, host))
        notify("could not mount desktop");
      break;
    }
    default:
      break;
  }
}

/* ---------------------------------------------------------------------- */
/* dates                                                                  */
/* ---------------------------------------------------------------------- */

int64_t date_text_to_time(std::string_view text) {
  struct field {
    size_t at, digits;
    int64_t absent;
  };
  static constexpr field fields[6] = {{0, 4, 1970}, {5, 2, 1}, {8, 2, 1},
                                      {11, 2, 0},   {14, 2, 0}, {17, 2, 0}};
  int64_t v[6];
  for (int i = 0; i < 6; i++) {
    const field &f = fields[i];
    if (f.at + f.digits > text.size()) {
      v[i] = f.absent;
      continue;
    }
    int64_t x = 0;
    for (size_t k = 0; k < f.digits; k++) {
      char c = text[f.at + k];
      x = x * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
    }
    v[i] = x;
  }
  int64_t month0 = v[1] - 1;
  int64_t year = v[0] + floor_div(month0, 12);
  int64_t month = month0 - floor_div(month0, 12) * 12 + 1;
  int64_t days = days_from_civil(year, month, 1) + v[2] - 1;
  return days * seconds_per_day + v[3] * 3600 + v[4] * 60 + v[5];
}

date_result format_date(std::string_view format, int64_t when) {
  date_result out;
  auto t = static_cast<time_t>(when);
  const char *s = format.data();
  const char *se = s + format.size();
  std::tm tmr{};
  std::tm *stm;
  if (s < se && *s == '!') {
    stm = gmtime_r(&t, &tmr);
    s++;
  } else {
    stm = localtime_r(&t, &tmr);
  }
  if (!stm) {
    out.kind = date_result::unrepresentable;
    return out;
  }
  // As a C string: what follows a NUL does not count.
  std::string_view rest(s, static_cast<size_t>(se - s));
  if (rest.substr(0, rest.find('\0')) == "*t") {
    out.kind = date_result::as_table;
    out.fields = *stm;
    return out;
  }
  while (s < se) {
    if (*s != '%') {
      out.text += *s++;
      continue;
    }
    s++;
    size_t left = static_cast<size_t>(se - s);
    size_t oplen = date_option_length(s, left);
    if (oplen == 0) {
      out.kind = date_result::bad_specifier;
      out.text.assign(s, strnlen(s, left));
      return out;
    }
    char cc[4] = {'%'};
    memcpy(cc + 1, s, oplen);
    cc[1 + oplen] = '\0';
    char item[date_item_max];
    out.text.append(item, strftime(item, sizeof item, cc, stm));
    s += oplen;
  }
  return out;
}

/* ---------------------------------------------------------------------- */
/* bindings                                                               */
/* ---------------------------------------------------------------------- */

namespace {

int64_t setting_value(lua_State *L, int index) {
  switch (lua_type(L, index)) {
  case LUA_TBOOLEAN:
    return lua_toboolean(L, index);
  case LUA_TNUMBER: {
    if (lua_isinteger(L, index)) return lua_tointeger(L, index);
    double x = lua_tonumber(L, index);
    return std::floor(x) == x ? trunc_to_i64(x) : 0;
  }
  default:
    return 0;
  }
}

}  // namespace

int lua54__apply_system_settings(lua_State *L) {
  if (!lua_istable(L, 1)) {
    printf("** lua54__apply_system_settings failed; not a table\n");
    return 0;
  }
  lua_pushnil(L);
  while (lua_next(L, 1)) {
    spend_cpu_or_stop(L, setting_cycles);
    // lua_tostring on a number key would change it under lua_next: only real strings count.
    if (lua_type(L, -2) == LUA_TSTRING)
      kestrune_apply_setting(lua_tostring(L, -2), setting_value(L, -1));
    lua_pop(L, 1);
  }
  spend_cpu(apply_settings_cycles);
  kestrune_apply_settings();
  return 0;
}

int lua54_time(lua_State *L) {
  if (!cproc) return 0;
  lua_pushnumber(L, static_cast<double>(cproc->time) / 60.0);
  return 1;
}

int lua54_stat(lua_State *L) {
  if (!cproc) return 0;
  // Absent arguments are not read: most rows take n alone.
  int given = lua_gettop(L);
  int64_t n = kvt_intp(L, 1, 0);
  int64_t a = given >= 2 ? kvt_intp(L, 2, 0) : 0, b = given >= 3 ? kvt_intp(L, 3, 0) : 0;
  if (n == 0 || n == 3) spend_cpu_or_stop(L, cproc->heap_bytes / collect_bytes_per_cycle);
  if (n == 302) spend_cpu(key_name_cycles);
  stat_answer answer = system_stat(cproc, n, a, b);
  for (int i = 0; i < answer.count; i++) {
    const stat_value &v = answer.values[i];
    switch (v.kind) {
      case stat_value::is_nil: lua_pushnil(L); break;
      case stat_value::is_number: lua_pushnumber(L, v.number); break;
      case stat_value::is_integer: lua_pushinteger(L, v.integer); break;
      case stat_value::is_text:
        spend_cpu(result_text_cycles);
        lua_pushlstring(L, v.text.data(), v.text.size());
        break;
    }
  }
  return answer.count;
}

int lua54_date(lua_State *L) {
  size_t format_length;
  const char *format = luaL_optlstring(L, 1, default_date_format, &format_length);
  int64_t when;
  if (lua_isnoneornil(L, 2)) {
    when = time(nullptr);
  } else if (lua_type(L, 2) == LUA_TSTRING) {
    size_t n;
    const char *s = lua_tolstring(L, 2, &n);
    when = date_text_to_time({s, n});
  } else {
    when = luaL_checkinteger(L, 2);
  }
  if (!lua_isnoneornil(L, 3) && __builtin_add_overflow(when, luaL_checkinteger(L, 3), &when))
    return luaL_error(L, "time result cannot be represented in this installation");
  spend_cpu_or_stop(L, date_conversion_cycles + static_cast<int64_t>(format_length) * date_format_byte_cycles);

  date_result d = format_date({format, format_length}, when);
  switch (d.kind) {
    case date_result::unrepresentable:
      return luaL_error(L, "date result cannot be represented in this installation");
    case date_result::bad_specifier:
      return luaL_argerror(
          L, 1, lua_pushfstring(L, "invalid conversion specifier '%%%s'", d.text.c_str()));
    case date_result::as_table:
      spend_cpu(date_table_cycles);
      lua_createtable(L, 0, 9);
      set_int_field(L, "year", int64_t{d.fields.tm_year} + 1900);
      set_int_field(L, "month", int64_t{d.fields.tm_mon} + 1);
      set_int_field(L, "day", d.fields.tm_mday);
      set_int_field(L, "hour", d.fields.tm_hour);
      set_int_field(L, "min", d.fields.tm_min);
      set_int_field(L, "sec", d.fields.tm_sec);
      set_int_field(L, "yday", int64_t{d.fields.tm_yday} + 1);
      set_int_field(L, "wday", int64_t{d.fields.tm_wday} + 1);
      if (d.fields.tm_isdst >= 0) {
        lua_pushboolean(L, d.fields.tm_isdst);
        lua_setfield(L, -2, "isdst");
      }
      return 1;
    case date_result::as_text:
      break;
  }
  lua_pushlstring(L, d.text.data(), d.text.size());
  return 1;
}

int lua54__signal(lua_State *L) {
  if (!cproc) return 0;
  int64_t n = kvt_intp(L, 1, 0);
  if (int64_t cycles = signal_cycles(n)) spend_cpu_or_stop(L, cycles);
  system_signal(cproc, n);
  return 0;
}

int lua54__warp_mouse(lua_State *L) {
  spend_cpu(host_round_trip_cycles);
  os_warp_mouse_pointer(kvt_intp(L, 1, 0), kvt_intp(L, 2, 0));
  return 0;
}

int lua54__set_host_window_icon(lua_State *L) {
  if (lua_type(L, 1) != LUA_TUSERDATA) {
    os_set_window_icon(nullptr, nullptr);
    return 0;
  }
  const userdata *ud = to_userdata(L, 1);
  if (!ud || (ud->utype & utype_mask) != utype_u8 || ud->width != icon_bitmap_size ||
      ud->height != icon_bitmap_size || ud->depth != 1)
    return 0;
  spend_cpu(window_icon_cycles);
  os_set_window_icon(ud_elements(ud), system_palette);
  return 0;
}

int lua54__set_host_window_title(lua_State *L) {
  int type = lua_type(L, 1);
  if (type == LUA_TSTRING || type == LUA_TNUMBER) os_set_window_title(lua_tostring(L, 1));
  return 0;
}

int lua54__get_userland_clipboard_text(lua_State *L) {
  size_t n = userland_clipboard_text.size();
  spend_cpu_or_stop(L, result_text_cycles + (n > interned_text_max ? long_text_cycles : 0) +
                           static_cast<int64_t>(n) / clipboard_bytes_per_cycle);
  lua_pushlstring(L, userland_clipboard_text.data(), userland_clipboard_text.size());
  return 1;
}

int lua54__set_userland_clipboard_text(lua_State *L) {
  int type = lua_type(L, 1);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) return 0;
  size_t n;
  const char *s = lua_tolstring(L, 1, &n);
  spend_cpu_or_stop(L, static_cast<int64_t>(n) / clipboard_bytes_per_cycle);
  userland_clipboard_text.assign(s, n);
  return 0;
}
