-- Finalizers that change what the kernel is reading while it reads: one
-- empties the table tuk and send_message are writing (its keys, held by
-- nothing else, are then freed), one shrinks the userdata convert copies.
-- The runtime reads nothing freed and goes on.
local function attack()
  local t = {}
  for i = 1, 100 do
    local c = {}
    for j = 1, 40 do c['c' .. j] = j end
    t[string.rep('k', 20000) .. i] = c
  end
  local armed = true
  local function arm()
    setmetatable({}, {__gc = function()
      if armed then
        armed = false
        for k in pairs(t) do t[k] = nil end
      end
      arm()
    end})
  end
  arm()
  return t
end

collectgarbage('incremental', 1, 1000)
print("tuk gave " .. type(tuk(attack())))
send_message(pid(), attack())
print("send_message queued " .. type(_read_message()))

local u = userdata('i32', 1000, 1000)
local function shrink()
  setmetatable({}, {__gc = function() u:mutate('i32', 1, 1) end})
end
shrink()
print("convert gave " .. type(u:convert('f64')))
collectgarbage('incremental', 200, 100)
collectgarbage()
print("the runtime survived")
