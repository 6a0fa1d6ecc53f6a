// png_form: the cartridge as a picture.
#include "pdisk/png_form.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "gfx/cart_label.h"
#include "kernel/buffer.h"
#include "kernel/messages.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "values/png_qoi.h"

namespace {

constexpr int W = kvt_png_width, H = kvt_png_height;
constexpr int label_w = 480, label_h = 270, label_x = 16, label_y = 38;
constexpr size_t image_bytes = size_t{W} * H * 4;

const cart_entry *find_entry(const std::vector<cart_entry> &entries, std::string_view name) {
  for (const cart_entry &e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

void fill(std::vector<uint8_t> &img, int x0, int y0, int x1, int y1, uint32_t rgb) {
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++) {
      uint8_t *p = &img[(size_t(y) * W + size_t(x)) * 4];
      p[0] = uint8_t(rgb >> 16), p[1] = uint8_t(rgb >> 8), p[2] = uint8_t(rgb), p[3] = 255;
    }
}

// The picture without a template: a dark cartridge, its label window and the
// strip the label text goes on.
std::vector<uint8_t> plain_cartridge() {
  std::vector<uint8_t> img(image_bytes);
  fill(img, 0, 0, W, H, 0x1C1E26);
  fill(img, 8, 8, W - 8, H - 8, 0x2E3140);
  fill(img, label_x - 2, label_y - 2, label_x + label_w + 2, label_y + label_h + 2, 0x14151B);
  fill(img, 72, 320, 440, 370, 0x24262F);
  return img;
}

// The template picture, when the system has one of the right size.
std::vector<uint8_t> cartridge_picture() {
  pfile *f = pfopen(kvt_png_template, "r");
  if (!f) return plain_cartridge();
  image_pixels px;
  unsigned w = 0, h = 0;
  unsigned error = LodePNG_decode32_pbuffer(&px, &w, &h, f->data.get(), int64_t{W} * H);
  pfclose(f);
  if (error || w != unsigned(W) || h != unsigned(H)) return plain_cartridge();
  return std::vector<uint8_t>(px.get(), px.get() + image_bytes);
}

// label.png when the folder has one (used when 480 x 270), else label.qoi
// (480 x 270, four channels). Either is refused from its header when larger.
void copy_label_image(std::vector<uint8_t> &img, const std::vector<cart_entry> &entries) {
  image_pixels px;
  if (const cart_entry *png = find_entry(entries, "label.png")) {
    buffer_owner data(create_buffer_2(int64_t(png->data.size()) + 1, buffer_group_pfile));
    unsigned w = 0, h = 0;
    if (!data || bwrite(png->data.data(), 1, int64_t(png->data.size()), data.get()) != int64_t(png->data.size()) ||
        LodePNG_decode32_pbuffer(&px, &w, &h, data.get(), int64_t{label_w} * label_h) != 0 ||
        w != unsigned(label_w) || h != unsigned(label_h))
      return;
  } else if (const cart_entry *qoi = find_entry(entries, "label.qoi")) {
    qoi_desc desc{};
    px = decode_qoi(reinterpret_cast<const uint8_t *>(qoi->data.data()), int64_t(qoi->data.size()), &desc,
                    int64_t{label_w} * label_h);
    if (!px || desc.width != unsigned(label_w) || desc.height != unsigned(label_h) || desc.channels != 4) return;
  } else {
    return;
  }
  for (int y = 0; y < label_h; y++)
    memcpy(&img[(size_t(label_y + y) * W + label_x) * 4], px.get() + size_t(y) * label_w * 4, size_t{label_w} * 4);
}

void put(std::vector<uint8_t> &img, int x, int y, uint8_t grey) {
  uint8_t *p = &img[(size_t(y) * W + size_t(x)) * 4];
  p[0] = p[1] = p[2] = grey;
  p[3] = 255;
}

// Rows 0-9 of the text doubled in width, each on two image rows (light over
// dark) from (80, 326); rows 10-19 as they are from (80, 354).
void draw_label_strip(std::vector<uint8_t> &img, const std::vector<uint8_t> &text) {
  for (int r = 0; r < label_text_height; r++)
    for (int c = 0; c < label_text_width; c++) {
      if (!text[size_t(r) * label_text_width + size_t(c)]) continue;
      if (r < 10) {
        for (int k = 0; k < 2; k++) {
          put(img, 80 + 2 * c + k, 326 + 2 * r, 208);
          put(img, 80 + 2 * c + k, 327 + 2 * r, 128);
        }
      } else {
        put(img, 80 + c, 354 + r - 10, 144);
      }
    }
}

// The rom form's bits into the lowest bits of every image byte, least
// significant bit first; zeros after its end.
void embed(std::vector<uint8_t> &img, const uint8_t *rom, int64_t n) {
  int64_t bit = 0, total = n * 8;
  for (size_t i = 0; i < img.size(); i++) {
    int k = kvt_png_bits_of(int64_t(i));
    uint8_t v = 0;
    for (int j = 0; j < k && bit < total; j++, bit++) v |= uint8_t(((rom[bit >> 3] >> (bit & 7)) & 1) << j);
    img[i] = uint8_t((img[i] & ~((1 << k) - 1)) | v);
  }
}

}  // namespace

bool write_kvt_png_entries(buffer *out, const std::vector<cart_entry> &entries) {
  if (!out) return false;
  buffer_owner rom(create_buffer_2(65536, buffer_group_pfile));
  bool packed = rom && write_kvt_rom_entries(rom.get(), entries, kvt_rom_skip_labels | kvt_rom_label_text);
  if (!packed || rom->length > kvt_png_rom_max) {
    notify(kvt_png_too_large);
    return false;
  }
  std::vector<uint8_t> img = cartridge_picture();
  copy_label_image(img, entries);
  if (const cart_entry *info = find_entry(entries, ".info.tuk"))
    draw_label_strip(img, draw_label_text(info->data));
  embed(img, rom->data, rom->length);
  auto start = out->position;
  auto length = out->length;
  if (LodePNG_encode32_pbuffer(img.data(), W, H, out) != 0) {
    out->position = start;
    out->length = length;
    return false;
  }
  return true;
}

bool write_kvt_png_from_ram_files(buffer *out, std::string_view folder) {
  if (!out) return false;
  return write_kvt_png_entries(out, collect_ram_folder_entries(folder));
}
