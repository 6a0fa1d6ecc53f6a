-- The library's shortcuts give what the long ways gave: tracebacks named from
-- the loaded modules in one walk, insert and remove on a table's array part,
-- pattern searches that skip ahead, integers written as text, yields back
-- to their resume.
local function lines(text, first, last)
  local out, n = {}, 0
  for line in (text .. "\n"):gmatch("(.-)\n") do
    n = n + 1
    if n >= first and n <= last then out[#out + 1] = line end
  end
  return table.concat(out, " | ")
end

-- tracebacks
function global_tb(f) return (f()) end
local loaded = debug.getregistry()._LOADED
loaded.paths_mod = {run = function() return debug.traceback("m", 1) end}
print(lines(global_tb(loaded.paths_mod.run), 1, 4))
local inner
string.gsub("x", "x", function() inner = debug.traceback() end)
print(lines(inner, 1, 4))
local function down(k) if k == 0 then coroutine.yield() end return (down(k - 1)) end
local co = coroutine.create(down)
coroutine.resume(co, 40)
local tb = debug.traceback(co, "deep", 1)
print(lines(tb, 1, 3), lines(tb, 12, 14), select(2, tb:gsub("\n", "")))
print(lines(debug.traceback(co, nil, 38), 1, 5))
print(pcall(string.rep))

-- insert and remove
local a = {1, 2, 3, 4}
table.insert(a, 1, 0) table.insert(a, 3, "x") table.insert(a, #a + 1, "end")
print(table.concat(a, ","), #a)
print(table.remove(a, 1), table.remove(a), table.remove(a, 2), table.concat(a, ","))
local holes = {1, nil, 3}
table.insert(holes, 1, "h")
print(holes[1], holes[2], holes[3], holes[4])
local log = {}
local watched = setmetatable({}, {__index = function(_, k) log[#log + 1] = "r" .. k return k end,
                                   __newindex = function(t, k, v) log[#log + 1] = "w" .. k rawset(t, k, v) end,
                                   __len = function() return 3 end})
table.insert(watched, 1, "v")
print(table.concat(log, " "), rawget(watched, 1), rawget(watched, 4))
local big = {}
for i = 1, 300 do big[i] = i end
table.insert(big, 2, "two") table.remove(big, 1)
print(big[1], big[2], big[300], #big)

-- pattern searches
local text = "the quick brown fox jumps over the lazy dog"
print(text:gsub("o", "0"))
print(text:gsub("o+", "[%0]", 2))
print(text:gsub("z", "Z"), text:gsub("q", "%%"), text:gsub("x", ""))
print(text:find("o", 20), text:find("lazy"), text:find("l(a)z"), text:find("t", -3))
print(text:match("b(%a+)"), text:match("o(.)"), text:match("Q"), ("aaa"):match("a-b"))
local words = {}
for w in text:gmatch("o%a") do words[#words + 1] = w end
print(table.concat(words, ","))
for k, v in ("a=1, b=22, c=333"):gmatch("(%w+)=(%w+)") do last = k .. v end
print(last, ("xax"):gsub("a*", "-"), ("abc"):gsub("", "."), ("hello"):gsub("l?", "L"))
print(("]]x]"):gsub("]", "!"), ("a.b"):gsub("%.", "/"), ("^x^"):gsub("x^", "y"), pcall(string.gsub, "x", ")", ""))
print(("abc"):find("c", 10), ("abc"):find("b", 2, true), (""):gsub("a", "b"), ("aaa"):gsub("^a", "b"))

-- integers as text
print(math.maxinteger, math.mininteger, -0, 0, -7, 1e15 // 1, 2^53 // 1 | 0)
print(string.format("%d|%5d|%-4d|%x|%i|%d", math.mininteger, 42, -3, 255, 7, 0))
print(string.format("%q %q %q", math.mininteger, 12, -5), tostring(-123), 10 .. 20)
print(string.format("%.3f %g %e %a %5.1f", 2 / 3, 1e20, 12.5, 1, -0.25))
print(#string.format("%.99f", 1e308), string.format("%.0f", 1e50):sub(1, 12))
print(utf8.char(72), utf8.char(72, 233, 0x4e2d), #utf8.char(0x10FFFF))
print(table.concat({1, -2, 3.5, math.mininteger}, " "))

-- yields
local gen = coroutine.wrap(function()
  for i = 1, 3 do
    local ok, v = pcall(function() return coroutine.yield(i) end)
    coroutine.yield(ok and v or "bad")
  end
  error("done")
end)
print(gen(), gen("a"), gen(), gen("b"), gen(), gen("c"), pcall(gen))
local lazy = setmetatable({}, {__index = function(_, k) return coroutine.yield(k) end})
local reader = coroutine.create(function() return lazy.key .. lazy.other end)
print(coroutine.resume(reader))
print(coroutine.resume(reader, "A"))
print(coroutine.resume(reader, "B"))
print(coroutine.resume(coroutine.create(function()
  return pcall(string.gsub, "a", "a", function() coroutine.yield() end)
end)))
local closing = coroutine.create(function()
  local x <close> = setmetatable({}, {__close = function() print("closed") end})
  coroutine.yield(1)
end)
print(coroutine.resume(closing))
print(coroutine.close(closing), coroutine.status(closing))

-- debug.getinfo
local info = debug.getinfo(1)
local fields = {}
for k in pairs(info) do fields[#fields + 1] = k end
print(#fields, info.currentline, info.what, info.short_src, info.func ~= nil)
print(debug.getinfo(print).what, debug.getinfo(1, "l").currentline, debug.getinfo(100))

-- what the release printed
--> m | stack traceback: | 	library_paths.lua:17: in function 'paths_mod.run' | 	library_paths.lua:15: in function 'global_tb'
--> stack traceback: | 	library_paths.lua:20: in function <library_paths.lua:20> | 	[C]: in function 'string.gsub' | 	library_paths.lua:20: in main chunk
--> deep | stack traceback: | 	library_paths.lua:22: in upvalue 'down'		library_paths.lua:22: in upvalue 'down' | 	...	(skipping 19 levels) | 	library_paths.lua:22: in upvalue 'down'	23
--> stack traceback: | 	library_paths.lua:22: in upvalue 'down' | 	library_paths.lua:22: in upvalue 'down' | 	library_paths.lua:22: in upvalue 'down' | 	library_paths.lua:22: in function <library_paths.lua:22>
--> false	bad argument #1 to 'string.rep' (string expected, got no value)
--> 0,1,x,2,3,4,end	7
--> 0	end	x	1,2,3,4
--> h	1	nil	3
--> r3 w4 r2 w3 r1 w2 w1	v	3
--> two	2	300	300
--> the quick br0wn f0x jumps 0ver the lazy d0g	4
--> the quick br[o]wn f[o]x jumps over the lazy dog	2
--> the quick brown fox jumps over the laZy dog	the %uick brown fox jumps over the lazy dog	the quick brown fo jumps over the lazy dog	1
--> 27	36	36	nil
--> rown	w	nil	nil
--> ow,ox,ov,og
--> c333	-x-x-	.a.b.c.	LhLeLLoL	5
--> !!x!	a/b	^y	false	invalid pattern capture
--> nil	2		baa	1
--> 9223372036854775807	-9223372036854775808	0	0	-7	1e+15	9007199254740992
--> -9223372036854775808|   42|-3  |ff|7|0
--> 0x8000000000000000 12 -5	-123	1020
--> 0.667 1e+20 1.250000e+01 0x1p+0  -0.2
--> 409	100000000000
--> H	Hé中	4
--> 1 -2 3.5 -9223372036854775808
--> 1	a	2	b	3	c	false	library_paths.lua:79: done
--> true	key
--> true	other
--> true	AB
--> true	false	attempt to yield across a C-call boundary
--> true	1
--> closed
--> true	dead
--> 14	98	main	library_paths.lua	true
--> C	102	nil
