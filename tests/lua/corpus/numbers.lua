-- Integers and floats: division, modulo, conversions, overflow, bitwise ops.
print(7 // 2, -7 // 2, 7 // -2, 7.0 // 2, -7 % 3, 7 % -3, -7.5 % 2, 5.25 % -2)
print(7 / 2, 1 / 0, -1 / 0, 0/0 ~= 0/0, math.huge == 1 / 0)
print(3 | 5, 3 & 5, 3 ~ 5, ~0, 1 << 62, 1 << 63, 1 << 64, -1 >> 1, 256 >> -2)
print(math.maxinteger + 1 == math.mininteger, math.mininteger - 1 == math.maxinteger)
print(math.maxinteger * 2, math.mininteger // -1, math.mininteger % -1)
print(math.type(1), math.type(1.0), math.type("1"), math.tointeger(3.0), math.tointeger(3.5))
print(1 == 1.0, 0x10, 0xA.8p1, 1e2, .5, 3., 0x7fffffffffffffff, 0xffffffffffffffff)
print(2^53 + 1, 2^63, -2^63 == math.mininteger, 9007199254740993)
print(tonumber("10"), tonumber("0x1F"), tonumber("  12  "), tonumber("1e1"), tonumber("abc"))
print(tonumber("ff", 16), tonumber("777", 8), tonumber("zz", 36), tonumber("102", 2))
print(tonumber("9223372036854775807"), tonumber("9223372036854775808"), tonumber(""))
print("10" + 5, "3.5" * 2, 10 .. 20, "0x10" + 0, -"2", "10" // "3")
print(math.floor(3.7), math.ceil(3.2), math.floor(-3.5), math.ceil(-3.5), math.abs(-4))
print(math.max(3, 7.5, -1), math.min(2, -2.5), math.fmod(7, 3), math.fmod(-7, 3))
print(math.sqrt(16), math.pi - math.pi % 0.001, math.exp(0), math.log(8, 2), math.log(100, 10))
print(string.format("%.4f %.4f %.4f", math.sin(1), math.cos(1), math.atan(1, 2)))
print(math.ult(1, -1), math.modf(3.75), math.modf(-2.5))
print(3 == 3.0000000000000001, 0.1 + 0.2 == 0.3, 0.1 + 0.2, 100000000000000)
print(1e15, 1e16, 123456789012345678, -0.0 == 0.0, 1/(-0.0))
print(string.format("%d %5.2f %g", 3.0, 2, 2^63))
local sum = 0
for i = 10, 1, -3 do sum = sum + i end
print("for down", sum)
local fsum = 0
for x = 0, 1, 0.25 do fsum = fsum + x end
print("for float", fsum)
local n = 0
for i = math.maxinteger - 2, math.maxinteger do n = n + 1 end
print("for at the top", n)
for i = 1, 0 do print("never") end
math.randomseed(42)
local r1 = math.random(1, 100)
math.randomseed(42)
print("seeded", r1 == math.random(1, 100), math.random(5, 5))
print(pcall(function() return 1 // 0 end))
print(pcall(function() return 1 % 0 end))
print(pcall(function() return 2^63 | 0 end))
print(pcall(function() return "abc" + 1 end))
print(8 % 3.5, 2^-1, (-2)^2, -2^2, 2^0.5 == math.sqrt(2))

-- Output of the unchanged Lua 5.4.2 release:
--> 3	-4	-4	3.0	2	-2	0.5	-0.75
--> 3.5	inf	-inf	true	true
--> 7	1	6	-1	4611686018427387904	-9223372036854775808	0	9223372036854775807	1024
--> true	true
--> -2	-9223372036854775808	0
--> integer	float	nil	3	nil
--> true	16	21.0	100.0	0.5	3.0	9223372036854775807	-1
--> 9.007199254741e+15	9.2233720368548e+18	true	9007199254740993
--> 10	31	12	10.0	nil
--> 255	511	1295	nil
--> 9223372036854775807	9.2233720368548e+18	nil
--> 15	7.0	1020	16	-2	3
--> 3	4	-4	-3	4
--> 7.5	-2.5	1	-1
--> 4.0	3.141	1.0	3.0	2.0
--> 0.8415 0.5403 0.4636
--> true	3	-2	-0.5
--> true	false	0.3	100000000000000
--> 1e+15	1e+16	123456789012345678	true	-inf
--> 3  2.00 9.22337e+18
--> for down	22
--> for float	2.5
--> for at the top	3
--> seeded	true	5
--> false	numbers.lua:36: attempt to divide by zero
--> false	numbers.lua:37: attempt to perform 'n%0'
--> false	numbers.lua:38: number has no integer representation
--> false	numbers.lua:39: attempt to add a 'string' with a 'number'
--> 1.0	0.5	4.0	-4.0	true
