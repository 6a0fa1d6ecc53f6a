// The text cartridge form: writer layout and its plain-body test, both
// readers on written and hostile text, and round trips through RAM folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel/buffer.h"
#include "pdisk/pfile.h"
#include "pdisk/ram_folder.h"
#include "pdisk/text_form.h"
#include "values/base64.h"
#include "vfs_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using entry_list = std::vector<cart_entry>;

const std::string head = std::string(kvt_text_header) + "\nversion 2\n\n";

// A literal's bytes, NULs included.
template <size_t N> std::string bin(const char (&s)[N]) { return std::string(s, N - 1); }

// Decodes an exact-sized copy (so a read past the end trips the sanitizer),
// with standard output captured into *said.
kvt_text_kind decode(const std::string &text, entry_list *entries, std::string *said = nullptr) {
  std::vector<uint8_t> exact(text.begin(), text.end());
  CaptureStdout();
  kvt_text_kind kind = decode_kvt_text(exact.data(), int64_t(exact.size()), "/ram/t", entries);
  std::string out = GetCapturedStdout();
  if (said) *said = out;
  return kind;
}

entry_list round_trip(const entry_list &entries, bool hex = false) {
  entry_list back;
  EXPECT_EQ(decode(encode_kvt_text(entries, hex), &back), kvt_text_kind::cart);
  return back;
}

