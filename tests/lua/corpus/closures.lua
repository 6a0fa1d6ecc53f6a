-- Closures, upvalues shared between functions, memoisation and composition.
local function counter(step)
  local n = 0
  return function() n = n + step return n end,
         function() n = 0 end
end

local inc, reset = counter(3)
inc() inc()
print("counter", inc())
reset()
print("after reset", inc())

local function memoize(f)
  local cache, calls = {}, 0
  return function(x)
    local v = cache[x]
    if v == nil then
      calls = calls + 1
      v = f(x)
      cache[x] = v
    end
    return v
  end, function() return calls end
end

local slow_square = function(x) return x * x end
local sq, calls = memoize(slow_square)
local total = 0
for i = 1, 20 do total = total + sq(i % 5) end
print("memo", total, calls())

local function compose(...)
  local fs = table.pack(...)
  return function(x)
    for i = fs.n, 1, -1 do x = fs[i](x) end
    return x
  end
end
local f = compose(function(x) return x + 1 end, function(x) return x * 2 end, math.abs)
print("compose", f(-5), f(10))

-- Each loop iteration has its own variable.
local fns = {}
for i = 1, 4 do fns[i] = function() return i * 10 end end
local parts = {}
for _, g in ipairs(fns) do parts[#parts + 1] = g() end
print("loop vars", table.concat(parts, " "))

-- Recursive local function and mutual recursion through upvalues.
local is_even, is_odd
function is_even(n) if n == 0 then return true end return is_odd(n - 1) end
function is_odd(n) if n == 0 then return false end return is_even(n - 1) end
print("parity", is_even(10), is_odd(7), is_even(3))

local function fact(n) if n <= 1 then return 1 end return n * fact(n - 1) end
print("fact", fact(20), fact(21))

-- Output of the unchanged Lua 5.4.2 release:
--> counter	9
--> after reset	3
--> memo	120	5
--> compose	11	21
--> loop vars	10 20 30 40
--> parity	true	true	false
--> fact	2432902008176640000	-4249290049419214848
