// Script-API functions of sprites, blits, maps and textured lines: each takes
// the draw target, reads its arguments, runs one primitive and charges it.
#include "gfx/sprite_api.h"

#include <algorithm>

#include "gfx/binding.h"
#include "gfx/sprites.h"
#include "gfx/tline.h"
#include "kernel/accounting.h"
#include "kernel/process_api.h"
#include "kernel/ram_api.h"

namespace {

using gfx_binding::arg32;
using gfx_binding::arg_x;
using gfx_binding::arg_y;
using gfx_binding::f64_batch;
using gfx_binding::for_each_batch_record;
using gfx_binding::target;

const char sprite_anchor = 0;
constexpr int32_t ram_blit_mask = 0x547D;
constexpr int32_t ram_frame_flags = 0x547F;  // bit 1: no new frame
constexpr int64_t video_address = 0x10000;
constexpr int64_t tline_record_charge = 6;  // a tline3d batch record, besides its pixels

// A sprite argument: a userdata as it is, else slot kvt_intp (default -1)
// when it is 0..16383 and set.
userdata *sprite_arg(lua_State *L, int i) {
  if (userdata *ud = to_userdata(L, i)) return ud;
  return sprite_slot(cproc, kvt_intp(L, i, -1));
}

bool flag_arg(lua_State *L, int i) { return lua_gettop(L) >= i && lua_toboolean(L, i); }

// Whether a box (ends inclusive, a pixel of slack for truncation) can meet the
// clip: a call that cannot is charged without building its canvas.
bool box_meets_clip(double x0, double y0, double x1, double y1) {
  const process *P = cproc;
  return !(std::max(x0, x1) < P->clip_x0 - 1 || std::min(x0, x1) > P->clip_x1 ||
           std::max(y0, y1) < P->clip_y0 - 1 || std::min(y0, y1) > P->clip_y1);
}

// A number argument as it is (not floored); anything else 0.
double number_arg(lua_State *L, int i) { return lua_type(L, i) == LUA_TNUMBER ? lua_tonumber(L, i) : 0; }

// Charges a batch as it goes, so that a huge batch ends at the cpu limit: the
// total is `per_record` a record plus the pixels / divisor.
struct batch_charge {
  lua_State *L;
  int64_t per_record, divisor;
  int64_t pixels = 0, charged_pixels = 0;
  void record(int64_t n) {
    pixels += n;
    int64_t now = pixels / divisor;
    spend_cpu_or_stop(L, per_record + now - charged_pixels);
    charged_pixels = now;
  }
};

}  // namespace

int lua54_spr(lua_State *L) {
  if (!target()) return 0;
  if (const userdata *ud = f64_batch(L)) {
    canvas c = sprite_canvas(cproc);
    batch_charge bc{L, 3, 3};
    for_each_batch_record(L, ud, 5, [&](int64_t start, int64_t per) {
      double v[5] = {};
      for (int64_t j = 0; j < per; j++) v[j] = ud_get_number(ud, start + j);
      // Records are drawn where they say, without the camera.
      const userdata *s = sprite_slot(cproc, floor_to_i64(v[0]));
      bc.record(s ? draw_spr(s, c, saturate_i32(floor_to_i64(v[1])), saturate_i32(floor_to_i64(v[2])),
                             floor_to_i64(v[3]) < 0, floor_to_i64(v[4]) < 0)
                  : 0);
    });
    return 0;
  }
  const userdata *s = sprite_arg(L, 1);
  int64_t x = arg_x(L, 2), y = arg_y(L, 3);
  // No sprite, or none that can meet the clip: nothing drawn, the least charge.
  if (!s || !box_meets_clip(double(x), double(y), double(x + s->width - 1), double(y + int64_t{s->height} * s->depth - 1))) {
    spend_cpu(0);
    return 0;
  }
  spend_cpu(draw_spr(s, sprite_canvas(cproc), x, y, flag_arg(L, 4), flag_arg(L, 5)) / 3);
  return 0;
}

int lua54_sspr(lua_State *L) {
  if (!target()) return 0;
  const userdata *s = sprite_arg(L, 1);
  if (!s) {
    spend_cpu(0);  // nothing drawn, the least charge
    return 0;
  }
  int64_t sx = arg32(L, 2, 0), sy = arg32(L, 3, 0);
  int64_t sw = arg32(L, 4, s->width), sh = arg32(L, 5, int64_t{s->height} * s->depth);
  int64_t dx = arg_x(L, 6), dy = arg_y(L, 7);
  int64_t dw = arg32(L, 8, sw), dh = arg32(L, 9, sh);
  spend_cpu(line_draw_charge(
      draw_sspr(s, sprite_canvas(cproc), sx, sy, sw, sh, dx, dy, dw, dh, flag_arg(L, 10), flag_arg(L, 11))));
  return 0;
}

