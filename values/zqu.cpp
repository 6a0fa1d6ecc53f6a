// zqu: binary userdata items, raw or run-length coded.
#include "values/zqu.h"

#include <algorithm>
#include <cstring>

#include "lua.hpp"

namespace {

uint32_t read_u32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The move-to-front state: val[s] is the value slot s holds, slot[] the slot
// numbers, most recently used first. Only slots 0..M-1 and the first M entries
// of slot[] take part. Local to one item, so coding is reentrant.
struct mtf_tables {
  uint8_t val[256];
  uint8_t slot[256];
  int M;
  explicit mtf_tables(int m) : M(m) {
    for (int i = 0; i < 256; i++) val[i] = slot[i] = static_cast<uint8_t>(i);
  }
  void touch(int j) {
    int p = 0;
    while (p < M && slot[p] != j) p++;
    if (p == M) return;  // cannot happen: the first M entries are the M slots
    memmove(slot + 1, slot, static_cast<size_t>(p));
    slot[0] = static_cast<uint8_t>(j);
  }
  // A value the slots do not hold replaces the least recently used one.
  void replace_oldest(uint8_t v) { val[slot[M - 1]] = v; }
};

}  // namespace

bool read_zqu_header(std::span<const uint8_t> item, zqu_header *h) {
  if (item.size() < 6 || memcmp(item.data(), "zqu", 4) != 0) return false;
  const uint8_t *p = item.data();
  if ((p[5] >> 4) == 0) {
    // Legacy: u32 width, height, depth, then the type byte.
    if (item.size() < 17) return false;
    *h = {p[16], 2, read_u32(p + 4), read_u32(p + 8), read_u32(p + 12), 0, 17};
    return true;
  }
  h->utype = p[4] & 0x3F;
  h->dims = (p[4] >> 6) + 1;
  h->mode = p[5];
  size_t field = (p[5] & zqu_mode_wide_sizes) ? 4 : 1;
  size_t at = 6;
  int64_t sizes[3] = {1, 1, 1};
  for (int i = 0; i < std::min(h->dims, 3); i++) {
    if (item.size() - at < field) return false;
    sizes[i] = field == 4 ? read_u32(p + at) : p[at];
    at += field;
  }
  h->width = sizes[0];
  h->height = sizes[1];
  h->depth = sizes[2];
  h->header_bytes = at;
  return true;
}

int64_t zqu_encode_coded(const uint8_t *data, int64_t n, int W, buffer *out) {
  int64_t before = out->position;
  const int M = (1 << W) - 1, R = (1 << (8 - W)) - 1;
  mtf_tables t(M);
  bwrite_uint8(static_cast<uint8_t>(W), out);
  for (int64_t at = 0; at < n;) {
    uint8_t v = data[at];
    int64_t run = 1;
    while (at + run < n && data[at + run] == v) run++;
    int r = static_cast<int>(std::min<int64_t>(run - 1, R));
    int j = 0;
    while (j < M && t.val[j] != v) j++;
    if (j < M) {
      bwrite_uint8(static_cast<uint8_t>(r << W | j), out);
      t.touch(j);
    } else {
      bwrite_uint8(static_cast<uint8_t>(r << W | M), out);
      bwrite_uint8(v, out);
      t.replace_oldest(v);
    }
    if (run - 1 >= R) {
      for (int64_t e = run - 1 - R;; e -= 255) {
        bwrite_uint8(static_cast<uint8_t>(std::min<int64_t>(e, 255)), out);
        if (e < 255) break;
      }
    }
    at += run;
  }
  return out->position - before;
}

int64_t zqu_decode_coded(std::span<const uint8_t> in, uint8_t *out, int64_t n) {
  size_t at = 0;
  if (in.empty()) return -1;
  int W = in[at++];
  if (W < zqu_width_min || W > zqu_width_max) return -1;
  const int M = (1 << W) - 1, R = (1 << (8 - W)) - 1;
  mtf_tables t(M);
  for (int64_t pos = 0; pos < n;) {
    if (at >= in.size()) return -1;
    int token = in[at++];
    int i = token & M;
    int64_t r = token >> W;
    uint8_t v;
    if (i < M) {
      v = t.val[i];
      t.touch(i);
    } else {
      if (at >= in.size()) return -1;
      v = in[at++];
      t.replace_oldest(v);
    }
    if (r == R) {
      uint8_t e;
      do {
        if (at >= in.size()) return -1;
        e = in[at++];
        r += e;
      } while (e == 255);
    }
    // A run never writes past the last element.
    int64_t k = std::min(r + 1, n - pos);
    memset(out + pos, v, static_cast<size_t>(k));
    pos += k;
  }
  return static_cast<int64_t>(at);
}

int64_t write_binary_zqu(const userdata *ud, buffer *buf, int W) {
  int64_t before = buf->position;
  int dims = std::clamp<int>(ud->dims, 1, 3);
  bool wide = ud->width >= 256 || ud->height >= 256 || ud->depth >= 256;
  bwrite("zqu", 1, 4, buf);
  bwrite_uint8(static_cast<uint8_t>((dims - 1) << 6 | (ud->utype & 0x3F)), buf);
  uint8_t mode = (W ? zqu_mode_coded : zqu_mode_raw) | (wide ? zqu_mode_wide_sizes : 0);
  bwrite_uint8(mode, buf);
  const uint32_t sizes[3] = {ud->width, ud->height, ud->depth};
  for (int i = 0; i < dims; i++) {
    if (wide) bwrite_uint32(sizes[i], buf);
    else bwrite_uint8(static_cast<uint8_t>(sizes[i]), buf);
  }
  if (W) zqu_encode_coded(ud_elements(ud), ud_count(ud), W, buf);
  else bwrite(ud_elements(ud), 1, ud_count(ud), buf);
  return buf->position - before;
}

const uint8_t *get_binary_zqu(lua_State *L, const uint8_t *item, const uint8_t *end) {
  if (!item || end < item) return nullptr;
  std::span<const uint8_t> all(item, static_cast<size_t>(end - item));
  zqu_header h;
  if (!read_zqu_header(all, &h)) return nullptr;
  userdata *ud = create_userdata(L, get_utype_string(h.utype), h.dims, h.width, h.height, h.depth);
  if (!ud) return nullptr;
  std::span<const uint8_t> body = all.subspan(h.header_bytes);
  int64_t n = ud_count(ud);
  int form = h.mode >> 4;
  if (form == 0 || form == 2) {
    int64_t used = zqu_decode_coded(body, ud_elements(ud), n);
    if (used < 0) {
      lua_pop(L, 1);
      return nullptr;
    }
    return body.data() + used;
  }
  if (form == 1) {
    if (static_cast<int64_t>(body.size()) < n) {
      lua_pop(L, 1);
      return nullptr;
    }
    memcpy(ud_elements(ud), body.data(), static_cast<size_t>(n));
    return body.data() + n;
  }
  return body.data();  // an unknown form: the userdata stays zero
}
