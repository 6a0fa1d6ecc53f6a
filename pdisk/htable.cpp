// htable: the file history's path table.
#include "pdisk/htable.h"

namespace {

// Store offsets are 32-bit: a table that has grown this far takes no more.
constexpr size_t store_max = 0xF0000000u;

std::string_view at(const std::string &store, uint32_t offset) {
  return std::string_view(store.c_str() + offset);
}

uint32_t append(std::string &store, std::string_view text) {
  uint32_t offset = uint32_t(store.size());
  store.append(text);
  store.push_back('\0');
  return offset;
}

} // namespace

std::unique_ptr<htable> create_htable(uint32_t capacity) {
  if (capacity == 0 || (capacity & (capacity - 1)) != 0 || capacity > (1u << 24)) return nullptr;
  auto t = std::make_unique<htable>();
  t->capacity = capacity;
  t->keys.assign(capacity, 0);
  t->values.assign(capacity, 0);
  return t;
}

uint32_t htable_hash(std::string_view key) {
  uint32_t h = 0xCAFEF00Du;
  for (char ch : key) {
    int32_t c = static_cast<int8_t>(ch);
    h = static_cast<uint32_t>(c) * (h ^ 0xF1378C35u);
    h ^= static_cast<uint32_t>(static_cast<int32_t>(h) >> 15);
  }
  return h;
}

std::optional<std::string_view> htable_get(const htable &t, std::string_view key) {
  uint32_t mask = t.capacity - 1;
  uint32_t slot = htable_hash(key) & mask;
  uint32_t step = (slot & 31) + 1;
  for (int i = 0; i < htable_probe_max; i++, slot = (slot + step) & mask) {
    uint32_t k = t.keys[slot];
    if (k != 0 && at(t.key_store, k) == key) return at(t.value_store, t.values[slot]);
  }
  return std::nullopt;
}

int htable_insert(htable &t, std::string_view key, std::string_view value) {
  // A NUL inside would cut the key short when read back.
  if (key.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos) return 1;
  if (t.key_store.size() + key.size() > store_max || t.value_store.size() + value.size() > store_max)
    return 1;
  uint32_t mask = t.capacity - 1;
  uint32_t slot = htable_hash(key) & mask;
  uint32_t step = (slot & 31) + 1;
  int64_t free_slot = -1;
  for (int i = 0; i < htable_probe_max; i++, slot = (slot + step) & mask) {
    uint32_t k = t.keys[slot];
    if (k == 0) {
      if (free_slot < 0) free_slot = slot;
    } else if (at(t.key_store, k) == key) {
      t.values[slot] = append(t.value_store, value);
      return 0;
    }
  }
  if (free_slot < 0) return 1;
  t.keys[size_t(free_slot)] = append(t.key_store, key);
  t.values[size_t(free_slot)] = append(t.value_store, value);
  t.count++;
  return 0;
}
