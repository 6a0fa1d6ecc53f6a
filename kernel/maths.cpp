// Maths, random and string functions: argument readers, the random generator,
// turn-based trigonometry, split and the tokeniser of the code editor.
#include "kernel/maths.h"

#include <cmath>
#include <ctime>

#include "kernel/numbers.h"
#include "kernel/process.h"
#include "lua.h"

uint32_t seed_entropy = seed_entropy_initial;

/* ---------------------------------------------------------------------- */
/* argument readers                                                       */
/* ---------------------------------------------------------------------- */

namespace {

enum class rounding { down, up };

int64_t to_i64(double x, rounding r) { return r == rounding::down ? floor_to_i64(x) : ceil_to_i64(x); }

// Integers (and integral floats and integer strings, which lua_tointegerx
// converts exactly) take the fast path; the rest is rounded through numbers.h.
bool read_integer(lua_State *L, int index, rounding r, int64_t *out) {
  int exact = 0;
  lua_Integer v = lua_tointegerx(L, index, &exact);
  if (exact) {
    *out = v;
    return true;
  }
  int t = lua_type(L, index);
  if (t != LUA_TNUMBER && t != LUA_TSTRING) return false;
  int isnum = 0;
  double x = lua_tonumberx(L, index, &isnum);
  if (!isnum) return false;
  *out = to_i64(x, r);
  return true;
}

}  // namespace

bool kvt_intx(lua_State *L, int index, int64_t *out) {
  return read_integer(L, index, rounding::down, out);
}

int64_t kvt_intp(lua_State *L, int index, int64_t def) {
  int64_t v;
  return read_integer(L, index, rounding::down, &v) ? v : def;
}

int64_t kvt_ceilp(lua_State *L, int index, int64_t def) {
  int64_t v;
  return read_integer(L, index, rounding::up, &v) ? v : def;
}

int64_t kvt_truncp(lua_State *L, int index, int64_t def) {
  if (lua_type(L, index) != LUA_TNUMBER) return def;
  if (lua_isinteger(L, index)) return lua_tointeger(L, index);
  return trunc_to_i64(lua_tonumber(L, index));
}

double kvt_number(lua_State *L, int index, double def) {
  return lua_type(L, index) == LUA_TNUMBER ? lua_tonumber(L, index) : def;
}

/* ---------------------------------------------------------------------- */
/* random                                                                 */
/* ---------------------------------------------------------------------- */

static inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t xoshiro256ss_next(uint64_t s[4]) {
  uint64_t result = rotl(s[1] * 5, 7) * 9;
  uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

void xoshiro256ss_seed(uint64_t s[4], uint64_t seed) {
  s[0] = seed ^ 0xDEADBEEF;
  s[1] = 0xFF;
  s[2] = (seed << 32) | (seed >> 32);
  s[3] = 0;
  for (int i = 0; i < 8; i++) xoshiro256ss_next(s);
}

uint64_t xoshiro256ss_rand() { return xoshiro256ss_next(cproc->random_state); }

void xoshiro256ss_srand(uint64_t seed) { xoshiro256ss_seed(cproc->random_state, seed); }

uint32_t stir_seed_entropy() {
  uint32_t e = seed_entropy;
  e = ((e << 7) ^ ((e >> 16) & 0xFF)) ^ 0x56DF7780;
  e = (e + 331) * (e + 42863);
  return seed_entropy = e;
}

uint64_t default_random_seed(int64_t seconds, const void *state, int64_t id, uint32_t e) {
  uint64_t mixed = (static_cast<uint64_t>(seconds) + reinterpret_cast<uintptr_t>(state)) * 3001;
  mixed ^= static_cast<uint64_t>(id) << 5;
  return mixed | static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(e)));
}

uint64_t fresh_random_seed(const void *state, int64_t id) {
  uint32_t e = stir_seed_entropy();
  return default_random_seed(static_cast<int64_t>(time(nullptr)), state, id, e);
}

// A record starts zeroed, and xoshiro256** never leaves the all-zero state:
// without this a process that never calls srand would draw only zeros.
void seed_process_random(process *P) {
  xoshiro256ss_seed(P->random_state, fresh_random_seed(P->lua_state, P->id));
}

/* ---------------------------------------------------------------------- */
/* maths                                                                  */
/* ---------------------------------------------------------------------- */

// Not pi: the system's turns have always used this value.
static constexpr double turn_pi = 3.141562;

