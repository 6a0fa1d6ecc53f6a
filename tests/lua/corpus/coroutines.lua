-- Generators, pipelines, and coroutine states.
local function range(n)
  return coroutine.wrap(function()
    for i = 1, n do coroutine.yield(i) end
  end)
end
local acc = {}
for i in range(5) do acc[#acc + 1] = i * i end
print(table.concat(acc, " "))

local function producer()
  return coroutine.create(function()
    for _, item in ipairs({"a", "b", "c"}) do coroutine.yield(item) end
    return "done"
  end)
end
local function filter(src)
  return coroutine.create(function()
    while true do
      local ok, item = coroutine.resume(src)
      if coroutine.status(src) == "dead" then return item end
      coroutine.yield(item:upper())
    end
  end)
end
local f = filter(producer())
local got = {}
while true do
  local ok, v = coroutine.resume(f)
  got[#got + 1] = tostring(v)
  if coroutine.status(f) == "dead" then break end
end
print(table.concat(got, ","))

local co = coroutine.create(function(a, b)
  print("start", a, b)
  local c = coroutine.yield(a + b)
  print("got", c)
  local d, e = coroutine.yield(c * 2)
  print("got", d, e)
  return "end", a + b + c + d + e
end)
print(coroutine.status(co))
print(coroutine.resume(co, 1, 2))
print(coroutine.resume(co, 10))
print(coroutine.resume(co, 3, 4))
print(coroutine.status(co), coroutine.resume(co))

-- Errors inside coroutines, yield across pcall, isyieldable, running.
local bad = coroutine.create(function() error({code = 7}) end)
local ok, err = coroutine.resume(bad)
print(ok, type(err), err.code, coroutine.status(bad))
local y = coroutine.wrap(function()
  local r = {pcall(function() coroutine.yield("inside") return "after" end)}
  coroutine.yield(r[1], r[2])
  return coroutine.isyieldable()
end)
print(y()) print(y()) print(y())
print(coroutine.isyieldable(), select(2, coroutine.running()))

-- close a suspended coroutine with a pending to-be-closed variable
local closed = false
local c2 = coroutine.create(function()
  local t <close> = setmetatable({}, {__close = function() closed = true end})
  coroutine.yield(1)
end)
coroutine.resume(c2)
print(coroutine.close(c2), closed, coroutine.status(c2))

-- many coroutines, interleaved
local tasks = {}
for id = 1, 3 do
  tasks[id] = coroutine.create(function()
    for step = 1, id do coroutine.yield(id * 10 + step) end
  end)
end
local trace = {}
local alive = true
while alive do
  alive = false
  for id = 1, 3 do
    if coroutine.status(tasks[id]) ~= "dead" then
      local _, v = coroutine.resume(tasks[id])
      if v then trace[#trace + 1] = v alive = true end
    end
  end
end
print(table.concat(trace, " "))

-- Output of the unchanged Lua 5.4.2 release:
--> 1 4 9 16 25
--> A,B,C,done
--> suspended
--> start	1	2
--> true	3
--> got	10
--> true	20
--> got	3	4
--> true	end	20
--> dead	false	cannot resume dead coroutine
--> false	table	7	dead
--> inside
--> true	after
--> true
--> false	true
--> true	true	dead
--> 11 21 31 22 32 33
