// buffer: the system's one growable byte store (files, data pack records,
// messages, encodings, cartridge images, capture data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Capacity always leaves room for a NUL after the content; bytes past what
// was written are zero. Sizes are computed in 64 bits; a buffer never grows
// past what its 32-bit length can describe (such a write is refused).
struct buffer {
  uint64_t capacity;
  uint8_t *data;
  int32_t group;
  int32_t length;
  int32_t position;
  int64_t charged_to;  // holder its capacity is charged to (kernel/held_memory.h); 0: none
};

// Largest content a buffer may hold (its i32 length, less the NUL).
constexpr int64_t buffer_max_length = INT32_MAX - 1;

// creation and release
buffer *create_buffer_2(int64_t size, int group);
buffer *create_buffer_from_str(const char *text);
buffer *create_buffer_from_buffer(const buffer *src);
buffer *create_buffer_from_buffer_2(const buffer *src, int group);
buffer *create_buffer_from_file(const char *host_path);
void destroy_buffer(buffer *buf);
// Charges the buffer's capacity to the current process (kernel/held_memory.h)
// from now until it is destroyed: it then never grows past what that process
// may still hold (such a write is refused like one past the size limit).
// False, with nothing charged, when even its present capacity does not fit.
bool bcharge_to_current(buffer *buf);
// The same for a given holder; a buffer charged to another one moves over
// (false, charges unchanged, when it does not fit).
bool bcharge_to(buffer *buf, int64_t holder);
bool ballocate(buffer *buf, int64_t n);
void bclear(buffer *buf);
char *to_cstr(buffer *buf);

// statistics (safe to read and update from any thread); a group tag outside
// 0..127 is counted in the totals only, so its group count reads 0
int64_t get_total_buffer_allocation();
int32_t get_total_num_buffers();
int32_t get_buffer_group_count(int group);

// writers: at the position, which they advance; the length becomes at least
// the position. A refused write (size limit) writes nothing and returns 0.
int64_t bwrite(const void *src, int64_t size, int64_t count, buffer *buf);
void bwrite_uint8_grow(uint8_t v, buffer *buf);
// Inline: byte-at-a-time writers (encoders, escapes) call this in their loops.
inline void bwrite_uint8(uint8_t v, buffer *buf) {
  if (buf && buf->position >= 0 && uint64_t(buf->position) + 1 < buf->capacity) {
    buf->data[buf->position++] = v;
    if (buf->length < buf->position) buf->length = buf->position;
    return;
  }
  bwrite_uint8_grow(v, buf);
}
void bwrite_uint32(uint32_t v, buffer *buf);
void bwrite_uint8_as_hex(uint8_t v, buffer *buf);
int64_t bappend_str(buffer *buf, const char *text);
int64_t bappend_bytes(buffer *buf, const void *src, int64_t n);
void bwrite_int16_as_hex(int32_t v, buffer *buf);
void bwrite_int32_as_hex(int32_t v, buffer *buf);
void bwrite_int64_as_hex(int64_t v, buffer *buf);
int64_t bappend_str_escaped(buffer *buf, const char *text);
int64_t bwrite_escaped_string(const char *src, buffer *buf, int64_t n);

// readers: at the position; too few bytes left gives 0 and no move
uint8_t bread_uint8(buffer *buf);
uint32_t bread_uint32(buffer *buf);
int64_t bread(void *dst, int64_t size, int64_t count, buffer *buf);
uint8_t bread_uint8_hex(buffer *buf);
buffer *breadln(buffer *buf, buffer *into);
void bcrop(buffer *buf, int64_t start, int64_t count);

// hex digits of userdata literals, most significant first
uint8_t read_u8_from_hex_str(const char **cursor);
int16_t read_i16_from_hex_str(const char **cursor);
int32_t read_i32_from_hex_str(const char **cursor);
int64_t read_i64_from_hex_str(const char **cursor);

// Escapes text for an event message into one shared buffer; the result stays
// valid until the next call.
const char *escape_lua_string(const char *text, int64_t *length);

struct buffer_deleter {
  void operator()(buffer *buf) const { destroy_buffer(buf); }
};
// Owns a buffer for the length of a scope.
using buffer_owner = std::unique_ptr<buffer, buffer_deleter>;
