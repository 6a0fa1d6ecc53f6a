-- The demo userland: the smallest system that shows the runtime is alive.
-- It runs in the root process; each coroutine.yield() ends its slice of a frame.
print("kestrune demo userland: /system/boot.lua is running in the root process")
print(("the dialect's core is %s; stop the demo with Ctrl-C"):format(_VERSION))

-- Process 3 is the display process: the window shows its video memory (a
-- 480 x 270 bitmap mapped at 0x10000) through its palettes.
local display = [[
  local vm = userdata("u8", 480, 270)
  _map_ram(vm, 0x10000)
  _set_draw_target(vm)
  pal() pal(2)  -- default colour tables, then the default palette
  poke(0x5508, 0x3f, 0x3f, 0x3f, 0x3f)  -- read, write and target masks
  while true do
    local t = time()
    cls(1)
    for i = 0, 11 do
      local a = t / 4 + i / 12
      circfill(240 + 150 * cos(a), 135 + 90 * sin(a), 14, 8 + i % 8)
    end
    rrectfill(170 + 60 * sin(t / 3), 105, 80, 60, 12, 7)
    rectfill(0, 262, (t * 60) % 480, 269, 11)
    _print_m7scii("KESTRUNE: " .. flr(t) .. " SECONDS", 8, 8, 7)
    flip()
  end
]]
-- Text: the display process prints with a small font of our own, drawn below
-- as rows of '#' (3 x 5 glyphs in 4 x 6 cells, lower case shown as upper
-- case) and installed at RAM 0x4000, the default font page.
local font_rows = [[
0   1   2   3   4   5   6   7   8   9
### .#. ### ### #.# ### ### ### ### ###
#.# ##. ..# ..# #.# #.. #.. ..# #.# #.#
#.# .#. ### ### ### ### ### ..# ### ###
#.# .#. #.. ..# ..# ..# #.# ..# #.# ..#
### ### ### ### ..# ### ### ..# ### ###
A   B   C   D   E   F   G   H   I   J
.#. ##. .## ##. ### ### .## #.# ### ..#
#.# #.# #.. #.# #.. #.. #.. #.# .#. ..#
### ##. #.. #.# ##. ##. #.# ### .#. ..#
#.# #.# #.. #.# #.. #.. #.# #.# .#. #.#
#.# ##. .## ##. ### #.. .## #.# ### .#.
K   L   M   N   O   P   Q   R   S   T
#.# #.. #.# ##. .#. ##. .#. ##. .## ###
#.# #.. ### #.# #.# #.# #.# #.# #.. .#.
##. #.. ### #.# #.# ##. #.# ##. .#. .#.
#.# #.. #.# #.# #.# #.. ##. #.# ..# .#.
#.# ### #.# #.# .#. #.. .## #.# ##. .#.
U   V   W   X   Y   Z   .   :   !   -
#.# #.# #.# #.# #.# ### ... ... .#. ...
#.# #.# #.# #.# #.# ..# ... .#. .#. ...
#.# #.# ### .#. .#. .#. ... ... .#. ###
#.# #.# ### #.# .#. #.. ... .#. ... ...
### .#. #.# #.# .#. ### .#. ... .#. ...
]]
local font_code = [==[
local function install_font(addr, rows)
  memset(addr, 0, 2048)
  poke(addr, 4, 4, 6)  -- character width, wide width, height
  local lines = {}
  for line in rows:gmatch("[^\n]+") do lines[#lines + 1] = line end
  for top = 1, #lines, 6 do
    local names = lines[top]
    for i = 1, #names, 4 do
      local code = names:byte(i)
      for r = 1, 5 do
        local bits = 0
        for c = 0, 2 do
          if lines[top + r]:sub(i + c, i + c) == "#" then bits = bits | 1 << c end
        end
        poke(addr + 8 * code + r - 1, bits)
        if code >= 65 and code <= 90 then poke(addr + 8 * (code + 32) + r - 1, bits) end
      end
    end
  end
  poke(0x5f56, addr >> 8)
end
]==]
display = font_code .. ("install_font(0x4000, %q)\n"):format(font_rows) .. display

_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua")  -- id 2
_create_process_from_code(display, "display", "/system/display.lua")              -- id 3
_apply_system_settings({ fullscreen = false, pixel_scale = 2 })
_signal(37)  -- release the boot screen: the display process is shown from now on

local frames = 0
local report_at = { [1] = true, [60] = true, [600] = true, [6000] = true, [60000] = true }
while true do
  frames = frames + 1
  if report_at[frames] then print(("frame %d"):format(frames)) end
  _run_process_slice(2, 0.1)
  _run_process_slice(3, 0.5)
  coroutine.yield()
end
