// buffer: the system's one growable byte store.
#include "kernel/buffer.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/held_memory.h"

// Atomic because the audio capture buffer grows on the audio thread while the
// main thread creates and destroys others. Plain statistics: relaxed is enough.
static std::atomic<int64_t> total_buffer_allocation{0};
static std::atomic<int32_t> total_num_buffers{0};
static std::atomic<int32_t> buffer_group_count[128];

static constexpr int64_t max_capacity = buffer_max_length + 1;

// A tag outside 0..127 stays on the buffer but is counted in no group, so a
// stray tag never inflates a real group's count.
static std::atomic<int32_t> *group_counter(int group) {
  return group >= 0 && group < 128 ? &buffer_group_count[group] : nullptr;
}

static buffer *new_buffer(int64_t capacity, int group) {
  if (capacity < 1 || capacity > max_capacity) return nullptr;
  buffer *buf = static_cast<buffer *>(malloc(sizeof(buffer)));
  if (!buf) return nullptr;
  buf->data = static_cast<uint8_t *>(calloc(static_cast<size_t>(capacity), 1));
  if (!buf->data) {
    free(buf);
    return nullptr;
  }
  buf->capacity = static_cast<uint64_t>(capacity);
  buf->group = group;
  buf->length = buf->position = 0;
  buf->charged_to = 0;
  total_buffer_allocation.fetch_add(capacity, std::memory_order_relaxed);
  total_num_buffers.fetch_add(1, std::memory_order_relaxed);
  if (auto *c = group_counter(group)) c->fetch_add(1, std::memory_order_relaxed);
  return buf;
}

// End of n bytes written from `from`, or -1 when that passes the size limit
// (or either is negative). Every writer goes through here before growing.
static int64_t write_end(int64_t from, int64_t n) {
  return from >= 0 && n >= 0 && n <= buffer_max_length - from ? from + n : -1;
}

// Out of line, so that the byte writers' common path stays a few instructions.
[[gnu::noinline]] static bool grow(buffer *buf, int64_t need, int64_t want) {
  int64_t cap = std::clamp(want, need, max_capacity);
  int64_t had = static_cast<int64_t>(buf->capacity);
  if (buf->charged_to != 0) {
    // A charged buffer grows only as far as its holder may still hold.
    int64_t room = host_memory_room(buf->charged_to);
    if (need - had > room) return false;
    cap = std::min(cap, had + room);
    if (!charge_host_memory(buf->charged_to, cap - had)) return false;
  }
  auto *data = static_cast<uint8_t *>(realloc(buf->data, static_cast<size_t>(cap)));
  if (!data) {
    charge_host_memory(buf->charged_to, had - cap);
    return false;
  }
  int64_t added = cap - had;
  memset(data + buf->capacity, 0, static_cast<size_t>(added));
  buf->data = data;
  buf->capacity = static_cast<uint64_t>(cap);
  total_buffer_allocation.fetch_add(added, std::memory_order_relaxed);
  return true;
}

// Room for content up to `end` plus its NUL; when short, grows to `want`
// (never below the need, never past the limit). False leaves buf as it was.
static inline bool reserve(buffer *buf, int64_t end, int64_t want) {
  if (end < 0) return false;
  if (static_cast<uint64_t>(end) < buf->capacity) return true;
  return grow(buf, end + 1, want);
}

// A positioned write that ended at `end`.
static inline void wrote_to(buffer *buf, int64_t end) {
  buf->position = static_cast<int32_t>(end);
  if (buf->length < buf->position) buf->length = buf->position;
}

// size x count, or -1 when a factor is negative or the product overflows.
static int64_t byte_count(int64_t size, int64_t count) {
  int64_t n;
  if (size < 0 || count < 0 || __builtin_mul_overflow(size, count, &n)) return -1;
  return n;
}

static const char hex_lower[] = "0123456789abcdef";

static int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

/* ---------------------------------------------------------------------- */
/* creation and release                                                   */
/* ---------------------------------------------------------------------- */

buffer *create_buffer_2(int64_t size, int group) {
  if (size > buffer_max_length) return nullptr;
  return new_buffer(std::max<int64_t>(size, 0) + 1, group);
}

buffer *create_buffer_from_str(const char *text) {
  if (!text) return nullptr;
  size_t len = strlen(text);
  if (len > static_cast<size_t>(buffer_max_length)) return nullptr;
  buffer *buf = new_buffer(std::min<int64_t>(static_cast<int64_t>(len) + 2, max_capacity), 88);
  if (!buf) return nullptr;
  memcpy(buf->data, text, len);
  buf->length = buf->position = static_cast<int32_t>(len);
  return buf;
}

buffer *create_buffer_from_buffer(const buffer *src) {
  return create_buffer_from_buffer_2(src, 89);
}

