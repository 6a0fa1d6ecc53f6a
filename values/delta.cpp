// delta: making and applying deltas between byte strings.
#include "values/delta.h"

#include <lz4.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "platform/host_log.h"
#include "values/crc32.h"

namespace {

constexpr int lookup_bits = 15;
constexpr uint32_t lookup_empty = UINT32_MAX; // no source offset reaches it
constexpr int64_t min_copy = 8;
constexpr int64_t hashed_tail = 31; // bytes a hashed position needs after it
constexpr int64_t header_size = 12;
constexpr int64_t outer_header_size = 8;
// Destination bytes scanned between two progress reports.
constexpr int64_t progress_step = 65536;

uint32_t load_u32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void report(const delta_progress &progress, int64_t bytes) {
  if (progress && bytes > 0) progress(bytes);
}

// The inner stream as it is built: a buffer charged to the process.
struct stream {
  buffer_owner buf;
  bool ok = true;
  void put(const void *p, int64_t n) {
    if (ok && n > 0 && bwrite(p, 1, n, buf.get()) != n) ok = false;
  }
};

// A new buffer of `size` bytes of room, charged to the current process.
buffer_owner held_buffer(int64_t size) {
  if (size + 1 > host_memory_room(current_memory_holder())) return nullptr;
  buffer_owner b(create_buffer_2(size, delta_buffer_group));
  if (b && !bcharge_to_current(b.get())) b.reset();
  return b;
}

void put_u32(stream &out, uint32_t v) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  out.put(b, 4);
}

void put_length(stream &out, int64_t n) {
  if (n < 255) {
    uint8_t b = uint8_t(n);
    out.put(&b, 1);
  } else {
    uint8_t b = 255;
    out.put(&b, 1);
    put_u32(out, uint32_t(n));
  }
}

// Two bytes, three apart: cheap, and enough to find moved stretches.
uint32_t match_hash(const uint8_t *p) {
  return ((uint32_t(p[0]) + 64 * uint32_t(p[3])) * 627) & ((1u << lookup_bits) - 1);
}

// Equal leading bytes of a and b, at most max; eight at a time.
int64_t match_length(const uint8_t *a, const uint8_t *b, int64_t max) {
  int64_t n = 0;
  while (max - n >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      int bit = std::endian::native == std::endian::little ? __builtin_ctzll(x ^ y)
                                                           : __builtin_clzll(x ^ y);
      return n + bit / 8;
    }
    n += 8;
  }
  while (n < max && a[n] == b[n]) n++;
  return n;
}

// Sampled source positions by hash, the first occurrence winning. Sampling
// sparser for large destinations keeps big files quick to diff.
void fill_lookup(std::vector<uint32_t> &lookup, const uint8_t *src, int64_t s, int64_t d) {
  if (s < 32) return;
  int64_t step = d >> 13;
  if (step < 5) step = 4;
  for (int64_t p = 0; p < s - hashed_tail; p += step) {
    uint32_t &slot = lookup[match_hash(src + p)];
    if (slot == lookup_empty) slot = uint32_t(p);
  }
}

// The inner stream: header, then literal and copy records, greedily taking the
// first position (from the end of the last copy) with a match of 8 or more.
void build_inner(const uint8_t *src, int64_t s, const uint8_t *dst, int64_t d, stream &inner,
                 std::vector<uint32_t> &lookup, const delta_progress &progress) {
  report(progress, s + d);  // the two CRCs and the sampled source
  put_u32(inner, uint32_t(d));
  put_u32(inner, crc32b(src, s));
  put_u32(inner, crc32b(dst, d));
  fill_lookup(lookup, src, s, d);

  int64_t pos = 0, reported = 0;
  while (pos < d && inner.ok) {
    int64_t o = pos, t = 0, from = 0;
    bool found = false;
    for (; o < d; o++) {
      if (o - reported >= progress_step) {
        report(progress, o - reported);
        reported = o;
      }
      int64_t in_place = o < s ? match_length(src + o, dst + o, std::min(s - o, d - o)) : 0;
      int64_t hashed = 0, at = 0;
      if (d - o >= hashed_tail) {
        uint32_t b = lookup[match_hash(dst + o)];
        if (b != lookup_empty) {
          at = b;
          hashed = match_length(src + at, dst + o, std::min(s - at, d - o));
        }
      }
      // ties go to the in-place match
      if (hashed > in_place) {
        t = hashed;
        from = at;
      } else {
        t = in_place;
        from = o;
      }
      if (t >= min_copy) {
        found = true;
        break;
      }
    }
    put_length(inner, o - pos);
    inner.put(dst + pos, o - pos);
    if (!found) break;
    put_length(inner, t);
    put_u32(inner, uint32_t(from));
    pos = o + t;
  }
}

// Reads a record length (one byte, or 255 and a u32); false when cut short.
bool take_length(const uint8_t *p, int64_t n, int64_t *at, int64_t *len) {
  if (*at >= n) return false;
  uint8_t b = p[(*at)++];
  if (b < 255) {
    *len = b;
    return true;
  }
  if (n - *at < 4) return false;
  *len = load_u32(p + *at);
  *at += 4;
  return true;
}

