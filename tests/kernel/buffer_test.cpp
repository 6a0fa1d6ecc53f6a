// Tests for the byte buffer: growth, limits, readers, escapings, counters.
#include "kernel/buffer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

static std::string content(const buffer *b) {
  return std::string(reinterpret_cast<const char *>(b->data), static_cast<size_t>(b->length));
}

TEST(BufferCreate, CapacityAlwaysLeavesRoomForTheNul) {
  buffer_owner zero(create_buffer_2(0, 1)), negative(create_buffer_2(-5, 1));
  EXPECT_EQ(zero->capacity, 1u);
  EXPECT_EQ(negative->capacity, 1u);
  EXPECT_EQ(create_buffer_2(buffer_max_length + 1, 1), nullptr);

  buffer_owner s(create_buffer_from_str("hello"));
  EXPECT_EQ(s->capacity, 7u);
  EXPECT_EQ(s->length, 5);
  EXPECT_EQ(s->position, 5);
  EXPECT_EQ(s->group, 88);

  buffer_owner copy(create_buffer_from_buffer(s.get()));
  EXPECT_EQ(copy->capacity, 8u);
  EXPECT_EQ(content(copy.get()), "hello");
  EXPECT_EQ(copy->position, 0);
  EXPECT_EQ(copy->group, 89);
}

TEST(BufferCreate, CountersFollowLiveBuffers) {
  int64_t alloc = get_total_buffer_allocation();
  int32_t live = get_total_num_buffers(), in_group = get_buffer_group_count(7);
  buffer *b = create_buffer_2(9, 7);
  EXPECT_EQ(get_total_buffer_allocation(), alloc + 10);
  EXPECT_EQ(get_total_num_buffers(), live + 1);
  EXPECT_EQ(get_buffer_group_count(7), in_group + 1);
  ASSERT_TRUE(ballocate(b, 99));
  EXPECT_EQ(get_total_buffer_allocation(), alloc + 200);
  destroy_buffer(b);
  destroy_buffer(nullptr);
  EXPECT_EQ(get_total_buffer_allocation(), alloc);
  EXPECT_EQ(get_total_num_buffers(), live);
  EXPECT_EQ(get_buffer_group_count(7), in_group);

  // A tag outside 0..127 is counted in the totals only.
  buffer *stray = create_buffer_2(0, 500);
  EXPECT_EQ(get_total_num_buffers(), live + 1);
  EXPECT_EQ(get_buffer_group_count(500), 0);
  destroy_buffer(stray);
  EXPECT_EQ(get_total_num_buffers(), live);
}

TEST(BufferWrite, GrowthZeroFillsAndKeepsTheNul) {
  buffer_owner b(create_buffer_2(0, 1));
  EXPECT_EQ(bappend_str(b.get(), "ab"), 2);
  EXPECT_EQ(b->length, 2);
  EXPECT_EQ(b->position, 2);
  EXPECT_EQ(b->data[2], 0);
  EXPECT_EQ(b->capacity, 6u);  // 2 x (0 + 2 + 1)

  bwrite_uint8(0x7f, b.get());
  bwrite_uint32(0x11223344, b.get());
  EXPECT_EQ(b->capacity, 16u);  // grown at position 3 to 2 x 3 + 10
  EXPECT_EQ(content(b.get()), std::string("ab\x7f\x44\x33\x22\x11"));
  for (uint64_t i = 7; i < b->capacity; i++) EXPECT_EQ(b->data[i], 0) << i;

  b->position = 1;  // a write inside the content overwrites without lengthening
  EXPECT_EQ(bwrite("XY", 1, 2, b.get()), 2);
  EXPECT_EQ(b->position, 3);
  EXPECT_EQ(b->length, 7);
  EXPECT_EQ(content(b.get()).substr(0, 4), "aXYD");
}

TEST(BufferWrite, HexWriters) {
  buffer_owner b(create_buffer_2(0, 1));
  bwrite_uint8_as_hex(0xa5, b.get());
  bwrite_int16_as_hex(-2, b.get());
  bwrite_int32_as_hex(0x1234abcd, b.get());
  bwrite_int64_as_hex(INT64_C(-0x0123456789abcdf0), b.get());
  EXPECT_STREQ(to_cstr(b.get()), "a5fffe1234abcdfedcba9876543210");
}

TEST(BufferWrite, AppendBytesKeepsEmbeddedNuls) {
  buffer_owner b(create_buffer_from_str("x"));
  EXPECT_EQ(bappend_bytes(b.get(), "a\0b", 3), 3);
  EXPECT_EQ(bappend_bytes(b.get(), "", 1), 1);
  EXPECT_EQ(content(b.get()), std::string("xa\0b\0", 5));
}

