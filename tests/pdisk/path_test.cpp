// Path rules: legality, joining, collapsing, match depth, extensions; and a
// property check over many random paths.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "vfs_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string norm(std::string_view path, std::string_view pwd = "/") {
  return normalise_kestrune_path_from(path, pwd).value_or("<illegal>");
}

TEST(Path, NormalisesTheDocumentedVectors) {
  EXPECT_EQ(norm("/a//b/./c/../d"), "/a/b/d");
  EXPECT_EQ(norm("/.."), "/");
  EXPECT_EQ(norm("/../../x"), "/x");
  EXPECT_EQ(norm("foo", "/ram"), "/ram/foo");
  EXPECT_EQ(norm("foo", "/"), "/foo");
  EXPECT_EQ(norm("../x", "/ram/a"), "/ram/x");
  EXPECT_EQ(norm("/a/"), "/a");
  EXPECT_EQ(norm("/"), "/");
  EXPECT_EQ(norm("a#b c"), "/a#b c"); // nothing after a '#' is checked but controls
  // a protocol prefix after the '#' stays whole; the rest is collapsed as usual
  EXPECT_EQ(norm("/a#http://x"), "/a#http://x");
  EXPECT_EQ(norm("/a/./b#https://x//y/../z"), "/a/b#https://x/z");
  EXPECT_EQ(norm("x#ftp://h", "/ram"), "/ram/x#ftp://h");
  EXPECT_EQ(norm("/b/a#h://x/../../.."), "/b/a#h:") << "'..' never reaches into it";
  EXPECT_EQ(norm("/a/#h://x"), "/a/#h://x");
  EXPECT_EQ(norm("/a#b/c://x"), "/a#b/c:/x") << "a name with '/' is no protocol";
  EXPECT_EQ(norm("/..#h://x"), "/..#h://x") << "the segment is not '..'";
  EXPECT_EQ(norm("/a#toolongprotocolname://x"), "/a#toolongprotocolname:/x");
  EXPECT_EQ(norm("/x.kvt/gfx/0.gfx"), "/x.kvt/gfx/0.gfx");
  EXPECT_EQ(norm("/a/./.", "/"), "/a");
}

TEST(Path, RefusesIllegalPaths) {
  for (const char *p : {"", "#x", "-x", "a b", "/a b", "http://x", "/a:b", "/a\\b", "/a*"})
    EXPECT_EQ(norm(p), "<illegal>") << p;
  // control bytes and DEL after a '#' would break log lines and host names
  EXPECT_EQ(norm("/a#b\x01"), "<illegal>");
  EXPECT_EQ(norm(std::string("/a#b\0c", 6)), "<illegal>");
  EXPECT_EQ(norm("/a#b\x7f"), "<illegal>");
  EXPECT_EQ(norm("/a#\xc3\xa9t\xc3\xa9"), "/a#\xc3\xa9t\xc3\xa9");
  // a ".." that removes the '#' segment would leave "b c" unguarded
  EXPECT_EQ(norm("/a#/../b c"), "<illegal>");
}

TEST(Path, RelativePathsNeedAUsableWorkingDirectory) {
  EXPECT_EQ(norm("x", "ram"), "<illegal>");
  EXPECT_EQ(norm("x", ""), "<illegal>");
  EXPECT_EQ(norm("x", "/a b"), "<illegal>");
  std::string longest;
  while (longest.size() < pwd_max) longest += "/abc";
  longest.resize(pwd_max);
  EXPECT_EQ(norm("x", longest), longest + "/x");
  EXPECT_EQ(norm("x", longest + "d"), "<illegal>");
  EXPECT_EQ(norm("/x", "garbage here"), "/x"); // absolute paths ignore it
  EXPECT_TRUE(is_legal_working_directory("/ram/cart"));
  EXPECT_FALSE(is_legal_working_directory("ram"));
  // with no current process the working directory is "/"
  EXPECT_EQ(normalise_kestrune_path("foo").value_or("?"), "/foo");
}

TEST(Path, DropsOverLongSegments) {
  std::string s254(path_segment_max, 's'), s255(path_segment_max + 1, 's');
  EXPECT_EQ(norm("/a/" + s254 + "/b"), "/a/" + s254 + "/b");
  EXPECT_EQ(norm("/a/" + s255 + "/b"), "/a/b");
  EXPECT_EQ(norm("/" + s255), "/");
}

TEST(Path, CollapseKeepsAProtocolAndTraces) {
  EXPECT_EQ(collapse_path("http://a/../b"), "http://b");
  EXPECT_EQ(collapse_path("http://../../x//y"), "http://x/y");
  EXPECT_EQ(collapse_path("yorelog:///a/./b"), "yorelog://a/b");
  EXPECT_EQ(collapse_path("a//b/"), "a/b");
  EXPECT_EQ(collapse_path("../a"), "a");
  EXPECT_EQ(collapse_path(".."), "/");
  EXPECT_EQ(collapse_path(""), "/");
  EXPECT_EQ(collapse_path("averyveryverylongname://x"), "averyveryverylongname:/x");

  CaptureStdout();
  EXPECT_EQ(collapse_path("/a/./b/..", true), "/a");
  EXPECT_EQ(GetCapturedStdout(), ":: collapse: [/a/./b/..]\n"
                                 "  left segment: a  -> /a\n"
                                 "  skipped .  -> /a\n"
                                 "  left segment: b  -> /a/b\n"
                                 "  folded ..  -> /a\n"
                                 "  --> [/a]\n");
  CaptureStdout();
  collapse_path("ftp://x", true);
  EXPECT_EQ(GetCapturedStdout(), ":: collapse: [ftp://x]\nskipping prot: ftp://\n"
                                 "  left segment: x  -> ftp://x\n  --> [ftp://x]\n");
}

