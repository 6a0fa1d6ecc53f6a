// The rom cartridge form (writer and reader of untrusted bytes) and the data
// pack builder behind kvt_pack.
#include <gtest/gtest.h>

#include "tests/test_bytes.h"
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/dat_pack.h"
#include "platform/atomic_write.h"
#include "pdisk/rom_form.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using entry_list = std::vector<cart_entry>;

// A literal's bytes, NULs included.

std::string encode(const entry_list &entries, int options = 0) {
  buffer_owner out(create_buffer_2(0, 0));
  EXPECT_TRUE(write_kvt_rom_entries(out.get(), entries, options));
  return std::string(reinterpret_cast<char *>(out->data), size_t(out->length));
}

// Decodes with standard output captured into *said (the reader's messages).
kvt_rom_kind decode(const std::string &bytes, entry_list *entries, std::string *said = nullptr) {
  CaptureStdout();
  kvt_rom_kind kind = decode_kvt_rom(reinterpret_cast<const uint8_t *>(bytes.data()),
                                     int64_t(bytes.size()), "/ram/t", entries);
  std::string text = GetCapturedStdout();
  if (said) *said = text;
  return kind;
}


// The uncompressed payload of a rom form, checking its header on the way.
std::string payload_of(const std::string &rom, size_t expect_size) {
  EXPECT_GE(rom.size(), 8u);
  EXPECT_EQ(rom.substr(0, 3), "kvt");
  EXPECT_EQ(uint8_t(rom[3]), 2);
  EXPECT_EQ(le32(rom, 4), rom.size() - 8);
  std::string out(expect_size + 16, '\0');
  int got = LZ4_decompress_safe(rom.data() + 8, out.data(), int(rom.size() - 8), int(out.size()));
  EXPECT_EQ(got, int(expect_size));
  out.resize(size_t(got > 0 ? got : 0));
  return out;
}

// A rom form around a payload written by hand.
std::string wrap_payload(const std::string &payload) {
  std::string block(size_t(LZ4_compressBound(int(payload.size()))), '\0');
  int n = LZ4_compress_default(payload.data(), block.data(), int(payload.size()), int(block.size()));
  block.resize(size_t(n));
  return bin("kvt\x02") + u32le(uint32_t(n)) + block;
}

std::string bytes_0_to_255(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s.push_back(char(i * 7 + 3));
  return s;
}

const entry_list sample = {
    {"main.lua", "print(\"hi\")\n"},
    {"gfx/", ""},
    {"gfx/0.gfx", bytes_0_to_255(1000)},
    {"empty.txt", ""},
    {"nul.bin", bin("a\0b\0")},
    {"sfx/", ""},
    {"sfx/deep/", ""},
    {".info.tuk", "--[[pod,title=\"x\"]]"},
};

// Names the reader hands back are always ones the file system may join.
void expect_sane_names(const entry_list &entries) {
  for (const cart_entry &e : entries) {
    EXPECT_GE(e.name.size(), 1u);
    EXPECT_LE(e.name.size(), size_t(kvt_rom_max_name));
    EXPECT_EQ(e.name.find(".."), std::string::npos);
    EXPECT_EQ(e.name.find('\0'), std::string::npos);
    if (!e.name.empty() && e.name.back() == '/') {
      EXPECT_TRUE(e.data.empty());
    }
  }
}