TEST(BufferLimits, OversizedWritesAreRefusedAndChangeNothing) {
  buffer_owner b(create_buffer_from_str("abc"));
  int64_t alloc = get_total_buffer_allocation();
  uint64_t cap = b->capacity;
  EXPECT_FALSE(ballocate(b.get(), INT64_MAX));
  EXPECT_FALSE(ballocate(b.get(), buffer_max_length + 1));
  EXPECT_EQ(bwrite("z", 1, INT64_MAX, b.get()), 0);
  EXPECT_EQ(bwrite("z", INT64_MAX, 4, b.get()), 0);  // product overflows
  EXPECT_EQ(bwrite("z", -1, -1, b.get()), 0);
  EXPECT_EQ(bappend_bytes(b.get(), "z", INT64_MAX), 0);

  // At the last position a buffer may hold, one more byte is past the limit.
  b->position = static_cast<int32_t>(buffer_max_length);
  bwrite_uint8(1, b.get());
  bwrite_uint32(1, b.get());
  EXPECT_EQ(bwrite_escaped_string("a", b.get(), 1), 0);
  EXPECT_EQ(b->position, buffer_max_length);
  b->position = 3;

  EXPECT_EQ(b->capacity, cap);
  EXPECT_EQ(get_total_buffer_allocation(), alloc);
  EXPECT_EQ(b->length, 3);
  EXPECT_EQ(bappend_str(b.get(), "d"), 1);  // still usable
  EXPECT_STREQ(to_cstr(b.get()), "abcd");
}

TEST(BufferRead, ReadersStopAtTheLength) {
  buffer_owner b(create_buffer_2(64, 1));
  bwrite("\x01\x02\x03\x04\x05", 1, 5, b.get());
  b->position = 0;
  EXPECT_EQ(bread_uint32(b.get()), 0x04030201u);
  EXPECT_EQ(bread_uint32(b.get()), 0u);  // one byte left: no move
  EXPECT_EQ(b->position, 4);
  EXPECT_EQ(bread_uint8(b.get()), 5);
  EXPECT_EQ(bread_uint8(b.get()), 0);
  EXPECT_EQ(b->position, 5);

  char dst[16] = {};
  b->position = 2;
  EXPECT_EQ(bread(dst, 1, INT64_MAX, b.get()), 3);  // never past the length
  EXPECT_EQ(std::string(dst, 3), "\x03\x04\x05");
  EXPECT_EQ(bread(dst, 1, 4, b.get()), 0);
  b->position = 0;
  EXPECT_EQ(bread(dst, -2, 2, b.get()), 0);
  EXPECT_EQ(bread(dst, INT64_MAX, 2, b.get()), 0);
  EXPECT_EQ(b->position, 0);

  buffer_owner h(create_buffer_from_str("fFA0c"));
  h->position = 0;
  EXPECT_EQ(bread_uint8_hex(h.get()), 0xff);
  EXPECT_EQ(bread_uint8_hex(h.get()), 0xa0);
  EXPECT_EQ(bread_uint8_hex(h.get()), 0);  // one digit left
  EXPECT_EQ(h->position, 4);
}

TEST(BufferRead, ReadLineSplitsOnLfAndCrLfOnly) {
  buffer_owner b(create_buffer_from_str("one\r\ntwo\rthree\n"));
  b->position = 0;
  buffer_owner line(breadln(b.get(), nullptr));
  EXPECT_EQ(line->group, 82);
  EXPECT_STREQ(to_cstr(line.get()), "one");
  EXPECT_EQ(breadln(b.get(), line.get()), line.get());
  EXPECT_STREQ(to_cstr(line.get()), "two\rthree");
  breadln(b.get(), line.get());
  EXPECT_EQ(line->length, 0);
  EXPECT_EQ(line->data[0], 0);

  buffer_owner tail(create_buffer_from_str("last\r"));
  tail->position = 0;
  breadln(tail.get(), line.get());
  EXPECT_EQ(content(line.get()), "last\r");  // a lone CR at the end is content
  EXPECT_EQ(tail->position, 5);
}

