// Stress: ordinary programs stopped by the budget yield every instruction or
// two (and every allocation failing once) still give the results of a plain run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lua_harness.h"

using namespace lua_harness;

namespace {

struct program {
  const char *name;
  const char *code;  // returns one string
};

const std::vector<program> &programs() {
  static const std::vector<program> all = {
      {"recursion", R"lua(
        local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
        local out = {}
        for i = 0, 15 do out[#out + 1] = fib(i) end
        return table.concat(out, ",")
      )lua"},
      {"tables", R"lua(
        local t = {}
        for i = 1, 200 do t[i] = (i * 7919) % 211 end
        table.insert(t, 1, -1) table.remove(t, 50)
        -- an insertion sort, descending (the dialect has no table.sort)
        for i = 2, #t do
          local v, j = t[i], i - 1
          while j >= 1 and t[j] < v do t[j + 1] = t[j] j = j - 1 end
          t[j + 1] = v
        end
        local sum, count = 0, 0
        for k, v in pairs({a = 1, b = 2, c = 3, [10] = 4}) do sum = sum + v count = count + 1 end
        local packed = table.pack(table.unpack(t, 1, 5))
        return table.concat(t, " ", 1, 20) .. "|" .. sum .. "|" .. count .. "|" .. packed.n
      )lua"},
      {"metamethods", R"lua(
        local log = {}
        local V = {}
        V.__index = function(t, k) log[#log + 1] = "get" .. k return k .. "!" end
        V.__newindex = function(t, k, v) log[#log + 1] = "set" .. k rawset(t, k, v * 2) end
        V.__add = function(a, b) return setmetatable({n = rawget(a, "n") + rawget(b, "n")}, V) end
        V.__unm = function(a) return setmetatable({n = -rawget(a, "n")}, V) end
        V.__concat = function(a, b)
          local x = type(a) == "table" and rawget(a, "n") or a
          local y = type(b) == "table" and rawget(b, "n") or b
          return x .. "+" .. y
        end
        V.__eq = function(a, b) return rawget(a, "n") == rawget(b, "n") end
        V.__lt = function(a, b) return rawget(a, "n") < rawget(b, "n") end
        V.__le = function(a, b) return rawget(a, "n") <= rawget(b, "n") end
        V.__len = function(a) return rawget(a, "n") * 10 end
        V.__call = function(self, x, y) return rawget(self, "n") + x + y end
        V.__tostring = function(a) return "V" .. rawget(a, "n") end
        local function v(n) return setmetatable({n = n}, V) end
        local a, b = v(3), v(4)
        local c = a + b
        c.extra = 5
        local r = {tostring(c), c.foo, rawget(c, "extra"), #c, c(1, 2), tostring(-a),
                   tostring(a == v(3)), tostring(a < b), tostring(b <= a),
                   "x" .. a .. "y" .. b .. 7, tostring(a ~= b)}
        return table.concat(r, ";") .. "|" .. table.concat(log, ",")
      )lua"},
      {"closures", R"lua(
        local function counter()
          local n = 0
          return function(step) n = n + (step or 1) return n end
        end
        local c1, c2 = counter(), counter()
        for i = 1, 10 do c1() c2(i) end
        local function va(...)
          local a, b = ...
          return select("#", ...), a, b, select(-1, ...)
        end
        local fs = {}
        for i = 1, 5 do fs[i] = function() return i * i end end
        local s = 0
        for _, f in ipairs(fs) do s = s + f() end
        return table.concat({c1(0), c2(0), va(1, nil, 3, nil), s}, ",")
      )lua"},
      {"strings", R"lua(
        local s = string.format("%5.2f|%d|%s|%q|%x", 3.14159, 42, "abc", "a\nb", 255)
        local g = ("hello world from lua"):gsub("(%w+)", function(w) return w:upper():sub(1, 3) end)
        local words = {}
        for w in ("one two three four"):gmatch("%a+") do words[#words + 1] = w:reverse() end
        local b = {("AZ"):byte(1, -1)}
        local found = {("find the needle"):find("needle", 1, true)}
        return table.concat({s, g, table.concat(words, "-"), b[1] + b[2],
                             found[1], found[2], ("x"):rep(5, ","), #("abc" .. 12 .. 1.5)}, "|")
      )lua"},
      {"errors", R"lua(
        local out = {}
        local ok, e = pcall(error, {code = 7})
        out[#out + 1] = tostring(ok) .. e.code
        ok, e = pcall(function() local x = nil return x.field end)
        out[#out + 1] = e
        ok, e = pcall(function() error("lvl", 2) end)
        out[#out + 1] = e
        local inner = pcall(function()
          local ok2, e2 = pcall(function() error("deep") end)
          out[#out + 1] = e2
          error("outer")
        end)
        out[#out + 1] = tostring(inner)
        ok, e = pcall(function() return setmetatable({}, {__add = function() error("mm") end}) + 1 end)
        out[#out + 1] = e
        ok, e = pcall(string.rep)
        out[#out + 1] = e
        return table.concat(out, "|")
      )lua"},
      {"numbers", R"lua(
        local acc = {}
        local s = 0
        for i = 1, 100 do s = s + i * i end
        acc[#acc + 1] = s
        local f = 0
        for x = 0.5, 10, 0.25 do f = f + x end
        acc[#acc + 1] = f
        acc[#acc + 1] = 7 // 2 .. "," .. -7 // 2 .. "," .. 7 % -3 .. "," .. 7.5 // 2 .. "," .. 2 ^ 10
        acc[#acc + 1] = (0xF0 | 0x0F) .. "," .. (0xFF & 0x3C) .. "," .. (1 << 62) .. "," .. (~0 >> 60)
        acc[#acc + 1] = math.maxinteger + 1 == math.mininteger and "wrap" or "nowrap"
        acc[#acc + 1] = "10" + 5 .. "," .. "3" * "4" .. "," .. 10 / 4
        acc[#acc + 1] = math.floor(-3.5) .. "," .. math.max(3, 9, 1) .. "," .. math.abs(-4)
        acc[#acc + 1] = string.format("%.3f", math.sin(1) + math.sqrt(2))
        return table.concat(acc, "|")
      )lua"},
      {"control", R"lua(
        local out = {}
        local i = 0
        while true do
          i = i + 1
          if i % 2 == 0 then goto continue end
          if i > 15 then break end
          out[#out + 1] = i
          ::continue::
        end
        local n = 0
        repeat local m = n * 2 n = n + 1 until m > 10
        out[#out + 1] = n
        local function iter(limit)
          return function(_, k) if k < limit then return k + 1, k * k end end, nil, 0
        end
        for k, sq in iter(6) do out[#out + 1] = k .. ":" .. sq end
        do
          local closed = {}
          do
            local a <close> = setmetatable({}, {__close = function() closed[#closed + 1] = "a" end})
            local b <close> = setmetatable({}, {__close = function() closed[#closed + 1] = "b" end})
          end
          out[#out + 1] = table.concat(closed)
        end
        return table.concat(out, ",")
      )lua"},
      {"objects", R"lua(
        local Animal = {}
        Animal.__index = Animal
        function Animal.new(name, sound) return setmetatable({name = name, sound = sound}, Animal) end
        function Animal:speak() return self.name .. " says " .. self.sound end
        local Dog = setmetatable({}, {__index = Animal})
        Dog.__index = Dog
        function Dog.new(name) local d = Animal.new(name, "woof") return setmetatable(d, Dog) end
        function Dog:fetch(n) local s = "" for i = 1, n do s = s .. "!" end return s end
        local chain = setmetatable({}, {__index = function(t, k) return k * 2 end})
        local d = Dog.new("rex")
        return d:speak() .. d:fetch(3) .. chain[21] .. Animal.new("cat", "meow"):speak()
      )lua"},
      {"hooked", R"lua(
        local lines = 0
        debug.sethook(function() lines = lines + 1 end, "l")
        local s = 0
        for i = 1, 50 do
          s = s + i
        end
        debug.sethook()
        return tostring(s)  -- the hook skips its first call after every resume
      )lua"},
      {"sieve", R"lua(
        local n = 3000
        local composite = {}
        local primes = 0
        for i = 2, n do
          if not composite[i] then
            primes = primes + 1
            for j = i * i, n, i do composite[j] = true end
          end
        end
        return tostring(primes)
      )lua"},
  };
  return all;
}

std::string plain_result(const program &p) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  if (luaL_dostring(L, p.code) != LUA_OK) return std::string("error: ") + lua_tostring(L, -1);
  return lua_tostring(L, -1);
}

std::string sliced_result(lua_State *L, const program &p, int cap, int *slices) {
  if (luaL_loadstring(L, p.code) != LUA_OK) return std::string("error: ") + lua_tostring(L, -1);
  int status = run_sliced(L, cap, slices);
  if (status != LUA_OK) return std::string("error: ") + lua_tostring(L, -1);
  return lua_tostring(L, -1);
}

class Sliced : public testing::TestWithParam<int> {};

TEST_P(Sliced, ProgramsGiveThePlainResults) {
  cycle_guard guard;
  for (const program &p : programs()) {
    std::string expected = plain_result(p);
    ASSERT_EQ(expected.rfind("error:", 0), std::string::npos) << p.name << ": " << expected;
    state_owner S = new_state();
    int slices = 0;
    EXPECT_EQ(sliced_result(S.get(), p, GetParam(), &slices), expected) << p.name;
    EXPECT_GT(slices, GetParam() < 2 ? 20 : 1) << p.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Caps, Sliced, testing::Values(0, 1, 7, 100));

// Once armed (the state built), every growing allocation fails on its first
// try, so an emergency collection runs before each one.
void *failing_first_try(void *armed, void *ptr, size_t osize, size_t nsize, int last_try,
                        size_t) {
  if (nsize == 0) {
    free(ptr);
    return nullptr;
  }
  if (*static_cast<bool *>(armed) && !last_try && (ptr == nullptr || nsize > osize))
    return nullptr;
  return realloc(ptr, nsize);
}

TEST(SlicedWithFaults, ProgramsGiveThePlainResults) {
  cycle_guard guard;
  for (const program &p : programs()) {
    std::string expected = plain_result(p);
    bool armed = false;
    state_owner S(lua_newstate(failing_first_try, &armed));
    ASSERT_NE(S, nullptr);
    luaL_openlibs(S.get());
    armed = true;
    int slices = 0;
    EXPECT_EQ(sliced_result(S.get(), p, 0, &slices), expected) << p.name;
    armed = false;  // closing frees only
  }
}

}  // namespace
