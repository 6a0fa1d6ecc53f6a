// PNG and QOI glue: our encodings read back by independent decoders (Python's
// PIL, the reference qoiconv tool), and images refused by their headers.
#include "values/png_qoi.h"

#include "values/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/host_command.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

fs::path scratch_dir() {
  fs::path d = fs::temp_directory_path() / ("kestrune_png_" + std::to_string(getpid()));
  fs::create_directories(d);
  return d;
}

void write_file(const fs::path &p, const uint8_t *data, size_t n) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(n));
}

bytes read_file(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), {});
}

// Pixels with runs, repeats and noise, so every QOI op and PNG filter is used.
bytes test_image(unsigned w, unsigned h, unsigned seed) {
  std::mt19937 rng(seed);
  bytes px(size_t{w} * h * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    size_t p = i / 4;
    if (p % 97 < 30 && p > 0) {
      memcpy(&px[i], &px[i - 4], 4);  // a repeat
    } else if (p % 5 == 0) {
      for (int c = 0; c < 4; c++) px[i + c] = static_cast<uint8_t>(rng());
    } else {
      for (int c = 0; c < 3; c++) px[i + c] = static_cast<uint8_t>((p * (c + 3)) / 7);
      px[i + 3] = p % 11 ? 255 : static_cast<uint8_t>(rng());
    }
  }
  return px;
}

TEST(PngGlue, EncodeDecodeRoundTrip) {
  bytes px = test_image(37, 23, 1);
  buffer_owner file(create_buffer_2(16, 0));
  bappend_str(file.get(), "head");  // the file goes after what the buffer holds
  ASSERT_EQ(LodePNG_encode32_pbuffer(px.data(), 37, 23, file.get()), 0u);
  EXPECT_EQ(memcmp(file->data, "head\x89PNG", 8), 0);
  bcrop(file.get(), 4, file->length - 4);
  image_pixels out;
  unsigned w = 0, h = 0;
  file->position = 17;
  ASSERT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, file.get(), 37 * 23), 0u);
  EXPECT_EQ(file->position, 0) << "decoding starts from the front";
  EXPECT_EQ(w, 37u);
  EXPECT_EQ(h, 23u);
  EXPECT_EQ(memcmp(out.get(), px.data(), px.size()), 0);
}

TEST(PngGlue, RefusesImagesAboveTheLimitFromTheHeader) {
  bytes px = test_image(64, 64, 2);
  buffer_owner file(create_buffer_2(16, 0));
  ASSERT_EQ(LodePNG_encode32_pbuffer(px.data(), 64, 64, file.get()), 0u);
  image_pixels out;
  unsigned w = 0, h = 0;
  EXPECT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, file.get(), 64 * 64 - 1), png_error_too_large);
  EXPECT_EQ(out, nullptr);
  // A header claiming 2^31 x 2^31 pixels, with nothing behind it: refused
  // before anything is allocated for it.
  bytes huge(file->data, file->data + 33);
  for (int at : {16, 20}) {
    huge[at] = 0x7F;
    huge[at + 1] = huge[at + 2] = huge[at + 3] = 0xFF;
  }
  uint32_t crc = crc32b(huge.data() + 12, 17);  // "IHDR" and its 13 bytes
  for (int i = 0; i < 4; i++) huge[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  buffer_owner liar(create_buffer_2(64, 0));
  bappend_bytes(liar.get(), huge.data(), static_cast<int64_t>(huge.size()));
  EXPECT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, liar.get(), 480 * 270), png_error_too_large);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, nullptr, 100), png_error_no_buffer);
  EXPECT_EQ(LodePNG_encode32_pbuffer(px.data(), 4, 4, nullptr), png_error_no_buffer);
  buffer_owner junk(create_buffer_from_str("not a png at all"));
  EXPECT_NE(LodePNG_decode32_pbuffer(&out, &w, &h, junk.get(), 100), 0u);
}

TEST(PngGlue, OtherFormats) {
  bytes grey(16 * 8);
  for (size_t i = 0; i < grey.size(); i++) grey[i] = static_cast<uint8_t>(i * 2);
  buffer_owner file(create_buffer_2(16, 0));
  ASSERT_EQ(LodePNG_encode_pbuffer(grey.data(), 16, 8, LCT_GREY, 8, file.get()), 0u);
  image_pixels out;
  unsigned w, h;
  ASSERT_EQ(LodePNG_decode_pbuffer(&out, &w, &h, file.get(), LCT_GREY, 8, 1000), 0u);
  EXPECT_EQ(memcmp(out.get(), grey.data(), grey.size()), 0);
  ASSERT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, file.get(), 1000), 0u);
  EXPECT_EQ(out[4 * 5 + 0], grey[5]);
  EXPECT_EQ(out[4 * 5 + 3], 255) << "converted to RGBA";
}