buffer *create_buffer_from_buffer_2(const buffer *src, int group) {
  if (!src || src->length < 0) return nullptr;
  int64_t cap = static_cast<int64_t>(std::min<uint64_t>(src->capacity, max_capacity - 1)) + 1;
  buffer *buf = new_buffer(cap, group);
  if (!buf) return nullptr;
  memcpy(buf->data, src->data, static_cast<size_t>(src->length));
  buf->length = src->length;
  return buf;
}

buffer *create_buffer_from_file(const char *host_path) {
  // One block for every file read; files are read on the main thread only.
  static uint8_t scratch[16384];
  std::unique_ptr<FILE, int (*)(FILE *)> f(host_path ? fopen(host_path, "rb") : nullptr, fclose);
  if (!f) return nullptr;
  // A host folder opens fine on some hosts and then reads as nothing.
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  buffer_owner buf(create_buffer_2(4096, 117));
  if (!buf) return nullptr;
  size_t n;
  while ((n = fread(scratch, 1, sizeof scratch, f.get())) > 0) {
    int64_t end = write_end(buf->length, static_cast<int64_t>(n));
    if (!reserve(buf.get(), end, 2 * (end + 1))) return nullptr;
    memcpy(buf->data + buf->length, scratch, n);
    buf->length = static_cast<int32_t>(end);
  }
  // A read error would otherwise pass a truncated file off as the whole.
  if (ferror(f.get())) return nullptr;
  buf->position = buf->length;
  return buf.release();
}

void destroy_buffer(buffer *buf) {
  if (!buf) return;
  charge_host_memory(buf->charged_to, -static_cast<int64_t>(buf->capacity));
  total_buffer_allocation.fetch_sub(static_cast<int64_t>(buf->capacity), std::memory_order_relaxed);
  total_num_buffers.fetch_sub(1, std::memory_order_relaxed);
  if (auto *c = group_counter(buf->group)) c->fetch_sub(1, std::memory_order_relaxed);
  free(buf->data);
  free(buf);
}

bool bcharge_to_current(buffer *buf) {
  if (!buf) return false;
  return buf->charged_to != 0 || bcharge_to(buf, current_memory_holder());
}

bool bcharge_to(buffer *buf, int64_t holder) {
  if (!buf) return false;
  if (buf->charged_to == holder) return true;
  auto bytes = static_cast<int64_t>(buf->capacity);
  if (!charge_host_memory(holder, bytes)) return false;
  charge_host_memory(buf->charged_to, -bytes);
  buf->charged_to = holder;
  return true;
}

bool ballocate(buffer *buf, int64_t n) {
  if (!buf || n > buffer_max_length) return false;
  return n < 0 || reserve(buf, n, 2 * (n + 1));
}

void bclear(buffer *buf) {
  if (!buf) return;
  buf->length = buf->position = 0;
}

char *to_cstr(buffer *buf) {
  if (!buf) return nullptr;
  buf->data[buf->length] = 0;
  return reinterpret_cast<char *>(buf->data);
}

int64_t get_total_buffer_allocation() {
  return total_buffer_allocation.load(std::memory_order_relaxed);
}

int32_t get_total_num_buffers() {
  return total_num_buffers.load(std::memory_order_relaxed);
}

int32_t get_buffer_group_count(int group) {
  auto *c = group_counter(group);
  return c ? c->load(std::memory_order_relaxed) : 0;
}

/* ---------------------------------------------------------------------- */
/* writers                                                                */
/* ---------------------------------------------------------------------- */

int64_t bwrite(const void *src, int64_t size, int64_t count, buffer *buf) {
  int64_t n = byte_count(size, count);
  if (!buf || !src || n <= 0) return 0;
  int64_t end = write_end(buf->position, n);
  if (!reserve(buf, end, 2 * (end + 1))) return 0;
  memcpy(buf->data + buf->position, src, static_cast<size_t>(n));
  wrote_to(buf, end);
  return n;
}

// The path of bwrite_uint8 that needs room first.
void bwrite_uint8_grow(uint8_t v, buffer *buf) {
  if (!buf) return;
  int64_t end = write_end(buf->position, 1);
  if (!reserve(buf, end, 2 * int64_t{buf->position} + 4)) return;
  buf->data[buf->position] = v;
  wrote_to(buf, end);
}

void bwrite_uint32(uint32_t v, buffer *buf) {
  if (!buf) return;
  int64_t end = write_end(buf->position, 4);
  if (!reserve(buf, end, 2 * int64_t{buf->position} + 10)) return;
  uint8_t *p = buf->data + buf->position;
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
  wrote_to(buf, end);
}

