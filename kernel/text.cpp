// Cleaning host text.
#include "kernel/text.h"

#include <cstdint>
#include <cstring>

namespace {

// Where the text starts, how wide its units are and which byte of a unit is kept.
struct text_layout {
  size_t start;
  size_t unit;
  size_t pick;
};

text_layout detect_layout(const uint8_t *p, size_t n) {
  // -1 for a byte the text does not have, so a short text matches no mark
  // it does not hold in full.
  auto at = [&](size_t i) { return i < n ? int(p[i]) : -1; };
  if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) return {3, 1, 0};
  if (at(0) == 0xFE && at(1) == 0xFF && (at(2) > 0 || at(3) > 0)) return {2, 2, 1};
  if (at(0) == 0xFF && at(1) == 0xFE && at(2) == 0 && at(3) == 0) return {4, 4, 0};
  if (at(0) == 0xFF && at(1) == 0xFE) return {2, 2, 0};
  if (at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) return {4, 4, 3};
  return {0, 1, 0};
}

// Writes at most n bytes to out; returns how many.
size_t clean_into(const uint8_t *p, size_t n, uint8_t *out) {
  text_layout l = detect_layout(p, n);
  size_t count = 0;
  if (l.unit == 1) {
    // Byte text: the runs between carriage returns move whole.
    for (size_t i = l.start; i < n;) {
      const void *cr = memchr(p + i, '\r', n - i);
      size_t end = cr ? size_t(static_cast<const uint8_t *>(cr) - p) : n;
      memcpy(out + count, p + i, end - i);
      count += end - i;
      i = end + 1;
    }
    return count;
  }
  for (size_t i = l.start; i + l.unit <= n; i += l.unit) {
    uint8_t b = p[i + l.pick];
    if (b != '\r') out[count++] = b;
  }
  return count;
}

}  // namespace

std::string clean_windows_text(std::string_view text) {
  std::string out(text.size(), '\0');
  out.resize(clean_into(reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                        reinterpret_cast<uint8_t *>(out.data())));
  return out;
}

buffer *clean_windows_text_file(const buffer *buf) {
  if (!buf) return nullptr;
  size_t n = buf->length > 0 ? size_t(buf->length) : 0;
  buffer *out = create_buffer_2(int64_t(n), buffer_group_clean_text);
  if (!out) return nullptr;
  out->length = int32_t(clean_into(buf->data, n, out->data));
  return out;
}
