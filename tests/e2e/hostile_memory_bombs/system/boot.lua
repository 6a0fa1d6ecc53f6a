-- A program that tries to make the runtime take host memory no one is
-- charged for: a nest of LZ4 wrappers that expands 255 times a level, a delta
-- that claims a huge inner stream, tuk beside a nearly full memory, a flood
-- of messages, and reading all of the root's RAM. Each attempt fails or is
-- bounded; the root keeps its memory and goes on.
-- Processes 2 and 3 stand in for the system's own, so the attacker runs
-- as an ordinary program (id 4).
local two = _create_process_from_code("while true do flip() end", "two", "/apps/two.lua")
local three = _create_process_from_code("while true do flip() end", "three", "/apps/three.lua")
local attacker = _create_process_from_code([==[
  local function u32(n) return string.pack("<I4", n) end
  local function ext(n) return string.rep("\255", n // 255) .. string.char(n % 255) end
  -- A text as prefix .. (prefix's last byte) x run .. suffix, never built
  -- whole: its size, and the LZ4 wrapper around it, in the same form.
  local function size(t) return #t.prefix + t.run + #t.suffix end
  local function wrap(t)
    local lit, match = #t.prefix, t.run - 4
    local token = string.char((math.min(lit, 15) << 4) | 15)
    local head = token .. (lit >= 15 and ext(lit - 15) or "") .. t.prefix .. "\1\0"
    local rest, tail = match - 15, string.char(#t.suffix << 4) .. t.suffix
    local block = {prefix = head, run = 0, suffix = string.char(rest % 255) .. tail}
    if rest >= 255 then block.prefix, block.run = head .. "\255", rest // 255 - 1 end
    local header = "lz4\0" .. u32(size(block)) .. u32(size(t))
    return {prefix = header .. block.prefix, run = block.run, suffix = block.suffix}
  end
  local function nest_of(run)
    local t = wrap(wrap(wrap({prefix = '"a', run = run, suffix = 'aaaa"'})))
    return t.prefix .. string.rep(t.prefix:sub(-1), t.run) .. t.suffix
  end
  -- A nest that fits is read whole; 1.5 GB of text in three wrappers is not.
  print("a nest of 5 MB reads back " .. #untuk(nest_of(5000000)) .. " bytes")
  local bomb = nest_of(1500000000)
  print("a nest of " .. #bomb .. " bytes: untuk gives " .. tostring((untuk(bomb))))

  local liar = "dst\0" .. u32(0x7FFFFFF0) .. string.rep("\0", 300000)
  print("a delta claiming 2 GB: apply_delta gives " .. tostring((apply_delta("", liar))))

  local keep = {userdata("u8", 16 << 20), string.rep("k", 8 << 20), string.rep("a", 3 << 20),
                string.rep("b", 3 << 20)}
  print("tuk past what it may hold: " .. tostring((tuk({keep[3], keep[4]}))))
  keep = nil
  collectgarbage()

  local m = {string.rep("f", 1000)}
  for i = 1, 10000 do send_message(1, m) end
  print("flooded the root")

  local sum = 0
  for a = 0, 0xFFFFFF, 4096 do sum = sum + _ppeek(1, a + 7) end
  print("read all of the root's RAM")
]==], "attacker", "/apps/attacker.lua")

local ram_before = stat(313)
while _process_state(attacker) ~= -1 do
  _run_process_slice(attacker, 0.5)
  flip()
end
local queued = 0
while _read_message() do queued = queued + 1 end
print("root's queue held " .. (queued > 3000 and queued < 10000 and "what fits" or queued))
print("root's RAM unchanged: " .. tostring(stat(313) == ram_before))
print("root's memory below the cap: " .. tostring(stat(0) < 0x2000000))
print("the runtime survived")
_kill_process(two)
_kill_process(three)