TEST(RomForm, RoundTripsFilesAndFolders) {
  std::string rom = encode(sample);
  entry_list back;
  EXPECT_EQ(decode(rom, &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, sample);

  // the payload is name, NUL, length, bytes, in the order given
  const std::string nul(1, '\0');
  std::string expect = "main.lua" + nul + "\x0c" + sample[0].data + "gfx/" + nul + "gfx/0.gfx" +
                       nul + "\xff" + u32le(1000) + sample[2].data + "empty.txt" + nul + nul +
                       "nul.bin" + nul + "\x04" + sample[4].data + "sfx/" + nul + "sfx/deep/" +
                       nul + ".info.tuk" + nul + char(sample[7].data.size()) + sample[7].data;
  EXPECT_EQ(payload_of(rom, expect.size()), expect);
}

TEST(RomForm, LengthIsOneByteUpTo254ThenU32) {
  std::string b254(254, 'x'), b255(255, 'y');
  std::string p = payload_of(encode({{"a", b254}, {"b", b255}}), 2 + 1 + 254 + 2 + 5 + 255);
  EXPECT_EQ(p.substr(0, 3), bin("a\0\xfe"));
  EXPECT_EQ(p.substr(3, 254), b254);
  EXPECT_EQ(p.substr(257, 7), bin("b\0\xff\xff\0\0\0"));
  EXPECT_EQ(p.substr(264), b255);

  entry_list back;
  EXPECT_EQ(decode(encode({{"a", b254}, {"b", b255}}), &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, (entry_list{{"a", b254}, {"b", b255}}));
}

TEST(RomForm, WriterAppendsAtThePosition) {
  buffer_owner out(create_buffer_2(0, 0));
  bappend_str(out.get(), "head|tail");
  out->position = 5;
  ASSERT_TRUE(write_kvt_rom_entries(out.get(), {{"f", "1"}}, 0));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out->data), 5), "head|");
  EXPECT_EQ(out->position, out->length);
  std::string rom(reinterpret_cast<char *>(out->data) + 5, size_t(out->length - 5));
  EXPECT_EQ(payload_of(rom, 4), bin("f\0\x01" "1"));

  // reading from a buffer starts at its position and leaves it at the end
  out->position = 5;
  entry_list back;
  EXPECT_EQ(read_kvt_rom_entries(out.get(), "/ram/t", &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, (entry_list{{"f", "1"}}));
  EXPECT_EQ(out->position, out->length);
}

TEST(RomForm, WriterOptions) {
  entry_list with_labels = {{"label.png", "P"}, {"label.qoi", "Q"}, {"sub/", ""},
                            {"sub/label.png", "S"}, {"main.lua", "M"}};
  entry_list back;
  decode(encode(with_labels, kvt_rom_skip_labels), &back);
  EXPECT_EQ(back, (entry_list{{"sub/", ""}, {"sub/label.png", "S"}, {"main.lua", "M"}}));

  back.clear();
  decode(encode(with_labels, 0), &back);
  EXPECT_EQ(back, with_labels);

  // the label text flag changes nothing in the payload
  EXPECT_EQ(encode(with_labels, kvt_rom_label_text), encode(with_labels, 0));
}



TEST(RomForm, DataWithoutMagicIsAProgram) {
  entry_list back;
  EXPECT_EQ(decode("print(1)", &back), kvt_rom_kind::program);
  EXPECT_EQ(back, (entry_list{{"main.lua", "print(1)"}}));

  back.clear();
  EXPECT_EQ(decode(bin("print(2)\0junk"), &back), kvt_rom_kind::program);
  EXPECT_EQ(back, (entry_list{{"main.lua", "print(2)"}}));

  back.clear();
  EXPECT_EQ(decode("ab", &back), kvt_rom_kind::empty);
  EXPECT_EQ(decode("", &back), kvt_rom_kind::empty);
  EXPECT_TRUE(back.empty());

  // a NUL without the rest of the legacy magic is still a (empty) program
  EXPECT_EQ(decode(bin("\0zq"), &back), kvt_rom_kind::program);
  EXPECT_EQ(back, (entry_list{{"main.lua", ""}}));
}

TEST(RomForm, LegacyDataIsLeftForItsDecompressor) {
  entry_list back;
  EXPECT_EQ(decode(bin("\0zqx\0\x10\0\x20rest"), &back), kvt_rom_kind::zqx);
  EXPECT_TRUE(back.empty());
}

