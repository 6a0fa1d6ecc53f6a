// The URL-safe base64 variant: vectors made with Python's
// base64.b64encode(x, altchars=b'_-'), streaming, skipping and bounds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "values/base64.h"

namespace {

// Byte k of the n-byte test input (the vectors below were made from it).
std::string pattern(size_t n) {
  std::string s;
  for (size_t k = 0; k < n; k++) s.push_back(char((k * 131 + n * 7 + (k >> 3)) & 255));
  return s;
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (auto &c : s) c = char(rng());
  return s;
}

struct vector_case {
  size_t n;
  const char *text;
};

const vector_case pattern_vectors[] = {
    {0, ""},
    {1, "Bw=="},
    {2, "DpE="},
    {3, "FZgb"},
    {4, "HJ8ipQ=="},
    {5, "I6YprC8="},
    {6, "Kq0wsza5"},
    {7, "MbQ3uj3AQw=="},
    {8, "OLs_wUTHSs0="},
    {9, "P8JFyEvOUdRY"},
    {10, "RslMz1LVWNtf4g=="},
    {31, "2VzfYuVo627ydfh7-oEEhwuOEZQXmh2gJKcqrTCzNg=="},
    {32, "4GPmaexv8nX5fP_CBYgLjhKVGJseoSSnK64xtDe6PcA="},
    {33, "52rtcPN2_XwAgwaJDI8SlRmcH6IlqCuuMrU4uz7BRMdL"},
    {57, "jxKVGJseoSSoK64xtDe6PcFEx0rNUNNW2l3gY_Zp7G-zdvl8-4IFiAyPEpUYmx6hJagrrjG0N7o_"},
    {100, "vD-CRchLzlHVWNte4WTnau5x9Hf6fQCDB4oNkBOWGZwgoyapLK8ytTm8P8JFyEvOUtVY217hZOdr7nH0d-p9"
          "AIQHig2QE5YZnSCjJqksrzK2Obw-wkXIS89S1VjbXuFk6GvucQ=="},
};

// Encodes in pieces of the given sizes (cycled) through one state.
std::string encode_in_pieces(const std::string &bytes, const std::vector<size_t> &sizes) {
  std::string out(size_t(base64_encode_block_bound(int64_t(bytes.size()))) + 4, '\0');
  base64_encodestate st;
  base64_init_encodestate(&st);
  int64_t n = 0;
  size_t at = 0, i = 0;
  while (at < bytes.size()) {
    size_t k = std::min(sizes[i++ % sizes.size()], bytes.size() - at);
    n += base64_encode_block(reinterpret_cast<const uint8_t *>(bytes.data() + at), int64_t(k),
                             out.data() + n, &st);
    at += k;
  }
  n += base64_encode_blockend(out.data() + n, &st);
  out.resize(size_t(n));
  return out;
}

} // namespace

TEST(Base64, MatchesReferenceVectors) {
  for (const auto &v : pattern_vectors) {
    EXPECT_EQ(base64_encode(pattern(v.n)), v.text) << v.n;
    EXPECT_EQ(base64_decode(v.text), pattern(v.n)) << v.n;
  }
  EXPECT_EQ(base64_encode("The quick brown fox jumps over the lazy dog"),
            "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBvdmVyIHRoZSBsYXp5IGRvZw==");
  EXPECT_EQ(base64_encode(std::string(64, '\xff')), std::string(85, '-') + "w==");
  EXPECT_EQ(base64_encode(std::string(64, '\0')), std::string(86, 'A') + "==");
}

TEST(Base64, GroupsAndPadding) {
  EXPECT_EQ(base64_encode("abc"), "YWJj");
  EXPECT_EQ(base64_encode("ab"), "YWI=");
  EXPECT_EQ(base64_encode("a"), "YQ==");
  EXPECT_EQ(base64_encode(""), "");
  // 62 and 63 are '_' and '-' where standard base64 has '+' and '/'
  EXPECT_EQ(base64_encode("\xfb\xff"), "_-8=");
  EXPECT_EQ(base64_decode("_-8="), "\xfb\xff");
}

TEST(Base64, ValueTables) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
  for (int v = 0; v < 64; v++) EXPECT_EQ(base64_encode_value(v), alphabet[size_t(v)]);
  EXPECT_EQ(base64_encode_value(64), '=');
  EXPECT_EQ(base64_encode_value(255), '=');
  EXPECT_EQ(base64_encode_value(-1), '=');
  int members = 0;
  for (int c = 0; c < 256; c++) {
    int v = base64_decode_value(c);
    if (v < 0) {
      EXPECT_EQ(alphabet.find(char(c)), std::string::npos) << c;
      continue;
    }
    members++;
    EXPECT_EQ(alphabet[size_t(v)], char(c));
  }
  EXPECT_EQ(members, 64);
  EXPECT_EQ(base64_decode_value('+'), -1);
  EXPECT_EQ(base64_decode_value('/'), -1);
  EXPECT_EQ(base64_decode_value('='), -1);
  EXPECT_EQ(base64_decode_value(-1), -1);
  EXPECT_EQ(base64_decode_value(256), -1);
}

