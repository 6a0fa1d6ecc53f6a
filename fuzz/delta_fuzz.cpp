// apply_diff on arbitrary bytes (also with almost no room to hold its
// result), and generate_diff / apply_diff round trips; nothing stays held.
// The first byte picks the mode; the others are the delta or the two strings.
#include <lz4.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "platform/host_log.h"
#include "values/crc32.h"
#include "values/delta.h"

namespace {

// A fixed source for the deltas: 600 bytes with repeats, so copies land.
const std::string &fixed_source() {
  static const std::string s = [] {
    std::string t;
    for (int i = 0; i < 600; i++) t.push_back(char((i * 7 + i / 50) & 0x3F));
    return t;
  }();
  return s;
}

const uint8_t *bytes_of(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

void check_applied(const std::string &src, const std::vector<uint8_t> &delta) {
  {
    // With almost no room left, a delta fails cleanly.
    memory_hold taken;
    if (!taken.hold(unowned_memory_room - 2048)) abort();
    buffer_owner tight(apply_diff(bytes_of(src), int64_t(src.size()), delta.data(),
                                  int64_t(delta.size())));
    if (tight && int64_t(tight->capacity) > 2048) abort();
  }
  buffer_owner out(apply_diff(bytes_of(src), int64_t(src.size()), delta.data(),
                              int64_t(delta.size())));
  if (!out) return;
  // a result is whole: the length and CRC its stream states
  if (out->length < 0 || uint64_t(out->length) >= out->capacity) abort();
  if (out->data[out->length] != 0) abort();
}

// The fuzzer rarely guesses a CRC-32: write the source's in, so the records
// behind it are reached.
std::vector<uint8_t> with_source_crc(const uint8_t *p, size_t n, const std::string &src) {
  std::vector<uint8_t> v(p, p + n);
  if (v.size() >= 8) {
    uint32_t c = crc32b(bytes_of(src), int64_t(src.size()));
    for (int i = 0; i < 4; i++) v[4 + size_t(i)] = uint8_t(c >> (8 * i));
  }
  if (v.size() >= 4 && std::memcmp(v.data(), "dst", 4) == 0) v[0] = 'D';
  return v;
}

std::vector<uint8_t> wrapped(const std::vector<uint8_t> &inner) {
  int bound = LZ4_compressBound(int(inner.size()));
  std::vector<uint8_t> v(8 + size_t(bound));
  std::memcpy(v.data(), "dst", 4);
  for (int i = 0; i < 4; i++) v[4 + size_t(i)] = uint8_t(inner.size() >> (8 * i));
  int n = LZ4_compress_default(reinterpret_cast<const char *>(inner.data()),
                               reinterpret_cast<char *>(v.data() + 8), int(inner.size()), bound);
  v.resize(8 + size_t(n > 0 ? n : 0));
  return v;
}

// Two bytes say where the rest splits into a and b.
void round_trip(const uint8_t *p, size_t n) {
  if (n < 2) return;
  size_t cut = (size_t(p[0]) << 8 | p[1]) % (n - 1);
  p += 2;
  n -= 2;
  std::string a(reinterpret_cast<const char *>(p), cut);
  std::string b(reinterpret_cast<const char *>(p + cut), n - cut);
  // stretch b out of a's pieces now and then, so copies are found
  if (!a.empty() && b.size() % 3 == 0) b = a.substr(a.size() / 3) + b + a;
  buffer_owner d(generate_diff(bytes_of(a), int64_t(a.size()), bytes_of(b), int64_t(b.size())));
  if (!d) abort();
  buffer_owner r(apply_diff(bytes_of(a), int64_t(a.size()), d->data, d->length));
  if (!r || size_t(r->length) != b.size() || std::memcmp(r->data, b.data(), b.size()) != 0)
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  hovi_set_log_path("/dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t *p = data + 1;
  size_t n = size - 1;
  const std::string &src = fixed_source();
  switch (data[0] & 3) {
  case 0: check_applied(src, std::vector<uint8_t>(p, p + n)); break;
  case 1: check_applied(src, with_source_crc(p, n, src)); break;
  case 2: check_applied(src, wrapped(with_source_crc(p, n, src))); break;
  default: round_trip(p, n); break;
  }
  if (process_memory_room(nullptr) != unowned_memory_room) abort();  // nothing stays held
  return 0;
}
