-- Table functions, a sort of our own, borders and constructors.
local function insertion_sort(t, less)
  less = less or function(a, b) return a < b end
  for i = 2, #t do
    local v, j = t[i], i - 1
    while j >= 1 and less(v, t[j]) do t[j + 1] = t[j] j = j - 1 end
    t[j + 1] = v
  end
  return t
end

local function merge_sort(t)
  if #t <= 1 then return t end
  local mid = #t // 2
  local left = merge_sort(table.move(t, 1, mid, 1, {}))
  local right = merge_sort(table.move(t, mid + 1, #t, 1, {}))
  local out, i, j = {}, 1, 1
  while i <= #left and j <= #right do
    if left[i] <= right[j] then out[#out + 1] = left[i] i = i + 1
    else out[#out + 1] = right[j] j = j + 1 end
  end
  for k = i, #left do out[#out + 1] = left[k] end
  for k = j, #right do out[#out + 1] = right[k] end
  return out
end

local data = {}
for i = 1, 20 do data[i] = (i * 7919) % 31 end
print(table.concat(merge_sort(data), " "))
print(table.concat(insertion_sort({"pear", "apple", "fig", "kiwi"}), " "))
print(table.concat(insertion_sort({5, 3, 9, 1}, function(a, b) return a > b end), " "))

local t = {10, 20, 30}
table.insert(t, 40)
table.insert(t, 1, 5)
print(table.concat(t, ","), #t)
print(table.remove(t), table.remove(t, 1), table.concat(t, ","))
print(table.remove({}), #t, table.remove(t, #t + 1))
print(table.concat({1, 2, 3}, ", ", 2, 3), table.concat({}, "x"), table.concat({"a"}, "-"))
local p = table.pack(1, nil, 3)
print(p.n, p[1], p[2], p[3], select("#", table.unpack(p, 1, p.n)))
print(table.unpack({1, 2, 3}, 2), table.unpack({1, 2, 3}, 2, 3))
print(table.concat(table.move({1, 2, 3, 4, 5}, 2, 4, 1), ","))
print(table.concat(table.move({1, 2, 3}, 1, 3, 3), ","))

-- Constructors: positional, named, computed keys, trailing separators.
local c = {1, 2, [10] = "ten", x = "ex", ["y z"] = true, [1 + 1] = "two?"; 3,}
print(c[1], c[2], c[3], c[10], c.x, c["y z"], #c)
local nested = {a = {b = {c = {"deep"}}}}
print(nested.a.b.c[1], #nested.a.b.c)

-- Keys of different types, integer normalisation of float keys.
local keys = {}
keys[1] = "int"; keys[1.0] = "float one"; keys[2.5] = "float"; keys["1"] = "string"
keys[true] = "bool"
print(keys[1], keys[2.5], keys["1"], keys[true])

-- Counting with pairs, in a fixed order through a sorted key list.
local counts = {}
for w in ("the cat and the hat and the bat"):gmatch("%a+") do counts[w] = (counts[w] or 0) + 1 end
local ks = {}
for k in pairs(counts) do ks[#ks + 1] = k end
insertion_sort(ks)
local out = {}
for _, k in ipairs(ks) do out[#out + 1] = k .. "=" .. counts[k] end
print(table.concat(out, " "))

-- ipairs stops at the first nil; next on an empty table.
local holes = {1, 2, nil, 4}
local n = 0
for _ in ipairs(holes) do n = n + 1 end
print(n, next({}), rawlen({1, 2}), rawlen("abc"))

-- A queue and a stack built from tables.
local q = {first = 1, last = 0}
local function push(v) q.last = q.last + 1 q[q.last] = v end
local function pop() local v = q[q.first] q[q.first] = nil q.first = q.first + 1 return v end
for i = 1, 5 do push(i * i) end
print(pop(), pop(), q.last - q.first + 1)

-- Output of the unchanged Lua 5.4.2 release:
--> 1 2 4 5 7 8 10 11 13 14 16 18 19 21 22 24 25 27 28 30
--> apple fig kiwi pear
--> 9 5 3 1
--> 5,10,20,30,40	5
--> 40	5	10,20,30
--> nil	3	nil
--> 2, 3		a
--> 3	1	nil	3	3
--> 2	2	3
--> 2,3,4,4,5
--> 1,2,1,2,3
--> 1	2	3	ten	ex	true	3
--> deep	1
--> float one	float	string	bool
--> and=2 bat=1 cat=1 hat=1 the=3
--> 2	nil	2	3
--> 1	4	3
