-- A serializer with stable key order and string escapes, and its reader.
local function sorted_keys(t)
  local keys = {}
  for k in pairs(t) do keys[#keys + 1] = k end
  -- order: numbers first (ascending), then strings (ascending)
  local function before(a, b)
    local ta, tb = type(a), type(b)
    if ta ~= tb then return ta == "number" end
    return a < b
  end
  for i = 2, #keys do
    local v, j = keys[i], i - 1
    while j >= 1 and before(v, keys[j]) do keys[j + 1] = keys[j] j = j - 1 end
    keys[j + 1] = v
  end
  return keys
end

local function serialize(v, indent)
  indent = indent or ""
  local tv = type(v)
  if tv == "string" then return string.format("%q", v)
  elseif tv == "number" or tv == "boolean" or tv == "nil" then return tostring(v)
  elseif tv == "table" then
    local inner = indent .. "  "
    local parts = {}
    for _, k in ipairs(sorted_keys(v)) do
      local key
      if type(k) == "string" and k:match("^[%a_][%w_]*$") then key = k
      else key = "[" .. serialize(k) .. "]" end
      parts[#parts + 1] = inner .. key .. " = " .. serialize(v[k], inner)
    end
    if #parts == 0 then return "{}" end
    return "{\n" .. table.concat(parts, ",\n") .. "\n" .. indent .. "}"
  end
  error("cannot serialize a " .. tv)
end

local doc = {
  name = "widget",
  size = {w = 10, h = 2.5},
  tags = {"a", "b", "c"},
  flags = {enabled = true, hidden = false},
  ["key with space"] = "value \"quoted\"\n",
  [10] = -1,
}
print(serialize(doc))
print(pcall(serialize, {f = print}))

-- A tiny tokenizer and evaluator for arithmetic (precedence climbing).
local function tokenize(src)
  local toks = {}
  for num, op in src:gmatch("%s*(%d*%.?%d+)%s*([%+%-%*/%%%^%(%)]?)") do
    toks[#toks + 1] = tonumber(num)
    if op ~= "" then toks[#toks + 1] = op end
  end
  return toks
end
print(table.concat(tokenize("12 + 3.5 * 2"), " "))

local prec = {["+"] = 1, ["-"] = 1, ["*"] = 2, ["/"] = 2, ["%"] = 2}
local function evaluate(tokens)
  local pos = 1
  local function peek_tok() return tokens[pos] end
  local function take() pos = pos + 1 return tokens[pos - 1] end
  local expr
  local function atom() return take() end
  function expr(min)
    local lhs = atom()
    while true do
      local op = peek_tok()
      local p = prec[op]
      if not p or p < min then return lhs end
      take()
      local rhs = expr(p + 1)
      if op == "+" then lhs = lhs + rhs
      elseif op == "-" then lhs = lhs - rhs
      elseif op == "*" then lhs = lhs * rhs
      elseif op == "/" then lhs = lhs / rhs
      else lhs = lhs % rhs end
    end
  end
  return expr(1)
end
print(evaluate(tokenize("12 + 3 * 2 - 8 / 4")), evaluate(tokenize("7 % 4 * 10")))

-- Output of the unchanged Lua 5.4.2 release:
--> {
-->   [10] = -1,
-->   flags = {
-->     enabled = true,
-->     hidden = false
-->   },
-->   ["key with space"] = "value \"quoted\"\
--> ",
-->   name = "widget",
-->   size = {
-->     h = 2.5,
-->     w = 10
-->   },
-->   tags = {
-->     [1] = "a",
-->     [2] = "b",
-->     [3] = "c"
-->   }
--> }
--> false	serializer.lua:36: cannot serialize a function
--> 12 + 3.5 * 2
--> 16.0	30