std::string to_crlf(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::vector<std::string> lines_of(const std::string &s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < s.size()) {
    size_t end = s.find('\n', at);
    out.push_back(s.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::string bytes_of(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  for (size_t i = 0; i < n; i++) s.push_back(char(rng()));
  return s;
}

// Names the readers hand back can be joined to a folder without leaving it.
void expect_sane_names(const entry_list &entries) {
  for (const cart_entry &e : entries) {
    EXPECT_FALSE(e.name.empty());
    EXPECT_EQ(e.name.find(".."), std::string::npos) << e.name;
    for (char c : e.name) EXPECT_GE(static_cast<unsigned char>(c), '!') << e.name;
    if (!e.name.empty() && e.name.back() == '/') {
      EXPECT_TRUE(e.data.empty());
    }
  }
}

TEST(TextForm, WriterLaysOutHeaderEntriesAndEnd) {
  entry_list entries = {
      {"gfx/", ""},
      {"main.lua", "print(1)"},
      {"gfx/0.gfx", bin("\x01\x02\x0a")},
      {"empty.lua", ""},
      {"empty.bin", ""},
  };
  EXPECT_EQ(encode_kvt_text(entries, false),
            head + ":: gfx/\n"
                   ":: main.lua\nprint(1)\n"
                   ":: gfx/0.gfx\nb64$AQIK\n"
                   ":: empty.lua\n\n"
                   ":: empty.bin\nb64$\n"
                   ":: [eoc]\n");
  EXPECT_EQ(encode_kvt_text(entries, true),
            head + ":: gfx/\n:: main.lua\nprint(1)\n:: gfx/0.gfx\nhex$01020a\n"
                   ":: empty.lua\n\n:: empty.bin\nhex$\n:: [eoc]\n");
  EXPECT_EQ(encode_kvt_text({}, false), head + ":: [eoc]\n");
  EXPECT_TRUE(head.starts_with("kestrune cartridge // "));

  // empty bodies read back empty, plain or encoded
  EXPECT_EQ(round_trip(entries), entries);
  EXPECT_EQ(round_trip(entries, true), entries);

  // appended at the buffer's position, leaving it at the end
  buffer_owner out(create_buffer_2(0, 0));
  bappend_str(out.get(), "keep|drop");
  out->position = 5;
  ASSERT_TRUE(write_kvt_text_entries(out.get(), {{"a.txt", "x"}}, false));
  std::string got(reinterpret_cast<char *>(out->data), size_t(out->length));
  EXPECT_EQ(got, "keep|" + head + ":: a.txt\nx\n:: [eoc]\n");
  EXPECT_EQ(out->position, out->length);
  out->position = 5;
  entry_list back;
  CaptureStdout();
  EXPECT_EQ(read_kvt_text_entries(out.get(), "", &back), kvt_text_kind::cart);
  GetCapturedStdout();
  EXPECT_EQ(back, (entry_list{{"a.txt", "x"}}));
  EXPECT_EQ(out->position, out->length);

  // Names the reader would not give back as they are: refused before
  // anything is written, and reported. A line end would forge entries, the
  // end mark cut the cartridge short, a blank end the name, ".." drop it.
  // a blank ends a name when it is read back
  EXPECT_EQ(round_trip({{"a#b c.txt", "x"}}), (entry_list{{"a#b", "x"}}));
  int64_t before = out->length;
  const struct {
    entry_list entries;
    const char *report;
  } refused[] = {
      {{{"a.txt\n:: b.txt", "x"}}, "a name holding a blank or a control byte: a.txt?:: b.txt"},
      {{{"a", "1"}, {"[eoc] x", "2"}, {"b", "3"}}, "a name holding a blank or a control byte: [eoc] x"},
      {{{"[eoc]", "2"}}, "the name [eoc]: [eoc]"},
      {{{"a#b c.txt", "x"}}, "a name holding a blank or a control byte: a#b c.txt"},
      {{{"ok", "1"}, {"notes..txt", "x"}}, "a name holding \"..\": notes..txt"},
      {{{"", "x"}}, "an empty name: "},
  };
  for (const auto &r : refused) {
    CaptureStdout();
    EXPECT_FALSE(write_kvt_text_entries(out.get(), r.entries, false));
    EXPECT_EQ(GetCapturedStdout(), std::string("** cartridge not written (text form): ") + r.report + "\n");
  }
  EXPECT_EQ(out->length, before);
}

TEST(TextForm, AsciiTestDecidesPlainBodiesAndEveryBodyReadsBack) {
  struct body_case {
    std::string name, data;
    bool plain;
  };
  const std::vector<body_case> cases = {
      {"a.lua", "print(1)\nprint(2)", true},
      {"a.txt", "x", true},
      {"A.LUA", "x", true},              // the extension is compared lower-cased
      {"a.lua", "", true},               // empty .lua is plain
      {"n.lua", "a\rb\n", true},         // a CR inside a line survives
      {"n.lua", "a\n::b\n:x", true},     // only ":: " starts an entry
      {"n.lua", "a hex$ b64$", true},    // only at a line start
      {"a.md", "text", false},           // other extensions are encoded
      {"a.b.lua", "text", false},        // get_ext gives "b.lua"
      {"noext", "text", false},
      {"a.lua", bin("x\x80y"), false},   // byte of 128 or more
      {"a.lua", bin("x\0y"), false},     // NUL
      {"a.lua", "x\n:: y", false},       // a line beginning ":: "
      {"a.lua", "hex$00", false},        // begins with an encoding mark
      {"a.lua", "b64$AA", false},
      // mends: such bodies would not read back as written
      {"a.lua", ":: y\n", false},        // begins ":: "
      {"a.lua", "x\nhex$41\n", false},   // a later line begins "hex$"
      {"a.lua", "x\nb64$QQ\n", false},
      {"a.lua", "x\r\ny\r\n", false},    // CRLF lines: a CRLF reader drops the CR
      {"a.lua", "x\r", false},           // the line end the writer adds makes a CRLF
  };
  for (const body_case &c : cases) {
    SCOPED_TRACE(c.name + " [" + c.data + "]");
    EXPECT_EQ(is_writeable_as_ascii(c.name, c.data), c.plain);
    std::string text = encode_kvt_text({{c.name, c.data}}, false);
    std::vector<std::string> lines = lines_of(text.substr(head.size()));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1].starts_with("b64$"), !c.plain);
    EXPECT_EQ(round_trip({{c.name, c.data}}), (entry_list{{c.name, c.data}}));
    EXPECT_EQ(round_trip({{c.name, c.data}}, true), (entry_list{{c.name, c.data}}));
  }
}

TEST(TextForm, LineEndsAtTheEndOfABody) {
  // a plain body ending in "\n" is stored with two line ends, read with one
  std::string text = encode_kvt_text({{"a.lua", "x\n"}, {"b.lua", "y"}}, false);
  EXPECT_EQ(text, head + ":: a.lua\nx\n\n:: b.lua\ny\n:: [eoc]\n");
  EXPECT_EQ(round_trip({{"a.lua", "x\n"}, {"b.lua", "\n\n"}}),
            (entry_list{{"a.lua", "x\n"}, {"b.lua", "\n\n"}}));

  // an encoded body keeps a last 0x0A: only plain bodies lose the writer's line end
  std::string lf = bin("\x80\x0a"), lf_only = "\n";
  EXPECT_EQ(encode_kvt_text({{"z.bin", lf}}, false), head + ":: z.bin\nb64$gAo=\n:: [eoc]\n");
  EXPECT_EQ(round_trip({{"z.bin", lf}, {"n.bin", lf_only}}), (entry_list{{"z.bin", lf}, {"n.bin", lf_only}}));
  EXPECT_EQ(round_trip({{"z.bin", lf}}, true), (entry_list{{"z.bin", lf}}));
}

TEST(TextForm, EncodedBodiesAreChunkedLineByLine) {
  // 54 bytes on the "b64$" line, then 57 a line, each chunk encoded by itself
  std::string data = bytes_of(54 + 57 + 57 + 10, 1);
  std::vector<std::string> lines = lines_of(encode_kvt_text({{"d.bin", data}}, false).substr(head.size()));
  ASSERT_EQ(lines.size(), 6u); // name, 4 body lines, [eoc]
  EXPECT_EQ(lines[1], "b64$" + base64_encode(data.substr(0, 54)));
  EXPECT_EQ(lines[2], base64_encode(data.substr(54, 57)));
  EXPECT_EQ(lines[3], base64_encode(data.substr(111, 57)));
  EXPECT_EQ(lines[4], base64_encode(data.substr(168)));
  EXPECT_EQ(lines[1].size(), 76u);
  EXPECT_EQ(lines[2].size(), 76u);
  EXPECT_EQ(lines[4].back(), '='); // padding only on the last line
  for (int i = 1; i <= 3; i++) EXPECT_EQ(lines[size_t(i)].find('='), std::string::npos);

  // a body of exactly one first line takes one line
  lines = lines_of(encode_kvt_text({{"d.bin", data.substr(0, 54)}}, false).substr(head.size()));
  EXPECT_EQ(lines.size(), 3u);

  // hex: 36 bytes, then 38 a line, lower case
  std::string hx = bytes_of(36 + 38 + 5, 2);
  lines = lines_of(encode_kvt_text({{"h.bin", hx}}, true).substr(head.size()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].size(), 4u + 72u);
  EXPECT_EQ(lines[2].size(), 76u);
  EXPECT_EQ(lines[3].size(), 10u);
  std::string joined = lines[1].substr(4) + lines[2] + lines[3];
  EXPECT_EQ(joined.find_first_of("ABCDEF"), std::string::npos);
  EXPECT_EQ(round_trip({{"h.bin", hx}}, true), (entry_list{{"h.bin", hx}}));

  // readers take upper-case hex and base64 split anywhere (one state per body)
  entry_list back;
  std::string b64 = base64_encode("hello, world");
  EXPECT_EQ(decode(head + ":: u.bin\nhex$4A\n6b\n:: s.bin\nb64$" + b64.substr(0, 3) + "\n" +
                       b64.substr(3, 6) + "\n" + b64.substr(9) + "\n:: [eoc]\n",
                   &back),
            kvt_text_kind::cart);
  EXPECT_EQ(back, (entry_list{{"u.bin", "Jk"}, {"s.bin", "hello, world"}}));
}

TEST(TextForm, ReaderAcceptsCrlf) {
  entry_list entries = {{"f/", ""},
                        {"f/main.lua", "a\nb\n"},
                        {"x.bin", bytes_of(300, 3)},
                        {"e.txt", ""},
                        {"h.lua", "x\nhex$41"}};
  for (bool hex : {false, true}) {
    entry_list back;
    EXPECT_EQ(decode(to_crlf(encode_kvt_text(entries, hex)), &back), kvt_text_kind::cart);
    EXPECT_EQ(back, entries);
  }
  // the legacy reader too
  entry_list back;
  EXPECT_EQ(decode("old\r\nversion 1\r\na.txt 0:0 [[ 4142 ]]\r\n", &back), kvt_text_kind::legacy);
  EXPECT_EQ(back, (entry_list{{"a.txt", "AB"}}));
}

TEST(TextForm, Version2ReaderRules) {
  entry_list back;
  std::string said;
  // a name with ".." is skipped with its body; an empty name likewise; a
  // name ends at the first blank; lines outside entries are ignored
  EXPECT_EQ(decode(head + "stray line\n:: ../up.lua\nevil\n:: a/../../b.bin\nb64$QUJD\n"
                          ":: \nlost\n:: ok.lua tail words\nfine\n:: d/\nignored\n:: [eoc]\n",
                   &back, &said),
            kvt_text_kind::cart);
  EXPECT_EQ(back, (entry_list{{"ok.lua", "fine"}, {"d/", ""}}));
  EXPECT_EQ(said, "");

  // a plain body may switch to an encoding; then its line end stays
  back.clear();
  decode(head + ":: m.lua\nabc\nhex$4142\n:: [eoc]\n", &back);
  EXPECT_EQ(back, (entry_list{{"m.lua", "abc\nAB"}}));

  // base64 lines of 1,024 characters or more are skipped, 1,023 are read
  std::string run1023(1023, 'A'), run1024(1024, 'A');
  std::string b1023 = base64_decode(run1023);
  back.clear();
  decode(head + ":: a.bin\nb64$QUJD\n" + run1024 + "\n:: b.bin\nb64$\n" + run1023 +
             "\n:: c.bin\nb64$" + run1024.substr(4) + "\n:: [eoc]\n",
         &back);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].data, "ABC");
  EXPECT_EQ(back[1].data, b1023);
  EXPECT_EQ(back[2].data, ""); // the "b64$" line itself counts

  // ":: [eoc]" ends reading
  back.clear();
  EXPECT_EQ(decode(head + ":: a.txt\nx\n:: [eoc]\n:: b.txt\ny\n", &back), kvt_text_kind::cart);
  EXPECT_EQ(back, (entry_list{{"a.txt", "x"}}));

  // no [eoc]: the open file keeps what was read, and a warning
  back.clear();
  EXPECT_EQ(decode(head + ":: a.txt\nx\n:: b.txt\ny\n", &back, &said), kvt_text_kind::cart_cut);
  EXPECT_EQ(back, (entry_list{{"a.txt", "x"}, {"b.txt", "y\n"}}));
  EXPECT_EQ(said, "** warning: no [eoc] found while mounting /ram/t\n");

  // the header line is not read; the version line is "version %d"
  back.clear();
  EXPECT_EQ(decode("anything\nversion\t 2\n:: a.txt\nx\n:: [eoc]", &back), kvt_text_kind::cart);
  EXPECT_EQ(back, (entry_list{{"a.txt", "x"}}));
  for (std::string bad : {"", "h", "h\n", "h\nversion 3\n:: a.txt\nx\n:: [eoc]\n",
                          "h\nversion\n:: a.txt\n", "h\nversion x2\n:: a.txt\n",
                          "h\n version 2\n:: a.txt\n", "h\nversion -2\n:: a.txt\n",
                          "h\nversion 99999999999999999999\n:: a.txt\n"}) {
    SCOPED_TRACE(bad);
    back.clear();
    EXPECT_EQ(decode(bad, &back, &said), kvt_text_kind::unknown);
    EXPECT_TRUE(back.empty());
    EXPECT_EQ(said, "");
  }
}