void bwrite_uint8_as_hex(uint8_t v, buffer *buf) {
  if (!buf) return;
  int64_t end = write_end(buf->position, 2);
  if (!reserve(buf, end, 2 * int64_t{buf->position} + 6)) return;
  buf->data[buf->position] = static_cast<uint8_t>(hex_lower[v >> 4]);
  buf->data[buf->position + 1] = static_cast<uint8_t>(hex_lower[v & 15]);
  wrote_to(buf, end);
}

int64_t bappend_bytes(buffer *buf, const void *src, int64_t n) {
  if (!buf || (!src && n != 0)) return 0;
  int64_t end = write_end(buf->length, n);
  if (!reserve(buf, end, 2 * (end + 1))) return 0;
  if (n > 0) memcpy(buf->data + buf->length, src, static_cast<size_t>(n));
  buf->length = buf->position = static_cast<int32_t>(end);
  buf->data[end] = 0;
  return n;
}

int64_t bappend_str(buffer *buf, const char *text) {
  if (!text) return 0;
  return bappend_bytes(buf, text, static_cast<int64_t>(strlen(text)));
}

void bwrite_int16_as_hex(int32_t v, buffer *buf) {
  char s[8];
  snprintf(s, sizeof s, "%04x", static_cast<unsigned>(v & 0xffff));
  bappend_str(buf, s);
}

void bwrite_int32_as_hex(int32_t v, buffer *buf) {
  char s[12];
  snprintf(s, sizeof s, "%08x", static_cast<uint32_t>(v));
  bappend_str(buf, s);
}

void bwrite_int64_as_hex(int64_t v, buffer *buf) {
  char s[20];
  auto u = static_cast<uint64_t>(v);
  snprintf(s, sizeof s, "%08x%08x", static_cast<uint32_t>(u >> 32), static_cast<uint32_t>(u));
  bappend_str(buf, s);
}

// Bytes each escaping turns one byte into.
static int64_t event_escape_size(uint8_t c) {
  return c < 32 || c > 127 || c == '\\' || c == '"' ? 4 : 1;
}

static int64_t tuk_escape_size(uint8_t c) {
  if (c == '\n' || c == '\\' || c == '"') return 2;
  return c == ']' || c < 32 || c > 126 ? 4 : 1;
}

static uint8_t *put_decimal_escape(uint8_t *p, uint8_t c) {
  *p++ = '\\';
  *p++ = static_cast<uint8_t>('0' + c / 100);
  *p++ = static_cast<uint8_t>('0' + c / 10 % 10);
  *p++ = static_cast<uint8_t>('0' + c % 10);
  return p;
}

// Sizes a whole escaped write before any byte is written, so that a refused
// one writes nothing. The capacity reached is what growing piece by piece to
// want(piece start, piece end) would reach. Returns the end, or -1.
template <class Size, class Want>
static int64_t reserve_escaped(buffer *buf, int64_t from, const uint8_t *s, int64_t n,
                               Size size, Want want) {
  int64_t end = from;
  int64_t cap = static_cast<int64_t>(buf->capacity);
  for (int64_t i = 0; i < n; i++) {
    int64_t piece_end = write_end(end, size(s[i]));
    if (piece_end < 0) return -1;
    if (piece_end >= cap) cap = std::clamp(want(end, piece_end), piece_end + 1, max_capacity);
    end = piece_end;
  }
  return reserve(buf, end, cap) ? end : -1;
}

int64_t bappend_str_escaped(buffer *buf, const char *text) {
  if (!buf || !text) return 0;
  auto s = reinterpret_cast<const uint8_t *>(text);
  auto n = static_cast<int64_t>(strlen(text));
  int64_t end = reserve_escaped(buf, buf->length, s, n, event_escape_size,
                                [](int64_t at, int64_t) { return 2 * at + 4; });
  if (end < 0) return 0;
  uint8_t *p = buf->data + buf->length;
  for (int64_t i = 0; i < n; i++) {
    if (event_escape_size(s[i]) == 1) *p++ = s[i];
    else p = put_decimal_escape(p, s[i]);
  }
  int64_t written = end - buf->length;
  buf->length = buf->position = static_cast<int32_t>(end);
  buf->data[end] = 0;
  return written;
}

int64_t bwrite_escaped_string(const char *src, buffer *buf, int64_t n) {
  if (!buf || !src || n <= 0) return 0;
  auto s = reinterpret_cast<const uint8_t *>(src);
  int64_t end = reserve_escaped(buf, buf->position, s, n, tuk_escape_size,
                                [](int64_t, int64_t piece_end) { return 2 * (piece_end + 1); });
  if (end < 0) return 0;
  uint8_t *p = buf->data + buf->position;
  for (int64_t i = 0; i < n; i++) {
    uint8_t c = s[i];
    switch (tuk_escape_size(c)) {
      case 1: *p++ = c; break;
      case 2: *p++ = '\\'; *p++ = c == '\n' ? 'n' : c; break;
      default: p = put_decimal_escape(p, c); break;
    }
  }
  int64_t written = end - buf->position;
  wrote_to(buf, end);
  buf->data[buf->length] = 0;
  return written;
}