TEST(RomForm, StatedLengthIsNeverTrustedBeyondTheBytes) {
  std::string rom = encode(sample);
  entry_list back;

  // longer than what is there: read what is there
  std::string big = rom;
  big.replace(4, 4, u32le(0xFFFFFFFFu));
  EXPECT_EQ(decode(big, &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, sample);

  // shorter than the block: the block is cut, nothing decodes
  back.clear();
  std::string said;
  std::string small = rom;
  small.replace(4, 4, u32le(5));
  EXPECT_EQ(decode(small, &back, &said), kvt_rom_kind::cart_damaged);
  EXPECT_EQ(said, "  *** kvt.rom decompression failed: /ram/t\n");
  EXPECT_TRUE(back.empty());

  // the magic alone
  EXPECT_EQ(decode("kvt", &back, &said), kvt_rom_kind::cart_damaged);
  EXPECT_EQ(said, "  *** kvt.rom decompression failed: /ram/t\n");
  EXPECT_TRUE(back.empty());
}

// A cut inside the block may still decode (LZ4 ends at a literal run), so
// the reader may see a shorter payload: what it keeps must be a prefix of
// the cartridge, the last file perhaps shortened.
TEST(RomForm, EveryCutOfARomIsSafe) {
  std::string rom = encode(sample);
  std::vector<entry_list> got(rom.size() + 1);
  std::vector<kvt_rom_kind> kinds;
  for (size_t n = 0; n <= rom.size(); n++) kinds.push_back(decode(rom.substr(0, n), &got[n]));

  for (size_t n = 0; n < 3; n++) EXPECT_EQ(kinds[n], kvt_rom_kind::empty);
  for (size_t n = 3; n <= rom.size(); n++) {
    const entry_list &back = got[n];
    ASSERT_LE(back.size(), sample.size());
    for (size_t i = 0; i < back.size(); i++) {
      EXPECT_EQ(back[i].name, sample[i].name) << n;
      if (i + 1 < back.size()) {
        EXPECT_EQ(back[i].data, sample[i].data) << n;
      } else {
        EXPECT_EQ(sample[i].data.compare(0, back[i].data.size(), back[i].data), 0) << n;
      }
    }
  }
  EXPECT_EQ(kinds.back(), kvt_rom_kind::cart);
  EXPECT_EQ(got.back(), sample);
}

TEST(RomForm, CutPayloadKeepsWhatWasRead) {
  std::string payload = bin("a\0\x03" "AAA" "dir/\0" "b\0\x0a" "0123");
  entry_list back;
  std::string said;
  EXPECT_EQ(decode(wrap_payload(payload), &back, &said), kvt_rom_kind::cart_damaged);
  EXPECT_EQ(back, (entry_list{{"a", "AAA"}, {"dir/", ""}, {"b", "0123"}}));
  EXPECT_EQ(said, ""); // a short body has no message of its own

  // a u32 length whose bytes are missing reads as 0, as the buffer readers do
  // (the one byte left over is then an unended name)
  back.clear();
  EXPECT_EQ(decode(wrap_payload(bin("a\0\x01" "Ab\0\xff\x01")), &back, &said),
            kvt_rom_kind::cart_damaged);
  EXPECT_EQ(said, "  *** kvt.rom filename parsing failed\n");
  EXPECT_EQ(back, (entry_list{{"a", "A"}, {"b", ""}}));
}

TEST(RomForm, BadNamesStopReading) {
  entry_list back;
  std::string said;
  EXPECT_EQ(decode(wrap_payload(bin("a\0\x01X" "../evil\0\x01Y" "b\0\x01Z")), &back, &said),
            kvt_rom_kind::cart_damaged);
  EXPECT_EQ(said, "** bad file description while mounting .kvt.rom: ../evil\n");
  EXPECT_EQ(back, (entry_list{{"a", "X"}}));

  back.clear();
  decode(wrap_payload(bin("a\0\x01X" "sub/..\0")), &back, &said);
  EXPECT_EQ(said, "** bad file description while mounting .kvt.rom: sub/..\n");
  EXPECT_EQ(back, (entry_list{{"a", "X"}}));

  // names of 1 to 400 characters, ended by a NUL
  std::string n400(400, 'n'), n401(401, 'n');
  back.clear();
  EXPECT_EQ(decode(wrap_payload(n400 + bin("\0\x01X")), &back), kvt_rom_kind::cart);
  EXPECT_EQ(back, (entry_list{{n400, "X"}}));
  for (const std::string &bad : {n401 + bin("\0\x01X"), bin("\0\x01X"),
                                 bin("a\0\x01X" "unended")}) {
    back.clear();
    EXPECT_EQ(decode(wrap_payload(bad), &back, &said), kvt_rom_kind::cart_damaged);
    EXPECT_EQ(said, "  *** kvt.rom filename parsing failed\n");
    EXPECT_LE(back.size(), 1u);
  }
}

TEST(RomForm, NegativeLengthStops) {
  entry_list back;
  std::string said;
  EXPECT_EQ(decode(wrap_payload(bin("a\0\x01X" "f\0\xff") + u32le(0x80000000u) + "zz"), &back,
                   &said),
            kvt_rom_kind::cart_damaged);
  EXPECT_EQ(said, "** bad file length -2147483648 (2) while mounting .kvt.rom: f\n");
  EXPECT_EQ(back, (entry_list{{"a", "X"}}));
}

TEST(RomForm, AtMost16384Entries) {
  std::string payload;
  for (int i = 0; i < kvt_rom_max_entries + 1; i++) payload += "d" + std::to_string(i) + "/" + bin("\0");
  entry_list back;
  EXPECT_EQ(decode(wrap_payload(payload), &back), kvt_rom_kind::cart_damaged);
  ASSERT_EQ(back.size(), size_t(kvt_rom_max_entries));
  EXPECT_EQ(back.back().name, "d16383/");
}

TEST(RomForm, WriterRefusesWhatTheReaderWouldNotGiveBack) {
  entry_list many;
  for (int i = 0; i < kvt_rom_max_entries; i++) many.push_back({"d" + std::to_string(i) + "/", ""});
  entry_list back;
  EXPECT_EQ(decode(encode(many), &back), kvt_rom_kind::cart) << "16384 entries are written";
  many.push_back({"last.txt", "x"});
  const struct {
    entry_list entries;
    const char *report;
  } refused[] = {
      {{{"ok", "1"}, {"notes..txt", "x"}}, "a name holding \"..\": notes..txt"},
      {{{std::string(401, 'n'), "x"}}, "a name longer than 400 characters: nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
      {{{"", "x"}}, "an empty name: "},
      {{{bin("a\0b"), "x"}}, "a name holding a NUL: a?b"},
      {many, "more than 16384 entries: last.txt"},
      {{{"a.bin", std::string(size_t(kvt_rom_max_payload) - 8, 'z')}},
       "more than 64 MiB in all: a.bin"},
  };
  for (const auto &r : refused) {
    buffer_owner out(create_buffer_2(0, 0));
    bappend_str(out.get(), "keep");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(write_kvt_rom_entries(out.get(), r.entries, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("** cartridge not written (rom form): ") + r.report + "\n");
    EXPECT_EQ(out->length, 4) << "nothing written";
  }
  // a name of 400 characters is read back
  entry_list edge = {{std::string(400, 'n'), "x"}};
  back.clear();
  EXPECT_EQ(decode(encode(edge), &back), kvt_rom_kind::cart);
  EXPECT_EQ(back == edge, true);
}

TEST(RomForm, EmptyCartridge) {
  // LZ4 turns an empty payload into one byte that decodes to nothing
  entry_list back;
  std::string said;
  EXPECT_EQ(decode(encode({}), &back, &said), kvt_rom_kind::cart);
  EXPECT_EQ(said, "  *** kvt.rom decompression failed: /ram/t\n");
  EXPECT_TRUE(back.empty());
}

TEST(RomForm, CorruptedBytesAreSafe) {
  std::string rom = encode(sample);
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; round++) {
    std::string bad = rom;
    int flips = 1 + int(rng() % 4);
    for (int i = 0; i < flips; i++) bad[rng() % bad.size()] ^= char(1 + rng() % 255);
    entry_list back;
    decode(bad, &back);
    expect_sane_names(back);
  }
  // corrupted payloads (valid block, damaged content) as well
  std::string p = payload_of(rom, 1111);
  for (int round = 0; round < 3000; round++) {
    std::string bad = p;
    int flips = 1 + int(rng() % 4);
    for (int i = 0; i < flips; i++) bad[rng() % bad.size()] = char(rng() % 256);
    entry_list back;
    decode(wrap_payload(bad), &back);
    expect_sane_names(back);
  }
}

// --- data pack -------------------------------------------------------------

struct temp_dir {
  fs::path path;
  temp_dir() {
    std::string t = (fs::path(testing::TempDir()) / "kvt_pack_XXXXXX").string();
    EXPECT_NE(mkdtemp(t.data()), nullptr);
    path = t;
  }
  ~temp_dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

void put_file(const fs::path &p, const std::string &bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string get_file(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The loader's record rule, written separately from the packer.
std::vector<std::string> split_records(const std::string &pack) {
  std::vector<std::string> records;
  size_t at = 0;
  while (pack.size() - at >= 4) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(pack[at + i])); };
    uint32_t n = b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
    at += 4;
    if (n > 0x2000000 || n > pack.size() - at) break;
    records.push_back(pack.substr(at, n));
    at += n;
  }
  EXPECT_EQ(at, pack.size());
  return records;
}

std::string build(const std::string &name, const fs::path &sys, const std::string &extra,
                  std::string *error) {
  buffer_owner out(create_buffer_2(0, 0));
  if (!build_dat_pack(out.get(), name, sys.string(), extra, error)) return "";
  return std::string(reinterpret_cast<char *>(out->data), size_t(out->length));
}

TEST(DatPack, PacksSystemAndExtraTrees) {
  temp_dir t;
  fs::path sys = t.path / "sys", extra = t.path / "extra";
  put_file(sys / "boot.lua", "print('boot')");
  put_file(sys / ".info.tuk", "meta");
  put_file(sys / "lib" / "b.lua", "b");
  put_file(sys / "lib" / "a.bin", bytes_0_to_255(300));
  fs::create_directories(sys / "empty");
  put_file(extra / "main.lua", "x = 1");
  put_file(extra / "gfx" / "0.gfx", "G");

  std::string error;
  std::string pack = build("exp1", sys, extra.string(), &error);
  ASSERT_EQ(error, "");
  std::vector<std::string> records = split_records(pack);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "exp1");

  entry_list system;
  EXPECT_EQ(decode(records[1], &system), kvt_rom_kind::cart);
  EXPECT_EQ(system, (entry_list{{"system/.info.tuk", "meta"},
                                {"system/boot.lua", "print('boot')"},
                                {"system/empty/", ""},
                                {"system/lib/", ""},
                                {"system/lib/a.bin", bytes_0_to_255(300)},
                                {"system/lib/b.lua", "b"}}));
  entry_list cart;
  EXPECT_EQ(decode(records[2], &cart), kvt_rom_kind::cart);
  EXPECT_EQ(cart, (entry_list{{"gfx/", ""}, {"gfx/0.gfx", "G"}, {"main.lua", "x = 1"}}));

  // the same tree gives the same bytes
  EXPECT_EQ(build("exp1", sys, extra.string(), &error), pack);
}

TEST(DatPack, NameMayBeEmptyAndExtraIsOptional) {
  temp_dir t;
  put_file(t.path / "sys" / "boot.lua", "1");
  std::string error;
  std::vector<std::string> records = split_records(build("", t.path / "sys", "", &error));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], "");
  entry_list system;
  decode(records[1], &system);
  EXPECT_EQ(system, (entry_list{{"system/boot.lua", "1"}}));
}

