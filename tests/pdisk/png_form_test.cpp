// The png cartridge form: the payload in the picture's low bits reads back as
// the rom form of the folder (less its label images), the picture carries the
// template, the label image and the label text, and a rom form past the limit
// is refused.
#include "pdisk/png_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "gfx/cart_label.h"
#include "kernel/buffer.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "pdisk/ram_folder.h"
#include "tests/pdisk/vfs_fixture.h"
#include "values/png_qoi.h"

namespace {

constexpr size_t image_bytes = size_t{kvt_png_width} * kvt_png_height * 4;

// The low bits of every byte, least significant first, back into bytes.
std::string payload_of(const uint8_t *rgba) {
  std::string out;
  uint32_t acc = 0;
  int have = 0;
  for (size_t i = 0; i < image_bytes; i++) {
    int k = kvt_png_bits_of(int64_t(i));
    acc |= uint32_t(rgba[i] & ((1 << k) - 1)) << have;
    for (have += k; have >= 8; have -= 8, acc >>= 8) out.push_back(char(acc & 0xFF));
  }
  return out;
}

std::vector<uint8_t> solid(int w, int h, uint32_t rgba) {
  std::vector<uint8_t> px(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < px.size(); i += 4)
    for (int c = 0; c < 4; c++) px[i + size_t(c)] = uint8_t(rgba >> (24 - 8 * c));
  return px;
}

std::string png_of(const std::vector<uint8_t> &px, int w, int h) {
  buffer_owner b(create_buffer_2(16, 0));
  EXPECT_EQ(LodePNG_encode32_pbuffer(px.data(), unsigned(w), unsigned(h), b.get()), 0u);
  return std::string(reinterpret_cast<const char *>(b->data), size_t(b->length));
}

class PngForm : public Vfs {
 protected:
  // The picture a write made: 512 x 384 RGBA.
  std::vector<uint8_t> picture(buffer *out) {
    image_pixels px;
    unsigned w = 0, h = 0;
    EXPECT_EQ(LodePNG_decode32_pbuffer(&px, &w, &h, out, 1 << 20), 0u);
    EXPECT_EQ(w, unsigned(kvt_png_width));
    EXPECT_EQ(h, unsigned(kvt_png_height));
    if (!px) return {};
    return std::vector<uint8_t>(px.get(), px.get() + image_bytes);
  }
  // The picture's upper bits at (x, y), channel c.
  static int upper(const std::vector<uint8_t> &img, int x, int y, int c) {
    int k = c == 3 ? 2 : 3;
    return img[(size_t(y) * kvt_png_width + size_t(x)) * 4 + size_t(c)] >> k << k;
  }
};

TEST_F(PngForm, PayloadReadsBackAsTheRomFormWithoutLabels) {
  ASSERT_TRUE(mount_ram_folder("/ram/mount/abc"));
  ASSERT_TRUE(put("/ram/mount/abc/main.lua", "print('hello')\n"));
  ASSERT_EQ(pmkdir("/ram/mount/abc/gfx"), 0);
  ASSERT_TRUE(put("/ram/mount/abc/gfx/0.gfx", std::string(3000, '\x7f')));
  ASSERT_TRUE(put("/ram/mount/abc/label.png", png_of(solid(480, 270, 0x3060C0FF), 480, 270)));
  ASSERT_TRUE(put("/ram/mount/abc/label.qoi", "not used while label.png is there"));
  ASSERT_TRUE(put("/ram/mount/abc/.info.tuk", "{kind=\"cart\",title=\"Dune \\\"Sea\\\"\",version=\"0.3\",author=\"Ann\"}"));
  // Template: a picture of the right size on the system drive.
  host_put("system/misc/kvt_cart.png", png_of(solid(512, 384, 0xA0508030), 512, 384));

  buffer_owner out(create_buffer_2(16, 0));
  bappend_str(out.get(), "head");
  ASSERT_TRUE(write_kvt_png_from_ram_files(out.get(), "/ram/mount/abc"));
  EXPECT_EQ(memcmp(out->data, "head\x89PNG", 8), 0) << "appended at the position";
  bcrop(out.get(), 4, out->length - 4);
  std::vector<uint8_t> img = picture(out.get());
  ASSERT_EQ(img.size(), image_bytes);

  std::string payload = payload_of(img.data());
  std::vector<cart_entry> got;
  EXPECT_EQ(decode_kvt_rom(reinterpret_cast<const uint8_t *>(payload.data()), int64_t(payload.size()), "", &got),
            kvt_rom_kind::cart)
      << "the zero bits after the rom form are not read";
  std::vector<cart_entry> want;
  for (cart_entry &e : collect_ram_folder_entries("/ram/mount/abc"))
    if (e.name != "label.png" && e.name != "label.qoi") want.push_back(e);
  EXPECT_EQ(got, want);
  // The rom form itself, byte for byte, then zeros.
  buffer_owner rom(create_buffer_2(16, 0));
  ASSERT_TRUE(write_kvt_rom_from_ram_files(rom.get(), "/ram/mount/abc", kvt_rom_skip_labels));
  EXPECT_EQ(payload.substr(0, size_t(rom->length)), std::string(reinterpret_cast<const char *>(rom->data), size_t(rom->length)));
  EXPECT_EQ(payload.find_first_not_of('\0', size_t(rom->length)), std::string::npos);

  // The picture: the template, the label image at (16, 38), the label text from (80, 326).
  EXPECT_EQ(upper(img, 3, 3, 0), 0xA0);
  EXPECT_EQ(upper(img, 3, 3, 1), 0x50);
  EXPECT_EQ(upper(img, 500, 380, 3), 0x30);
  EXPECT_EQ(upper(img, 16, 38, 0), 0x30);
  EXPECT_EQ(upper(img, 495, 307, 2), 0xC0);
  EXPECT_EQ(upper(img, 15, 38, 0), 0xA0);
  int light = 0, dark = 0, small = 0;
  for (int y = 326; y < 346; y++)
    for (int x = 80; x < 80 + 2 * label_text_width; x++) {
      light += upper(img, x, y, 0) == 208 && y % 2 == 0;
      dark += upper(img, x, y, 0) == 128 && y % 2 == 1;
    }
  for (int y = 354; y < 364; y++)
    for (int x = 80; x < 80 + label_text_width; x++) small += upper(img, x, y, 0) == 144;
  std::vector<uint8_t> text = draw_label_text("{kind=\"cart\",title=\"Dune \\\"Sea\\\"\",version=\"0.3\",author=\"Ann\"}");
  int top = 0, bottom = 0;
  for (size_t i = 0; i < text.size(); i++) (i < text.size() / 2 ? top : bottom) += text[i] != 0;
  EXPECT_GT(top, 20);
  EXPECT_EQ(light, 2 * top);
  EXPECT_EQ(dark, 2 * top);
  EXPECT_EQ(small, bottom);
}

TEST_F(PngForm, LabelQoiWithoutLabelPngAndAPlainPictureWithoutTemplate) {
  ASSERT_TRUE(mount_ram_folder("/ram/mount/q"));
  std::vector<uint8_t> px = solid(480, 270, 0x10E0F0FF);
  int n = 0;
  image_pixels qoi = encode_qoi(px.data(), label_qoi_desc, &n);
  ASSERT_TRUE(put("/ram/mount/q/label.qoi", std::string(reinterpret_cast<const char *>(qoi.get()), size_t(n))));
  buffer_owner out(create_buffer_2(16, 0));
  ASSERT_TRUE(write_kvt_png_from_ram_files(out.get(), "/ram/mount/q"));
  std::vector<uint8_t> img = picture(out.get());
  ASSERT_EQ(img.size(), image_bytes);
  EXPECT_EQ(upper(img, 100, 100, 1), 0xE0);
  EXPECT_EQ(upper(img, 100, 100, 3), 0xFC);
  EXPECT_NE(upper(img, 4, 4, 0), 0xE0 & 0xF8) << "outside the label: the plain picture";
  std::string payload = payload_of(img.data());
  std::vector<cart_entry> got;
  decode_kvt_rom(reinterpret_cast<const uint8_t *>(payload.data()), int64_t(payload.size()), "", &got);
  EXPECT_TRUE(got.empty()) << "a folder of label images only";

  // A label of the wrong size, or a bomb of a header, is not used.
  ASSERT_TRUE(put("/ram/mount/q/label.png", png_of(solid(48, 27, 0xFFFFFFFF), 48, 27)));
  bclear(out.get());
  ASSERT_TRUE(write_kvt_png_from_ram_files(out.get(), "/ram/mount/q"));
  img = picture(out.get());
  EXPECT_NE(upper(img, 100, 100, 1), 0xE0) << "label.png opens: no fall back to label.qoi";
}

TEST(CartLabel, FieldsAreTakenUpToTheClosingQuoteAndBounded) {
  struct row {
    std::string tuk;
    label_fields want;
  } rows[] = {
      {"{a=1,title=\"T\",version=\"v2\",author=\"Bo\"}", {"T", "v2", "Bo"}},
      {"{title=\"no comma before\"}", {"", "", ""}},
      {"{x=0,author=\"A \\\"B\\\"\",title=\"\"}", {"", "", "A \"B\""}},
      {"{x=0,title=\"unterminated", {"unterminated", "", ""}},
      {"{x=0,version=\"" + std::string(5000, 'v') + "\"}", {"", std::string(label_version_max, 'v'), ""}},
      {"{x=0,title=\"" + std::string(5000, 't') + "\",author=\"" + std::string(5000, 'a') + "\"}",
       {std::string(label_title_max, 't'), "", std::string(label_author_max, 'a')}},
  };
  for (const row &r : rows) {
    label_fields f = extract_label_text(r.tuk);
    EXPECT_EQ(f.title, r.want.title) << r.tuk.substr(0, 40);
    EXPECT_EQ(f.version, r.want.version) << r.tuk.substr(0, 40);
    EXPECT_EQ(f.author, r.want.author) << r.tuk.substr(0, 40);
  }
  // Nothing to print, nothing drawn; a title's pokes reach no later label.
  std::vector<uint8_t> none = draw_label_text("{}");
  EXPECT_EQ(std::count(none.begin(), none.end(), 0), label_text_width * label_text_height);
  std::vector<uint8_t> plain = draw_label_text("{x=0,title=\"AB\"}");
  draw_label_text("{x=0,title=\"\x06!5f5600\"}");  // pokes the font page
  EXPECT_EQ(draw_label_text("{x=0,title=\"AB\"}"), plain);
  EXPECT_GT(std::count_if(plain.begin(), plain.end(), [](uint8_t v) { return v != 0; }), 10);
}

TEST_F(PngForm, RomFormsPastTheLimitAreRefused) {
  ASSERT_TRUE(processes_init());
  for (const char *name : {"one", "two", "three"}) ASSERT_NE(create_process_from_code("", name, name), nullptr);
  process *display = get_process(3);
  ASSERT_TRUE(mount_ram_folder("/ram/mount/big"));
  std::mt19937 rng(5);
  std::string noise(270000, '\0');
  for (char &c : noise) c = char(rng());
  // Random bytes do not compress: find the body whose rom form is exactly at the limit.
  auto rom_length = [&](size_t n) {
    buffer_owner rom(create_buffer_2(16, 0));
    EXPECT_TRUE(write_kvt_rom_entries(rom.get(), {{"x.bin", noise.substr(0, n)}}, kvt_rom_skip_labels));
    return int64_t(rom->length);
  };
  size_t n = 260000;
  for (int i = 0; i < 40 && rom_length(n) != kvt_png_rom_max; i++)
    n = size_t(int64_t(n) + kvt_png_rom_max - rom_length(n));
  ASSERT_EQ(rom_length(n), kvt_png_rom_max);
  ASSERT_EQ(rom_length(n + 1), kvt_png_rom_max + 1);
  for (size_t size : {n, n + 1}) {
    ASSERT_TRUE(put("/ram/mount/big/x.bin", noise.substr(0, size)));
    buffer_owner out(create_buffer_2(16, 0));
    bappend_str(out.get(), "kept");
    bool fits = size == n;
    EXPECT_EQ(write_kvt_png_from_ram_files(out.get(), "/ram/mount/big"), fits);
    EXPECT_EQ(out->length > 4, fits);
    buffer *m = read_process_message(display, nullptr);
    EXPECT_EQ(m != nullptr, !fits);
    if (m) {
      EXPECT_NE(std::string(reinterpret_cast<const char *>(m->data)).find(kvt_png_too_large), std::string::npos);
    }
  }
  processes_init();
}

}  // namespace