TEST(PngGlue, PilReadsTheSamePixels) {
  std::string probe;
  if (!run_command("/usr/bin/python3 -c 'import PIL' 2>&1", &probe))
    GTEST_SKIP() << "python3-pil (Debian package) is not installed";
  fs::path dir = scratch_dir();
  for (auto [w, h] : {std::pair{37u, 23u}, std::pair{480u, 270u}, std::pair{1u, 1u}}) {
    bytes px = test_image(w, h, w);
    buffer_owner file(create_buffer_2(16, 0));
    ASSERT_EQ(LodePNG_encode32_pbuffer(px.data(), w, h, file.get()), 0u);
    write_file(dir / "image.png", file->data, static_cast<size_t>(file->length));
    std::string out;
    ASSERT_TRUE(run_command("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                            "im = Image.open(sys.argv[1]).convert('RGBA'); "
                            "sys.stdout.buffer.write(b'%d %d ' % im.size + im.tobytes())\" " +
                                (dir / "image.png").string(),
                            &out));
    std::string head = std::to_string(w) + " " + std::to_string(h) + " ";
    ASSERT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(head.size()), std::string(px.begin(), px.end())) << w << "x" << h;
  }
  fs::remove_all(dir);
}

TEST(QoiGlue, RoundTripAndLimits) {
  bytes px = test_image(480, 270, 3);
  int n = 0;
  image_pixels file = encode_qoi(px.data(), label_qoi_desc, &n);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(memcmp(file.get(), "qoif", 4), 0);
  EXPECT_EQ(file[12], 4);
  EXPECT_EQ(file[13], 1) << "all channels linear";
  qoi_desc desc{};
  image_pixels back = decode_qoi(file.get(), n, &desc, 480 * 270);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(desc.width, 480u);
  EXPECT_EQ(desc.height, 270u);
  EXPECT_EQ(desc.channels, 4);
  EXPECT_EQ(memcmp(back.get(), px.data(), px.size()), 0);
  EXPECT_EQ(decode_qoi(file.get(), n, &desc, 480 * 270 - 1), nullptr);
  EXPECT_EQ(decode_qoi(file.get(), 13, &desc, 480 * 270), nullptr);
  EXPECT_EQ(decode_qoi(nullptr, 100, &desc, 480 * 270), nullptr);
  bytes liar(file.get(), file.get() + 30);
  liar[4] = liar[8] = 0x40;  // 2^30 x 2^30
  EXPECT_EQ(decode_qoi(liar.data(), static_cast<int64_t>(liar.size()), &desc, 480 * 270), nullptr);
  bytes bad(file.get(), file.get() + n);
  bad[0] = 'x';
  EXPECT_EQ(decode_qoi(bad.data(), n, &desc, 480 * 270), nullptr);
}

TEST(QoiGlue, EqualsTheReferenceToolButForTheColourSpace) {
  std::string probe;
  if (!run_command("command -v qoiconv", &probe))
    GTEST_SKIP() << "qoiconv (Debian package qoi) is not installed";
  fs::path dir = scratch_dir();
  bytes px = test_image(480, 270, 4);
  buffer_owner png(create_buffer_2(16, 0));
  ASSERT_EQ(LodePNG_encode32_pbuffer(px.data(), 480, 270, png.get()), 0u);
  write_file(dir / "label.png", png->data, static_cast<size_t>(png->length));
  std::string out;
  ASSERT_TRUE(run_command("qoiconv " + (dir / "label.png").string() + " " +
                              (dir / "label.qoi").string() + " 2>&1",
                          &out))
      << out;
  bytes reference = read_file(dir / "label.qoi");
  int n = 0;
  image_pixels ours = encode_qoi(px.data(), label_qoi_desc, &n);
  ASSERT_EQ(static_cast<size_t>(n), reference.size());
  EXPECT_EQ(reference[13], 0) << "the tool writes sRGB";
  reference[13] = ours[13];
  EXPECT_EQ(memcmp(ours.get(), reference.data(), reference.size()), 0);
  fs::remove_all(dir);
}

}  // namespace
