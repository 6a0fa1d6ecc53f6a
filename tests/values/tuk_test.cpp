// tuk: the writer's and reader's vectors, the wrappers, the metadata header,
// nesting limits, and round trips of random values, checked also against a
// stock Lua and an independent LZ4 decoder.
#include "values/tuk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <lz4hc.h>

#include "tests/host_command.h"
#include "tests/values/values_state.h"

namespace {

using values_test::R;
using Tuk = values_test::ValuesState;
namespace fs = std::filesystem;

// A scratch folder of this test run.
fs::path scratch_dir() {
  fs::path d = fs::temp_directory_path() / ("kestrune_tuk_" + std::to_string(getpid()));
  fs::create_directories(d);
  return d;
}

void write_file(const fs::path &p, const std::string &data) {
  std::ofstream f(p, std::ios::binary);
  f << data;
}

// A canonical text of a value, the same in any Lua 5.4 (no table.sort: the
// process states have none): keys sorted by their own canonical text.
const char *const dump_code = R"LUA(
local function dump(v)
  local t = type(v)
  if t == "number" then
    if v ~= v then return "nan" end
    return string.format("%.14g", v)
  elseif t == "string" then
    return "s" .. v:gsub(".", function(c) return string.format("%02x", c:byte()) end)
  elseif t == "boolean" or t == "nil" then
    return tostring(v)
  elseif t == "table" then
    local items = {}
    for k, x in pairs(v) do
      local e = dump(k) .. "=" .. dump(x)
      local i = #items
      while i > 0 and items[i] > e do items[i + 1] = items[i] i = i - 1 end
      items[i + 1] = e
    end
    return "{" .. table.concat(items, ",") .. "}"
  elseif t == "userdata" then
    return "ud:" .. tuk(v)
  end
  return t
end
)LUA";

// Random values from a seeded generator written in Lua: nested tables with
// array and keyed parts, every number form, strings of any bytes (keys too).
const char *const random_code = R"LUA(
local seed = SEED
local function rnd(n) seed = (seed * 1103515245 + 12345) % 2147483648 return seed % n end
local function rstr()
  local t = {}
  for i = 1, rnd(12) do
    t[i] = rnd(4) == 0 and string.char(rnd(256)) or string.char(97 + rnd(26))
  end
  local s = rnd(12)
  if s == 0 then return "" elseif s == 1 then return '"]]\\' .. table.concat(t)
  elseif s == 2 then return "\0" .. table.concat(t) elseif s == 3 then return "end"
  elseif s == 4 then return "1" .. table.concat(t) end
  return table.concat(t)
end
local function rnum()
  local c = rnd(9)
  if c == 0 then return rnd(2000) - 1000
  elseif c == 1 then return (rnd(2000000) - 1000000) / 7 * 10.0 ^ (rnd(40) - 20)
  elseif c == 2 then return math.huge elseif c == 3 then return -math.huge
  elseif c == 4 then return 0/0
  elseif c == 5 then return math.maxinteger - rnd(3) elseif c == 6 then return math.mininteger + rnd(3)
  elseif c == 7 then return rnd(100) + 0.5
  else return rnd(1000) + 0.0 end
end
local function rud()
  local types = {"u8", "i16", "i32", "i64", "f64"}
  local ty = types[rnd(5) + 1]
  local w, h = rnd(5) + 1, rnd(3) + 1
  local u = rnd(2) == 0 and userdata(ty, w, h) or userdata(ty, w)
  for i = 0, #u - 1 do u[i] = ty == "f64" and rnum() or (rnd(65536) - 32768) * 65537 end
  return u
end
local function rvalue(depth, plain)
  local c = rnd(depth > 3 and 4 or 7)
  if c == 0 then return rnum() elseif c == 1 then return rstr()
  elseif c == 2 then return rnd(2) == 0 elseif c == 3 then
    if plain then return rnum() end
    return rud()
  else
    local t = {}
    for i = 1, rnd(7) do t[i] = rvalue(depth + 1, plain) end
    for i = 1, rnd(6) do
      local k = rnd(3) == 0 and rnum() or rstr()
      -- a key that is a reserved word is written bare, which stock Lua does not load
      if plain and k == "end" then k = "nd" end
      if k == k then t[k] = rvalue(depth + 1, plain) end
    end
    return t
  end
end
)LUA";

std::string with_seed(int seed) {
  std::string code = random_code;
  code.replace(code.find("SEED"), 4, std::to_string(seed));
  return code;
}