TEST(Base64, DecoderSkipsEverythingOutsideTheAlphabet) {
  EXPECT_EQ(base64_decode("Y W\nJ\r\tj"), "abc");
  EXPECT_EQ(base64_decode("+/Y+W/Jj=="), "abc");
  EXPECT_EQ(base64_decode("=Y=W=J=j="), "abc");
  EXPECT_EQ(base64_decode(std::string("YW\0Jj", 5)), "abc");
  EXPECT_EQ(base64_decode("\x80\xffYWJj\xc3\xa9"), "abc");
  EXPECT_EQ(base64_decode("!!!"), "");
}

TEST(Base64, OpenGroupStaysInTheDecoderState) {
  base64_decodestate st;
  base64_init_decodestate(&st);
  uint8_t out[8] = {};
  EXPECT_EQ(base64_decode_block("YW", 2, out, &st), 1); // 'a' complete, 4 bits pending
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(st.step, 2);
  EXPECT_EQ(base64_decode_block("J", 1, out, &st), 1);
  EXPECT_EQ(out[0], 'b');
  EXPECT_EQ(base64_decode_block("", 0, out, &st), 0);
  EXPECT_EQ(base64_decode_block("jYQ", 3, out, &st), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 2), "ca");
  EXPECT_EQ(st.step, 2);
  // A lone last character decides no byte.
  base64_init_decodestate(&st);
  EXPECT_EQ(base64_decode_block("Y", 1, out, &st), 0);
  EXPECT_EQ(base64_decode_block("x", -5, out, &st), 0);
}

TEST(Base64, EncoderWritesDecidedCharactersAndKeepsTheRest) {
  base64_encodestate st;
  base64_init_encodestate(&st);
  char out[8] = {};
  EXPECT_EQ(base64_encode_block(reinterpret_cast<const uint8_t *>("a"), 1, out, &st), 1);
  EXPECT_EQ(out[0], 'Y');
  EXPECT_EQ(base64_encode_block(reinterpret_cast<const uint8_t *>("b"), 1, out, &st), 1);
  EXPECT_EQ(out[0], 'W');
  EXPECT_EQ(base64_encode_blockend(out, &st), 2);
  EXPECT_EQ(std::string(out, 2), "I=");
  // after blockend the state starts a new group
  EXPECT_EQ(base64_encode_blockend(out, &st), 0);
  EXPECT_EQ(base64_encode_block(reinterpret_cast<const uint8_t *>("x"), 0, out, &st), 0);
  EXPECT_EQ(base64_encode_block(reinterpret_cast<const uint8_t *>("x"), -3, out, &st), 0);
}

TEST(Base64, PiecewiseEqualsWhole) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; round++) {
    std::string bytes = random_bytes(rng, rng() % 300);
    std::string whole = base64_encode(bytes);
    std::vector<size_t> sizes{1 + rng() % 5, 1 + rng() % 7, 1 + rng() % 64};
    EXPECT_EQ(encode_in_pieces(bytes, sizes), whole);
    // decode in pieces through one state, with junk between the pieces
    base64_decodestate st;
    base64_init_decodestate(&st);
    std::string back;
    size_t at = 0;
    while (at < whole.size()) {
      size_t k = std::min<size_t>(1 + rng() % 9, whole.size() - at);
      std::string piece = whole.substr(at, k) + "\r\n ";
      std::vector<uint8_t> out(size_t(base64_decode_block_bound(int64_t(piece.size()))));
      int64_t n = base64_decode_block(piece.data(), int64_t(piece.size()), out.data(), &st);
      back.append(reinterpret_cast<char *>(out.data()), size_t(n));
      at += k;
    }
    EXPECT_EQ(back, bytes);
  }
}

TEST(Base64, OutputStaysWithinTheBounds) {
  // Every starting state, every short length: the bound holds exactly sized.
  for (int lead = 0; lead < 3; lead++) {
    for (int64_t n = 0; n < 40; n++) {
      base64_encodestate st;
      base64_init_encodestate(&st);
      std::vector<char> scratch(8);
      std::string lead_bytes(size_t(lead), 'q');
      base64_encode_block(reinterpret_cast<const uint8_t *>(lead_bytes.data()), lead,
                          scratch.data(), &st);
      std::string bytes(size_t(n), '\x5a');
      std::vector<char> out(size_t(base64_encode_block_bound(n)));
      int64_t got = base64_encode_block(reinterpret_cast<const uint8_t *>(bytes.data()), n,
                                        out.data(), &st);
      EXPECT_LE(got, base64_encode_block_bound(n));
    }
  }
  for (int lead = 0; lead < 4; lead++) {
    for (int64_t n = 0; n < 40; n++) {
      base64_decodestate st;
      base64_init_decodestate(&st);
      uint8_t scratch[4];
      base64_decode_block("QUJD", lead, scratch, &st);
      std::string text(size_t(n), 'Q');
      std::vector<uint8_t> out(size_t(base64_decode_block_bound(n)));
      int64_t got = base64_decode_block(text.data(), n, out.data(), &st);
      EXPECT_LE(got, base64_decode_block_bound(n));
    }
  }
  EXPECT_EQ(base64_encode_block_bound(-1), 0);
  EXPECT_EQ(base64_decode_block_bound(-1), 0);
}

TEST(Base64, RandomRoundTrips) {
  std::mt19937 rng(11);
  for (int round = 0; round < 100; round++) {
    std::string bytes = random_bytes(rng, rng() % 5000);
    std::string text = base64_encode(bytes);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.find_first_of("+/\n"), std::string::npos);
    EXPECT_EQ(base64_decode(text), bytes);
  }
}
