// Start-up, reset, the frame function and the orderly end.
#include "kernel/system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "kernel/numbers.h"
#include "gfx/boot_screen.h"
#include "gfx/captures.h"
#include "gfx/draw_state.h"
#include "gfx/video_output.h"
#include "kernel/input.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "mudo/mudo.h"
#include "pdisk/cart_mount.h"
#include "pdisk/gurl.h"
#include "pdisk/host_config.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "pdisk/yorelog.h"
#include "platform/host_log.h"
#include "platform/audio_device.h"
#include "platform/frame_pacing.h"
#include "platform/host_system.h"
#include "platform/host_paths.h"
#include "platform/window.h"

#include "lua.hpp"

config_record config;
app_record app;
bool system_inited = false;
int32_t video_hash0 = -1;
buffer *dat_file[dat_file_max];
int dat_files = 0;
process *root_process = nullptr;

namespace {

constexpr int buffer_group_dat = 105;
// Bounds the orderly end while a shutdown holder is still busy.
constexpr int exit_slices_max = 120;
constexpr int held_exit_frames = 60;

std::string clip(const char *text, size_t max) {
  std::string s(text);
  if (s.size() > max) s.resize(max);
  return s;
}

}  // namespace

std::vector<buffer *> read_dat_records(FILE *f) {
  std::vector<buffer *> records;
  uint8_t head[4];
  while (records.size() < dat_file_max && fread(head, 1, 4, f) == 4) {
    uint32_t length = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 |
                      uint32_t(head[3]);
    if (length > uint64_t(dat_record_max_length)) break;
    buffer *rec = create_buffer_2(int64_t(length) + 8, buffer_group_dat);
    if (!rec) break;
    if (length != 0 && fread(rec->data, 1, length, f) == length) rec->length = int32_t(length);
    rec->position = 0;
    records.push_back(rec);
  }
  return records;
}

void load_dat_files(const std::string &host_path) {
  FILE *f = fopen(host_path.c_str(), "rb");
  if (!f) return;
  std::vector<buffer *> records = read_dat_records(f);
  fclose(f);
  dat_files = int(records.size());
  std::copy(records.begin(), records.end(), dat_file);
}

buffer *get_dat_file(int index) {
  if (index < 0 || index >= dat_files) return nullptr;
  dat_file[index]->position = 0;
  return dat_file[index];
}

void set_default_config() {
  config = config_record{};
  config.fullscreen = 1;
  config.pixel_perfect = 1;
  config.volume = 192;
  config.network_access = 1;
}

void process_arguments(int argc, char **argv) {
  enum { take, skip, home } mode = take;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (arg[0] == '&' || arg[0] == '>' || arg[0] == '|') break;
    if (arg[0] == '-') {
      mode = skip;
      if (strncmp(arg, "-home", 5) == 0) mode = home;
      if (strncmp(arg, "-x", 2) == 0) {
        config.headless = 1;
        mode = take;
      }
      if (strncmp(arg, "-use_system_rom", 15) == 0) mode = take;
      continue;
    }
    if (mode == home) {
      config.home_path = clip(arg, 1023);
      hovi_mkdir(config.home_path);
    } else if (mode == take) {
      config.start_path = clip(arg, 1023);
    }
    mode = take;
  }
}

void kestrune_apply_setting(std::string_view key, int64_t value) {
  const int32_t v = saturate_i32(value);
  const int32_t flag = value != 0;
  struct flag_key {
    std::string_view name;
    int32_t config_record::*field;
  };
  static const flag_key flags[] = {
      {"fullscreen", &config_record::fullscreen},
      {"pixel_perfect", &config_record::pixel_perfect},
      {"stretch", &config_record::stretch},
      {"allow_highdpi", &config_record::allow_highdpi},
      {"fullscreen_window", &config_record::fullscreen_window},
      {"mute_audio", &config_record::mute_audio},
      {"swap_stereo", &config_record::swap_stereo},
      {"battery_saver", &config_record::battery_saver},
      {"network_access", &config_record::network_access},
  };
  for (const flag_key &k : flags) {
    if (key == k.name) {
      config.*k.field = flag;
      return;
    }
  }
  if (key == "pixel_scale") {
    config.pixel_scale = v;
  } else if (key == "sdl_render_driver") {
    config.sdl_render_driver = v;
  } else if (key == "volume") {
    config.volume = v < 0 ? 0 : v > 256 ? 256 : v;
  } else if (key == "deadzone") {
    config.deadzone = v < 0 ? 0 : v > 256 ? 256 : v;
  } else if (key == "yorelog") {
    bool was_on = config.yorelog != 0;
    config.yorelog = flag;
    // Turning the history on opens today's log (with its snapshot) at once.
    if (flag && !was_on) yorelog_event(yorelog_open_day, "", "");
  }
}

int32_t video_settings_hash() {
  return (config.fullscreen != 0) + 2 * (config.pixel_perfect != 0) +
         4 * (config.allow_highdpi != 0) + 8 * (config.stretch != 0) +
         16 * (config.fullscreen_window != 0);
}

void kestrune_apply_settings() {
  int32_t hash = video_settings_hash();
  if (hash != video_hash0) {
    if (!config.headless) os_apply_video_config();
    video_hash0 = hash;
  }
  mudo_set_volume(config.mute_audio ? 0 : config.volume);
  mudo_set_stereo_swap(config.swap_stereo);
}

bool shutdown_hold_active() {
  return app.shutdown_holder != 0 && find_process(app.shutdown_holder) != nullptr;
}