TEST_F(Tuk, WriterVectors) {
  EXPECT_EQ(run("return tuk({1,2,3})"), R{"s:{1,2,3}"});
  EXPECT_EQ(run("return tuk({a=1,b={true}})"), R{"s:{a=1,b={true}}"});
  EXPECT_EQ(run("return tuk(2.0), tuk(0.5), tuk(1e15), tuk(-7), tuk(1/3)"),
            (R{"s:2", "s:0.5", "s:1e+15", "s:-7", "s:0.33333333333333"}));
  EXPECT_EQ(run("return tuk('a]b')"), R{"s:\"a\\093b\""});
  EXPECT_EQ(run("return tuk('q\"\\\\\\n\\0\\200~')"), R{"s:\"q\\\"\\\\\\n\\000\\200~\""});
  EXPECT_EQ(run("return tuk({[1]='a', [2]='b', [1.5]='c'})"), R{"s:{[1.5]=\"c\",\"a\",\"b\"}"});
  EXPECT_EQ(run("return tuk({[true]=1, [{}]=2, x=3})"), R{"s:{x=3}"});
  EXPECT_EQ(run("return tuk({y=2,x=1,10,20})"), R{"s:{x=1,y=2,10,20}"});
  EXPECT_EQ(run("return tuk({[0]=1, [-1]=2, [3]=3, b=4, a=5})"), R{"s:{[-1]=2,[0]=1,[3]=3,a=5,b=4}"});
  EXPECT_EQ(run("return tuk({1, nil, 3})"), R{"s:{1,nil,3}"});
  EXPECT_EQ(run("return tuk(nil), tuk(true), tuk(print), tuk(coroutine.create(print))"),
            (R{"s:nil", "s:true", "s:nil", "s:nil"}));
  EXPECT_EQ(run("return tuk({}, 0, '--[[tuk]]\\n')"), R{"s:--[[tuk]]\n{}"});
  EXPECT_EQ(run("return tuk(5, 0, 12)"), R{"s:125"});
}

TEST_F(Tuk, UserdataLiterals) {
  EXPECT_EQ(run("return tuk(userdata('u8', 2, 2, '00010203'))"),
            R{"s:userdata(\"u8\",2,2,\"00010203\")"});
  EXPECT_EQ(run("return tuk(userdata('i16', 2, 'ffff0102'))"), R{"s:userdata(\"i16\",2,\"ffff0102\")"});
  EXPECT_EQ(run("return tuk(userdata('i32', 1, '80000001'))"), R{"s:userdata(\"i32\",1,\"80000001\")"});
  EXPECT_EQ(run("return tuk(userdata('i64', 1, 'fedcba9876543210'))"),
            R{"s:userdata(\"i64\",1,\"fedcba9876543210\")"});
  EXPECT_EQ(run("return tuk(vec(1.5, 1/3, 1/0, -1/0))"),
            R{"s:userdata(\"f64\",4,\"1.5,0.33333333333333,inf,-inf\")"});
  EXPECT_EQ(run("local u = untuk(tuk(vec(0/0, -(0/0), 1/0))) return u[0] ~= u[0], u[1] ~= u[1], u[2]"),
            (R{"b:true", "b:true", "f:inf"}));
  EXPECT_EQ(run("local s = tuk(userdata('u8', 2, 2, '00010203'), 1) "
                "return #s, s:sub(1, 4) == 'zqu\\0', s:byte(5), s:byte(6)"),
            (R{"i:13", "b:true", "i:67", "i:32"}));
  EXPECT_EQ(run("local s = tuk(userdata('u8', 2, 2, '00010203'), 0x11) return #s, s:byte(6)"),
            (R{"i:12", "i:16"}));
  EXPECT_EQ(run("return tuk(userdata('i16', 1), 1)"), R{"s:userdata(\"i16\",1,\"0000\")"})
      << "only u8 becomes a zqu item";
  EXPECT_EQ(run("local u = untuk(tuk(userdata('u8', 40, 30, string.rep('0a0b', 600)), 1)) "
                "return u:attribs()"),
            (R{"i:40", "i:30", "s:u8", "i:2"}));
}