TEST(Path, MatchDepth) {
  EXPECT_EQ(get_path_parent_match_depth("/", "/anything/at/all"), 0);
  EXPECT_EQ(get_path_parent_match_depth("", "/x"), 0);
  EXPECT_EQ(get_path_parent_match_depth("", "x"), -1);
  EXPECT_EQ(get_path_parent_match_depth("/ram", "/ram"), 1);
  EXPECT_EQ(get_path_parent_match_depth("/ram", "/ram/x/y"), 1);
  EXPECT_EQ(get_path_parent_match_depth("/ram", "/ramx"), -1);
  EXPECT_EQ(get_path_parent_match_depth("/ram/mount/abc", "/ram/mount/abc/q"), 3);
  EXPECT_TRUE(path_is_under("/a/b", "/a"));
  EXPECT_TRUE(path_is_under("/a", "/a"));
  EXPECT_FALSE(path_is_under("/ab", "/a"));
  EXPECT_TRUE(path_is_under("/x", "/"));
}

TEST(Path, ExtensionsAndCartridgeKinds) {
  EXPECT_EQ(get_ext("a.kvt.rom"), "kvt.rom");
  EXPECT_EQ(get_ext("a.b.c.d"), "c.d");
  EXPECT_EQ(get_ext("/f/notes.v2.txt"), "v2.txt");
  EXPECT_EQ(get_ext("/x.y/z"), "");
  EXPECT_EQ(get_ext("/MAIN.LUA"), "lua");
  EXPECT_EQ(kvt_path_kind("/desktop/game.kvt"), kvt_kind_text);
  EXPECT_EQ(kvt_path_kind("/a/b.KVT.ROM"), kvt_kind_rom);
  EXPECT_EQ(kvt_path_kind("/a/b.kvt.png"), kvt_kind_png);
  EXPECT_EQ(kvt_path_kind("/a/my.game.kvt"), 0); // extension "game.kvt"
  EXPECT_EQ(kvt_path_kind("/a/b.txt"), 0);
}

// Random texts over the characters that matter to the rules.
std::string random_path(std::mt19937 &rng) {
  static const std::vector<std::string> pieces = {
      "/", "/", "/", "a", "b", "ram", ".", "..", "#", " ", "_", "-", "x.kvt", ":", "//",
      "\x01", "\x7f", "\xc3\xa9", std::string(250, 'l'), std::string(3, 'm')};
  std::uniform_int_distribution<size_t> count(0, 14), pick(0, pieces.size() - 1);
  std::string s;
  for (size_t n = count(rng); n > 0; n--) s += pieces[pick(rng)];
  return s;
}

using PathProperty = Vfs;

TEST_F(PathProperty, NormalisedPathsAreAbsoluteCollapsedIdempotentAndInsideTheirMount) {
  ASSERT_TRUE(mount_p_path("/sub", "/ram/deep/er"));
  std::mt19937 rng(20250504);
  const std::vector<std::string> pwds = {"/", "/ram", "/a/b", "/x#y z", "/ram/.."};
  int legal = 0;
  for (int i = 0; i < 20000; i++) {
    std::string p = random_path(rng);
    const std::string &pwd = pwds[size_t(i) % pwds.size()];
    std::optional<std::string> n = normalise_kestrune_path_from(p, pwd);
    if (!n) continue;
    legal++;
    const std::string &v = *n;
    SCOPED_TRACE("path [" + p + "] pwd [" + pwd + "] -> [" + v + "]");
    ASSERT_FALSE(v.empty());
    ASSERT_EQ(v[0], '/');
    // "//" only in a protocol kept whole after the '#'
    size_t twice = v.find("//");
    if (twice != std::string::npos) {
      ASSERT_LT(v.find('#'), twice);
      ASSERT_EQ(v[twice - 1], ':');
      ASSERT_EQ(v.find("//", twice + 1), std::string::npos);
    }
    if (v != "/") ASSERT_NE(v.back(), '/');
    for (size_t at = 1, end; at < v.size(); at = end + 1) {
      end = v.find('/', at);
      if (end == std::string::npos) end = v.size();
      std::string seg = v.substr(at, end - at);
      ASSERT_NE(seg, ".");
      ASSERT_NE(seg, "..");
      ASSERT_LE(seg.size(), path_segment_max);
    }
    ASSERT_EQ(normalise_kestrune_path_from(v, "/"), v);
    ASSERT_EQ(normalise_kestrune_path_from(v, "/elsewhere"), v);

    resolved_path r = resolve_to_origin(v, false);
    ASSERT_GE(r.mount, 0);
    const pmount &m = pmount_table[size_t(r.mount)];
    std::string base = m.origin.empty() ? "/" : m.origin;
    ASSERT_TRUE(path_is_under(r.origin, base)) << r.origin << " outside " << base;
    size_t origin_twice = r.origin.find("//");
    if (origin_twice != std::string::npos) ASSERT_LT(r.origin.find('#'), origin_twice);
  }
  EXPECT_GT(legal, 2000); // the generator reaches the legal paths often enough
}

} // namespace
