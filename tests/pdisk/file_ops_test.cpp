// The plain rules behind the file functions: metadata headers, cache names,
// bbs paths, fstat and cd.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/process.h"
#include "pdisk/file_ops.h"
#include "pdisk/pfile.h"
#include "vfs_fixture.h"

namespace {

TEST(FileOps, MetadataHeadersAreReplacedOrDropped) {
  struct row {
    std::string file, header, expected;
  };
  const std::vector<row> rows = {
      {"--[[tuk]]\n{1}", "--[[tuk,a=1]]\n", "--[[tuk,a=1]]\n{1}"},
      {"{1}", "--[[tuk]]\n", "--[[tuk]]\n{1}"},                     // no header yet
      {"--[[tuk,x=2]]\nbody", "--[[tuk, metadata_format=\"none\"]]", "body"},
      {"--[[tuk never closed", "--[[tuk]]\n", "--[[tuk]]\n"},         // the whole text was header
      {"--[[tuk]]\n\nrest", "H", "H\nrest"},                             // one line end only
  };
  for (const row &r : rows) EXPECT_EQ(replace_metadata_header(r.file, r.header), r.expected) << r.file;

  EXPECT_TRUE(is_raw_metadata("--[[tuk_format=\"raw\"]]"));
  EXPECT_TRUE(is_raw_metadata("--[[tuk_format=\"raw\",a=1]]"));
  EXPECT_FALSE(is_raw_metadata("--[[tuk_format=raw]]"));
  EXPECT_FALSE(is_raw_metadata(" --[[tuk_format=\"raw\"]]"));
  EXPECT_TRUE(says_no_metadata("--[[a=1,metadata_format=\"none\"]]"));
  EXPECT_FALSE(says_no_metadata("--[[metadata_format=none]]"));
}

TEST(FileOps, CacheNamesAreSingleSegments) {
  struct row {
    std::string name;
    bool safe;
  };
  const std::vector<row> rows = {
      {"carts", true},       {"cart123.kvt.png", true}, {"a-b_c.d", true}, {"", false},
      {".", false},          {"..", false},             {"a/b", false},    {"../x", false},
      {"a\\b", false},       {std::string("a\0b", 3), false},           {"a b", false},
      {std::string(255, 'x'), true},                    {std::string(256, 'x'), false},
      {"...", true}, // a name of dots, but not a step up
  };
  for (const row &r : rows) EXPECT_EQ(is_safe_path_segment(r.name), r.safe) << r.name;
  EXPECT_FALSE(cache_host_path("..", "x"));
  EXPECT_FALSE(cache_host_path("carts", "../../kestrune_config.txt"));
  std::optional<std::string> p = cache_host_path("carts", "c.kvt");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->ends_with("/cache/carts/c.kvt")) << *p;
}

TEST(FileOps, BbsPathsAreLowerCaseFromTheSeventhCharacter) {
  struct row {
    std::string text;
    bool well_formed;
  };
  const std::vector<row> rows = {{"", true},          {"ABC", true},         {"ABCDEFg", true},
                                 {"abcdef-", false},  {"abcdefG", false},    {"bbs://a/b_1.2", true},
                                 {"bbs://a b", false}, {"123456789", true}};
  for (const row &r : rows) EXPECT_EQ(is_well_formed_bbs_path(r.text), r.well_formed) << r.text;
}

TEST_F(Vfs, FstatAndCd) {
  ASSERT_TRUE(put("/ram/f.txt", "12345"));
  ASSERT_EQ(pmkdir("/ram/dir"), 0);
  host_put("h.bin", "abc");
  struct row {
    std::string path;
    bool exists, folder;
    int64_t size;
    std::optional<std::string> description;
  };
  const std::vector<row> rows = {
      {"/ram/f.txt", true, false, 5, std::nullopt},
      {"/ram/dir", true, true, 0, std::nullopt},
      {"/ram", true, true, 0, "/ram"},
      {"/h.bin", true, false, 3, std::nullopt},
      {"/missing", false, false, 0, std::nullopt},
      {"a b", false, false, 0, std::nullopt},
  };
  for (const row &r : rows) {
    std::optional<pdisk_stat> st = pdisk_fstat(r.path);
    ASSERT_EQ(bool(st), r.exists) << r.path;
    if (!st) continue;
    EXPECT_EQ(st->folder, r.folder) << r.path;
    EXPECT_EQ(st->size, r.size) << r.path;
    EXPECT_EQ(st->description, r.description) << r.path;
  }
  EXPECT_EQ(pdisk_fstat("/")->description, "host:" + host);

  process p;
  EXPECT_EQ(change_directory(&p, "nowhere", false), "path not found");
  EXPECT_EQ(p.pwd, "/");
  EXPECT_EQ(change_directory(&p, "ram/dir/..", false), std::nullopt);
  EXPECT_EQ(p.pwd, "/ram");
  EXPECT_EQ(change_directory(&p, "f.txt", false), "path not found"); // a file is no folder
  EXPECT_EQ(change_directory(&p, "bad path", false), std::nullopt);  // illegal: nothing
  EXPECT_EQ(p.pwd, "/ram");
  EXPECT_EQ(change_directory(&p, "any text at all", true), std::nullopt);
  EXPECT_EQ(p.pwd, "any text at all");
  change_directory(&p, std::string(257, 'x'), true);
  EXPECT_EQ(p.pwd, "any text at all");
}

} // namespace
