-- goto, nested loops, repeat scoping, while with complex conditions.
local out = {}
for i = 1, 10 do
  if i % 3 == 0 then goto continue end
  out[#out + 1] = i
  ::continue::
end
print(table.concat(out, " "))

-- A goto backwards forms a loop.
local n = 0
::again::
n = n + 1
if n < 5 then goto again end
print("n", n)

-- Breaking out of nested loops with a flag and with goto.
local found
for i = 1, 5 do
  for j = 1, 5 do
    if i * j == 12 then found = i .. "x" .. j goto done end
  end
end
::done::
print("found", found)

-- repeat: the condition sees the body's locals.
local k = 0
repeat
  local doubled = k * 2
  k = k + 1
until doubled >= 8
print("repeat", k)

-- while with and/or chains and short-circuit side effects.
local calls = 0
local function check(v) calls = calls + 1 return v end
local i = 0
while check(i < 3) and (check(true) or check(false)) do i = i + 1 end
print("while", i, calls)

-- if / elseif chains, including parenthesised conditions followed by then.
local function classify(x)
  if (x < 0) then return "negative"
  elseif x == 0 then return "zero"
  elseif (x < 10) then return "small"
  else return "large" end
end
print(classify(-5), classify(0), classify(5), classify(50))

-- and/or as values
print(nil or "default", false and "no" or "yes", 0 and "zero is true", nil and 1)
print(1 and nil, (nil == false), not nil, not 0)

-- Numeric for: the control variable is a copy.
local sum = 0
for x = 1, 5 do
  local y = x
  x = x * 100
  sum = sum + y
end
print("sum", sum)

-- Generic for with a stateless iterator and a closing value.
local function evens(max)
  return function(m, v)
    v = v + 2
    if v <= m then return v end
  end, max, 0
end
local evs = {}
for v in evens(10) do evs[#evs + 1] = v end
print(table.concat(evs, ","))

-- Deep recursion within limits, and tail calls that do not grow the stack.
local function depth(d) if d == 0 then return 0 end return 1 + depth(d - 1) end
local function tail(d, acc) if d == 0 then return acc end return tail(d - 1, acc + 1) end
print(depth(150), tail(1000000, 0))

-- Semicolons and empty statements
;;; local z = 1; z = z + 1; print("z", z);
do local z = "inner" print(z) end
print(z)

-- Output of the unchanged Lua 5.4.2 release:
--> 1 2 4 5 7 8 10
--> n	5
--> found	3x4
--> repeat	5
--> while	3	7
--> negative	zero	small	large
--> default	yes	zero is true	nil
--> nil	false	true	false
--> sum	15
--> 2,4,6,8,10
--> 150	1000000
--> z	2
--> inner
--> 2