/* ---------------------------------------------------------------------- */
/* readers                                                                */
/* ---------------------------------------------------------------------- */

// Bytes left to read, never negative (the position is a public field).
static int64_t bytes_left(const buffer *buf) {
  if (buf->position < 0) return 0;
  return std::max<int64_t>(int64_t{buf->length} - buf->position, 0);
}

uint8_t bread_uint8(buffer *buf) {
  if (!buf || bytes_left(buf) < 1) return 0;
  return buf->data[buf->position++];
}

uint32_t bread_uint32(buffer *buf) {
  if (!buf || bytes_left(buf) < 4) return 0;
  const uint8_t *p = buf->data + buf->position;
  buf->position += 4;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int64_t bread(void *dst, int64_t size, int64_t count, buffer *buf) {
  int64_t n = byte_count(size, count);
  if (!buf || !dst || n <= 0) return 0;
  n = std::min(n, bytes_left(buf));
  if (n > 0) {
    memcpy(dst, buf->data + buf->position, static_cast<size_t>(n));
    buf->position += static_cast<int32_t>(n);
  }
  return n;
}

uint8_t bread_uint8_hex(buffer *buf) {
  if (!buf || bytes_left(buf) < 2) return 0;
  const uint8_t *p = buf->data + buf->position;
  buf->position += 2;
  return static_cast<uint8_t>(hex_digit(p[0]) << 4 | hex_digit(p[1]));
}

buffer *breadln(buffer *buf, buffer *into) {
  if (into) bclear(into);
  else if (!(into = create_buffer_2(16, 82))) return nullptr;
  to_cstr(into);
  if (!buf || bytes_left(buf) == 0) return into;
  const uint8_t *start = buf->data + buf->position;
  const uint8_t *end = start + bytes_left(buf);
  const uint8_t *p = start;
  int64_t eol = 0;
  for (; p < end; p++) {
    if (*p == '\n') { eol = 1; break; }
    if (*p == '\r' && p + 1 < end && p[1] == '\n') { eol = 2; break; }
  }
  int64_t n = p - start;
  if (bappend_bytes(into, start, n) != n) return into;  // out of memory: stay put
  buf->position += static_cast<int32_t>(n + eol);
  return into;
}

void bcrop(buffer *buf, int64_t start, int64_t count) {
  if (!buf || start < 0) return;
  int64_t kept = 0;
  if (start < buf->length) kept = std::clamp<int64_t>(count, 0, buf->length - start);
  if (kept > 0) memmove(buf->data, buf->data + start, static_cast<size_t>(kept));
  memset(buf->data + kept, 0, static_cast<size_t>(buf->capacity - static_cast<uint64_t>(kept)));
  buf->length = static_cast<int32_t>(kept);
  buf->position = kept > 0 && buf->position > start ? static_cast<int32_t>(buf->position - start) : 0;
}

/* ---------------------------------------------------------------------- */
/* hex text                                                               */
/* ---------------------------------------------------------------------- */

// A NUL before the last digit gives 0, with the cursor after what was used.
static uint64_t read_hex_digits(const char **cursor, int digits) {
  if (!cursor || !*cursor) return 0;
  uint64_t v = 0;
  for (int i = 0; i < digits; i++) {
    char c = **cursor;
    if (c == 0) return 0;
    v = v << 4 | static_cast<uint64_t>(hex_digit(static_cast<unsigned char>(c)));
    ++*cursor;
  }
  return v;
}

uint8_t read_u8_from_hex_str(const char **cursor) {
  return static_cast<uint8_t>(read_hex_digits(cursor, 2));
}

int16_t read_i16_from_hex_str(const char **cursor) {
  return static_cast<int16_t>(read_hex_digits(cursor, 4));
}

int32_t read_i32_from_hex_str(const char **cursor) {
  return static_cast<int32_t>(read_hex_digits(cursor, 8));
}

int64_t read_i64_from_hex_str(const char **cursor) {
  return static_cast<int64_t>(read_hex_digits(cursor, 16));
}

const char *escape_lua_string(const char *text, int64_t *length) {
  static buffer *escaped;
  if (length) *length = 0;
  if (!escaped && !(escaped = create_buffer_2(1024, 69))) return nullptr;
  bclear(escaped);
  bappend_str_escaped(escaped, text ? text : "");
  if (length) *length = escaped->length;
  return to_cstr(escaped);
}