TEST(TextForm, LegacyReaderAndItsMessages) {
  entry_list back;
  std::string said;
  EXPECT_EQ(decode("old header\nversion 1\n"
                   "## a comment\n"
                   "gfx 0:1\n"
                   "gfx/0.gfx 3:0 [[ 00ff10 ]]\n"
                   "main.lua 0:2 [[7072696e74]]\n" // starts three past the '[': "[[7" loses a digit
                   "empty.txt 0:0 [[ ]]\n"
                   "x\n" // shorter than 2: ends reading
                   "after.txt 0:0 [[ 41 ]]\n",
                   &back, &said),
            kvt_text_kind::legacy);
  EXPECT_EQ(back, (entry_list{{"gfx/", ""},
                              {"gfx/0.gfx", bin("\x00\xff\x10")},
                              {"main.lua", bin("\x07\x26\x96\xe7")},
                              {"empty.txt", ""}}));
  EXPECT_EQ(said, "");

  // a name ending in '/' can only be a folder, whatever its bits
  back.clear();
  decode("h\nversion 1\nsub/ 0:0 [[ 41 ]]\n", &back);
  EXPECT_EQ(back, (entry_list{{"sub/", ""}}));

  // a file line without '['
  back.clear();
  decode("h\nversion 1\nlost.lua 0:4 contents\nkept.txt 0:0 [[ 41 ]]\n", &back, &said);
  EXPECT_EQ(back, (entry_list{{"kept.txt", "A"}}));
  EXPECT_EQ(said, "******** could not read legacy kvt; file contents missing. missing null "
                  "terminator issue?\nattribs: 4 new_path: /ram/t/lost.lua c_p1: 0:4 contents\n\n");

  // names that could leave the cartridge are refused, with or without bodies
  back.clear();
  decode("h\nversion 1\n../up.txt 0:0 [[ 41 ]]\n/abs.txt 0:0 [[ 41 ]]\na/../../b 0:1\n"
         "/ 0:1\nin/ok.txt 0:0 [[ 42 ]]\n",
         &back, &said);
  EXPECT_EQ(back, (entry_list{{"in/ok.txt", "B"}}));
  EXPECT_EQ(said, "** bad file name while mounting legacy kvt /ram/t: ../up.txt\n"
                  "** bad file name while mounting legacy kvt /ram/t: /abs.txt\n"
                  "** bad file name while mounting legacy kvt /ram/t: a/../../b\n"
                  "** bad file name while mounting legacy kvt /ram/t: /\n");
}