TEST_F(Tuk, ReaderVectors) {
  EXPECT_EQ(run("local t = untuk('{1 2}') return #t, t[1], t[2]"), (R{"i:2", "i:1", "i:2"}));
  EXPECT_EQ(run("return untuk('{a=1, b=2}')"), R{});
  EXPECT_EQ(run("local t = untuk('{x,y=2}') return t.x, t.y"), (R{"nil", "i:2"}));
  EXPECT_EQ(run("local t = untuk('  {a=\"x\\\\65\\\\n\\\\q\",[2]=true,3}') "
                "return t.a, t[1], t[2]"),
            (R{std::string("s:xA\n\0q", 7), "i:3", "b:true"}));
  EXPECT_EQ(run("return untuk('12'), untuk(12), untuk('-1.5e3'), untuk('0x10')"),
            (R{"i:12", "i:12", "f:-1500", "i:0"}));
  EXPECT_EQ(run("return untuk('truex'), untuk('nil')"), (R{"b:true", "nil"}));
  EXPECT_EQ(run("return untuk('inf')"), R{}) << "no such number";
  EXPECT_EQ(run("return untuk('')"), R{});
  EXPECT_EQ(run("return untuk('\"open')"), R{});
  EXPECT_EQ(run("return untuk({})"), R{});
  EXPECT_EQ(run("return untuk('untuk(\"{1}\")')[1]"), R{"i:1"});
  EXPECT_EQ(run("local t = untuk('{[\"a\"]=1,b=2}') return t.a, t.b"), (R{"i:1", "i:2"}));
  EXPECT_EQ(run("return untuk('{[nil]=1,[0/0]=2,3}')[1]"), R{"i:3"})
      << "entries whose key cannot be one are dropped";
  EXPECT_EQ(run("return untuk('{a=1')"), R{});
  EXPECT_EQ(run("local u = untuk('userdata(\"[gfx]0302abcdef\")') return u:get(0, 0, 6)"),
            (R{"i:10", "i:11", "i:12", "i:13", "i:14", "i:15"}));
  EXPECT_EQ(run("local u = untuk('{userdata(\"u8\",4,\"0102\"),5}') return u[2], u[1]:get()"),
            (R{"i:5", "i:1", "i:2", "i:0", "i:0"}));
  EXPECT_EQ(run("local u = untuk('userdata(\"f64\",3,\"1.5,2\")') return u:get()"),
            (R{"f:1.5", "f:2", "f:0"}));
  EXPECT_EQ(run("return untuk('userdata(\"u8\",2,2,2,\"00\")')"), R{}) << "three dimensions";
  EXPECT_EQ(run("return untuk('userdata(\"u8\",4294967304,\"00\")')"), R{})
      << "a size beyond 32 bits is refused, not wrapped";
  EXPECT_EQ(run("return untuk('userdata(\"u8\",-8,-8,\"00\")')"), R{});
}

TEST_F(Tuk, LiteralDataIsBoundedByItsQuotes) {
  // The hex reader stops at the literal's closing quote, whatever follows.
  EXPECT_EQ(run("local t = untuk('{userdata(\"u8\",4,\"01\"),\"ffff\"}') "
                "return t[2], t[1]:get()"),
            (R{"s:ffff", "i:1", "i:0", "i:0", "i:0"}));
  EXPECT_EQ(run("local t = untuk('{userdata(\"f64\",3,\"7\"),8}') return t[1]:get()"),
            (R{"f:7", "f:0", "f:0"}));
}

TEST_F(Tuk, NonFiniteNumbersKeepTheirPlaces) {
  EXPECT_EQ(run("return tuk({1, math.huge, -math.huge, 0/0, 5})"),
            R{"s:{1,1e999,-1e999,0/0,5}"});
  EXPECT_EQ(run("local t = untuk(tuk({1, math.huge, -math.huge, 0/0, 5})) "
                "return #t, t[2], t[3], t[4] ~= t[4], t[5]"),
            (R{"i:5", "f:inf", "f:-inf", "b:true", "i:5"}));
  EXPECT_EQ(run("local t = untuk(tuk({[math.huge]=1, x=0/0})) return t[math.huge], t.x ~= t.x"),
            (R{"i:1", "b:true"}));
}

