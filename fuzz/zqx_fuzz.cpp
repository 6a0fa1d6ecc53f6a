// zqx_decompress on arbitrary bytes, into exactly capacity + 1 bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "pdisk/zqx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The first byte is never read by the decompressor, so it picks the room:
  // odd values a small one, so the capacity limit is exercised too.
  int64_t capacity = size > 0 && (data[0] & 1) ? data[0] >> 1 : zqx_max_output;
  auto out = std::make_unique<uint8_t[]>(size_t(capacity) + 1);
  int64_t n = zqx_decompress(data, int64_t(size), out.get(), capacity);
  int64_t promised = size >= 8 ? int64_t(data[4]) << 8 | data[5] : 0;
  // A copy may run past the stated length, never past the capacity; nothing
  // is produced when no length is stated.
  if (n < 0 || n > capacity || (promised == 0 && n != 0) || out[size_t(n)] != 0) abort();
  return 0;
}