int lua54_tline3d(lua_State *L) {
  if (!target()) return 0;
  double cam_x = peek4(ram_camera_x), cam_y = peek4(ram_camera_y);
  if (const userdata *ud = f64_batch(L)) {
    canvas c = sprite_canvas(cproc);
    spend_cpu(1);
    // Besides its pixels, each record pays for setting up its line (its
    // divisions and clipping), as a batch of short lines would otherwise buy
    // far more host time than it is charged.
    batch_charge bc{L, tline_record_charge, 1};
    for_each_batch_record(L, ud, 12, [&](int64_t start, int64_t per) {
      // Values as the single form takes them: coordinates are not floored.
      double v[12] = {};
      for (int64_t j = 0; j < per; j++) v[j] = ud_get_number(ud, start + j);
      tline_ends e{v[1] - cam_x, v[2] - cam_y, v[3] - cam_x, v[4] - cam_y, v[5], v[6],
                   per > 7 ? v[7] : v[5] + (v[3] - v[1]), per > 8 ? v[8] : v[6] + (v[4] - v[2]),
                   per > 9 ? v[9] : 1, per > 10 ? v[10] : 1};
      const userdata *tex = sprite_slot(cproc, floor_to_i64(v[0]) & sprite_number_mask);
      bc.record(draw_tline3d(cproc, tex, c, per > 11 ? floor_to_i64(v[11]) : 0, e));
    });
    return 0;
  }
  const userdata *tex = to_userdata(L, 1);
  int nargs = lua_gettop(L);
  if (!tex || nargs < 4) return 0;
  tline_ends e{};
  e.x0 = number_arg(L, 2) - cam_x, e.y0 = number_arg(L, 3) - cam_y;
  e.x1 = number_arg(L, 4) - cam_x, e.y1 = number_arg(L, 5) - cam_y;
  e.u0 = number_arg(L, 6), e.v0 = number_arg(L, 7);
  e.u1 = nargs > 7 && lua_type(L, 8) == LUA_TNUMBER ? lua_tonumber(L, 8) : e.u0 + (e.x1 - e.x0);
  e.v1 = lua_type(L, 9) == LUA_TNUMBER ? lua_tonumber(L, 9) : e.v0 + (e.y1 - e.y0);
  e.w0 = lua_type(L, 10) == LUA_TNUMBER ? lua_tonumber(L, 10) : 1;
  e.w1 = lua_type(L, 11) == LUA_TNUMBER ? lua_tonumber(L, 11) : 1;
  if (!box_meets_clip(e.x0, e.y0, e.x1, e.y1)) {
    spend_cpu(0);
    return 0;
  }
  spend_cpu(draw_tline3d(cproc, tex, sprite_canvas(cproc), kvt_intp(L, 12, 0), e));
  return 0;
}

int lua54_blit(lua_State *L) {
  userdata *draw_target = cproc ? cproc->draw_target : nullptr;
  userdata *src = to_userdata(L, 1), *dst = to_userdata(L, 2);
  if (!src) src = draw_target;
  if (!dst) dst = draw_target;
  if (!src || !dst) return 0;
  // Into the draw target within its clip; into any other bitmap within the whole of it.
  clip_rect clip{0, 0, dst->width, int64_t{dst->height} * dst->depth};
  if (dst == draw_target && refresh_clip(cproc))
    clip = {cproc->clip_x0, cproc->clip_y0, cproc->clip_x1, cproc->clip_y1};
  int64_t sx = arg32(L, 3, 0), sy = arg32(L, 4, 0), dx = arg32(L, 5, 0), dy = arg32(L, 6, 0);
  int64_t w = arg32(L, 7, src->width), h = arg32(L, 8, int64_t{src->height} * src->depth);
  spend_cpu(blit(src, dst, sx, sy, dx, dy, w, h, clip) / 64);
  return 0;
}

int lua54__draw_map(lua_State *L) {
  if (!target()) return 0;
  const userdata *map = to_userdata(L, 1);
  if (!map || (map->utype & utype_mask) != utype_i16) return 0;
  int64_t cx = arg32(L, 2, 0), cy = arg32(L, 3, 0);
  int64_t sx = arg_x(L, 4), sy = arg_y(L, 5);
  int64_t cw = arg32(L, 6, int64_t{map->width} - cx);
  int64_t ch = arg32(L, 7, int64_t{map->height} * map->depth - cy);
  int64_t mask = kvt_intp(L, 8, 0);
  int64_t tw = peek(ram_map_tile_w), th = peek(ram_map_tile_h);
  tw = arg32(L, 9, tw ? tw : 256), th = arg32(L, 10, th ? th : 256);
  map_draw d = draw_map(cproc, map, sprite_canvas(cproc), cx, cy, cw, ch, sx, sy, tw, th, mask);
  spend_cpu(2 * d.cells);
  spend_cpu(line_draw_charge(d.tiles));
  return 0;
}

int lua54__set_spr(lua_State *L) {
  if (!cproc) return 0;
  int64_t n = kvt_intp(L, 1, 0);
  userdata *ud = to_userdata(L, 2);
  const void *key = sprite_slot_key(cproc, n);
  spend_cpu(anchor_cycles);
  // The bitmap is anchored before the slot keeps it, and let go once it does not.
  if (ud) anchor_userdata(L, &sprite_anchor, key, 2);
  set_sprite_slot(cproc, n, ud);
  if (!ud) drop_userdata_anchor(L, &sprite_anchor, key);
  return 0;
}

int lua54__blit_process_video(lua_State *L) {
  if (!target()) return 0;
  process *S = get_process(lua_tointegerx(L, 1, nullptr));
  if (!S || S->state == process_failed) return 0;
  display_size size = process_display_size(S->id);
  int64_t sx = arg32(L, 2, 0), sy = arg32(L, 3, 0);
  int64_t w = arg32(L, 4, size.width), h = arg32(L, 5, size.height);
  int64_t dx = arg32(L, 6, 0), dy = arg32(L, 7, 0);
  if (peek_proc(S, ram_frame_flags) & 2) {
    lua_pushboolean(L, 1);
    return 1;
  }
  auto mask = static_cast<uint8_t>(peek_proc(S, ram_blit_mask));
  ram_blit b = blit_from_ram(S, video_address, size.width, shape_canvas(cproc), sx, sy, dx, dy, w, h, mask);
  // Every copy is charged, a full-screen one too, and each row as well as its
  // pixels, so that no shape of window copies more than its charge buys.
  if (b.rows) spend_cpu((mask ? b.cost / 8 : b.cost / 64) + b.rows);
  return 0;
}