TEST_F(Tuk, KeysThatAreNotIdentifiersReadBack) {
  EXPECT_EQ(run("return tuk({[''] = 1, ['a\"b'] = 2, ['a]]b'] = 3, ['\\0'] = 4, ['a\\\\b'] = 5, "
                "['end'] = 6, ['1x'] = 7, ['a b'] = 8, ok_1 = 9})"),
            R{"s:{[\"\"]=1,[\"\\000\"]=4,[\"1x\"]=7,[\"a b\"]=8,[\"a\\\"b\"]=2,"
              "[\"a\\\\b\"]=5,[\"a\\093\\093b\"]=3,end=6,ok_1=9}"})
      << "a reserved word is an identifier like any other";
  EXPECT_EQ(run("local keys = {'', 'a\"b', 'a]]b', '\\0', 'a\\\\b', 'end', 'nil', '1x', '\\n', '\\255'} "
                "local t = {} for i, k in ipairs(keys) do t[k] = i end "
                "local u = untuk(tuk(t)) local ok = true "
                "for i, k in ipairs(keys) do ok = ok and u[k] == i end return ok"),
            R{"b:true"});
}

TEST_F(Tuk, NestingLimits) {
  // 200 tables deep is written and read; one more fails the call.
  EXPECT_EQ(run("local t = {} for i = 1, 199 do t = {t} end local s = tuk(t) "
                "local u = untuk(s) for i = 1, 199 do u = u[1] end return type(u), #s"),
            (R{"s:table", "i:400"}));
  EXPECT_EQ(run("local t = {} for i = 1, 200 do t = {t} end return tuk(t)"), R{});
  EXPECT_EQ(run("local t = {} t.self = t return tuk(t)"), R{}) << "a cycle";
  EXPECT_EQ(run("local t = {} t[1] = {t} return send_message(1, t)"), R{});
  EXPECT_EQ(run("return untuk(string.rep('{', 201) .. string.rep('}', 201))"), R{});
  EXPECT_EQ(run("return type(untuk(string.rep('{', 200) .. string.rep('}', 200)))"), R{"s:table"});
  // Far deeper texts fail without exhausting the C stack.
  EXPECT_EQ(run("return untuk(string.rep('{', 1000000))"), R{});
  EXPECT_EQ(run("return untuk(string.rep('{[', 500000))"), R{});
  EXPECT_EQ(run("return untuk(string.rep('untuk(\"', 500000))"), R{});
  // Wrapped, the deepest writable value still reads back.
  EXPECT_EQ(run("local t = {} for i = 1, 199 do t = {t} end "
                "return type(untuk(tuk(t, 6))), type(untuk(tuk(t, 4))), type(untuk(tuk(t, 2)))"),
            (R{"s:table", "s:table", "s:table"}));
}

TEST_F(Tuk, AFinalizerThatEmptiesTheTableBeingWrittenFreesNothingTheWriterReads) {
  // Keys no one else holds, under values whose writing allocates (so the
  // collector runs mid-write); a finalizer takes every entry out, and the
  // collector, stepping hard, then frees the keys of the entries it dropped.
  const std::string attack =
      "local t = {} "
      "for i = 1, 100 do local c = {} for j = 1, 40 do c['c' .. j] = j end "
      "  t[string.rep('k', 20000) .. i] = c end "
      "local armed = true "
      "local function arm() setmetatable({}, {__gc = function() "
      "  if armed then armed = false for k in pairs(t) do t[k] = nil end end arm() end}) end "
      "arm() collectgarbage('incremental', 1, 1000) ";
  EXPECT_EQ(run(attack + "local s = tuk(t) collectgarbage('incremental', 200, 100) "
                         "return type(s), #s > 100, armed"),
            (R{"s:string", "b:true", "b:false"}));
  EXPECT_EQ(run(attack + "send_message(pid(), t) collectgarbage('incremental', 200, 100) "
                         "return type(_read_message()), armed"),
            (R{"s:table", "b:false"}));
}

TEST_F(Tuk, NumberReaderIsLinear) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("return math.type(untuk(string.rep('1', 5000000)))"), R{"s:float"})
      << "at most 44 characters are a number; the rest is left (and ignored at the top)";
  EXPECT_EQ(run("return #untuk('{' .. string.rep('1.5,', 300000) .. '}')"), R{"i:300000"});
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);
}

