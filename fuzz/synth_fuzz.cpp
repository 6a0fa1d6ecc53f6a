// Instruments, nodes, envelopes and wavetables of arbitrary bytes in the RAM
// mirror, evaluated and rendered for a few ticks on one channel.
#include <cstdint>
#include <cstring>

#include "mudo/mudo.h"
#include "mudo/params.h"
#include "mudo/render.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  mudo_init();
  if (size < 12) return 0;
  static const char effects[] = {0, 'v', 't', 'w', 'a', 'b', '<', '>', 's', 'f', '+', '-'};
  mudo_channel &ch = mixer->channels[0];
  memset(static_cast<void *>(&ch), 0, sizeof ch);
  ch.spt = mudo_tick_samples;
  mudo_wire_channel_outputs(ch);
  for (node_state &n : ch.nodes) n.twin = -1;
  // The base's high byte may pass 0xF0 (the sequencer clamps it, the renderer must not care).
  ch.base = int32_t{data[0]} << 16;
  ch.instrument = data[1];
  ch.pitch = data[2];
  ch.cur_pitch = int32_t(uint32_t{data[3]} << 24 | uint32_t{data[2]} << 16);
  ch.volume = data[4];
  ch.cur_vol = int32_t(uint32_t{data[4]} << 16 | uint32_t{data[5]} << 24);
  ch.pan = int8_t(data[6]);
  ch.effect = effects[data[7] % sizeof effects];
  ch.param = data[8];
  ch.trk_playing = data[9] & 1;
  ch.trk_speed = data[9] >> 1;
  ch.note_on = 1;
  // The rest is the instrument record (and what follows it); a copy of it also
  // lands where the first wavetable descriptor points.
  const uint8_t *rest = data + 12;
  const int64_t n = int64_t(size) - 12;
  const int64_t inst = mudo_wrap(int64_t{ch.base} + 0x10000 + 512 * int64_t{ch.instrument});
  mudo_memcpy(inst, rest, n);
  const int64_t wave = int64_t{mudo_u16(inst + 0x1E0)} << 8;
  mudo_memcpy(wave, rest, n);

  grab_node_tree(ch);
  prepare_nodes_for_new_instrument(ch);
  start_channel_note(ch);
  const int ticks = 1 + (data[10] & 3);
  for (int t = 0; t < ticks; t++) {
    grab_node_tree(ch);
    evaluate_channel_node_parameters(ch);
    render_channel_tick(ch, t == 1 ? mudo_ramp_samples : mudo_tick_samples);
    if (data[11] & (1 << t)) ch.note_on = 0;  // releases on some ticks
  }
  mudo_memset(inst, 0, n);
  mudo_memset(wave, 0, n);
  return 0;
}