TEST(TextForm, HostileTextNeverBreaksTheReader) {
  // every cut of a cartridge reads without faults and gives only safe names
  entry_list entries = {{"d/", ""},
                        {"d/a.lua", "print(1)\n-- x\n"},
                        {"b.bin", bytes_of(200, 4)},
                        {"c.txt", ""},
                        {"e.bin", ""}};
  for (bool hex : {false, true}) {
    std::string text = encode_kvt_text(entries, hex);
    for (size_t n = 0; n <= text.size(); n++) {
      entry_list back;
      kvt_text_kind kind = decode(text.substr(0, n), &back);
      expect_sane_names(back);
      ASSERT_LE(back.size(), entries.size() + 1); // a cut ":: [eoc" names a file
      if (n == text.size()) EXPECT_EQ(back, entries);
      else if (n >= head.size()) EXPECT_NE(kind, kvt_text_kind::unknown);
    }
  }

  // huge lines: a plain one is read whole, a base64 one skipped, a legacy one decoded
  std::string big(4 << 20, 'q');
  entry_list back;
  decode(head + ":: big.lua\n" + big + "\n:: big.bin\nb64$" + big + "\n:: [eoc]\n", &back);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].data, big);
  EXPECT_EQ(back[1].data, "");
  back.clear();
  decode("h\nversion 1\nbig.bin 0:0 [[ " + std::string(1 << 20, 'a') + " ]]\n", &back);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].data, std::string(1 << 19, char(0xaa)));

  // NULs and stray bytes are text like any other; names stop at them
  back.clear();
  decode(head + bin(":: n\0ul.txt\nab\0c\n:: \xff\xfe.bin\nb64$QQ\n:: [eoc]\n"), &back);
  EXPECT_EQ(back, (entry_list{{"n", bin("ab\0c")}, {"\xff\xfe.bin", "A"}}));

  // a legacy header with nothing after it, and lines made only of marks
  back.clear();
  EXPECT_EQ(decode("h\nversion 1", &back), kvt_text_kind::legacy);
  EXPECT_EQ(decode("h\nversion 1\n[ 0:0 ]]]\n]] 0:0 [\n##\n", &back), kvt_text_kind::legacy);
  expect_sane_names(back);
  EXPECT_EQ(decode(head + "::\n:: \n:::\nhex$\nb64$\n:: [eoc", &back), kvt_text_kind::cart_cut);
  expect_sane_names(back);
}

