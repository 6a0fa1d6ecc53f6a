// create_delta and apply_delta as scripts see them.
#include "tests/kernel/script_api_fixture.h"

namespace {

using namespace script_api_test;
using DeltaApi = ScriptApi;

TEST_F(DeltaApi, RoundTripAndFailures) {
  EXPECT_EQ(run("local a, b = ('x'):rep(300) .. 'old', ('x'):rep(300) .. 'new!' "
                "return apply_delta(a, create_delta(a, b)) == b"),
            R{"b:true"});
  EXPECT_EQ(run("return apply_delta('', create_delta('', 'made from nothing'))"),
            R{"s:made from nothing"});
  // A source other than the delta's own gives nothing; so do arguments that are not strings.
  EXPECT_EQ(run("return apply_delta('other', create_delta('one', 'two'))"), R{});
  EXPECT_EQ(run("return create_delta('a', 5)"), R{});
  EXPECT_EQ(run("return apply_delta({}, 'x')"), R{});
  EXPECT_EQ(run("return apply_delta('abc', 'not a delta at all')"), R{});
}

TEST_F(DeltaApi, ChargesAQuarterOfTheResult) {
  // The rebuilt 4000 bytes charge 1000, and the string made of them its
  // allocation: (4000 + 25) / 64 + 4 = 66. The work is charged a cycle per 4
  // bytes as it goes: the 22-byte inner stream decompressed (5) and walked (5),
  // the source's CRC (1000), the copies and the result's CRC (2000).
  EXPECT_EQ(charge_of("apply_delta",
                      "('q'):rep(4000), create_delta(('q'):rep(4000), ('q'):rep(4000))"),
            1000 + 66 + 5 + 5 + 1000 + 2000);
}

}  // namespace
