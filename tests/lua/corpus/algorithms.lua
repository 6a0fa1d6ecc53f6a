-- Classic algorithms: sieve, gcd, binary search, permutations, big sums.
local function sieve(n)
  local composite, primes = {}, {}
  for i = 2, n do
    if not composite[i] then
      primes[#primes + 1] = i
      for j = i * i, n, i do composite[j] = true end
    end
  end
  return primes
end
local p = sieve(100)
print(#p, p[#p], table.concat(p, " ", 1, 10))

local function gcd(a, b) while b ~= 0 do a, b = b, a % b end return a end
local function lcm(a, b) return a // gcd(a, b) * b end
print(gcd(1071, 462), gcd(17, 5), lcm(4, 6), lcm(21, 6))

local function bsearch(t, x)
  local lo, hi = 1, #t
  while lo <= hi do
    local mid = (lo + hi) // 2
    if t[mid] == x then return mid
    elseif t[mid] < x then lo = mid + 1
    else hi = mid - 1 end
  end
  return nil
end
print(bsearch(p, 53), bsearch(p, 54), bsearch(p, 2), bsearch(p, 97))

local function permutations(t)
  local out = {}
  local function permute(n)
    if n <= 1 then out[#out + 1] = table.concat(t) return end
    for i = 1, n do
      t[i], t[n] = t[n], t[i]
      permute(n - 1)
      t[i], t[n] = t[n], t[i]
    end
  end
  permute(#t)
  return out
end
local perms = permutations({"a", "b", "c"})
print(#perms, table.concat(perms, " "))

-- Fibonacci with integers up to the 64-bit limit, then floats.
local a, b = 0, 1
for _ = 1, 90 do a, b = b, a + b end
print(a, math.type(a))
local fa, fb = 0.0, 1.0
for _ = 1, 100 do fa, fb = fb, fa + fb end
print(string.format("%.6e", fa))

-- Collatz lengths, memoised in a table.
local memo = {[1] = 1}
local function collatz(n)
  if memo[n] then return memo[n] end
  local len = 1 + collatz(n % 2 == 0 and n // 2 or 3 * n + 1)
  memo[n] = len
  return len
end
local best, best_n = 0, 0
for n = 1, 3000 do
  local len = collatz(n)
  if len > best then best, best_n = len, n end
end
print("collatz", best_n, best)

-- Matrix multiplication and transposition.
local function matmul(x, y)
  local r = {}
  for i = 1, #x do
    r[i] = {}
    for j = 1, #y[1] do
      local s = 0
      for k = 1, #y do s = s + x[i][k] * y[k][j] end
      r[i][j] = s
    end
  end
  return r
end
local m = matmul({{1, 2}, {3, 4}}, {{5, 6}, {7, 8}})
print(m[1][1], m[1][2], m[2][1], m[2][2])

-- String building and a checksum over bytes.
local buf = {}
for i = 1, 100 do buf[#buf + 1] = string.char(65 + i % 26) end
local text = table.concat(buf)
local h = 0
for i = 1, #text do h = (h * 31 + text:byte(i)) & 0xFFFFFFFF end
print(#text, text:sub(1, 10), h)

-- Run-length encoding round trip.
local function rle(s)
  local out = {}
  local i = 1
  while i <= #s do
    local c = s:sub(i, i)
    local j = i
    while s:sub(j + 1, j + 1) == c do j = j + 1 end
    out[#out + 1] = (j - i + 1) .. c
    i = j + 1
  end
  return table.concat(out)
end
local function unrle(s)
  return (s:gsub("(%d+)(%D)", function(n, c) return c:rep(tonumber(n)) end))
end
local enc = rle("aaabccddddde")
print(enc, unrle(enc))

-- Output of the unchanged Lua 5.4.2 release:
--> 25	97	2 3 5 7 11 13 17 19 23 29
--> 21	1	12	42
--> 16	nil	1	25
--> 6	bca cba cab acb bac abc
--> 2880067194370816120	integer
--> 3.542248e+20
--> collatz	2919	217
--> 19	22	43	50
--> 100	BCDEFGHIJK	3510094436
--> 3a1b2c5d1e	aaabccddddde