// A random tree of legal names: folders before what they hold, bodies of every
// kind the writer treats differently.
entry_list random_tree(std::mt19937 &rng) {
  static const char *exts[] = {".lua", ".txt", ".bin", ".gfx", ""};
  // text that stays plain, then text that forces an encoding
  static const std::vector<std::string> plain = {"local x = 1\n", "\n", "-- text\n", "end", "\x7f", "a\rb"};
  static const std::vector<std::string> marks = {"\r\n", ":: y\n", "hex$41\n", "b64$QQ\n", "\r",
                                                 "\x80", std::string(1, '\0')};
  std::uniform_int_distribution<int> count(1, 30), kind(0, 4), byte(0, 255);
  entry_list entries;
  std::vector<std::string> folders = {""};
  for (int i = count(rng); i > 0; i--) {
    std::string parent = folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(rng)];
    std::string name = parent + "n" + std::to_string(entries.size());
    int k = kind(rng);
    if (k == 0) {
      entries.push_back({name + "/", ""});
      folders.push_back(name + "/");
      continue;
    }
    std::string body;
    if (k == 1) { // binary, often over many lines
      int n = std::uniform_int_distribution<int>(0, 700)(rng);
      for (int b = 0; b < n; b++) body.push_back(char(byte(rng)));
    } else if (k >= 3) { // text; with k == 4 now and then a CR or a mark in it
      int n = std::uniform_int_distribution<int>(0, 12)(rng);
      for (int p = 0; p < n; p++) {
        bool mark = k == 4 && rng() % 6 == 0;
        const std::vector<std::string> &from = mark ? marks : plain;
        body += from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
      }
    } // k == 2: empty
    entries.push_back({name + exts[std::uniform_int_distribution<size_t>(0, 4)(rng)], body});
  }
  return entries;
}

