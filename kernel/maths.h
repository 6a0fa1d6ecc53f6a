// Maths, random and string functions: the integer reader of script arguments,
// the per-process random generator, and the plain logic behind the maths,
// table and string functions of the script API.
#pragma once

#include <cstdint>
#include <string_view>

struct lua_State;
struct process;

/* ---------------------------------------------------------------------- */
/* argument readers (shared by every subsystem's bindings)                */
/* ---------------------------------------------------------------------- */

// The integer reader of script arguments: an integer as itself; a float, or a
// string that converts to a number, floored (saturating at the i64 range, NaN
// giving 0); anything else (none, nil, boolean, table ...) the default.
int64_t kvt_intp(lua_State *L, int index, int64_t def);
// The same, telling whether the argument was readable instead of defaulting.
bool kvt_intx(lua_State *L, int index, int64_t *out);
// As kvt_intp, rounding up instead of down.
int64_t kvt_ceilp(lua_State *L, int index, int64_t def);
// For arguments read only when they are numbers: an integer as itself, a float
// truncated toward zero (saturating, NaN giving 0); anything else the default.
int64_t kvt_truncp(lua_State *L, int index, int64_t def);
// The argument when its type is number, else the default.
double kvt_number(lua_State *L, int index, double def);

/* ---------------------------------------------------------------------- */
/* random                                                                 */
/* ---------------------------------------------------------------------- */

constexpr uint32_t seed_entropy_initial = 0x11848D4;
// Stirred at every srand without a seed (and at every process creation).
extern uint32_t seed_entropy;

// One step of xoshiro256** on the given state; returns the output.
uint64_t xoshiro256ss_next(uint64_t s[4]);
// s0 = seed ^ 0xDEADBEEF, s1 = 0xFF, s2 = seed with its 32-bit halves
// swapped, s3 = 0; then 8 steps whose outputs are dropped. s1 keeps the state
// from ever being all zero.
void xoshiro256ss_seed(uint64_t s[4], uint64_t seed);
// The same on the current process's state.
uint64_t xoshiro256ss_rand();
void xoshiro256ss_srand(uint64_t seed);

// Stirs seed_entropy once and returns its new value.
uint32_t stir_seed_entropy();
// The seed that srand uses without one: ((seconds + address of the caller's
// state) x 3001 ^ (caller id << 5)) | e, with e sign-extended.
uint64_t default_random_seed(int64_t seconds, const void *state, int64_t id, uint32_t e);
// The seed of srand without one, for the given caller: stirs seed_entropy
// and reads the host clock.
uint64_t fresh_random_seed(const void *state, int64_t id);
// Gives a new process a random state of its own, as srand() would.
void seed_process_random(process *P);

// rnd's table form: the index (1-based) of the element drawn from n.
inline int64_t random_index(uint64_t output, int64_t n) {
  return static_cast<int64_t>(output % static_cast<uint64_t>(n)) + 1;
}
// rnd's number form: (low 32 bits of the output) x x / 2^32.
inline double random_share(uint64_t output, double x) {
  return static_cast<double>(static_cast<uint32_t>(output)) * x / 4294967296.0;
}

/* ---------------------------------------------------------------------- */
/* maths                                                                  */
/* ---------------------------------------------------------------------- */

// Angles in turns; the sine is inverted for screen coordinates (y down).
double turns_cos(double x);
double turns_sin(double x);
double turns_atan2(double dx, double dy);
// The absolute value of every integer: the most negative gives the largest.
int64_t abs_i64(int64_t x);

template <typename T>
T mid_of(T a, T b, T c) {
  if (a > b) {
    T t = a;
    a = b;
    b = t;
  }
  // now a <= b: the middle is b unless c lies below it
  if (c < b) return c > a ? c : a;
  return b;
}

/* ---------------------------------------------------------------------- */
/* strings                                                                */
/* ---------------------------------------------------------------------- */

// split's pieces, handed to `piece` one by one in order (a text of many
// pieces is not held twice): pieces of n bytes each (n limited to 1..the
// length; the last one shorter; none for an empty text) ...
template <typename F>
void split_by_count(std::string_view text, int64_t n, F &&piece) {
  if (n > static_cast<int64_t>(text.size())) n = static_cast<int64_t>(text.size());
  if (n < 1) n = 1;
  for (size_t at = 0; at < text.size(); at += static_cast<size_t>(n))
    piece(text.substr(at, static_cast<size_t>(n)));
}

// ... or the text cut at every byte of the separator set: a separator at either
// end, or two in a row, give empty pieces; an empty set gives one piece per byte.
template <typename F>
void split_by_set(std::string_view text, std::string_view separators, F &&piece) {
  if (separators.empty()) {
    for (size_t i = 0; i < text.size(); i++) piece(text.substr(i, 1));
    return;
  }
  // One look-up per byte, however many separators there are.
  bool cuts[256] = {};
  for (char c : separators) cuts[static_cast<unsigned char>(c)] = true;
  size_t from = 0;
  for (size_t i = 0; i < text.size(); i++) {
    if (!cuts[static_cast<unsigned char>(text[i])]) continue;
    piece(text.substr(from, i - from));
    from = i + 1;
  }
  piece(text.substr(from));
}

// tokenoid's token kinds
constexpr int64_t token_blanks = 0;
constexpr int64_t token_identifier = 1;
constexpr int64_t token_number = 2;
constexpr int64_t token_comment = 3;
constexpr int64_t token_string = 4;
constexpr int64_t token_other = 5;
// A long bracket left open at the end of the text: kind x 256 + level.
constexpr int64_t open_bracket_state_mask = 0xF00;
constexpr int long_bracket_level_max = 59;

struct token {
  size_t start;  // 0-based byte offset
  size_t length;
  int64_t kind;  // a continued bracket keeps the kind of its state
  bool open;      // ends inside an unfinished long bracket
  int64_t state;  // the state to pass with the next line, when open
};

// The token that starts at byte offset `start` of the text (which must lie
// inside it), given the state left by the previous line.
token scan_token(std::string_view text, size_t start, int64_t state);
