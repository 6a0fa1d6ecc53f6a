// base64 decoding of arbitrary text in arbitrary pieces, into buffers of
// exactly the stated bound, and encode / decode round trips.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "values/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  // pieces of 1..16 characters, their sizes taken from the text itself
  base64_decodestate st;
  base64_init_decodestate(&st);
  std::string pieces;
  for (size_t at = 0; at < size;) {
    size_t k = std::min<size_t>(1 + data[at] % 16, size - at);
    int64_t room = base64_decode_block_bound(int64_t(k));
    auto out = std::make_unique<uint8_t[]>(size_t(room) + 1);
    int64_t n = base64_decode_block(text.data() + at, int64_t(k), out.get(), &st);
    if (n < 0 || n > room) abort();
    pieces.append(reinterpret_cast<char *>(out.get()), size_t(n));
    at += k;
  }
  if (pieces != base64_decode(text)) abort();
  if (base64_decode(base64_encode(text)) != text) abort();
  return 0;
}
