// Deltas between byte strings: round trips, the exact records of small
// cases, and damaged or hostile deltas, which must fail without reading or
// allocating beyond what the input holds.
#include <gtest/gtest.h>

#include "tests/test_bytes.h"
#include <lz4.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "kernel/buffer.h"
#include "platform/host_log.h"
#include "values/crc32.h"
#include "values/delta.h"

namespace {

// A literal's bytes, NULs included.

const uint8_t *bytes_of(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

std::string make_delta(const std::string &a, const std::string &b) {
  buffer_owner d(generate_diff(bytes_of(a), int64_t(a.size()), bytes_of(b), int64_t(b.size())));
  EXPECT_TRUE(d);
  if (!d) return std::string();
  return std::string(reinterpret_cast<char *>(d->data), size_t(d->length));
}

std::optional<std::string> rebuild(const std::string &a, const std::string &delta) {
  buffer_owner r(apply_diff(bytes_of(a), int64_t(a.size()), bytes_of(delta),
                            int64_t(delta.size())));
  if (!r) return std::nullopt;
  return std::string(reinterpret_cast<char *>(r->data), size_t(r->length));
}


std::string length_field(uint32_t n) { return n < 255 ? std::string(1, char(n)) : "\xff" + u32le(n); }

uint32_t crc_of(const std::string &s) { return crc32b(bytes_of(s), int64_t(s.size())); }

std::string header(uint32_t dst_length, const std::string &src, uint32_t dst_crc) {
  return u32le(dst_length) + u32le(crc_of(src)) + u32le(dst_crc);
}

// The inner stream of an outer form, checking the outer header on the way.
std::string inner_of(const std::string &delta) {
  EXPECT_GE(delta.size(), 8u);
  EXPECT_EQ(delta.substr(0, 4), bin("dst\0"));
  uint32_t n = le32(delta, 4);
  std::string out(n, '\0');
  int got = LZ4_decompress_safe(delta.data() + 8, out.data(), int(delta.size() - 8), int(n));
  EXPECT_EQ(got, int(n));
  return out;
}

// An outer form around an inner stream written by hand.
std::string wrap(const std::string &inner, int64_t stated = -1) {
  std::string block(size_t(LZ4_compressBound(int(inner.size()))), '\0');
  int n = LZ4_compress_default(inner.data(), block.data(), int(inner.size()), int(block.size()));
  block.resize(size_t(n));
  return bin("dst\0") + u32le(uint32_t(stated < 0 ? inner.size() : stated)) + block;
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (auto &c : s) c = char(rng());
  return s;
}

// Text-like bytes: words from a small vocabulary, so edits leave stretches
// that reappear elsewhere.
std::string random_text(std::mt19937 &rng, size_t n) {
  static const char *words[] = {"local ", "function ", "end\n", "return ", "x", "y", "= ",
                                "+ 1 ", "if ", "then ", "for i=1,10 do ", "print(", ") "};
  std::string s;
  while (s.size() < n) s += words[rng() % 13];
  s.resize(n);
  return s;
}

// Byte changes, insertions, deletions and a moved block.
std::string edited(std::mt19937 &rng, std::string s, int edits) {
  for (int i = 0; i < edits && !s.empty(); i++) {
    size_t at = rng() % s.size();
    switch (rng() % 3) {
    case 0: s[at] = char(rng()); break;
    case 1: s.insert(at, random_bytes(rng, 1 + rng() % 20)); break;
    default: s.erase(at, std::min<size_t>(1 + rng() % 20, s.size() - at)); break;
    }
  }
  if (s.size() > 1000) {
    size_t from = rng() % (s.size() / 2), n = s.size() / 4;
    std::string block = s.substr(from, n);
    s.erase(from, n);
    s.insert(rng() % s.size(), block);
  }
  return s;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

} // namespace

TEST(Delta, RoundTrips) {
  std::mt19937 rng(1);
  for (int round = 0; round < 60; round++) {
    size_t n = rng() % 5000;
    std::string a = round % 2 ? random_bytes(rng, n) : random_text(rng, n);
    std::string b = edited(rng, a, int(rng() % 12));
    EXPECT_EQ(rebuild(a, make_delta(a, b)), b) << round;
    EXPECT_EQ(rebuild(b, make_delta(b, a)), a) << round;
    std::string unrelated = random_bytes(rng, rng() % 3000);
    EXPECT_EQ(rebuild(a, make_delta(a, unrelated)), unrelated) << round;
  }
}

TEST(Delta, EqualAndEmptyInputs) {
  std::mt19937 rng(2);
  std::string a = random_bytes(rng, 777);
  EXPECT_EQ(rebuild(a, make_delta(a, a)), a);
  EXPECT_EQ(rebuild("", make_delta("", "")), "");
  EXPECT_EQ(rebuild("", make_delta("", a)), a);
  EXPECT_EQ(rebuild(a, make_delta(a, "")), "");
  // short strings: nothing to hash, only the in-place check
  for (size_t n = 0; n < 40; n++) {
    std::string x = random_bytes(rng, n), y = random_bytes(rng, n / 2);
    EXPECT_EQ(rebuild(x, make_delta(x, y)), y);
    EXPECT_EQ(rebuild(x, make_delta(x, x)), x);
  }
}

TEST(Delta, LargeInputs) {
  std::mt19937 rng(3);
  std::string a = random_bytes(rng, 3 << 20);
  std::string b = edited(rng, a, 300);
  std::string d = make_delta(a, b);
  EXPECT_EQ(rebuild(a, d), b);
  EXPECT_LT(d.size(), b.size() / 25);
  // Repetitive text shifted by insertions is mostly literals: hashed matches of
  // common pairs are short. It still rebuilds.
  std::string t = random_text(rng, 1 << 20);
  std::string u = edited(rng, t, 100);
  std::string e = make_delta(t, u);
  EXPECT_EQ(rebuild(t, e), u);
  EXPECT_LT(e.size(), u.size() / 3);
  std::string big_random = random_bytes(rng, 1 << 20);
  std::string appended = big_random + random_bytes(rng, 5000);
  std::string d2 = make_delta(big_random, appended);
  EXPECT_EQ(rebuild(big_random, d2), appended);
  EXPECT_LT(d2.size(), 6000u);
}

TEST(Delta, OneChangedByteIn100KBIsSmall) {
  std::mt19937 rng(4);
  std::string a = random_bytes(rng, 100 * 1024);
  std::string b = a;
  b[54321] = char(b[54321] ^ 0x55);
  std::string d = make_delta(a, b);
  EXPECT_LT(d.size(), 512u);
  EXPECT_EQ(rebuild(a, d), b);
}

TEST(Delta, MovedBlocksAreCopied) {
  std::mt19937 rng(5);
  std::string x = random_bytes(rng, 60000), y = random_bytes(rng, 60000);
  std::string d = make_delta(x + y, y + x);
  EXPECT_LT(d.size(), 4000u);
  EXPECT_EQ(rebuild(x + y, d), y + x);
}

TEST(Delta, EqualStringsGiveOneCopyRecord) {
  std::mt19937 rng(6);
  std::string a = random_bytes(rng, 100);
  std::string d = make_delta(a, a);
  EXPECT_EQ(le32(d, 4), 12u + 6u);
  EXPECT_EQ(inner_of(d), header(100, a, crc_of(a)) + bin("\0\x64\0\0\0\0"));
}

TEST(Delta, FromAnEmptySourceIsOneLiteral) {
  std::string b(300, 'q');
  EXPECT_EQ(inner_of(make_delta("", b)), header(300, "", crc_of(b)) + length_field(300) + b);
  EXPECT_EQ(inner_of(make_delta("", "hi")), header(2, "", crc_of("hi")) + "\x02hi");
}

TEST(Delta, EmptyDestinationIsTwelveBytes) {
  std::string d = make_delta("abc", "");
  EXPECT_EQ(inner_of(d), header(0, "abc", 0));
  EXPECT_EQ(rebuild("abc", d), "");
}

TEST(Delta, MatchesShorterThanEightStayLiteral) {
  std::string a = "abcdefgXXXXXXXXXXXXXXXX";
  std::string b = "abcdefgYYYYYYYYYYYYYYYY";
  EXPECT_EQ(inner_of(make_delta(a, b)), header(23, a, crc_of(b)) + length_field(23) + b);
  // eight equal bytes in place are copied, after the literal before them
  std::string c = "0123ABCDEFGH";
  std::string e = "xyzwABCDEFGH";
  EXPECT_EQ(inner_of(make_delta(c, e)),
            header(12, c, crc_of(e)) + "\x04xyzw" + "\x08" + u32le(4));
}

TEST(Delta, BareInnerStreamIsAccepted) {
  std::string a = "hello, world";
  std::string inner = header(9, a, crc_of("hi, world")) + "\x02hi\x07" + u32le(5);
  EXPECT_EQ(rebuild(a, inner), "hi, world");
  EXPECT_EQ(rebuild(a, wrap(inner)), "hi, world");
  // an outer form that states more inner bytes than the block holds still works
  EXPECT_EQ(rebuild(a, wrap(inner, 0x7FFFFFFF)), "hi, world");
}

TEST(Delta, WrongSourceFailsAndLogs) {
  std::string path = testing::TempDir() + "kestrune_delta_log_" + std::to_string(getpid()) + ".txt";
  hovi_set_log_path(path);
  std::string d = make_delta("source one", "destination");
  EXPECT_EQ(rebuild("source two", d), std::nullopt);
  EXPECT_EQ(rebuild("", d), std::nullopt);
  EXPECT_EQ(rebuild("source two", inner_of(d)), std::nullopt);
  std::string log = read_file(path);
  EXPECT_NE(log.find("** apply_delta: failed src crc (dst marker: 1)\n"), std::string::npos);
  EXPECT_NE(log.find("** apply_delta: failed src crc (dst marker: 0)\n"), std::string::npos);
  // a delta from an empty source needs an empty source
  EXPECT_EQ(rebuild("x", make_delta("", "abc")), std::nullopt);
}

TEST(Delta, ShortHeadersFail) {
  std::string a = "abc";
  for (size_t n = 0; n < 12; n++) EXPECT_EQ(rebuild(a, header(0, a, 0).substr(0, n)), std::nullopt);
  EXPECT_EQ(rebuild(a, bin("dst\0")), std::nullopt);
  EXPECT_EQ(rebuild(a, bin("dst\0\x10\0\0")), std::nullopt);
  EXPECT_EQ(rebuild(a, bin("dst\0\0\0\0\0")), std::nullopt);
  EXPECT_EQ(rebuild(a, wrap(header(0, a, 0).substr(0, 11))), std::nullopt);
}

TEST(Delta, DamagedRecordsFail) {
  std::string a = "0123456789abcdef";
  auto inner = [&](const std::string &dst, const std::string &records) {
    return header(uint32_t(dst.size()), a, crc_of(dst)) + records;
  };
  // literal running past the stream
  EXPECT_EQ(rebuild(a, inner("xyz", "\x05xyz")), std::nullopt);
  EXPECT_EQ(rebuild(a, inner("xyz", bin("\xff\x03\0"))), std::nullopt);
  // copy record cut short
  EXPECT_EQ(rebuild(a, inner("xy0123", bin("\x02xy\x04\0\0"))), std::nullopt);
  EXPECT_EQ(rebuild(a, inner("xy0123", "\x02xy")), std::nullopt); // short result
  EXPECT_EQ(rebuild(a, inner("xy0123", bin("\x02xy\x04\0\0\0\0"))), "xy0123");
  // a copy leaving the source is skipped, so the result is short
  EXPECT_EQ(rebuild(a, inner("0123456789abcdefX", bin("\0\x11\0\0\0\0"))), std::nullopt);
  EXPECT_EQ(rebuild(a, inner("cdef", bin("\0\x04") + u32le(12))), "cdef");
  EXPECT_EQ(rebuild(a, inner("cdefX", bin("\0\x05") + u32le(12))), std::nullopt);
  // offset + length past 2^32 must not wrap into the source
  EXPECT_EQ(rebuild(a, inner("0123", bin("\0\xff") + u32le(0x20) + u32le(0xFFFFFFF0))), std::nullopt);
  EXPECT_EQ(rebuild(a, inner("0123", bin("\0\xff") + u32le(0xFFFFFFFF) + u32le(1))), std::nullopt);
  // an empty copy outside the source takes nothing away
  EXPECT_EQ(rebuild(a, inner("ab", bin("\x01" "a" "\0") + u32le(0xFFFFFFFF) + "\x01" "b")), "ab");
  // more bytes than stated
  EXPECT_EQ(rebuild(a, header(2, a, crc_of("xyz")) + "\x03xyz"), std::nullopt);
  // wrong destination CRC
  EXPECT_EQ(rebuild(a, header(3, a, crc_of("xyz") ^ 1) + "\x03xyz"), std::nullopt);
  // a block that does not decompress
  std::string good = wrap(inner("xyz", "\x03xyz"));
  EXPECT_EQ(rebuild(a, good), "xyz");
  EXPECT_EQ(rebuild(a, good.substr(0, good.size() - 1)), std::nullopt);
  EXPECT_EQ(rebuild(a, good + "\x55"), std::nullopt);
}

TEST(Delta, StatedSizesAreNotTrusted) {
  std::string a = "abc";
  int32_t buffers = get_total_num_buffers();
  int64_t allocated = get_total_buffer_allocation();
  // a destination length of nearly 4 GiB behind a 13-byte stream
  EXPECT_EQ(rebuild(a, header(0xFFFFFFF0u, a, 0) + "\x01"), std::nullopt);
  EXPECT_EQ(rebuild(a, header(0x7FFFFFF0u, a, 0) + "\x01z"), std::nullopt);
  // a copy that repeats the source stays bounded by the stated length
  std::string many = header(6, a, crc_of("abcabc"));
  for (int i = 0; i < 1000; i++) many += bin("\0\x03") + u32le(0);
  EXPECT_EQ(rebuild(a, many), std::nullopt);
  // an inner length of 4 GiB behind a tiny block
  EXPECT_EQ(rebuild(a, wrap(header(1, a, crc_of("z")) + "\x01z", 0xFFFFFFFFu)), "z");
  EXPECT_EQ(get_total_num_buffers(), buffers);
  EXPECT_EQ(get_total_buffer_allocation(), allocated);
}

TEST(Delta, EveryCutAndEveryFlippedByteFailsCleanly) {
  std::mt19937 rng(8);
  std::string a = random_text(rng, 3000);
  std::string b = edited(rng, a, 10);
  std::string outer = make_delta(a, b);
  std::string bare = inner_of(outer);
  for (const std::string &d : {outer, bare}) {
    for (size_t n = 0; n < d.size(); n++) EXPECT_EQ(rebuild(a, d.substr(0, n)), std::nullopt) << n;
    for (size_t i = 0; i < d.size(); i++) {
      std::string bad = d;
      bad[i] = char(bad[i] ^ (1 + rng() % 255));
      auto got = rebuild(a, bad);
      // a change the CRCs cannot see must still rebuild b
      if (got) {
        EXPECT_EQ(*got, b) << i;
      }
    }
  }
}

TEST(Delta, ResultBuffersHoldTheBytes) {
  std::string a = "some source text", b = "some other text";
  buffer_owner d(generate_diff(bytes_of(a), int64_t(a.size()), bytes_of(b), int64_t(b.size())));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->group, delta_buffer_group);
  EXPECT_EQ(d->position, 0);
  EXPECT_GT(d->capacity, uint64_t(d->length));
  buffer_owner r(apply_diff(bytes_of(a), int64_t(a.size()), d->data, d->length));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->group, delta_buffer_group);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r->data)), b); // NUL-terminated
  EXPECT_EQ(r->position, 0);
  EXPECT_EQ(apply_diff(nullptr, 0, nullptr, 0), nullptr);
  EXPECT_EQ(apply_diff(bytes_of(a), -5, d->data, -1), nullptr);
}
