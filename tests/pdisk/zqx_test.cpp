// The zqx decompressor, on forms assembled here bit by bit (a small
// compressor below writes literals, copies and raw blocks), and on truncated
// and hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdisk/zqx.h"

namespace {

// Writes a zqx bit stream, least significant bit first, keeping the same
// move-to-front table as the decompressor.
struct zqx_writer {
  std::vector<uint8_t> bytes;
  int64_t bits = 0;
  std::vector<uint8_t> table;

  zqx_writer() : table(256) { std::iota(table.begin(), table.end(), 0); }

  void put(uint32_t v, int k) {
    for (int i = 0; i < k; i++, bits++) {
      if ((bits & 7) == 0) bytes.push_back(0);
      bytes.back() |= uint8_t(((v >> i) & 1) << (bits & 7));
    }
  }

  void literal_index(int index) {
    put(1, 1);
    int k = 0;
    while (index >= 16 * ((1 << (k + 1)) - 1)) k++;
    for (int i = 0; i < k; i++) put(1, 1);
    put(0, 1);
    put(uint32_t(index - 16 * ((1 << k) - 1)), 4 + k);
  }

  void literal(uint8_t v) {
    int index = int(std::find(table.begin(), table.end(), v) - table.begin());
    literal_index(index);
    table.erase(table.begin() + index);
    table.insert(table.begin(), v);
  }

  // offset_bits 0 picks the smallest form that holds distance - 1
  void copy(int64_t distance, int64_t length, int offset_bits = 0) {
    uint32_t u = uint32_t(distance - 1);
    if (offset_bits == 0) offset_bits = u < 32 ? 5 : u < 1024 ? 10 : 15;
    put(0, 1);
    if (offset_bits == 15) {
      put(0, 1);
    } else {
      put(1, 1);
      put(offset_bits == 5 ? 1 : 0, 1);
    }
    put(u, offset_bits);
    int64_t rest = length - 3;
    for (; rest >= 7; rest -= 7) put(7, 3);
    put(uint32_t(rest), 3);
  }

  void raw(const std::string &s, bool terminated = true) {
    put(0, 1);
    put(1, 1);
    put(0, 1);
    put(0, 10);
    for (char c : s) put(uint8_t(c), 8);
    if (terminated) put(0, 8);
  }

  // The whole form; a negative total states the real one.
  std::string form(int64_t uncompressed, int64_t total = -1) const {
    int64_t t = total < 0 ? int64_t(bytes.size()) + 8 : total;
    std::string s("\0zqx", 4);
    s.push_back(char(uncompressed >> 8));
    s.push_back(char(uncompressed));
    s.push_back(char(t >> 8));
    s.push_back(char(t));
    s.append(bytes.begin(), bytes.end());
    return s;
  }
};

// Greedy: the longest of the last 64 earlier matches (found by their first
// three bytes) within 32,768 bytes, if 3 or more, else a literal; now and then
// six bytes without a NUL as a raw block.
std::string compress(const std::string &text) {
  zqx_writer w;
  std::unordered_map<size_t, std::vector<size_t>> seen;
  auto key = [&](size_t i) {
    return size_t(uint8_t(text[i])) << 16 | size_t(uint8_t(text[i + 1])) << 8 | uint8_t(text[i + 2]);
  };
  auto remember = [&](size_t from, size_t to) {
    for (size_t j = from; j < to && j + 3 <= text.size(); j++) seen[key(j)].push_back(j);
  };
  size_t i = 0;
  while (i < text.size()) {
    size_t best = 0, best_distance = 0;
    if (i + 3 <= text.size()) {
      const auto &at = seen[key(i)];
      for (size_t c = at.size(); c > 0 && c + 64 > at.size(); c--) {
        size_t d = i - at[c - 1];
        if (d > 32768) break;
        size_t n = 0;
        while (i + n < text.size() && text[i + n] == text[i + n - d]) n++;
        if (n > best) {
          best = n;
          best_distance = d;
        }
      }
    }
    size_t step = 1;
    if (best >= 3) {
      w.copy(int64_t(best_distance), int64_t(best));
      step = best;
    } else if (i % 97 == 5 && i + 6 <= text.size() && text.find('\0', i) > i + 6) {
      w.raw(text.substr(i, 6));
      step = 6;
    } else {
      w.literal(uint8_t(text[i]));
    }
    remember(i, i + step);
    i += step;
  }
  return w.form(int64_t(text.size()));
}

// Decompresses into exactly capacity + 1 bytes, so any write past them is
// caught by the address sanitizer; checks the NUL after the result.
std::string decompress(const std::string &form, int64_t capacity = zqx_max_output) {
  std::vector<uint8_t> out(size_t(capacity) + 1, 0xEE);
  int64_t n = zqx_decompress(reinterpret_cast<const uint8_t *>(form.data()), int64_t(form.size()),
                             out.data(), capacity);
  EXPECT_GE(n, 0);
  EXPECT_LE(n, capacity);
  EXPECT_EQ(out[size_t(n)], 0);
  return std::string(reinterpret_cast<char *>(out.data()), size_t(n));
}

std::string sample_program(std::mt19937 &rng, size_t n) {
  static const char *words[] = {"local ", "function ", "end\n", "return ", "x", "y", " = ",
                                "+ 1 ", "if ", "then\n", "for i=1,10 do\n", "print(", ")\n",
                                "\t", "--[[ note ]]", "\"str\""};
  std::string s;
  while (s.size() < n) {
    if (rng() % 40 == 0) s.push_back(char(rng())); // now and then any byte at all
    s += words[rng() % 16];
  }
  s.resize(n);
  return s;
}

} // namespace

