// text_form_fuzz: both text readers on arbitrary text. The first byte picks
// a header (none, version 1, version 2) so both readers are reached from any
// input; what they read must be safe to join to a folder and must survive
// writing and reading again unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/text_form.h"

static void check(bool ok) {
  if (!ok) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const std::string heads[] = {"", "h\nversion 1\n", "h\nversion 2\n\n"};
  // Exact size, so a read past the end is a sanitizer fault.
  std::vector<uint8_t> text(heads[data[0] % 3].begin(), heads[data[0] % 3].end());
  text.insert(text.end(), data + 1, data + size);

  std::vector<cart_entry> entries;
  kvt_text_kind kind = decode_kvt_text(text.data(), int64_t(text.size()), "/fuzz", &entries);
  if (kind == kvt_text_kind::unknown) check(entries.empty());
  for (const cart_entry &e : entries) {
    check(!e.name.empty() && e.name.find("..") == std::string::npos);
    if (kind == kvt_text_kind::legacy) check(e.name[0] != '/');
    if (e.name.back() == '/') check(e.data.empty());
  }

  buffer_owner out(create_buffer_2(0, 0));
  if (!write_kvt_text_entries(out.get(), entries, data[0] & 4)) {
    // only the legacy reader passes names the writer cannot hold
    check(kind == kvt_text_kind::legacy);
    return 0;
  }
  std::vector<cart_entry> again;
  kvt_text_kind kind2 = decode_kvt_text(out->data, out->length, "/fuzz", &again);
  check(kind2 == kvt_text_kind::cart && again == entries);
  return 0;
}
