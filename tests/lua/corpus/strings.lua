-- The string library: patterns, formatting, packing.
local s = "The quick brown fox jumps over the lazy dog"
print(#s, s:upper():sub(1, 9), s:lower():sub(-8))
print(s:find("fox"), s:find("o", 20, true), s:match("(%a+) dog"))

local words = {}
for w in s:gmatch("%a+") do words[#words + 1] = w:len() end
print("lengths", table.concat(words, ","))

print(s:gsub("o", "0"))
print(("hello world"):gsub("(%w+)", "<%1>"))
print(("abc"):gsub("", "-"))
print(("x = 1, y = 22"):gsub("(%w+) = (%w+)", "%2 = %1"))
print(("$name is $age"):gsub("%$(%w+)", {name = "Ana", age = 7}))
print(("3 + 4"):gsub("%d+", function(d) return tostring(tonumber(d) * 2) end))

print(string.format("[%5d|%-5d|%05.1f|%x|%X|%o]", 42, 42, 3.14159, 255, 255, 8))
print(string.format("%q", "line\nbreak \"quoted\" \0 end"))
print(string.format("%q %q %q", 1/3, 42, math.mininteger))
print(string.format("%s %s %s", nil, true, 12.0))
print(string.format("%10.3s|%-6s|", "abcdef", "ab"))
print(string.format("%c%c%c", 76, 117, 97))
print(string.format("%g %g %g %.3e", 1e20, 0.1, 100, 12345.678))

print(("abc"):rep(3, "-"), ("x"):rep(0), ("ab"):reverse())
print(string.byte("ABC", 1, -1), string.char(72, 105))

local packed = string.pack("<i4 h z s1", -2, 300, "zero", "len")
print(#packed, string.unpack("<i4 h z s1", packed))
print(string.packsize("i4 i8 d"), string.pack(">I2", 0x1234):byte(1, 2))

print(("  trim me  "):match("^%s*(.-)%s*$") .. "|")
print(("key=value"):match("(%w+)=(%w+)"))
print(("2024-01-15"):match("(%d+)-(%d+)-(%d+)"))
print(("THE (quick) fox"):find("%((%a+)%)"))
print(("f(a(b)c)d"):match("%b()"))
print(("THE quick"):gsub("%f[%a]%a+", function(w) return w:sub(1, 1) end))
print(tostring(12), tostring(1.5), tostring(-0.0), 10 .. "", 2^53)
print(("%d items"):format(3), #"\u{48}\u{49}", "\65\066\x43")

-- Output of the unchanged Lua 5.4.2 release:
--> 43	THE QUICK	lazy dog
--> 17	27	lazy
--> lengths	3,5,5,3,5,4,3,4,3
--> The quick br0wn f0x jumps 0ver the lazy d0g	4
--> <hello> <world>	2
--> -a-b-c-	4
--> 1 = x, 22 = y	2
--> Ana is 7	2
--> 6 + 8	2
--> [   42|42   |003.1|ff|FF|10]
--> "line\
--> break \"quoted\" \0 end"
--> 0x1.5555555555555p-2 42 0x8000000000000000
--> nil true 12.0
-->        abc|ab    |
--> Lua
--> 1e+20 0.1 100 1.235e+04
--> abc-abc-abc		ba
--> 65	Hi
--> 15	-2	300	zero	len	16
--> 20	18	52
--> trim me|
--> key	value
--> 2024	01	15
--> 5	11	quick
--> (a(b)c)
--> T q	2
--> 12	1.5	-0.0	10	9.007199254741e+15
--> 3 items	2	ABC