double turns_cos(double x) {
  double f = std::fmod(x, 1.0);
  if (f == 0) return 1;
  if (f == 0.25) return 0;
  if (f == 0.5) return -1;
  if (f == 0.75) return 0;
  return std::cos(x * 2 * turn_pi);
}

double turns_sin(double x) {
  double f = std::fmod(x, 1.0);
  if (f == 0) return 0;
  if (f == 0.25) return -1;
  if (f == 0.5) return 0;
  if (f == 0.75) return 1;
  return std::sin(-turn_pi * x * 2);
}

double turns_atan2(double dx, double dy) { return std::atan2(-dy, dx) / 6.283124; }

int64_t abs_i64(int64_t x) {
  if (x == INT64_MIN) return INT64_MAX;
  return x < 0 ? -x : x;
}

/* ---------------------------------------------------------------------- */
/* strings                                                                */
/* ---------------------------------------------------------------------- */

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool is_identifier(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 128;
}

// The level of a long bracket "[" k "=" "[" opening at `at`, or -1.
int long_bracket_at(std::string_view text, size_t at) {
  if (at >= text.size() || text[at] != '[') return -1;
  size_t i = at + 1;
  while (i < text.size() && text[i] == '=') i++;
  size_t level = i - at - 1;
  if (i >= text.size() || text[i] != '[' || level > long_bracket_level_max) return -1;
  return static_cast<int>(level);
}

// The offset just after the first "]" level "=" "]" at or after `from`, or npos.
size_t long_bracket_end(std::string_view text, size_t from, int64_t level) {
  for (size_t i = text.find(']', from); i != std::string_view::npos; i = text.find(']', i + 1)) {
    size_t j = i + 1;
    int64_t k = 0;
    while (j < text.size() && text[j] == '=' && k < level) {
      j++;
      k++;
    }
    if (k == level && j < text.size() && text[j] == ']') return j + 1;
  }
  return std::string_view::npos;
}

// A token running to `end`, or, when the bracket never closes, to the end of
// the text with the state for the next line.
token bracket_token(std::string_view text, size_t start, size_t end, int64_t kind, int64_t level) {
  if (end == std::string_view::npos)
    return {start, text.size() - start, kind, true, kind * 256 + level};
  return {start, end - start, kind, false, 0};
}

}  // namespace

token scan_token(std::string_view text, size_t start, int64_t state) {
  auto run = [&](size_t from, auto keep) {
    size_t i = from;
    while (i < text.size() && keep(static_cast<unsigned char>(text[i]), i - start)) i++;
    return i;
  };

  if (state & open_bracket_state_mask) {
    // A bracket still open gives back the very state it was continued with.
    int64_t kind = state >> 8;
    size_t end = long_bracket_end(text, start, state & 0xFF);
    if (end == std::string_view::npos) return {start, text.size() - start, kind, true, state};
    return {start, end - start, kind, false, 0};
  }

  unsigned char c = static_cast<unsigned char>(text[start]);
  if (c == ' ' || c == '\t') {
    size_t end = run(start, [](unsigned char b, size_t) { return b == ' ' || b == '\t'; });
    return {start, end - start, token_blanks, false, 0};
  }
  if (int level = long_bracket_at(text, start); level >= 0) {
    size_t end = long_bracket_end(text, start + level + 2, level);
    return bracket_token(text, start, end, token_string, level);
  }
  if (is_identifier(c)) {
    size_t end = run(start, [](unsigned char b, size_t) { return is_identifier(b) || is_digit(b); });
    return {start, end - start, token_identifier, false, 0};
  }
  if (is_digit(c)) {
    size_t end = run(start + 1, [](unsigned char b, size_t k) {
      return is_digit(b) || b == '.' || (k == 1 && (b == 'b' || b == 'x')) ||
             (k >= 2 && b >= 'a' && b <= 'f');
    });
    return {start, end - start, token_number, false, 0};
  }
  if (c == '"') {
    size_t i = start + 1;
    while (i < text.size() && text[i] != '"') {
      if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"'))
        i++;
      i++;
    }
    size_t end = i < text.size() ? i + 1 : text.size();
    return {start, end - start, token_string, false, 0};
  }
  if (c == '-' && start + 1 < text.size() && text[start + 1] == '-') {
    if (int level = long_bracket_at(text, start + 2); level >= 0) {
      size_t end = long_bracket_end(text, start + 2 + level + 2, level);
      return bracket_token(text, start, end, token_comment, level);
    }
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    return {start, end - start, token_comment, false, 0};
  }
  return {start, 1, token_other, false, 0};
}
