// The dialect's lexer: its extra tokens and their numbers, the character
// aliases, the control-byte escapes, the end-of-line requests and the
// parenthesis count of conditions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunk_runner.h"

// The core's internals, to drive the lexer on its own.
#include "llex.h"
#include "lobject.h"
#include "lstate.h"
#include "lzio.h"

using namespace lua_harness;

namespace {

static_assert(TK_STRING == 292, "published token numbers end at 292");
static_assert(TK_BANGNE == 293 && TK_PRINT == 294 && TK_EOL == 295);
static_assert(TK_ADDASSIGN == 296 && TK_SUBASSIGN == 297 && TK_MULASSIGN == 298 &&
              TK_DIVASSIGN == 299 && TK_MODASSIGN == 300 && TK_POWASSIGN == 301);
static_assert(TK_IDIVASSIGN == 302 && TK_BANDASSIGN == 303 && TK_BORASSIGN == 304 &&
              TK_BXORASSIGN == 305 && TK_SHLASSIGN == 306 && TK_SHRASSIGN == 307);
static_assert(TK_LSHRASSIGN == 308 && TK_ROTLASSIGN == 309 && TK_ROTRASSIGN == 310 &&
              TK_CONCATASSIGN == 311);

struct token {
  int kind;
  int line;        // the lexer's line count after reading it
  int bracedepth;  // after reading it
  bool operator==(const token &o) const = default;
};

struct lex_job {
  std::string source;
  bool fed = false;
  bool track = false;  // call luaX_trackbraces after the first token
  Mbuffer buff{};
  std::vector<token> tokens;
  std::vector<std::string> values;  // tagged numbers, names and strings
  int pendingeol = 0;               // at the end
};

const char *feed(lua_State *, void *ud, size_t *size) {
  auto *job = static_cast<lex_job *>(ud);
  if (job->fed) return nullptr;
  job->fed = true;
  *size = job->source.size();
  return job->source.data();
}

int lex_all(lua_State *L) {
  auto *job = static_cast<lex_job *>(lua_touserdata(L, 1));
  ZIO z;
  luaZ_init(L, &z, feed, job);
  LexState ls;
  lua_newtable(L);  // the scanner's string table, anchored here
  ls.h = static_cast<Table *>(const_cast<void *>(lua_topointer(L, -1)));
  ls.buff = &job->buff;
  ls.dyd = nullptr;
  lua_pushliteral(L, "=lex");
  luaX_setinput(L, &ls, &z, tsvalue(s2v(L->top - 1)), zgetc(&z));
  EXPECT_EQ(ls.pendingeol, 0);
  EXPECT_EQ(ls.bracedepth, -1);
  do {
    luaX_next(&ls);
    if (job->track && job->tokens.empty()) luaX_trackbraces(&ls);
    job->tokens.push_back({ls.t.token, ls.linenumber, ls.bracedepth});
    switch (ls.t.token) {
      case TK_INT: job->values.push_back("i:" + std::to_string(ls.t.seminfo.i)); break;
      case TK_FLT: job->values.push_back("f:" + std::to_string(ls.t.seminfo.r)); break;
      case TK_NAME:
      case TK_STRING:
        job->values.push_back("s:" + std::string(getstr(ls.t.seminfo.ts), tsslen(ls.t.seminfo.ts)));
        break;
    }
  } while (ls.t.token != TK_EOS);
  job->pendingeol = ls.pendingeol;
  return 0;
}

// Lexes the source to its end; `error` gets the message of a lexical error.
lex_job lex(const std::string &source, std::string *error = nullptr, bool track = false) {
  lex_job job;
  job.source = source;
  job.track = track;
  state_owner S = new_state();
  lua_State *L = S.get();
  lua_pushcfunction(L, lex_all);
  lua_pushlightuserdata(L, &job);
  int status = lua_pcall(L, 1, 0, 0);
  if (error) *error = status == LUA_OK ? "" : lua_tostring(L, -1);
  luaZ_freebuffer(L, &job.buff);
  return job;
}

std::vector<int> kinds(const std::string &source) {
  std::string error;
  lex_job job = lex(source, &error);
  EXPECT_EQ(error, "") << source;
  std::vector<int> out;
  for (const token &t : job.tokens) out.push_back(t.kind);
  return out;
}

// ---------------------------------------------------------------------------

TEST(DialectLexer, NewOperatorTokens) {
  EXPECT_EQ(kinds("a != b"), (std::vector<int>{TK_NAME, TK_BANGNE, TK_NAME, TK_EOS}));
  EXPECT_EQ(kinds("+= -= *= /= %= ^= \\= &= |= ^^= <<= >>= ..="),
            (std::vector<int>{TK_ADDASSIGN, TK_SUBASSIGN, TK_MULASSIGN, TK_DIVASSIGN,
                              TK_MODASSIGN, TK_POWASSIGN, TK_IDIVASSIGN, TK_BANDASSIGN,
                              TK_BORASSIGN, TK_BXORASSIGN, TK_SHLASSIGN, TK_SHRASSIGN,
                              TK_CONCATASSIGN, TK_EOS}));
  // Published tokens next to them keep their meaning.
  EXPECT_EQ(kinds("~= == <= >= << >> // .. ... :: ~"),
            (std::vector<int>{TK_NE, TK_EQ, TK_LE, TK_GE, TK_SHL, TK_SHR, TK_IDIV, TK_CONCAT,
                              TK_DOTS, TK_DBCOLON, '~', TK_EOS}));
  EXPECT_EQ(kinds("+ - * / % ^ & | < > = . ! \\ @ $ #"),
            (std::vector<int>{'+', '-', '*', '/', '%', '^', '&', '|', '<', '>', '=', '.', '!',
                              '\\', '@', '$', '#', TK_EOS}));
}

TEST(DialectLexer, LongestMatchAndSplits) {
  // "//=" is "//" then "="; ">>>=" is ">>" then ">="; "--=" is a comment.
  EXPECT_EQ(kinds("x //= 2"), (std::vector<int>{TK_NAME, TK_IDIV, '=', TK_INT, TK_EOS}));
  EXPECT_EQ(kinds("x \\= 2"), (std::vector<int>{TK_NAME, TK_IDIVASSIGN, TK_INT, TK_EOS}));
  EXPECT_EQ(kinds(">>>="), (std::vector<int>{TK_SHR, TK_GE, TK_EOS}));
  EXPECT_EQ(kinds("<<>="), (std::vector<int>{TK_SHL, TK_GE, TK_EOS}));
  EXPECT_EQ(kinds("a --= b\nc"), (std::vector<int>{TK_NAME, TK_NAME, TK_EOS}));
  EXPECT_EQ(kinds("a ^^ b ^^= c ^ d"),
            (std::vector<int>{TK_NAME, '~', TK_NAME, TK_BXORASSIGN, TK_NAME, '^', TK_NAME,
                              TK_EOS}));
  EXPECT_EQ(kinds("^^^"), (std::vector<int>{'~', '^', TK_EOS}));
  EXPECT_EQ(kinds("a...=b"), (std::vector<int>{TK_NAME, TK_DOTS, '=', TK_NAME, TK_EOS}));
  EXPECT_EQ(kinds("a..=.5"), (std::vector<int>{TK_NAME, TK_CONCATASSIGN, TK_FLT, TK_EOS}));
  EXPECT_EQ(kinds("!!="), (std::vector<int>{'!', TK_BANGNE, TK_EOS}));
  EXPECT_EQ(kinds("x=-1"), (std::vector<int>{TK_NAME, '=', '-', TK_INT, TK_EOS}));
  EXPECT_EQ(kinds("x<=-1"), (std::vector<int>{TK_NAME, TK_LE, '-', TK_INT, TK_EOS}));
}

TEST(DialectLexer, NumbersAndNames) {
  lex_job job = lex("0b101 0B11 0b10.01 0x1F 7 .5 print");
  EXPECT_EQ(job.values, (std::vector<std::string>{"i:5", "i:3", "f:2.250000", "i:31", "i:7",
                                                  "f:0.500000", "s:print"}));
}

TEST(DialectLexer, ControlByteEscapes) {
  lex_job job = lex(R"("\*\#\-\|\+\^" '\*x\^' "\\*")");
  EXPECT_EQ(job.values, (std::vector<std::string>{"s:\1\2\3\4\5\6", "s:\1x\6", "s:\\*"}));
  std::string error;
  lex(R"("\q")", &error);
  EXPECT_EQ(error, R"(lex:1: invalid escape sequence near '"\q')");
  lex(R"("\!")", &error);
  EXPECT_EQ(error, R"(lex:1: invalid escape sequence near '"\!')");
}

TEST(DialectLexer, PrintShorthandOwesALineEnd) {
  lex_job job = lex("? a\nb");
  EXPECT_EQ(job.tokens, (std::vector<token>{{TK_PRINT, 1, -1},
                                            {TK_NAME, 1, -1},
                                            {TK_EOL, 2, -1},
                                            {TK_NAME, 2, -1},
                                            {TK_EOS, 2, -1}}));
  EXPECT_EQ(job.pendingeol, 0);
  // Two requests at one line break: two TK_EOL, the first without taking the break.
  job = lex("? ?\nb");
  EXPECT_EQ(job.tokens, (std::vector<token>{{TK_PRINT, 1, -1},
                                            {TK_PRINT, 1, -1},
                                            {TK_EOL, 1, -1},
                                            {TK_EOL, 2, -1},
                                            {TK_NAME, 2, -1},
                                            {TK_EOS, 2, -1}}));
  // A request still pending at the end of the input is no token.
  job = lex("? a");
  EXPECT_EQ(job.tokens.back().kind, TK_EOS);
  EXPECT_EQ(job.tokens.size(), 3u);
  EXPECT_EQ(job.pendingeol, 1);
  // Breaks with no request pending are skipped as published; CR LF is one break.
  EXPECT_EQ(kinds("a\r\n\n\rb"), (std::vector<int>{TK_NAME, TK_NAME, TK_EOS}));
  EXPECT_EQ(kinds("? ?\r\nb"),
            (std::vector<int>{TK_PRINT, TK_PRINT, TK_EOL, TK_EOL, TK_NAME, TK_EOS}));
}

// The mend: the rule for several pending requests holds wherever the lexer
// reaches the line break, also after blanks and comments that follow the last
// token of the line, so that the next line is never taken into the statement.
TEST(DialectLexer, PendingLineEndsAfterBlanksAndComments) {
  const std::vector<int> two_ends = {TK_PRINT, TK_PRINT, TK_EOL, TK_EOL, TK_NAME, TK_EOS};
  for (const char *src : {"? ?\nx", "? ?  \nx", "? ?\t\nx", "? ? -- note\nx", "? ?--\nx",
                          "? ? --[[ a ]] \nx", "? ? -- one\r\nx"}) {
    EXPECT_EQ(kinds(src), two_ends) << src;
    lex_job job = lex(src);
    EXPECT_EQ(job.tokens[4].line, 2) << src;  // x is read from line 2
  }
  // Three requests.
  EXPECT_EQ(kinds("? ? ? -- c\nx"),
            (std::vector<int>{TK_PRINT, TK_PRINT, TK_PRINT, TK_EOL, TK_EOL, TK_EOL, TK_NAME,
                              TK_EOS}));
}

TEST(DialectLexer, BraceDepthOfATrackedCondition) {
  // After luaX_trackbraces on "(": 1, then the closing ")" of the first group
  // gives 0, and any later parenthesis only goes further below 0.
  lex_job job = lex("(a (b) c) d (e) f", nullptr, true);
  std::vector<int> depths;
  for (const token &t : job.tokens) depths.push_back(t.bracedepth);
  EXPECT_EQ(depths, (std::vector<int>{1, 1, 2, 2, 1, 1, 0, 0, -1, -1, -2, -2, -2}));
  // A condition not starting with "(" is not tracked.
  job = lex("a (b)", nullptr, true);
  depths.clear();
  for (const token &t : job.tokens) depths.push_back(t.bracedepth);
  EXPECT_EQ(depths, (std::vector<int>{-1, -2, -2, -3, -3}));
}

TEST(DialectLexer, TokenSpellingsInMessages) {
  // Tokens from 288 on are shown without quotes.
  EXPECT_EQ(compile_error("x = != 1"), "t:1: unexpected symbol near !=");
  EXPECT_EQ(compile_error("x = += 1"), "t:1: unexpected symbol near +=");
  EXPECT_EQ(compile_error("x = ..= 1"), "t:1: unexpected symbol near ..=");
  EXPECT_EQ(compile_error("x = \\= 1"), "t:1: unexpected symbol near \\=");
  EXPECT_EQ(compile_error("x = ^^= 1"), "t:1: unexpected symbol near ^^=");
  EXPECT_EQ(compile_error("x = ! 1"), "t:1: unexpected symbol near '!'");
  EXPECT_EQ(compile_error("? x y"), "t:1: <eol> expected near 'y'");
  EXPECT_EQ(compile_error("local x = (1\n? 2)"), "t:2: ')' expected (to close '(' at line 1) near ?");
}

}  // namespace
