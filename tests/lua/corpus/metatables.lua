-- Classes with inheritance and the metamethods of Lua 5.4.
local Vector = {}
Vector.__index = Vector

function Vector.new(x, y) return setmetatable({x = x, y = y}, Vector) end
function Vector.__add(a, b) return Vector.new(a.x + b.x, a.y + b.y) end
function Vector.__sub(a, b) return Vector.new(a.x - b.x, a.y - b.y) end
function Vector.__mul(a, b)
  if type(a) == "number" then return Vector.new(a * b.x, a * b.y) end
  if type(b) == "number" then return Vector.new(a.x * b, a.y * b) end
  return a.x * b.x + a.y * b.y
end
function Vector.__unm(a) return Vector.new(-a.x, -a.y) end
function Vector.__eq(a, b) return a.x == b.x and a.y == b.y end
function Vector.__lt(a, b) return a:len2() < b:len2() end
function Vector.__le(a, b) return a:len2() <= b:len2() end
function Vector.__len(a) return 2 end
function Vector.__tostring(a) return "(" .. a.x .. ", " .. a.y .. ")" end
function Vector.__concat(a, b) return tostring(a) .. tostring(b) end
function Vector.__call(a, k) return a[k] end
function Vector.__idiv(a, n) return Vector.new(a.x // n, a.y // n) end
function Vector.__mod(a, n) return Vector.new(a.x % n, a.y % n) end
function Vector:len2() return self.x * self.x + self.y * self.y end

local a, b = Vector.new(1, 2), Vector.new(3, 4)
print(tostring(a + b), tostring(a - b), a * b, tostring(2 * a), tostring(a * 3))
print(tostring(-a), a == Vector.new(1, 2), a ~= b, a < b, b <= a, #a)
print(a .. b, a .. "!", a("y"), tostring(b // 2), tostring(b % 3))

-- Inheritance through __index chains.
local Animal = {}
Animal.__index = Animal
function Animal.new(name, sound)
  local self = setmetatable({}, Animal)
  self.name, self.sound = name, sound
  return self
end
function Animal:speak() return self.name .. " says " .. self.sound end
function Animal:kind() return "animal" end

local Dog = setmetatable({}, {__index = Animal})
Dog.__index = Dog
function Dog.new(name)
  local self = Animal.new(name, "woof")
  return setmetatable(self, Dog)
end
function Dog:kind() return "dog" end
function Dog:fetch() return self.name .. " fetches" end

local d = Dog.new("Rex")
print(d:speak(), d:kind(), d:fetch(), Animal.new("Cat", "meow"):kind())
print(getmetatable(d) == Dog, rawget(d, "speak"), rawequal(d, d))

-- __index and __newindex functions, rawset, __pairs-free proxies.
local log = {}
local store = {}
local proxy = setmetatable({}, {
  __index = function(_, k) log[#log + 1] = "read " .. k return store[k] end,
  __newindex = function(_, k, v) log[#log + 1] = "write " .. k store[k] = v end,
})
proxy.a = 1
proxy.b = proxy.a + 1
rawset(proxy, "c", 3)
proxy.c = 4
print(table.concat(log, "; "), store.b, rawget(proxy, "c"))

-- Defaults through a shared metatable, and a protected metatable.
local defaults = setmetatable({}, {__index = function() return 0 end})
defaults.hits = defaults.hits + 1
print(defaults.hits, defaults.misses)
local locked = setmetatable({}, {__metatable = "locked"})
print(getmetatable(locked), pcall(setmetatable, locked, {}))

-- __close runs in reverse order, also on error.
local order = {}
local function closer(name)
  return setmetatable({}, {__close = function(_, err) order[#order + 1] = name .. (err and "!" or "") end})
end
do
  local x <close> = closer("x")
  local y <close> = closer("y")
  order[#order + 1] = "body"
end
print(table.concat(order, ","))
order = {}
print(pcall(function()
  local z <close> = closer("z")
  error("boom", 0)
end), table.concat(order, ","))
local k <const> = 10
print(k * 2)

-- Weak tables keep nothing alive.
local weak = setmetatable({}, {__mode = "k"})
weak[{}] = true
collectgarbage()
print(next(weak))

-- Output of the unchanged Lua 5.4.2 release:
--> (4, 6)	(-2, -2)	11	(2, 4)	(3, 6)
--> (-1, -2)	true	true	true	false	2
--> (1, 2)(3, 4)	(1, 2)!	2	(1, 2)	(0, 1)
--> Rex says woof	dog	Rex fetches	animal
--> true	nil	true
--> write a; read a; write b	2	4
--> 1	0
--> locked	false	cannot change a protected metatable
--> body,y,x
--> false	z!
--> 20
--> nil