TEST(DatPack, RefusesWhatTheSystemCouldNotMount) {
  temp_dir t;
  std::string error;
  EXPECT_EQ(build("n", t.path / "missing", "", &error), "");
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;

  put_file(t.path / "sys" / "a..b.lua", "1");
  EXPECT_EQ(build("n", t.path / "sys", "", &error), "");
  EXPECT_NE(error.find("\"..\""), std::string::npos) << error;

  put_file(t.path / "sys2" / std::string(200, 'd') / std::string(200, 'f'), "1");
  EXPECT_EQ(build("n", t.path / "sys2", "", &error), "");
  EXPECT_NE(error.find("longer than 400"), std::string::npos) << error;

  put_file(t.path / "sys3" / "boot.lua", "1");
  EXPECT_EQ(build("../up", t.path / "sys3", "", &error), "");
  EXPECT_NE(error.find("must not contain"), std::string::npos) << error;
  EXPECT_EQ(build("ok", t.path / "sys3", (t.path / "nope").string(), &error), "");
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
}

TEST(DatPack, RecordWriter) {
  buffer_owner out(create_buffer_2(0, 0));
  ASSERT_TRUE(append_dat_record(out.get(), "abcde", 5));
  ASSERT_TRUE(append_dat_record(out.get(), "", 0));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out->data), size_t(out->length)),
            bin("\0\0\0\x05" "abcde" "\0\0\0\0"));
  // a record the loader would drop is never written
  EXPECT_FALSE(append_dat_record(out.get(), "x", dat_record_max_length + 1));
  EXPECT_FALSE(append_dat_record(out.get(), "x", -1));
  EXPECT_EQ(out->length, 13);
}

