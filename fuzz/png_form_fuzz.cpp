// png_form_fuzz: the png cartridge writer on a folder whose label image and
// ".info.tuk" are arbitrary bytes: byte 0 picks label.png or label.qoi, byte 1
// is the length of the ".info.tuk" text that follows, the rest is the image.
// The picture must always come out as a 512 x 384 PNG whose low bits carry the
// rom form.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/pfile.h"
#include "pdisk/png_form.h"
#include "values/png_qoi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool mounted = [] {
    pfile_init();
    pfile_reset();
    return mount_ram_folder("/system");  // no template there: the plain picture
  }();
  if (!mounted || size < 2) return 0;
  size_t info = std::min<size_t>(data[1], size - 2);
  std::vector<cart_entry> entries = {
      {"main.lua", "print(1)"},
      {".info.tuk", std::string(reinterpret_cast<const char *>(data + 2), info)},
      {data[0] & 1 ? "label.qoi" : "label.png", std::string(reinterpret_cast<const char *>(data + 2 + info), size - 2 - info)},
  };
  buffer_owner out(create_buffer_2(16, 0));
  if (!write_kvt_png_entries(out.get(), entries)) std::abort();
  image_pixels px;
  unsigned w = 0, h = 0;
  if (LodePNG_decode32_pbuffer(&px, &w, &h, out.get(), 1 << 20) != 0 || w != 512 || h != 384) std::abort();
  return 0;
}
