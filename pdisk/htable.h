// htable: the file history's table from a path to the hash of its last blob:
// open addressing with a short probe, keys and values kept in two stores.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A key or value is kept as its bytes and a NUL; slots hold offsets into the
// stores (an offset of 0 marks an empty slot: both stores begin with a NUL).
struct htable {
  uint32_t capacity = 0; // a power of two
  uint32_t count = 0;
  std::vector<uint32_t> keys;   // offset into key_store, 0 when empty
  std::vector<uint32_t> values; // offset into value_store
  std::string key_store{'\0'};
  std::string value_store{'\0'};
};

// Slots looked at from a key's home before giving up.
constexpr int htable_probe_max = 32;

// Null unless capacity is a power of two (1 .. 2^24).
std::unique_ptr<htable> create_htable(uint32_t capacity);
// The key's hash: h = 0xCAFEF00D; per byte c (as a signed 8-bit number)
// h = c * (h ^ 0xF1378C35), then h ^= h >> 15 with the sign filling in.
uint32_t htable_hash(std::string_view key);
std::optional<std::string_view> htable_get(const htable &t, std::string_view key);
// 0 stored (a key present gets the new value); 1 when none of its slots is
// free.
int htable_insert(htable &t, std::string_view key, std::string_view value);
