-- A process attacks the interpreter itself: coroutines closed through a deep
-- chain of <close> handlers (each closing another coroutine), shifts by the
-- most negative integer, a constant _ENV, utf8.codes driven by hand, and a
-- busy coroutine stopped by the budget yield and resumed with arguments (and
-- looked at with the debug library) frame after frame, and load asked for
-- binary chunks. It gets sound results and errors; the runtime goes on.
local attacker = [[
  local function make(inner)
    local co = coroutine.create(function()
      local x <close> = setmetatable({}, {__close = function()
        if inner then
          local ok, err = coroutine.close(inner)
          if not ok then error(err, 0) end
        end
      end})
      coroutine.yield()
    end)
    coroutine.resume(co)
    return co
  end
  local co
  for i = 1, 5000 do co = make(co) end
  local ok, err = coroutine.close(co)
  print("nested closes: " .. tostring(ok) .. " " .. tostring(err))

  local m = math.mininteger
  print("shifts: " .. (1 >> m) .. " " .. (1 << m) .. " " .. (-1 >> m) .. " " .. (m << m))

  print("constant _ENV: " .. select(2, pcall(load("local _ENV <const> = 5 return y", "=env"))))

  local f, s = utf8.codes("ab")
  print("utf8.codes by hand: " .. table.concat({f(s, m)}, ",") .. " " .. select("#", f(s, math.maxinteger)))
  print("stray continuation: " .. select(2, pcall(function() for _ in utf8.codes("a\x80") do end end)))

  print("load of text with mode b: " .. select(2, load("return 1", "x", "b")))
  print("load of a binary chunk: " .. select(2, load("\27Lua\84\0 forged", "x", "bt")))

  local busy = coroutine.create(function() local n = 0 while true do n = n + 1 end end)
  for frame = 1, 300 do
    coroutine.resume(busy, frame, "more", "arguments")
    debug.getinfo(busy, 0, "l")
    debug.getlocal(busy, 0, 1)
  end
  print("busy coroutine resumed 300 times: " .. coroutine.status(busy) ..
        ", n is a number: " .. tostring(math.type(select(2, debug.getlocal(busy, 0, 1))) == "integer"))
]]
_create_process_from_code("while true do flip() end", "idle", "/apps/idle.lua")
local id = _create_process_from_code(attacker, "attacker", "/apps/attacker.lua")
local frames = 0
while _process_state(id) ~= -1 and frames < 2000 do
  _run_process_slice(id, 1)
  frames = frames + 1
  flip()
end
print("attacker finished and was removed: " .. tostring(_process_state(id) == -1))
print("runtime survived")
_signal(33)
while true do flip() end
