// Byte-string helpers shared by the format tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A string literal with its NULs kept.
template <size_t N> std::string bin(const char (&s)[N]) { return std::string(s, N - 1); }

inline uint32_t le32(const std::string &s, size_t at) {
  auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

inline std::string u32le(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; i++) s.push_back(char(v >> (8 * i)));
  return s;
}

inline std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