TEST(Zqx, LiteralsMoveToTheFront) {
  zqx_writer w;
  w.literal_index(5);
  w.literal_index(0);
  std::string out = decompress(w.form(2));
  EXPECT_EQ(out, std::string("\x05\x05"));
  // one index from each length class, at both of its ends
  const int indices[] = {1, 15, 16, 47, 48, 111, 112, 239, 240, 255, 0, 255};
  zqx_writer v;
  std::vector<uint8_t> table(256), expect;
  std::iota(table.begin(), table.end(), 0);
  for (int i : indices) {
    v.literal_index(i);
    uint8_t b = table[size_t(i)];
    expect.push_back(b);
    table.erase(table.begin() + i);
    table.insert(table.begin(), b);
  }
  EXPECT_EQ(decompress(v.form(12)), std::string(expect.begin(), expect.end()));
  EXPECT_EQ(expect[0], 1);
  EXPECT_EQ(expect[1], 15);
  EXPECT_EQ(expect[9], 255);
  EXPECT_EQ(expect[10], 255); // index 255 then index 0: the same byte
  EXPECT_EQ(expect[11], 254); // 254 was pushed to the end
}

TEST(Zqx, CopiesRepeatOverlappingPatterns) {
  zqx_writer w;
  w.literal('a');
  w.copy(1, 10); // the last byte ten times
  w.literal('b');
  w.literal('c');
  w.copy(2, 5);
  EXPECT_EQ(decompress(w.form(18)), "aaaaaaaaaaabcbcbcb");
}

TEST(Zqx, EveryOffsetSize) {
  std::string text;
  for (int i = 0; i < 2000; i++) text.push_back(char('a' + i % 23 + (i / 23) % 3));
  zqx_writer w;
  for (char c : text) w.literal(uint8_t(c));
  w.copy(20, 4, 5);
  w.copy(20, 4, 10);
  w.copy(20, 4, 15);
  w.copy(1000, 12, 10);
  w.copy(2000, 12, 15);
  std::string expect = text;
  for (auto [distance, n] : {std::pair{20, 4}, {20, 4}, {20, 4}, {1000, 12}, {2000, 12}})
    for (int i = 0; i < n; i++) expect.push_back(expect[expect.size() - size_t(distance)]);
  EXPECT_EQ(decompress(w.form(int64_t(expect.size()))), expect);
}

TEST(Zqx, LengthGroupsAddUpWhileSeven) {
  for (int64_t n : {3, 9, 10, 11, 16, 17, 24, 100, 1000}) {
    zqx_writer w;
    w.literal('z');
    w.copy(1, n);
    EXPECT_EQ(decompress(w.form(1 + n)), std::string(size_t(1 + n), 'z')) << n;
  }
}

TEST(Zqx, RawBlocks) {
  zqx_writer w;
  w.raw("hello");
  w.literal('!');
  w.raw("");
  w.copy(6, 5);
  EXPECT_EQ(decompress(w.form(11)), "hello!hello");
  // reaching the stated length inside a raw block ends everything
  zqx_writer v;
  v.raw("abcdef", false);
  v.literal('x');
  EXPECT_EQ(decompress(v.form(4)), "abcd");
  // a raw block that runs out of bits keeps its bytes
  zqx_writer u;
  u.raw("abc", false);
  EXPECT_EQ(decompress(u.form(100)), "abc");
}

TEST(Zqx, RoundTripsThroughTheTestCompressor) {
  std::mt19937 rng(9);
  for (int round = 0; round < 20; round++) {
    std::string text = sample_program(rng, 1 + rng() % 3000);
    std::string form = compress(text);
    if (text.size() > 200) {
      EXPECT_LT(form.size(), text.size());
    }
    EXPECT_EQ(decompress(form), text) << round;
  }
  std::string big = sample_program(rng, 65535);
  std::string form = compress(big);
  EXPECT_EQ(decompress(form), big);
  EXPECT_EQ(zqx_decompress_text(reinterpret_cast<const uint8_t *>(form.data()),
                                int64_t(form.size())),
            big);
}