frame_request serve_frame_requests(app_record &a, bool holder_alive) {
  // A holder that has gone away no longer holds anything back.
  if (a.shutdown_holder != 0 && !holder_alive) a.shutdown_holder = 0;
  if (a.reboot_requested && a.shutdown_holder == 0) return frame_request::reboot;
  if (a.exit_requested) {
    if (a.shutdown_holder == 0) return frame_request::exit;
    if (a.exit_countdown++ >= held_exit_frames) return frame_request::exit;
  }
  return frame_request::go_on;
}

void kestrune_end(int code) {
  // A fatal end loses no changed cartridge; a failure inside that write-back
  // ends the program without trying again.
  static bool ending = false;
  if (!ending) {
    ending = true;
    flush_dirty_mounts_immediately();
  }
  fflush(stdout);
  // The audio thread must not outlive the objects it reads.
  os_system_shutdown();
  exit(code);
}

void kestrune_fatal(const char *message, int code) {
  printf("%s\n", message);
  kestrune_end(code);
}

// Loads "/system/boot.lua" onto the root state, so the root's first slice runs it.
static void load_boot_script() {
  pfile *f = pfopen("/system/boot.lua", "r");
  if (!f) kestrune_fatal("could not find /system/boot.lua", 0);
  std::string code = f->data ? std::string(reinterpret_cast<const char *>(f->data->data),
                                           size_t(f->data->length))
                             : std::string();
  pfclose(f);
  // A chunk named by its text, as loading a string names it; text only.
  code.resize(strlen(code.c_str()));
  lua_State *L = root_process->lua_state;
  if (luaL_loadbufferx(L, code.data(), code.size(), code.c_str(), "t") != LUA_OK) {
    const char *message = lua_tostring(L, -1);
    printf("error in /system/boot.lua\n%s\n", message ? message : "(error object is not a string)");
    kestrune_end(0);
  }
}

void reset_app_state() {
  int32_t focused = app.window_focused;
  // A GIF recording goes on across a reboot: its encoder and file outlive app.
  int32_t recording = app.gif_recording, recorded = app.gif_frame_count;
  // A capture still running is dropped before app forgets it (under the lock:
  // the audio thread may be appending).
  if (audio_capture_running()) audio_capture_abandon();
  app = app_record{};
  if (system_inited) app.window_focused = focused;
  if (gif_recording_open()) app.gif_recording = recording, app.gif_frame_count = recorded;
  processes_init();
  boot_init();
  pfile_init();
  pfile_reset();
  init_default_coltabs();
  mudo_init();  // once per run: the synthesiser outlives reboots
  gurl_init();   // once per run, before any fetch's worker
  app.audio_pid = -2;
  app.audio_mirror_pid = -3;
  mount_ram_folder("/ram");
  process_config();
  std::string host_data = hovi_prefix_with_program_path("data");
  if (host_directory_exists(host_data)) mount_host_path("/host_data", host_data);

  root_process = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]");
  if (!root_process) kestrune_fatal("could not create the root process", 1);
  set_current_process(root_process);
  luaL_openlibs(root_process->lua_state);

  if (dat_files < 2) {
    hovi_debug("sysrom.dat not found\n");
    kestrune_fatal("sysrom.dat not found", 1);
  }
  mount_ram_folder("/system");
  // The system cartridge's entries are named under "system/".
  populate_ram_folder_from_kvt_rom_buffer("", get_dat_file(1));
  load_boot_script();
  int64_t history_from = host_ms_since_start();
  yorelog_open();
  hovi_debugf("yorelog init: %lldms\n", static_cast<long long>(host_ms_since_start() - history_from));
  if (dat_files >= 3) {
    app.expcart_mounted = 1;
    mount_ram_folder("/ram/expcart");
    populate_ram_folder_from_kvt_rom_buffer("/ram/expcart", get_dat_file(2));
  }
}

// A table left with no process has nothing more to run: the program ends
// rather than idling.
static void end_when_no_process_left() {
  if (get_process_count() > 0) return;
  hovi_debug("no process left\n");
  kestrune_exit();
  kestrune_fatal("no process left", 0);
}

void kestrune_exit() {
  for (int i = 0; i < exit_slices_max && shutdown_hold_active(); i++) {
    prepare_processes_for_frame();
    run_process_slice(root_process, 1.0);
    update_processes_after_frame();
  }
  finish_gif_recording_now();
  flush_dirty_mounts_immediately();
  yorelog_close();
}

void system_frame_work() {
  switch (serve_frame_requests(app, shutdown_hold_active())) {
  case frame_request::reboot:
    flush_dirty_mounts_immediately();
    hovi_debug("--- rebooting ---\n\n");
    reset_app_state();
    break;
  case frame_request::exit:
    kestrune_exit();
    kestrune_end(0);
  case frame_request::go_on:
    break;
  }
  if (!system_inited) {
    os_system_init();
    system_inited = true;
  }
  pump_host_events();
  prepare_processes_for_frame();
  run_process_slice(root_process, 1.0);
  update_processes_after_frame();
  ram_make_memory_ready();
  flush_dirty_mounts_delayed();
  prune_mounts();
  yorelog_step();
  end_when_no_process_left();
  app.frame_count++;
  continue_gif_recording();
}

void system_frame() {
  system_frame_work();
  end_frame(video_out_picture);
}

void kestrune_main(int argc, char **argv) {
  hovi_argv0 = clip(argc > 0 ? argv[0] : "", 1023);
  std::string pack = hovi_prefix_with_program_path("sysrom.dat");
  hovi_debugf("load_kestrune_dat_files: %s // from: %s\n", "sysrom.dat", pack.c_str());
  load_dat_files(pack);
  set_default_config();
  process_arguments(argc, argv);
  hovi_debugf("booting kestrune %s\n", kestrune_version);
  hovi_debugf("build: %s\n", kestrune_build_date);
  os_set_audio_mixer(mudo_audio_callback);
  reset_app_state();
  for (;;) system_frame();
}
