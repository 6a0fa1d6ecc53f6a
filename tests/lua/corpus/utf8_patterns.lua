-- utf8 library and more patterns.
local s = "héllo wörld ✓"
print(#s, utf8.len(s), utf8.char(72, 233, 0x2713), utf8.codepoint(s, 2))
local cps = {}
for p, c in utf8.codes("aé✓") do cps[#cps + 1] = p .. ":" .. c end
print(table.concat(cps, " "))
print(utf8.offset(s, 3), utf8.offset(s, -1), utf8.len("\xff"), #utf8.charpattern)
print(utf8.len(s, 3), pcall(utf8.codepoint, s, 3))
local chars = {}
for ch in s:gmatch(utf8.charpattern) do chars[#chars + 1] = ch end
print(#chars, chars[2], chars[#chars])

-- Character classes and anchors
print(("abc123def"):match("%d+"), ("abc123def"):match("^%a+"), ("  x"):match("^%s*()"))
print(("a,b,,c"):gsub(",", ";"), ("a,b,,c"):find(",,", 1, true))
print(("hello"):match(".-l"), ("hello"):match(".*l"), ("hello"):match("l+"))
print(("[test]"):match("%[(.*)%]"), ("1.5e10"):match("^[%d%.e]+$"))
print(("CamelCaseString"):gsub("(%u)", " %1"))
print(("one two  three"):gsub("%s+", " "))
local fields = {}
for k, v in ("a=1, b=2, c=3"):gmatch("(%w+)=(%w+)") do fields[#fields + 1] = v .. k end
print(table.concat(fields))
print(("abc"):find("b", 1, true), ("a.c"):find(".", 1, true), ("a+b"):find("+", 1, true))
print(("x"):rep(3):gsub("x", "%%"), ("50%"):gsub("%%", " percent"))
print(pcall(string.rep, "x", -1), ("ab"):sub(2, 1), ("abc"):sub(-100, 100))
print(("%a"):len(), ("\0a\0"):len(), ("\0a\0"):byte(1, -1))
print(string.format("%-3s|%3s|", "a", "é"):len(), #string.format("%s", "\0"))

-- Output of the unchanged Lua 5.4.2 release:
--> 17	13	Hé✓	233
--> 1:97 2:233 4:10003
--> 4	15	nil	14
--> nil	false	invalid UTF-8 code
--> 13	é	✓
--> 123	abc	3
--> a;b;;c	4	5
--> hel	hell	ll
--> test	1.5e10
-->  Camel Case String	3
--> one two three	2
--> 1a2b3c
--> 2	2	2	2
--> %%%	50 percent	1
--> true		abc
--> 2	3	0	97	0
--> 8	1
