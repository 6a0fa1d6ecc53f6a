// Sprites, blits and maps: the sprite slots of a process, sprites drawn
// through the sprite pixel rule, raw element copies between bitmaps and from
// another process's RAM, and maps drawn as tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/draw_state.h"
#include "gfx/tline.h"

struct process;
struct userdata;

constexpr int sprite_slot_count = 16384;
constexpr int64_t sprite_number_mask = 0x1FFF;  // _set_spr, map cells and textures
constexpr int32_t ram_sprite_flags = 0xC000;     // one flag byte per sprite number & 0x1FFF
constexpr int32_t ram_map_tile_w = 0x550E;       // u8 each, 0 meaning 256
constexpr int32_t ram_map_tile_h = 0x550F;
constexpr int32_t ram_print_map_flags = 0x5F36;  // bit 3: map cells of slot 0 are drawn

/* ---------------------------------------------------------------------- */
/* sprite slots                                                           */
/* ---------------------------------------------------------------------- */

// The shared empty sprite: a 16 x 16 u8 bitmap of zeros, never written.
userdata *get_null_sprite();
// The bitmap of slot n of P, or null (n outside 0..16383, or a slot not set).
userdata *sprite_slot(const process *P, int64_t n);
// The key that anchors the bitmap of slot n & 0x1FFF (the slot's address; the
// slots are made here when P has none yet).
const void *sprite_slot_key(process *P, int64_t n);
// Sets slot n & 0x1FFF; a null bitmap sets the empty sprite. The caller anchors
// a bitmap under sprite_slot_key first, and drops the anchor for the empty one.
void set_sprite_slot(process *P, int64_t n, userdata *bitmap);
// A Lua block of P's state is being freed: slots naming a bitmap inside it
// become empty. Charges the scan, which only a block some slot names costs.
void sprite_slots_block_freed(process *P, const void *block, size_t size);

/* ---------------------------------------------------------------------- */
/* drawing                                                                */
/* ---------------------------------------------------------------------- */

// The whole sprite at (dx, dy) of the canvas (the sprite masks: sprite_canvas),
// mirrored as asked. Returns visible columns x visible rows.
int64_t draw_spr(const userdata *sprite, const canvas &c, int64_t dx, int64_t dy, bool flip_x,
                 bool flip_y);

// Copies a w x h block of elements from src (sx, sy) to dst (dx, dy), clipped
// to the rectangle cx0..cx1 x cy0..cy1 of dst (inside it). The same bitmap
// may be both: the result is that of a move. Returns the cost figure (the
// caller charges it / 64).
struct clip_rect {
  int64_t x0, y0, x1, y1;
};
int64_t blit(const userdata *src, userdata *dst, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
             int64_t w, int64_t h, clip_rect clip);

// Copies a w x h window of another process's RAM, rows `stride` bytes apart
// from address + sx + stride x sy (wrapping in 16 MB), into the canvas at
// (dx, dy) without any pixel rule. Bytes beyond a page's mapped length come as
// 8; with a non-zero mask, source bytes that share no bit with it are not
// written. Never allocates a page of `from`. Returns visible width x rows / 4
// and the rows copied.
struct ram_blit {
  int64_t cost = 0;
  int64_t rows = 0;
};
ram_blit blit_from_ram(const process *from, int64_t address, int64_t stride, const canvas &c,
                      int64_t sx, int64_t sy, int64_t dx, int64_t dy, int64_t w, int64_t h,
                      uint8_t mask);

// _draw_map: cells cx, cy, cw x ch of the i16 map at (sx, sy) of the canvas
// (camera already applied), tiles tw x th, skipping cells whose sprite flags
// share no bit with a non-zero mask. `cells` gets the cells of the visible
// rectangle (2 cycles each); `tiles` the pixels of the tiles and the textured
// lines of those drawn as lines.
struct map_draw {
  int64_t cells = 0;
  line_draw tiles;
};
map_draw draw_map(const process *P, const userdata *map, const canvas &c, int64_t cx, int64_t cy,
                  int64_t cw, int64_t ch, int64_t sx, int64_t sy, int64_t tw, int64_t th,
                  int64_t mask);
