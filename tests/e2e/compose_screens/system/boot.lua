-- A display process composes two child processes' screens with
-- _blit_process_video and prints a caption; the root then prints the top-left
-- corner of the composed video memory, a hex digit a pixel.

-- Each screen process maps a w x h bitmap at 0x10000 (its video memory), says
-- its display size at 0x5478 and draws with the default colour tables.
local screen = [[
  local w, h = ...
  local vm = userdata("u8", w, h)
  _map_ram(vm, 0x10000)
  poke2(0x5478, w, h)
  _set_draw_target(vm)
  pal() pal(2)
  poke(0x5508, 0x3f, 0x3f, 0x3f, 0x3f)
]]

-- Child A: a 16 x 8 screen, a box on a plain ground.
local child_a = "local w, h = 16, 8 " .. screen:gsub("local w, h = %.%.%.", "") .. [[
  while true do
    cls(8)
    rectfill(2, 2, 5, 5, 9)
    flip()
  end
]]

-- Child B: an 8 x 6 screen whose colour 0 is left out by its blit mask.
local child_b = "local w, h = 8, 6 " .. screen:gsub("local w, h = %.%.%.", "") .. [[
  poke(0x547d, 0x3f)
  while true do
    cls(0)
    rectfill(1, 1, 6, 4, 12)
    flip()
  end
]]

-- The display process: our own font (3 x 5 glyphs in 4 x 6 cells, drawn as
-- rows of '#'), installed at 0x4000 for the printer.
local display = "local w, h = 480, 270 " .. screen:gsub("local w, h = %.%.%.", "") .. [==[
  local rows = [[
H   I   2   4
#.# ### ### #.#
#.# .#. ..# #.#
### .#. ### ###
#.# .#. #.. ..#
#.# ### ### ..#
]]
  memset(0x4000, 0, 2048)
  poke(0x4000, 4, 4, 6)
  local lines = {}
  for line in rows:gmatch("[^\n]+") do lines[#lines + 1] = line end
  for i = 1, #lines[1], 4 do
    local code = lines[1]:byte(i)
    for r = 1, 5 do
      local bits = 0
      for c = 0, 2 do
        if lines[1 + r]:sub(i + c, i + c) == "#" then bits = bits | 1 << c end
      end
      poke(0x4000 + 8 * code + r - 1, bits)
    end
  end
  poke(0x5f56, 0x40)
  while true do
    cls(1)
    _blit_process_video(4, 0, 0, nil, nil, 2, 2)
    _blit_process_video(5, 0, 0, nil, nil, 12, 5)
    _print_m7scii("HI 42", 2, 12, 7)
    flip()
  end
]==]

assert(_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua") == 2)
assert(_create_process_from_code(display, "display", "/system/display.lua") == 3)
assert(_create_process_from_code(child_a, "a", "/system/a.lua") == 4)
assert(_create_process_from_code(child_b, "b", "/system/b.lua") == 5)
_signal(37)

for frame = 1, 3 do
  _run_process_slice(4, 0.2)
  _run_process_slice(5, 0.2)
  _run_process_slice(3, 0.5)
  coroutine.yield()
end
for y = 0, 18 do
  local row = ""
  for x = 0, 23 do row = row .. string.format("%x", _ppeek(3, 0x10000 + y * 480 + x) % 16) end
  print(row)
end
_signal(33)
while true do coroutine.yield() end
