// Ordinary Lua 5.4 programs (tests/lua/corpus/*.lua, no dialect syntax and
// none of the removed library functions) run unchanged under the dialect:
// each prints what the unchanged release printed, kept in the file itself as
// lines starting with "--> ".
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

const std::filesystem::path corpus_dir =
    std::filesystem::path(KESTRUNE_SOURCE_DIR) / "tests" / "lua" / "corpus";

std::vector<std::string> corpus_files() {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(corpus_dir))
    if (e.path().extension() == ".lua") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The expected output: every "--> " line, in order ("-->" alone is an empty line).
std::string expected_output(const std::string &source) {
  std::string out, line;
  std::istringstream in(source);
  while (std::getline(in, line)) {
    if (line == "-->")
      out += "\n";
    else if (line.rfind("--> ", 0) == 0)
      out += line.substr(4) + "\n";
  }
  return out;
}

class Corpus : public testing::TestWithParam<std::string> {};

TEST_P(Corpus, PrintsWhatTheReleasePrinted) {
  std::string source = read_file(corpus_dir / GetParam());
  ASSERT_FALSE(source.empty()) << GetParam();
  std::string expected = expected_output(source);
  ASSERT_FALSE(expected.empty()) << GetParam() << " has no expected output";
  std::string chunk_name = "@" + GetParam();
  chunk_run r = run_fresh(source, chunk_name.c_str());
  ASSERT_EQ(r.status, LUA_OK) << r.results[0];
  EXPECT_EQ(r.printed, expected) << GetParam();
}

TEST(CorpusSet, HasPrograms) { EXPECT_GE(corpus_files().size(), 12u); }

INSTANTIATE_TEST_SUITE_P(Lua54, Corpus, testing::ValuesIn(corpus_files()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           std::string n = info.param.substr(0, info.param.size() - 4);
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
