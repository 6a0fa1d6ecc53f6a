// The mixer's storage, the synthesiser's constant tables and the writers of
// the RAM mirror.
#include "mudo/mudo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

mudo_mixer *mixer = nullptr;
int16_t gain_tri[16384];

// Pan gains on a 4096 = unity scale: left = entry p + 128, right = entry 128 - p.
const int32_t stereo_contrib[256] = {
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941, 911, 881, 851, 821, 791, 761, 731, 701, 671, 641, 610, 580, 550, 519, 489,
    458, 428, 398, 367, 336, 306, 275, 245, 214, 184, 153, 122, 92, 61, 31, 0};

// One octave of note frequencies in Hz, 523 to its double.
const uint64_t mudo_note_dx[13] = {523, 554, 587, 622, 659, 698, 740,
                                   784, 831, 880, 932, 985, 1046};

// (node kind, mval) pairs whose byte values A and B are signed.
const uint8_t mval_signed_dat[5][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 1, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
};

void mudo_wire_channel_outputs(mudo_channel &ch) {
  int slot = ch.index & 31;
  for (int n = 0; n < MUDO_MAX_CHANNEL_NODES; n++) ch.nodes[n].out = mixer->node_output[slot][n];
}

void mudo_clear() {
  for (int c = 0; c < 2 * MUDO_CHANNELS; c++) {
    mudo_channel &ch = mixer->channels[c];
    memset(static_cast<void *>(&ch), 0, sizeof ch);
    ch.index = c;
    ch.instrument = mudo_no_instrument;
    ch.inst_passed = mudo_no_instrument;
    ch.pitch = 48;
    ch.cur_pitch = 48 << 16;
    ch.spt = mudo_tick_samples;
    for (node_state &n : ch.nodes) {
      n.twin = -1;
      n.echo_prev_delay = n.echo_prev_fb = -1;
    }
    mudo_wire_channel_outputs(ch);
  }
  mixer->music = mudo_music_state{};
  mixer->choice_counter = 0;
  mixer->random_state = 0x9E3779B9u;
  memset(mixer->ram, 0, sizeof mixer->ram);
  memset(mixer->ram_held, 0, sizeof mixer->ram_held);
  memset(mixer->node_output, 0, sizeof mixer->node_output);
  memset(mixer->stereo_block, 0, sizeof mixer->stereo_block);
  mixer->last_output_frames = 0;
}

void mudo_init() {
  if (mixer) return;
  for (int k = 0; k < 16384; k++)
    gain_tri[k] = static_cast<int16_t>(k < 8192 ? 32767 - 4 * k : 4 * (k - 8192));
  // Zeroed storage; the atomics are plain words that start at 0.
  mixer = new (std::nothrow) mudo_mixer();
  if (!mixer) {
    printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", "mixer", __FILE__, __LINE__, __func__);
    fflush(stdout);
    abort();
  }
  mudo_clear();
  // The output volume stays 0, silent, until the settings hand over theirs.
}

namespace {

// The mirror's bytes [at, at + n), inside it, may no longer be zeros.
void hold_mirror_pages(int64_t at, int64_t n) {
  if (n <= 0) return;
  for (int64_t p = at / mudo_ram_page_size; p <= (at + n - 1) / mudo_ram_page_size; p++)
    mixer->ram_held[p >> 6] |= uint64_t{1} << (p & 63);
}

}  // namespace

void mudo_memset(int64_t addr, int value, int64_t length) {
  for (int64_t done = 0; done < length;) {
    int64_t at = mudo_wrap(addr + done);
    int64_t n = std::min(length - done, mudo_ram_size - at);
    memset(mixer->ram + at, value & 0xFF, static_cast<size_t>(n));
    hold_mirror_pages(at, n);
    done += n;
  }
}

void mudo_memcpy(int64_t addr, const void *source, int64_t length) {
  const auto *src = static_cast<const uint8_t *>(source);
  for (int64_t done = 0; done < length;) {
    int64_t at = mudo_wrap(addr + done);
    int64_t n = std::min(length - done, mudo_ram_size - at);
    memcpy(mixer->ram + at, src + done, static_cast<size_t>(n));
    hold_mirror_pages(at, n);
    done += n;
  }
}

uint32_t mudo_rand() {
  // xorshift32: the audio thread must not share libc's generator.
  uint32_t x = mixer->random_state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  mixer->random_state = x;
  return x & 0x7FFFFFFF;
}
