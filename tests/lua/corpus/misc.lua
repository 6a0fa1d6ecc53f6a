-- Odds and ends of the base and debug libraries.
print(type(nil), type(print), type({}), type("s"), type(2), type(true), type(coroutine.create(print)))
print(rawequal("a", "a"), rawequal({}, {}), rawlen({1, 2, 3}), select("#", rawget({}, 1)))
print(("abc" < "abd"), ("Z" < "a"), ("" < "a"), ("abc" == "abc"), "10" < "9")
print(tostring(nil), tostring(false), tostring(123), tostring(-1.25))
print(collectgarbage("isrunning"), collectgarbage("step", 0) ~= nil, type(collectgarbage("count")))
collectgarbage("incremental")
print(collectgarbage("generational"), collectgarbage("incremental"), collectgarbage("incremental"))

-- next and pairs on an array part in order
local t = {"a", "b", "c"}
local seen = {}
local k, v = next(t)
while k do seen[#seen + 1] = k .. v k, v = next(t, k) end
print(table.concat(seen, " "))

-- __pairs
local mt = {__pairs = function(self)
  local i = 0
  return function() i = i + 1 if i <= 3 then return i, i * i end end, self, nil
end}
local sq = {}
for i, s in pairs(setmetatable({}, mt)) do sq[#sq + 1] = s end
print(table.concat(sq, ","))

-- debug library: getinfo, getlocal, traceback, upvalues
local function probe(a, b)
  local c = a + b
  local info = debug.getinfo(1, "nSl")
  local names = {}
  local i = 1
  while true do
    local name = debug.getlocal(1, i)
    if not name then break end
    names[#names + 1] = name
    i = i + 1
  end
  return info.short_src, info.currentline, info.what, table.concat(names, ",")
end
print(probe(1, 2))
local up = 5
local function uses_up() return up end
print(debug.getupvalue(uses_up, 1), debug.setupvalue(uses_up, 1, 6), uses_up())
print((debug.traceback("msg", 1):gsub("\n.*", "")))
local hook_lines = 0
debug.sethook(function() hook_lines = hook_lines + 1 end, "l")
local x = 1
x = x + 1
debug.sethook()
print("hooked lines", hook_lines > 0, debug.gethook())

-- warn is off by default; these do nothing visible
warn("@on") warn("@off") warn("not shown")
print("end")

-- Output of the unchanged Lua 5.4.2 release:
--> nil	function	table	string	number	boolean	thread
--> true	false	3	1
--> true	true	true	true	true
--> nil	false	123	-1.25
--> true	true	number
--> incremental	generational	incremental
--> 1a 2b 3c
--> 1,4,9
--> misc.lua	29	Lua	a,b,c,info,names,i
--> up	up	6
--> msg
--> hooked lines	true	nil
--> end
