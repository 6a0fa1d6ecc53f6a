-- Captures in a windowed run (SDL's dummy video, so no window is shown): the
-- root asks for a screenshot, a second one that may not replace a file it
-- finds, a GIF recording of 20 frames and, once it is written, one of 4; the
-- display process prints the notifications it is sent.
local display = [[
  local vm = userdata("u8", 480, 270)
  _map_ram(vm, 0x10000)
  _set_draw_target(vm)
  poke(0x5508, 0x3f, 0x3f, 0x3f, 0x3f)
  local t = 0
  while true do
    cls(1)
    rectfill(t % 400, 20, t % 400 + 60, 80, 8)
    t += 4
    local m = _read_message()
    while m do
      if (m.event == "user_notification") _printh(m.content)
      m = _read_message()
    end
    flip()
  end
]]

assert(_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua") == 2)
assert(_create_process_from_code(display, "display", "/system/display.lua") == 3)
_signal(37)
_signal(65)  -- the desktop folder at /desktop/host/

-- A capture block (eight i16) at addr and the name at 0x60.
local function request(addr, words, name)
  for i, w in ipairs(words) do poke2(addr + 2 * (i - 1), w) end
  memset(0x60, 0, 64)
  for i = 1, #name do poke(0x5f + i, name:byte(i)) end
end

local function frames(n)
  for _ = 1, n do
    _run_process_slice(3, 0.5)
    coroutine.yield()
  end
end

frames(2)
request(0x50, {0, 0, 480, 270, 1, 0, 0, 0}, "shot")
_signal(21)
frames(2)
request(0x50, {100, 50, 32, 16, 4, 0, 1, 0}, "shot")
_signal(21)
frames(3)
request(0x40, {8, 8, 64, 32, 2, 0, 0, 0}, "clip")
_signal(18)
_signal(18)  -- already recording: changes nothing
frames(20)
_signal(19)
frames(3)
_signal(18)  -- the last one is written: taken again, under the next free name
print("started again: " .. stat(320))
frames(4)
_signal(19)
frames(3)
_signal(33)
while true do coroutine.yield() end
