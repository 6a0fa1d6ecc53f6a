// The synthesiser's queries, default data, audio callback and audio capture.
#include "mudo/audio.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/maths.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "mudo/mixer.h"
#include "mudo/mudo.h"
#include "mudo/sequencer.h"
#include "pdisk/pfile.h"
#include "platform/audio_device.h"

namespace {

constexpr int64_t wavetable_area = 0xF78000;
constexpr int64_t wavetable_area_end = 0x1000000;
constexpr int64_t default_instrument = 0x40000;
constexpr double wave_pi = 3.141562;
constexpr int buffer_group_capture = 116;

// Default instrument 0: nodes 0 and 1, then wavetable descriptors 0 and 1.
const uint8_t default_nodes[64] = {
    0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
    0x02, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const uint8_t default_descriptors[8] = {0x00, 0xF8, 0x0A, 0xFF, 0x80, 0xF7, 0x0D, 0x01};

std::vector<int16_t> build_default_wavetables() {
  std::vector<int16_t> w(default_wavetable_samples);
  uint64_t s[4];
  xoshiro256ss_seed(s, 0x12345678);
  for (int k = 0; k < 16384; k++) w[size_t(k)] = static_cast<int16_t>(xoshiro256ss_next(s) & 0xFFFF);
  int16_t *waves = w.data() + 16384;
  for (int i = 0; i < 256; i++) {
    int16_t *wave = waves + 1024 * i;
    const int j = i & 63;
    for (int k = 0; k < 1024; k++) {
      double value;
      if (i < 64) {  // an inverted sine morphing into a triangle
        int u = (k + 768) % 1024;
        int r = (u < 512 ? u : 1024 - u) - 256;
        value = double(static_cast<int64_t>(sin(2 * wave_pi * k / 1024) * -32767 * (64 - i) +
                                            r * 127.99 * i) / 64);
      } else if (i < 128) {  // a triangle leaning into a saw
        int e = 512 + 8 * j, sh = (64 - j) * (64 - j) >> 4;
        int a = ((k - sh) % 1024 + 1024) % 1024;
        double v = a < e ? double(a) / e : a > e ? double(1024 - a) / (1024 - e) : 1.0;
        value = std::trunc(v * 65535 - 32768);
      } else if (i < 192) {  // a saw turning into a square
        double c = double(j * j) / 4096, x = k / 1024.0;
        double v = x < 0.5 ? (1 - c) * x : (1 - c) * x + c;
        value = std::trunc(v * 65534 - 32767);
      } else {  // pulses from half to nearly all of the wave
        double d = 0.5 + j / 128.0;
        value = k / 1024.0 <= d ? -32767 : 32767;
      }
      wave[k] = static_cast<int16_t>(value);
    }
  }
  return w;
}

// The capture: the flag the callback reads, and the buffer it appends to while
// the flag is set. The buffer is replaced or freed only under the audio lock.
std::atomic<bool> capture_on{false};
buffer *capture_buffer = nullptr;

void drop_capture_locked() {
  capture_on.store(false, std::memory_order_release);
  destroy_buffer(capture_buffer);
  capture_buffer = nullptr;
}

// The first free capture name, or "" when all 256 are taken.
std::string capture_file_name() {
  std::string name = "/desktop/host/audio.raw";
  if (!pdisk_file_exists(name)) return name;
  for (int i = 1; i <= 255; i++) {
    name = "/desktop/host/audio_" + std::to_string(i) + ".raw";
    if (!pdisk_file_exists(name)) return name;
  }
  return "";
}

}  // namespace

const int16_t *default_wavetable_block() {
  static const std::vector<int16_t> block = build_default_wavetables();
  return block.data();
}

void generate_default_wavetable(process *P) {
  if (!P || !P->ram) return;
  process *first = find_process(1);
  if (P->id > 1 && first && first->ram) {
    kvt_pmemcpy_pages(first, P, wavetable_area, wavetable_area_end);
    return;
  }
  const int16_t *block = default_wavetable_block();
  process *saved = cproc;
  cproc = P;
  for (int k = 0; k < default_wavetable_samples; k += 4) {  // four samples a write
    uint64_t v = 0;
    for (int i = 0; i < 4; i++) v |= uint64_t(uint16_t(block[k + i])) << (16 * i);
    poke8(int(wavetable_area + 2 * k), static_cast<long long>(v));
  }
  cproc = saved;
}

void generate_default_audio_data(process *P) {
  if (!P || !P->ram) return;
  for (int k = 0; k < 64; k++) poke_proc(P, int(default_instrument + k), default_nodes[k]);
  for (int k = 0; k < 8; k++)
    poke_proc(P, int(default_instrument + 0x1E0 + k), default_descriptors[k]);
}

int32_t mudo_get_channel_state(int32_t channel, int32_t index, int16_t *dest) {
  if (channel == -1 && index == -1) {
    const int32_t frames = mixer->last_output_frames;
    if (dest) memcpy(dest, mixer->last_output, sizeof(int16_t) * 2 * size_t(frames));
    return frames;
  }
  if (channel < 0 || channel >= MUDO_CHANNELS) return -1;
  const mudo_channel &ch = mixer->channels[channel];
  if (index >= 1 && index <= 15 && !ch.trk_playing && ch.instrument == mudo_no_instrument) return -1;
  const int32_t spt = std::clamp(ch.spt ? ch.spt : mudo_tick_samples, 0, mudo_node_buffer_len);
  switch (index) {
    case 0: return ch.note_on ? 1 : 0;
    case 1: return ch.instrument;
    case 2: return ch.volume;
    case 3: return ch.pan;
    case 4: return ch.pitch;
    case 5: return 0;
    case 6: return ch.effect;
    case 7: return ch.param;
    case 8: return spt;
    case 9: return ch.trk_row;
    case 10: return ch.trk_tick;
    case 11: return ch.trk_ticks;
    case 12: return ch.trk_playing ? ch.trk_num : -1;
    case 13: return ch.trk_num;
    case 14: return ch.mix_vol;
    case 15: return ch.base;
    case 19:
      if (dest) memcpy(dest, mixer->stereo_block[channel], sizeof(int16_t) * 2 * size_t(spt));
      return spt;
    default: break;
  }
  if (index >= 20 && index <= 27) {
    if (!dest) return -1;
    memcpy(dest, mixer->node_output[channel][index - 20], sizeof(int16_t) * size_t(spt));
    return spt;
  }
  return -1;
}

int32_t mudo_get_active_channels() {
  int32_t mask = 0;
  for (int c = 0; c < MUDO_CHANNELS; c++)
    if (mixer->channels[c].trk_playing) mask |= 1 << c;
  return mask;
}

int32_t mudo_get_music_state(int32_t which) {
  if (which == 0) return mixer->music.playing ? mixer->music.pattern : -1;
  if (which == 1) return std::max(get_leftmost_nonlooping_channel(), 0);
  return -1;
}

void mudo_audio_callback(int16_t *stream, int frames) {
  mudo_mix(stream, frames);
  if (!capture_on.load(std::memory_order_acquire) || !capture_buffer) return;
  const int64_t bytes = int64_t{frames} * 4;
  if (capture_buffer->length + bytes > audio_capture_max_bytes) return;
  bappend_bytes(capture_buffer, stream, bytes);
}

void audio_capture_start() {
  os_lock_audio();
  drop_capture_locked();
  // Room for the whole capture up front: the audio thread never allocates.
  capture_buffer = create_buffer_2(audio_capture_max_bytes, buffer_group_capture);
  if (capture_buffer) capture_on.store(true, std::memory_order_release);
  os_unlock_audio();
}

void audio_capture_abandon() {
  os_lock_audio();
  drop_capture_locked();
  os_unlock_audio();
}

bool audio_capture_running() { return capture_on.load(std::memory_order_acquire); }

bool audio_capture_end() {
  os_lock_audio();
  capture_on.store(false, std::memory_order_release);
  buffer_owner data(capture_buffer);
  capture_buffer = nullptr;
  os_unlock_audio();
  if (!data) return true;
  const std::string name = capture_file_name();
  if (name.empty()) return true;
  pfile *f = pfopen(name, "wb");
  if (!f) return true;
  const int64_t n = data->length;
  const bool whole = pfwrite(data->data, 1, n, f) == n;
  if (!pfclose(f) || !whole) return true;
  char text[600];
  snprintf(text, sizeof text, "captured %3.3f seconds: %s", double(n) / (44100.0 * 4), name.c_str());
  notify(text);
  return false;
}
