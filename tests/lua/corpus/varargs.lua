-- Varargs, select, multiple results and their adjustment.
local function count(...) return select("#", ...) end
print(count(), count(nil), count(nil, nil), count(1, nil, 3))

local function pass(...) return ... end
print(pass(1, 2, 3))
print((pass(1, 2, 3)))
print(pass(1, 2, 3), 4)
print(({pass(1, 2, 3)})[3] == 3 and "third" or "none")

local function tail(...) return select(2, ...) end
print(tail("a", "b", "c"), select(-1, "x", "y", "z"), select(-2, "x", "y", "z"))

local function multi() return 1, 2, 3 end
local t = {multi(), multi()}
print(#t, t[1], t[2], t[4])
local a, b, c, d = multi()
print(a, b, c, d)
local e, f = (multi())
print(e, f)

local function sum(...)
  local s = 0
  for i = 1, select("#", ...) do s = s + (select(i, ...) or 0) end
  return s
end
print(sum(), sum(1, 2, 3), sum(1, nil, 3))

local function varargs_table(...)
  local packed = table.pack(...)
  return packed.n, #{...}
end
print(varargs_table(1, 2, 3), varargs_table(nil, nil))

-- Method calls with varargs and string methods through the metatable.
local obj = {prefix = ">"}
function obj:join(...)
  local parts = {self.prefix}
  for _, v in ipairs({...}) do parts[#parts + 1] = tostring(v) end
  return table.concat(parts, " ")
end
print(obj:join(1, "two", 3.0))
print(("%s-%s"):format("a", "b"), ("x"):rep(3))

-- Functions as values in tables, and calls through fields
local ops = {
  add = function(x, y) return x + y end,
  ["sub"] = function(x, y) return x - y end,
}
print(ops.add(2, 3), ops["sub"](2, 3), #ops)

-- A function with many parameters and too few arguments
local function many(p1, p2, p3, p4, p5) return p1, p5 end
print(many(1), many(1, 2, 3, 4, 5, 6))

-- Output of the unchanged Lua 5.4.2 release:
--> 0	1	2	3
--> 1	2	3
--> 1
--> 1	4
--> third
--> b	z	y	z
--> 4	1	1	3
--> 1	2	3	nil
--> 1	nil
--> 0	6	4
--> 3	2	0
--> > 1 two 3.0
--> a-b	xxx
--> 5	-1	0
--> 1	1	5