TEST(Zqx, NothingFromEmptyForms) {
  zqx_writer w;
  w.literal('a');
  EXPECT_EQ(decompress(w.form(1)), "a");
  EXPECT_EQ(decompress(w.form(1, 8)), "");  // compressed length of 8: no stream
  EXPECT_EQ(decompress(w.form(1, 3)), "");
  EXPECT_EQ(decompress(w.form(0)), "");     // nothing promised
  EXPECT_EQ(decompress(w.form(1), 0), "");  // no room
  EXPECT_EQ(decompress(w.form(1).substr(0, 8)), "");
  EXPECT_EQ(decompress(std::string("\0zq", 3)), "");
  EXPECT_EQ(decompress(""), "");
  uint8_t out = 0xEE;
  EXPECT_EQ(zqx_decompress(nullptr, 100, &out, 0), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(zqx_decompress(reinterpret_cast<const uint8_t *>("x"), 1, nullptr, 10), 0);
}

TEST(Zqx, OutputStopsAtTheLimits) {
  zqx_writer w;
  w.literal('q');
  w.copy(1, 70000);
  // A copy runs on to the capacity, past the stated length; nothing follows it.
  EXPECT_EQ(decompress(w.form(500)), std::string(size_t(zqx_max_output), 'q'));
  EXPECT_EQ(decompress(w.form(500), 600), std::string(600, 'q'));
  // the capacity, below the stated length
  EXPECT_EQ(decompress(w.form(500), 37), std::string(37, 'q'));
  EXPECT_EQ(decompress(w.form(500), 1), "q");
  // once the output has reached the stated length, nothing more is read
  zqx_writer v;
  v.literal('a');
  v.copy(1, 9);
  v.literal('b');
  EXPECT_EQ(decompress(v.form(5)), std::string(10, 'a'));
  // the caller's limit, whatever a header promises
  std::string text = zqx_decompress_text(
      reinterpret_cast<const uint8_t *>(w.form(65535).data()), int64_t(w.form(65535).size()));
  EXPECT_EQ(text, std::string(size_t(zqx_max_output), 'q'));
}

TEST(Zqx, MalformedInputKeepsWhatWasProduced) {
  // a copy reaching before the start of the output
  zqx_writer w;
  w.literal('a');
  w.literal('b');
  w.copy(3, 4);
  w.literal('c');
  EXPECT_EQ(decompress(w.form(10)), "ab");
  // a literal index past the table
  zqx_writer v;
  v.literal('a');
  v.put(1, 1);
  v.put(0b1111, 4);
  v.put(0, 1);
  v.put(16, 8); // 240 + 16
  v.literal('b');
  EXPECT_EQ(decompress(v.form(10)), "a");
  zqx_writer u;
  u.literal('a');
  u.put(0xFFFFFFFF, 32); // more ones than any index has
  EXPECT_EQ(decompress(u.form(10)), "a");
  // the stated total ends the stream before its last symbol
  zqx_writer t;
  for (char c : std::string("abcdefghij")) t.literal(uint8_t(c));
  std::string cut = decompress(t.form(10, 10));
  EXPECT_EQ(cut, std::string("abcdefghij").substr(0, cut.size()));
  EXPECT_LT(cut.size(), 10u);
}

TEST(Zqx, EveryCutIsAPrefix) {
  std::mt19937 rng(10);
  std::string text = sample_program(rng, 2000);
  std::string form = compress(text);
  for (size_t n = 0; n <= form.size(); n++) {
    std::string out = decompress(form.substr(0, n));
    ASSERT_EQ(out, text.substr(0, out.size())) << n;
  }
}

TEST(Zqx, HostileBytesStayInBounds) {
  std::mt19937 rng(12);
  for (int round = 0; round < 3000; round++) {
    std::string form("\0zqx", 4);
    size_t n = rng() % 600;
    for (size_t i = 0; i < n + 4; i++) form.push_back(char(rng()));
    if (round % 3 == 0) form[4] = char(0xFF); // long promises
    if (round % 2 == 0) form[6] = char(0xFF); // totals past the input
    int64_t capacity = round % 5 == 0 ? int64_t(rng() % 100) : zqx_max_output;
    std::string out = decompress(form, capacity);
    int64_t promised = int64_t(uint8_t(form[4])) << 8 | uint8_t(form[5]);
    EXPECT_LE(int64_t(out.size()), promised);
  }
}

#include "pdisk/ram_folder.h"
#include "tests/pdisk/vfs_fixture.h"

namespace {

using ZqxMount = Vfs;

// A legacy compressed program met by the rom reader mounts as "main.lua".
TEST_F(ZqxMount, LegacyProgramMountsAsMainLua) {
  std::mt19937 rng(4);
  std::string text = sample_program(rng, 900);
  buffer_owner in(create_buffer_2(0, 117));
  std::string form = compress(text);
  bappend_bytes(in.get(), form.data(), int64_t(form.size()));
  ASSERT_TRUE(mount_ram_folder("/ram/legacy"));
  in->position = 0;
  populate_ram_folder_from_kvt_rom_buffer("/ram/legacy", in.get());
  EXPECT_EQ(get("/ram/legacy/main.lua"), text);
}

}  // namespace
