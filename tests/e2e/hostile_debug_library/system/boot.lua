-- A process uses the debug library to write into the frames and upvalues of
-- host functions that are running (the subject and buffer of a gsub, a string
-- an allocating host function reads while a finalizer runs, a gmatch state) and
-- into a loop's own control slots. Every write fails as for a missing local or
-- upvalue; the attacker's results stay intact and the runtime goes on.
local attacker = [[
  -- From the replacement function, the gsub running below it.
  local calls = 0
  local out = string.gsub(string.rep("ab", 200), "a", function()
    calls = calls + 1
    for level = 2, 4 do
      local info = debug.getinfo(level, "S")
      if info and info.what == "C" then
        for slot = 1, 4 do
          if debug.setlocal(level, slot, nil) ~= nil then print("wrote into a host frame") end
        end
      end
    end
    if calls % 50 == 0 then collectgarbage() end
    return "c"
  end)
  print("gsub result intact: " .. tostring(out == string.rep("cb", 200)))

  -- A finalizer that runs while a host function allocates.
  local writes = 0
  for i = 1, 50 do
    setmetatable({}, {__gc = function()
      for level = 2, 8 do
        local info = debug.getinfo(level, "S")
        if info and info.what == "C" and debug.setlocal(level, 1, 0) ~= nil then
          writes = writes + 1
        end
      end
    end})
  end
  local text = ""
  for i = 1, 200 do text = string.format("%s%d,", string.rep("x", i % 7), i) end
  collectgarbage("collect")
  print("writes from finalizers: " .. writes .. ", text: " .. text)

  -- A gmatch iterator's subject and state.
  local it = string.gmatch("one two three", "%a+")
  print("setupvalue on a host closure gives " .. select("#", debug.setupvalue(it, 3, "junk")) ..
        " values; upvalue 1 still reads " .. select(2, debug.getupvalue(it, 1)))
  collectgarbage("collect")
  print("iterator goes on: " .. it() .. " " .. it() .. " " .. it())
  print("upvaluejoin: " .. select(2, pcall(debug.upvaluejoin, function() return out end, 1, it, 1)))
  local up = 1
  local function get() return up end
  local name = debug.setupvalue(get, 1, 5)
  local a = 1
  for i = 1, 50 do
    if debug.getlocal(1, i) == "a" then debug.setlocal(1, i, 7) break end
  end
  print("Lua functions still writable: " .. name .. " " .. get() .. " " .. a)

  -- A numeric loop's count, step and index.
  local passes = 0
  for i = 1, 5 do
    for slot = 1, 8 do
      if debug.getlocal(1, slot) == "(for state)" then debug.setlocal(1, slot, {}) end
    end
    passes = passes + 1
  end
  collectgarbage("collect")
  print("loop passes: " .. passes)
  print("getinfo '>': " .. select(2, pcall(debug.getinfo, 1, ">S")))
]]
_create_process_from_code("while true do flip() end", "idle", "/apps/idle.lua")
local id = _create_process_from_code(attacker, "attacker", "/apps/attacker.lua")
for frame = 1, 20 do
  _run_process_slice(id, 1)
  flip()
end
print("attacker finished and was removed: " .. tostring(_process_state(id) == -1))
print("runtime survived")
_signal(33)
while true do flip() end