TEST(DatPack, HostWritesReplaceWholeOrNotAtAll) {
  temp_dir t;
  fs::path target = t.path / "sysrom.dat";
  std::string error;
  ASSERT_TRUE(write_host_file_atomically(target.string(), "one", 3, &error)) << error;
  EXPECT_EQ(get_file(target), "one");
  ASSERT_TRUE(write_host_file_atomically(target.string(), "two!", 4, &error)) << error;
  EXPECT_EQ(get_file(target), "two!");

  // a target that cannot be replaced stays, and no temporary file is left
  fs::path dir_target = t.path / "taken";
  put_file(dir_target / "inside", "keep");
  EXPECT_FALSE(write_host_file_atomically(dir_target.string(), "new", 3, &error));
  EXPECT_EQ(get_file(dir_target / "inside"), "keep");

  EXPECT_FALSE(write_host_file_atomically((t.path / "no" / "such.dat").string(), "x", 1, &error));
  EXPECT_FALSE(error.empty());

  int files = 0;
  for (const auto &e : fs::directory_iterator(t.path)) files += e.is_regular_file();
  EXPECT_EQ(files, 1); // sysrom.dat only
}

#ifdef KVT_PACK_BINARY
TEST(DatPack, ToolKeepsTheOldPackWhenItFails) {
  temp_dir t;
  put_file(t.path / "sys" / "boot.lua", "1");
  fs::path out = t.path / "sysrom.dat";
  std::string run = std::string(KVT_PACK_BINARY) + " " + out.string() + " --name n --system " +
                    (t.path / "sys").string() + " 2>" + (t.path / "err").string();
  ASSERT_EQ(std::system(run.c_str()), 0);
  std::string good = get_file(out);
  EXPECT_EQ(split_records(good).size(), 2u);

  std::string bad = std::string(KVT_PACK_BINARY) + " " + out.string() +
                    " --name n --system " + (t.path / "missing").string() + " 2>" +
                    (t.path / "err").string();
  EXPECT_NE(std::system(bad.c_str()), 0);
  EXPECT_NE(get_file(t.path / "err").find("kvt_pack: "), std::string::npos);
  EXPECT_EQ(get_file(out), good);
}
#endif

} // namespace
