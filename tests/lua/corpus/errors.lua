-- error, pcall, assert and the runtime error messages.
print(pcall(error, "plain", 0))
print(pcall(function() error("with position") end))
print(pcall(function() error("level two", 2) end))
print(pcall(function() error() end))
print(pcall(function() error(nil) end))
print(select("#", pcall(error)))
local ok, e = pcall(function() error({code = 42, msg = "table error"}) end)
print(ok, type(e), e.code, e.msg)
local E = setmetatable({}, {__tostring = function() return "custom error object" end})
ok, e = pcall(error, E)
print(ok, tostring(e), e == E)

print(pcall(assert, false))
print(pcall(assert, nil, "assert message"))
print(pcall(assert, 1, 2, 3))
print(type(select(2, pcall(assert, false, {1}))))

local function runtime(f) local ok2, msg = pcall(f) return msg end
local t = {}
print(runtime(function() return t.x.y end))
print(runtime(function() local s = "x" return s.y.z end))
print(runtime(function() return undefined_global() end))
print(runtime(function() return t:nomethod() end))
print(runtime(function() return #nil end))
print(runtime(function() return {} < {} end))
print(runtime(function() return {} .. "" end))
print(runtime(function() return 1 < "2" end))
print(runtime(function() return -{} end))
print(runtime(function() local a = "text" return a & 1 end))
print(runtime(function() return 1.5 | 0 end))
print(runtime(function() return ("x"):bad() end))
print(runtime(function() return math.floor("a") end))
print(runtime(function() return ("x"):rep(1, 2, 3) .. string.rep() end))
print(runtime(function() return setmetatable(1, {}) end))
print(runtime(function() return ipairs() end))
print(runtime(function() for i = 1, 10, 0 do end end))
print(runtime(function() for i = "a", 2 do end end))
print(runtime(function() t[nil] = 1 end))
print(runtime(function() t[0/0] = 1 end))
print(runtime(function() return string.char(256) end))
print(runtime(function() return ("%d"):format(1.5) end))
print(runtime(function() return tostring() end))

-- Nested pcall, errors in error handling of __close, rethrow.
print(pcall(function()
  local ok3, err3 = pcall(error, "inner", 0)
  error("outer after " .. err3, 0)
end))
print(pcall(pcall))
print(pcall(pcall, error, "x"))

-- Stack overflow is an error that pcall catches.
local function forever(n) return 1 + forever(n + 1) end
local okso, so = pcall(forever, 1)
print(okso, so:match("stack overflow") ~= nil)

-- error with a non-string in a coroutine, and tostring of error values
local co = coroutine.create(function() error(12) end)
print(coroutine.resume(co))
print(string.format("%s|%s", pcall(error, 3.5)))

-- Output of the unchanged Lua 5.4.2 release:
--> false	plain
--> false	errors.lua:3: with position
--> false	level two
--> false	nil
--> false	nil
--> 2
--> false	table	42	table error
--> false	custom error object	true
--> false	assertion failed!
--> false	assert message
--> true	1	2	3
--> table
--> errors.lua:21: attempt to index a nil value (field 'x')
--> errors.lua:22: attempt to index a nil value (field 'y')
--> errors.lua:23: attempt to call a nil value (global 'undefined_global')
--> errors.lua:24: attempt to call a nil value (method 'nomethod')
--> errors.lua:25: attempt to get length of a nil value
--> errors.lua:26: attempt to compare two table values
--> errors.lua:27: attempt to concatenate a table value
--> errors.lua:28: attempt to compare number with string
--> errors.lua:29: attempt to perform arithmetic on a table value
--> errors.lua:30: attempt to perform bitwise operation on a string value (local 'a')
--> errors.lua:31: number has no integer representation
--> errors.lua:32: attempt to call a nil value (method 'bad')
--> errors.lua:33: bad argument #1 to 'floor' (number expected, got string)
--> errors.lua:34: bad argument #1 to 'rep' (string expected, got no value)
--> errors.lua:35: bad argument #1 to 'setmetatable' (table expected, got number)
--> errors.lua:36: bad argument #1 to 'ipairs' (value expected)
--> errors.lua:37: 'for' step is zero
--> errors.lua:38: bad 'for' initial value (number expected, got string)
--> errors.lua:39: table index is nil
--> errors.lua:40: table index is NaN
--> errors.lua:41: bad argument #1 to 'char' (value out of range)
--> errors.lua:42: bad argument #1 to 'format' (number has no integer representation)
--> errors.lua:43: bad argument #1 to 'tostring' (value expected)
--> false	outer after inner
--> false	bad argument #1 to 'pcall' (value expected)
--> true	false	x
--> false	true
--> false	12
--> false|3.5