TEST(BufferCrop, DropsTheFrontAndZeroesTheRest) {
  buffer_owner b(create_buffer_2(0, 1));
  bappend_bytes(b.get(), "one\0two\0", 8);
  bcrop(b.get(), 4, 4);
  EXPECT_EQ(content(b.get()), std::string("two\0", 4));
  EXPECT_EQ(b->position, 4);
  for (uint64_t i = 4; i < b->capacity; i++) EXPECT_EQ(b->data[i], 0) << i;

  bcrop(b.get(), -1, 2);  // nothing
  EXPECT_EQ(b->length, 4);
  bcrop(b.get(), 1, 100);  // count past the end keeps the rest
  EXPECT_EQ(content(b.get()), std::string("wo\0", 3));
  b->position = 0;
  bcrop(b.get(), 2, 1);  // the position never goes negative
  EXPECT_EQ(b->position, 0);
  EXPECT_EQ(content(b.get()), std::string("\0", 1));

  bappend_str(b.get(), "abc");
  bcrop(b.get(), 1, 0);
  EXPECT_EQ(b->length, 0);
  bappend_str(b.get(), "abc");
  bcrop(b.get(), INT64_MAX, INT64_MAX);
  EXPECT_EQ(b->length, 0);
  EXPECT_EQ(b->position, 0);
}

TEST(BufferEscape, EventMessageEscaping) {
  buffer_owner b(create_buffer_2(0, 1));
  EXPECT_EQ(bappend_str_escaped(b.get(), "\t"), 4);  // grows from capacity 1
  EXPECT_STREQ(to_cstr(b.get()), "\\009");
  EXPECT_GE(b->capacity, 5u);
  bclear(b.get());
  EXPECT_EQ(bappend_str_escaped(b.get(), "a\n\"\\\xc8\x7f~"), 19);
  EXPECT_STREQ(to_cstr(b.get()), "a\\010\\034\\092\\200\x7f~");

  int64_t len = -1;
  EXPECT_STREQ(escape_lua_string("x\"y", &len), "x\\034y");
  EXPECT_EQ(len, 6);
  EXPECT_STREQ(escape_lua_string(nullptr, &len), "");
  EXPECT_EQ(len, 0);
}

TEST(BufferEscape, TukTextEscaping) {
  buffer_owner b(create_buffer_2(0, 1));
  const char src[] = "a\nb\\c\"d]e\x01\xff~\0z";
  EXPECT_EQ(bwrite_escaped_string(src, b.get(), sizeof src - 1), 29);
  EXPECT_EQ(content(b.get()), "a\\nb\\\\c\\\"d\\093e\\001\\255~\\000z");
  EXPECT_EQ(b->position, 29);
  EXPECT_EQ(b->data[29], 0);
  EXPECT_EQ(bwrite_escaped_string(src, b.get(), 0), 0);
  EXPECT_EQ(bwrite_escaped_string(src, nullptr, 3), 0);
  EXPECT_EQ(b->length, 29);
}

TEST(BufferHexText, ReadsDigitsMostSignificantFirst) {
  const char *c = "ff80";
  EXPECT_EQ(read_i16_from_hex_str(&c), -128);
  EXPECT_EQ(*c, 0);
  const char short_text[] = "ff";
  c = short_text;
  EXPECT_EQ(read_i16_from_hex_str(&c), 0);  // NUL before the last digit
  EXPECT_EQ(c, short_text + 2);

  c = "A5g17fffFFFFFFFF0123456789abcdef";
  EXPECT_EQ(read_u8_from_hex_str(&c), 0xa5);
  EXPECT_EQ(read_u8_from_hex_str(&c), 0x01);  // a non-digit counts as 0
  EXPECT_EQ(read_i16_from_hex_str(&c), 0x7fff);
  EXPECT_EQ(read_i32_from_hex_str(&c), -1);
  EXPECT_EQ(read_i64_from_hex_str(&c), INT64_C(0x0123456789abcdef));
  c = "8000";
  EXPECT_EQ(read_i16_from_hex_str(&c), -32768);
}

TEST(BufferFile, ReadsAWholeHostFile) {
  char path[] = "/tmp/kestrune_buffer_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string bytes;
  for (int i = 0; i < 40000; i++) bytes += static_cast<char>(i * 7);  // several 16 KB chunks
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);

  buffer_owner b(create_buffer_from_file(path));
  unlink(path);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(content(b.get()), bytes);
  EXPECT_EQ(b->position, 40000);
  EXPECT_EQ(b->group, 117);
  EXPECT_EQ(b->data[b->length], 0);

  EXPECT_EQ(create_buffer_from_file(path), nullptr);   // gone
  EXPECT_EQ(create_buffer_from_file("/tmp"), nullptr);  // a folder is not a file
}