TEST_F(Tuk, BinaryStringsAndWrappers) {
  EXPECT_EQ(run("local s = tuk('ab\\0', 0x20) return #s, s:sub(1, 8) == 'str\\0\\3\\0\\0\\0', untuk(s)"),
            (R{"i:11", "b:true", std::string("s:ab\0", 5)}));
  EXPECT_EQ(run("return untuk('str\\0\\9\\0\\0\\0ab')"), R{}) << "a length beyond the text";
  EXPECT_EQ(run("local s = tuk({1, 'x'}, 4) return s, untuk(s)[2]"),
            (R{"s:untuk(\"b64:ezEsIngifQ==\")", "s:x"}));
  EXPECT_EQ(run("local t = {} for i = 1, 500 do t[i] = i % 7 end local s = tuk(t, 2) "
                "return s:sub(1, 4) == 'lz4\\0', #s < 400, untuk(s)[500]"),
            (R{"b:true", "b:true", "i:3"}));
  EXPECT_EQ(run("local t = {} for i = 1, 500 do t[i] = i % 7 end local s = tuk(t, 6) "
                "return s:sub(1, 11), untuk(s)[499]"),
            (R{"s:untuk(\"b64:", "i:2"}));
  EXPECT_EQ(run("return untuk('b64:ezEsMn0=')[2]"), R{"i:2"});
  EXPECT_EQ(run("local t = untuk('{untuk(\"b64:ezEsMn0=\"),3}') return t[1][2], t[2]"),
            (R{"i:2", "i:3"}));
}

TEST_F(Tuk, Lz4WrapperNeverTrustsItsSizes) {
  // A wrapper that claims 4 GB from 10 bytes is refused before any allocation.
  EXPECT_EQ(run("return untuk('lz4\\0\\10\\0\\0\\0\\255\\255\\255\\255' .. "
                "string.rep('\\0', 10))"),
            R{});
  EXPECT_EQ(run("return untuk('lz4\\0\\255\\0\\0\\0\\4\\0\\0\\0' .. 'abc')"), R{})
      << "a block longer than the text";
  EXPECT_EQ(run("return untuk('lz4\\0\\4\\0\\0\\0')"), R{});
  // A block that decodes to another size than stated: logged and refused.
  EXPECT_EQ(run("local s = tuk({1, 2, 3}, 2) "
                "return untuk(s:sub(1, 8) .. string.char(s:byte(9) + 1) .. s:sub(10))"),
            R{});
  EXPECT_EQ(run("local s = tuk({1, 2, 3}, 2) return untuk(s:sub(1, #s - 1))"), R{});
}

