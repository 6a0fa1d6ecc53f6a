// zqu: the worked examples, round trips of every element type, size form and
// coding width, and items that lie about their sizes or end early.
#include "values/zqu.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/values/values_state.h"

namespace {

using bytes = std::vector<uint8_t>;
using Zqu = values_test::ValuesState;

bytes coded(const bytes &data, int W) {
  buffer_owner out(create_buffer_2(64, 0));
  zqu_encode_coded(data.data(), static_cast<int64_t>(data.size()), W, out.get());
  return bytes(out->data, out->data + out->length);
}

bytes decoded(const bytes &in, int64_t n, int64_t *used = nullptr) {
  bytes out(static_cast<size_t>(n), 0xEE);
  int64_t u = zqu_decode_coded(in, out.data(), n);
  if (used) *used = u;
  return u < 0 ? bytes{} : out;
}

TEST(ZquCoding, WorkedExamples) {
  EXPECT_EQ(coded({5, 5, 5, 7}, 4), (bytes{4, 0x25, 0x07}));
  EXPECT_EQ(coded({200}, 4), (bytes{4, 0x0F, 0xC8}));
  EXPECT_EQ(coded(bytes(20, 3), 4), (bytes{4, 0xF3, 0x04}));
  // A 16 x 16 bitmap of one colour: one token and its extension byte.
  EXPECT_EQ(coded(bytes(256, 7), 4), (bytes{4, 0xF7, 240}));
  EXPECT_EQ(coded(bytes(256, 20), 4), (bytes{4, 0xFF, 20, 240}));
  // Extensions: 255 means another byte follows.
  EXPECT_EQ(coded(bytes(16 + 255, 1), 4), (bytes{4, 0xF1, 255, 0}));
  EXPECT_EQ(coded(bytes(16 + 254, 1), 4), (bytes{4, 0xF1, 254}));
  EXPECT_EQ(coded(bytes(16 + 510, 1), 4), (bytes{4, 0xF1, 255, 255, 0}));
  // 200 went into slot 14, the least recently used; now slot 14 serves it.
  EXPECT_EQ(coded({200, 1, 200}, 4), (bytes{4, 0x0F, 0xC8, 0x01, 0x0E}));
}

TEST(ZquCoding, DecodesTheWorkedExamples) {
  int64_t used;
  EXPECT_EQ(decoded({4, 0x25, 0x07, 0x99}, 4, &used), (bytes{5, 5, 5, 7}));
  EXPECT_EQ(used, 3) << "the item ends with the last element";
  EXPECT_EQ(decoded({4, 0xF3, 0x04}, 20), bytes(20, 3));
  EXPECT_EQ(decoded({4, 0xFF, 20, 240}, 256), bytes(256, 20));
  EXPECT_EQ(decoded({4, 0xF3, 0x04}, 5), bytes(5, 3)) << "a run is cut at the last element";
}

TEST(ZquCoding, RefusesBadWidthsAndShortInput) {
  EXPECT_EQ(zqu_decode_coded(bytes{7, 0}, bytes(4).data(), 4), -1);
  EXPECT_EQ(zqu_decode_coded(bytes{0, 0}, bytes(4).data(), 4), -1);
  EXPECT_EQ(zqu_decode_coded(bytes{}, bytes(4).data(), 4), -1);
  EXPECT_EQ(zqu_decode_coded(bytes{4, 0x05}, bytes(4).data(), 4), -1) << "one element of four";
  EXPECT_EQ(zqu_decode_coded(bytes{4, 0x0F}, bytes(4).data(), 1), -1) << "escape without its byte";
  EXPECT_EQ(zqu_decode_coded(bytes{4, 0xF0, 255}, bytes(400).data(), 400), -1)
      << "extension cut";
}

TEST(ZquCoding, RoundTripsEveryWidth) {
  std::mt19937 rng(7);
  for (int W = 1; W <= 6; W++) {
    for (int trial = 0; trial < 50; trial++) {
      bytes data(static_cast<size_t>(rng() % 3000 + 1));
      int colours = static_cast<int>(rng() % 40 + 1);
      for (size_t i = 0; i < data.size();) {
        size_t run = rng() % 400 + 1;
        auto v = static_cast<uint8_t>(rng() % colours * (trial % 2 ? 7 : 1));
        for (size_t k = 0; k < run && i < data.size(); k++) data[i++] = v;
      }
      bytes c = coded(data, W);
      int64_t used;
      EXPECT_EQ(decoded(c, static_cast<int64_t>(data.size()), &used), data) << "W " << W;
      EXPECT_EQ(used, static_cast<int64_t>(c.size()));
    }
  }
}

// Items through the Lua side: header, shape and both element forms.
TEST_F(Zqu, ItemsRoundTripEveryTypeAndShape) {
  lua_State *L = cproc->lua_state;
  struct shape { const char *type; int dims; int64_t w, h; };
  const shape shapes[] = {{"u8", 1, 17, 1},   {"u8", 2, 16, 16},  {"u8", 2, 300, 3},
                          {"u8", 2, 3, 300},  {"i16", 1, 9, 1},   {"i16", 2, 5, 4},
                          {"i32", 2, 7, 3},   {"i64", 1, 300, 1}, {"f64", 2, 4, 4},
                          {"u8", 1, 65536, 1}};
  std::mt19937 rng(11);
  for (const shape &s : shapes) {
    for (int W : {0, 1, 2, 3, 4, 5, 6}) {
      userdata *ud = create_userdata(L, s.type, s.dims, s.w, s.h, 1);
      ASSERT_NE(ud, nullptr);
      uint8_t *e = ud_elements(ud);
      for (int64_t i = 0; i < ud_data_bytes(ud); i++) e[i] = static_cast<uint8_t>(rng() % 5 * 50);
      buffer_owner item(create_buffer_2(64, 0));
      int64_t n = write_binary_zqu(ud, item.get(), W);
      ASSERT_EQ(n, item->length);
      bool wide = s.w >= 256 || s.h >= 256;
      EXPECT_EQ(item->data[5], (W ? 0x20 : 0x10) | (wide ? 0x08 : 0)) << s.type << " W " << W;
      const uint8_t *end = item->data + item->length;
      EXPECT_EQ(get_binary_zqu(L, item->data, end), end) << s.type << " W " << W;
      userdata *back = to_userdata(L, -1);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(back->utype, ud->utype);
      EXPECT_EQ(back->dims, ud->dims);
      EXPECT_EQ(back->width, ud->width);
      EXPECT_EQ(back->height, ud->height);
      // The item covers the block's first width x height x depth bytes: all of
      // a u8 block, the start of the others'.
      int64_t covered = ud_count(ud);
      EXPECT_EQ(memcmp(ud_elements(back), e, static_cast<size_t>(covered)), 0);
      for (int64_t i = covered; i < ud_data_bytes(back); i++) ASSERT_EQ(ud_elements(back)[i], 0);
      lua_pop(L, 2);
    }
  }
}

TEST_F(Zqu, HeaderForms) {
  lua_State *L = cproc->lua_state;
  userdata *ud = create_userdata(L, "u8", 2, 300, 2, 1);
  buffer_owner item(create_buffer_2(64, 0));
  write_binary_zqu(ud, item.get(), 0);
  // "zqu" NUL, shape (dims 2, u8), mode raw + wide sizes, u32 300, u32 2.
  EXPECT_EQ(bytes(item->data, item->data + 14),
            (bytes{'z', 'q', 'u', 0, 0x43, 0x18, 0x2C, 0x01, 0, 0, 2, 0, 0, 0}));
  lua_pop(L, 1);
}

TEST_F(Zqu, LegacyItem) {
  lua_State *L = cproc->lua_state;
  bytes item{'z', 'q', 'u', 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 4, 0x25, 0x27};
  const uint8_t *end = item.data() + item.size();
  EXPECT_EQ(get_binary_zqu(L, item.data(), end), end);
  userdata *ud = to_userdata(L, -1);
  ASSERT_NE(ud, nullptr);
  EXPECT_EQ(ud->dims, 2);
  EXPECT_EQ(ud->width, 3u);
  EXPECT_EQ(ud->height, 2u);
  EXPECT_EQ(bytes(ud_elements(ud), ud_elements(ud) + 6), (bytes{5, 5, 5, 7, 7, 7}));
  lua_pop(L, 1);
}

TEST_F(Zqu, RefusedAndMalformedItems) {
  lua_State *L = cproc->lua_state;
  int top = lua_gettop(L);
  auto try_item = [&](bytes item) {
    const uint8_t *r = get_binary_zqu(L, item.data(), item.data() + item.size());
    bool made = r != nullptr;
    if (made) lua_pop(L, 1);
    EXPECT_EQ(lua_gettop(L), top);
    return made;
  };
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x03, 0x20, 4, 7, 0x05})) << "coding width 7";
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x83, 0x10, 2, 2, 2})) << "three dimensions";
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x03, 0x18, 0xFF, 0xFF, 0xFF, 0xFF}))
      << "a width of 2^32 - 1 is refused before anything is allocated for it";
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x03, 0x10, 0}));
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x03, 0x10, 8, 1, 2, 3})) << "raw bytes missing";
  EXPECT_TRUE(try_item({'z', 'q', 'u', 0, 0x03, 0x10, 3, 1, 2, 3}));
  EXPECT_TRUE(try_item({'z', 'q', 'u', 0, 0x03, 0x30, 3})) << "unknown form: zeros";
  EXPECT_FALSE(try_item({'z', 'q', 'u', 0, 0x43, 0x18, 1, 0, 0})) << "sizes cut";
  // Every prefix of a good item is refused.
  userdata *ud = create_userdata(L, "u8", 2, 40, 30, 1);
  for (int64_t i = 0; i < 1200; i++) ud_elements(ud)[i] = static_cast<uint8_t>(i / 7 % 20);
  buffer_owner item(create_buffer_2(64, 0));
  write_binary_zqu(ud, item.get(), 4);
  lua_pop(L, 1);
  for (int32_t n = 0; n < item->length; n++)
    EXPECT_FALSE(try_item(bytes(item->data, item->data + n))) << n;
  EXPECT_TRUE(try_item(bytes(item->data, item->data + item->length)));
}

}  // namespace