entry_list by_name(entry_list v) {
  std::sort(v.begin(), v.end(), [](const cart_entry &a, const cart_entry &b) { return a.name < b.name; });
  return v;
}

TEST_F(Vfs, RamFolderTreesRoundTripThroughTheTextForm) {
  std::mt19937 rng(11);
  int plain_bodies = 0, encoded_bodies = 0;
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    bool hex = round % 4 == 3;
    entry_list tree = random_tree(rng);
    for (const cart_entry &e : tree)
      if (e.name.back() != '/') (is_writeable_as_ascii(e.name, e.data) ? plain_bodies : encoded_bodies)++;
    ASSERT_EQ(store_cart_entries_in_ram_folder("/ram/src", tree), int(tree.size()));

    buffer_owner text(create_buffer_2(0, 0));
    ASSERT_TRUE(write_kvt_from_ram_files(text.get(), "/ram/src", hex));
    text->position = 0;
    CaptureStdout();
    populate_ram_folder_from_kvt_buffer("/ram/dst", text.get());
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(text->position, text->length);
    EXPECT_EQ(by_name(collect_ram_folder_entries("/ram/dst")), by_name(tree));

    delete_ram_files_in_path("/ram/src");
    delete_ram_files_in_path("/ram/dst");
  }
  // both kinds of body were exercised
  EXPECT_GT(plain_bodies, 20);
  EXPECT_GT(encoded_bodies, 20);
}

TEST_F(Vfs, TextReadersKeepEveryFileInsideTheCartridgeFolder) {
  ASSERT_TRUE(put("/ram/c/keep.txt", "untouched"));
  const std::vector<std::string> hostile = {
      head + ":: ../keep.txt\noverwritten\n:: ../../esc.txt\nx\n:: ok.txt\nin\n:: [eoc]\n",
      "h\nversion 1\n../keep.txt 0:0 [[ 41 ]]\n/esc.txt 0:0 [[ 41 ]]\n"
      "sub/../../esc.txt 0:0 [[ 41 ]]\n..  0:1\nok.txt 0:0 [[ 696e ]]\n",
  };
  for (const std::string &text : hostile) {
    buffer_owner in(create_buffer_from_str(text.c_str()));
    in->position = 0;
    CaptureStdout();
    populate_ram_folder_from_kvt_buffer("/ram/c/in", in.get());
    GetCapturedStdout();
    EXPECT_EQ(get("/ram/c/keep.txt"), "untouched");
    EXPECT_EQ(get("/ram/esc.txt"), std::nullopt);
    EXPECT_EQ(get("/esc.txt"), std::nullopt);
    EXPECT_EQ(get("/ram/c/esc.txt"), std::nullopt);
    EXPECT_EQ(collect_ram_folder_entries("/ram/c"),
              (entry_list{{"keep.txt", "untouched"}, {"in/ok.txt", "in"}}));
    delete_ram_files_in_path("/ram/c/in");
  }
}

TEST_F(Vfs, PngCartridgesAreRefusedAndLeftEmpty) {
  ASSERT_EQ(pmkdir("/ram/p"), 0);
  CaptureStdout();
  populate_ram_folder_from_kvt_png_buffer("/ram/p");
  EXPECT_EQ(GetCapturedStdout(), "can not populate /ram/p\nkvt.png loader not supported in this build.\n");
  EXPECT_TRUE(collect_ram_folder_entries("/ram/p").empty());
}

} // namespace