TEST_F(Tuk, MetadataHeader) {
  EXPECT_EQ(run("local v, m = untuk('--[[tuk]]\\n{1}') return v[1], type(m), next(m)"),
            (R{"i:1", "s:table", "nil"}));
  EXPECT_EQ(run("local v, m = untuk('--[[tuk,a=1,b=\"x\"]]\\n5') return v, m.a, m.b, m.tuk"),
            (R{"i:5", "i:1", "s:x", "nil"}));
  EXPECT_EQ(run("local v, m = untuk('--[[tuk_format=\"raw\"]]\\nbody {not parsed') "
                "return v, m.tuk_format"),
            (R{"s:body {not parsed", "s:raw"}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(run("return select('#', untuk('--[[tuk,a=]]\\n7')), untuk('--[[tuk,a=]]\\n7')"),
            (R{"i:1", "i:7"}));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "bad metadata format; ignoring --[[tuk,a=]]\n\n"
            "bad metadata format; ignoring --[[tuk,a=]]\n\n");
  EXPECT_EQ(run("return untuk('--[[tuk]]\\n{')"), R{});
  EXPECT_EQ(find_metadata_length("--[[tuk]]\nx"), 10u);
  EXPECT_EQ(find_metadata_length("--[[tuk]]x"), 9u);
  EXPECT_EQ(find_metadata_length("--[[tuk"), 7u);
  EXPECT_EQ(find_metadata_length("x--[[tuk]]"), 0u);
  lua_State *L = cproc->lua_state;
  std::string text = "--[[tuk,a=1,b=2,c=]]";
  EXPECT_EQ(destringify_object_metadata(L, text.data(), text.size()), 1);
  lua_getfield(L, -1, "b");
  EXPECT_EQ(lua_tointeger(L, -1), 2) << "entries read before the error stay";
  lua_pop(L, 2);
}

TEST_F(Tuk, RandomValuesRoundTrip) {
  ASSERT_EQ(run(std::string(dump_code) + with_seed(1) + "return 1"), R{"i:1"});
  for (int seed = 1; seed <= 300; seed++) {
    std::string code = std::string(dump_code) + with_seed(seed) +
                       "local v = rvalue(0, false) local a = dump(v) "
                       "for _, flags in ipairs({0, 1, 2, 4, 0x10 | 1, 0x20, 0x37}) do "
                       "  local s = tuk(v, flags) local b = dump(untuk(s)) "
                       "  if a ~= b then return flags, a, b, s end end return 'same'";
    R r = run(code);
    ASSERT_EQ(r, R{"s:same"}) << "seed " << seed;
  }
}

TEST_F(Tuk, PlainOutputLoadsInStockLua) {
  std::string version;
  if (!run_command("lua5.4 -v 2>&1", &version))
    GTEST_SKIP() << "lua5.4 (Debian package lua5.4) is not installed";
  fs::path dir = scratch_dir();
  for (int seed = 1; seed <= 40; seed++) {
    R made = run(std::string(dump_code) + with_seed(seed) +
                 "local v = rvalue(0, true) return tuk(v), dump(untuk(tuk(v)))");
    ASSERT_EQ(made.size(), 2u);
    std::string text = made[0].substr(2), ours = made[1].substr(2);
    fs::path script = dir / ("stock_" + std::to_string(seed) + ".lua");
    // tuk() in the dump is only reached for userdata, which plain values lack.
    write_file(script, std::string(dump_code) + "local v = " + text + "\nio.write(dump(v))\n");
    std::string theirs;
    ASSERT_TRUE(run_command("lua5.4 " + script.string() + " 2>&1", &theirs)) << theirs << "\n" << text;
    EXPECT_EQ(theirs, ours) << "seed " << seed << ": " << text;
  }
  fs::remove_all(dir);
}

// The wrapper's compressor state is kept from text to text: each block must
// still be the one a fresh high-compression state makes at level 1, however
// large or alike the texts before it were.
TEST_F(Tuk, Lz4BlocksAreTheOnesAFreshCompressorMakes) {
  lua_State *L = cproc->lua_state;
  for (int seed = 1; seed <= 12; seed++) {
    int count = seed % 4 == 0 ? 3000 : 1 + seed * 7;  // a few texts past 64 KB
    std::string code = std::string(dump_code) + with_seed(seed) + "local v = {} for i = 1, " +
                       std::to_string(count) + " do v[i] = rvalue(0, false) end return tuk(v), tuk(v, 2)";
    ASSERT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 2, 0), LUA_OK) << lua_tostring(L, -1);
    size_t n_plain, n_wrapped;
    const char *plain = lua_tolstring(L, -2, &n_plain);
    const char *wrapped = lua_tolstring(L, -1, &n_wrapped);
    std::string fresh(size_t(LZ4_compressBound(int(n_plain))), '\0');
    int packed = LZ4_compress_HC(plain, fresh.data(), int(n_plain), int(fresh.size()), 1);
    ASSERT_GT(packed, 0);
    EXPECT_EQ(std::string(wrapped + 12, n_wrapped - 12), fresh.substr(0, size_t(packed)))
        << "seed " << seed << ", " << n_plain << " bytes";
    lua_pop(L, 2);
  }
}

TEST_F(Tuk, Lz4WrapperDecodesWithAnIndependentDecoder) {
  std::string probe;
  if (!run_command("/usr/bin/python3 -c 'import lz4.block' 2>&1", &probe))
    GTEST_SKIP() << "python3-lz4 (Debian package) is not installed";
  fs::path dir = scratch_dir();
  for (int seed = 1; seed <= 10; seed++) {
    lua_State *L = cproc->lua_state;
    std::string code = std::string(dump_code) + with_seed(seed) +
                       "local v = {} for i = 1, 30 do v[i] = rvalue(0, false) end "
                       "return tuk(v), tuk(v, 2)";
    ASSERT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 2, 0), LUA_OK) << lua_tostring(L, -1);
    size_t n_plain, n_wrapped;
    const char *plain = lua_tolstring(L, -2, &n_plain);
    const char *wrapped = lua_tolstring(L, -1, &n_wrapped);
    std::string expected(plain, n_plain), item(wrapped, n_wrapped);
    lua_pop(L, 2);
    fs::path in = dir / "item.bin";
    write_file(in, item);
    std::string decoded;
    std::string py =
        "import lz4.block, struct, sys\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "assert d[:4] == b'lz4\\0'\n"
        "packed, size = struct.unpack('<II', d[4:12])\n"
        "assert len(d) == 12 + packed\n"
        "sys.stdout.buffer.write(lz4.block.decompress(d[12:], uncompressed_size=size))\n";
    write_file(dir / "unlz4.py", py);
    ASSERT_TRUE(run_command("/usr/bin/python3 " + (dir / "unlz4.py").string() + " " + in.string(),
                            &decoded));
    EXPECT_EQ(decoded, expected) << "seed " << seed;
  }
  fs::remove_all(dir);
}

}  // namespace
