// The system's spine: settings, application state, the data pack, start-up,
// reset and the frame function.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "platform/event_pump.h"

constexpr const char *kestrune_version = "0.2.0d";
constexpr const char *kestrune_build_date = "250504-204313";

// Settings: given their defaults once at start, kept across reboots.
struct config_record {
  int32_t fullscreen;
  int32_t pixel_perfect;
  int32_t stretch;
  int32_t allow_highdpi;
  int32_t sdl_render_driver;
  int32_t fullscreen_window;
  int32_t pixel_scale;
  int32_t yorelog;
  int32_t volume;
  int32_t mute_audio;
  int32_t swap_stereo;
  int32_t network_access;
  int32_t battery_saver;
  int32_t deadzone;
  std::string home_path;
  std::string desktop_path;
  std::string start_path;
  int32_t headless;
};

// Application state: cleared at every boot and reboot (but for window_focused
// once the host layer runs).
struct app_record {
  int32_t window_focused;
  int32_t boot_style;
  int32_t signal_36_flag;
  int64_t audio_pid;
  int64_t audio_mirror_pid;
  int32_t audio_capture_on;  // the capture's buffer is the synthesiser's (mudo/audio.h)
  int32_t gif_recording;
  int32_t gif_frame_count;
  int32_t screenshot_requested;
  int32_t boot_finished;
  int32_t boot_release;
  int32_t expcart_mounted;
  int32_t cart_mount_blocked;
  mouse_lock_state mouse_lock;  // the host mouse's lock: ends at every reset
  int64_t shutdown_holder;
  int64_t last_activity_ms;
  int32_t slow_frame;
  int64_t frame_count;
  int64_t boot_time_base;
  int32_t reboot_requested;
  int32_t exit_requested;
  int32_t exit_countdown;
};

extern config_record config;
extern app_record app;
extern bool system_inited;
extern int32_t video_hash0;

// The data pack's records, kept for the whole run (plain globals: nothing
// frees them while the program ends).
constexpr int dat_file_max = 64;
constexpr int64_t dat_record_max_length = 0x2000000;
extern buffer *dat_file[dat_file_max];
extern int dat_files;

// Reads data pack records from an open file: u32 big-endian length, then the
// bytes; ends at a short header, a length above dat_record_max_length or at
// dat_file_max records. A record cut short is kept with length 0.
std::vector<buffer *> read_dat_records(FILE *f);
void load_dat_files(const std::string &host_path);
buffer *get_dat_file(int index);

void set_default_config();
void process_arguments(int argc, char **argv);
void kestrune_apply_setting(const char *key, int64_t value);
void kestrune_apply_settings();
int32_t video_settings_hash();

// What the frame's request step decided.
enum class frame_request { go_on, reboot, exit };
// Serves reboot and exit requests for one frame (counting a held exit down);
// holder_alive says whether the shutdown holder still names a live process.
frame_request serve_frame_requests(app_record &a, bool holder_alive);
bool shutdown_hold_active();

void reset_app_state();
// The frame's own work, without the picture: requests served (the host layer
// started on the first frame), events pumped, the root's slice and the
// after-frame work, write-back, prune, the frame count, a GIF recording's
// share of encoding.
void system_frame_work();
// One frame: its work, then the picture presented and the frame paced.
void system_frame();
void kestrune_exit();
// Ends the program: standard output flushed, the audio device stopped.
[[noreturn]] void kestrune_end(int code);
// Prints the message on standard output, then ends the program.
[[noreturn]] void kestrune_fatal(const char *message, int code);

// Runs the whole program: start-up, then frames until the program ends.
[[noreturn]] void kestrune_main(int argc, char **argv);