// Walks the records after the header, copying into out when it is given.
// *made is the destination length the records produce, or -1 when they are
// cut short or produce more than limit. A copy from outside the source is
// skipped: the result comes out short, which the caller rejects.
void walk_records(const uint8_t *p, int64_t n, const uint8_t *src, int64_t s, int64_t limit,
                  uint8_t *out, int64_t *made) {
  int64_t at = header_size, m = 0;
  *made = -1;
  while (at < n) {
    int64_t lit, len;
    if (!take_length(p, n, &at, &lit) || lit > n - at || lit > limit - m) return;
    if (out && lit > 0) std::memcpy(out + m, p + at, size_t(lit));
    at += lit;
    m += lit;
    if (at == n) break;
    if (!take_length(p, n, &at, &len) || n - at < 4) return;
    int64_t offset = load_u32(p + at);
    at += 4;
    if (offset + len > s) continue; // 64-bit sum: a large offset cannot wrap into range
    if (len > limit - m) return;
    if (out && len > 0) std::memcpy(out + m, src + offset, size_t(len));
    m += len;
  }
  *made = m;
}

} // namespace

buffer *generate_diff(const uint8_t *src, int64_t src_length, const uint8_t *dst,
                      int64_t dst_length, const delta_progress &progress) {
  int64_t s = std::max<int64_t>(src_length, 0);
  int64_t d = std::max<int64_t>(dst_length, 0);
  if (s > UINT32_MAX || d > UINT32_MAX) return nullptr; // offsets and lengths are u32
  memory_hold lookup_hold;
  if (!lookup_hold.hold(int64_t(sizeof(uint32_t)) << lookup_bits)) return nullptr;
  std::vector<uint32_t> lookup(size_t(1) << lookup_bits, lookup_empty);
  stream inner{held_buffer(std::min<int64_t>(d / 4, 1 << 20) + 64)};
  if (!inner.buf) return nullptr;
  build_inner(src, s, dst, d, inner, lookup, progress);
  if (!inner.ok || inner.buf->length > LZ4_MAX_INPUT_SIZE) return nullptr;
  int n = inner.buf->length;
  int bound = LZ4_compressBound(n);
  if (int64_t(bound) + outer_header_size > buffer_max_length) return nullptr;
  report(progress, n);
  buffer_owner out = held_buffer(outer_header_size + bound);
  if (!out) return nullptr;
  int packed = LZ4_compress_default(reinterpret_cast<const char *>(inner.buf->data),
                                    reinterpret_cast<char *>(out->data + outer_header_size), n,
                                    bound);
  if (packed <= 0) return nullptr; // cannot happen with the bound
  std::memcpy(out->data, "dst", 4);
  for (int i = 0; i < 4; i++) out->data[4 + i] = uint8_t(uint32_t(n) >> (8 * i));
  out->length = int32_t(outer_header_size + packed);
  out->position = 0;
  return out.release();
}

buffer *apply_diff(const uint8_t *src, int64_t src_length, const uint8_t *delta,
                   int64_t delta_length, const delta_progress &progress) {
  int64_t s = std::max<int64_t>(src_length, 0);
  int64_t n = std::max<int64_t>(delta_length, 0);
  bool outer = n >= 4 && std::memcmp(delta, "dst", 4) == 0;
  const uint8_t *stream = delta;
  memory_hold inner_hold;
  std::unique_ptr<uint8_t[]> inner;
  if (outer) {
    if (n < outer_header_size) return nullptr;
    int64_t packed = n - outer_header_size;
    if (packed > INT_MAX) return nullptr;
    // LZ4 expands a block at most 255 times: a larger stated length is a lie.
    int64_t room = std::min<int64_t>({load_u32(delta + 4), packed * 255 + 64, INT_MAX});
    if (!inner_hold.hold(std::max<int64_t>(room, 1))) return nullptr;
    report(progress, room);
    inner.reset(new (std::nothrow) uint8_t[size_t(std::max<int64_t>(room, 1))]);
    if (!inner) return nullptr;
    int got = LZ4_decompress_safe(reinterpret_cast<const char *>(delta + outer_header_size),
                                  reinterpret_cast<char *>(inner.get()), int(packed), int(room));
    if (got < 0) return nullptr;
    stream = inner.get();
    n = got;
  }
  if (n < header_size) return nullptr;

  report(progress, s);
  int64_t dst_length = load_u32(stream);
  if (load_u32(stream + 4) != crc32b(src, s)) {
    hovi_debugf("** apply_delta: failed src crc (dst marker: %d)\n", outer ? 1 : 0);
    return nullptr;
  }
  if (dst_length > buffer_max_length) return nullptr;
  // Measure before allocating, so the stated length is only trusted once the
  // records are known to produce exactly that.
  int64_t made;
  report(progress, n);
  walk_records(stream, n, src, s, dst_length, nullptr, &made);
  if (made != dst_length) return nullptr;
  buffer_owner out = held_buffer(dst_length);
  if (!out) return nullptr;
  report(progress, 2 * dst_length);  // the copies and the result's CRC
  walk_records(stream, n, src, s, dst_length, out->data, &made);
  if (crc32b(out->data, dst_length) != load_u32(stream + 8)) return nullptr;
  out->length = int32_t(dst_length);
  out->position = 0;
  return out.release();
}
