-- The demo userland: the smallest system that shows the runtime is alive.
-- It runs in the root process; each coroutine.yield() ends its slice of a frame.
print("kestrune demo userland: /system/boot.lua is running in the root process")
print(("the dialect's core is %s; stop the demo with Ctrl-C"):format(_VERSION))

-- Files: a note stored in a cartridge on the host drive ("/" is the data
-- folder's "drive"), then one reboot, after which the note is read back. The
-- userland clipboard outlives the reboot and says which half this is.
do
  local note = "/kestrune_demo.kvt/note.txt"
  local plain = '--[[tuk_format="raw", metadata_format="none"]]'
  if _get_userland_clipboard_text() ~= "demo: note written" then
    mkdir("/kestrune_demo.kvt")
    store(note, "written " .. date() .. " UTC", plain)
    print("demo: stored " .. note .. "; rebooting to read it back")
    _set_userland_clipboard_text("demo: note written")
    _signal(34) -- the reboot writes the changed cartridge back first
    while true do coroutine.yield() end
  end
  print("demo: read back after the reboot: " .. tostring(fetch(note)))
end

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
    input_demo()
    _print_m7scii("KESTRUNE: " .. flr(t) .. " SECONDS", 8, 8, 7)
    flip()
  end
]]

-- Input, in the display process: the arrow keys (or a pad's stick) move a
-- square, a left click leaves a ring where it was made, a right click clears
-- the rings, and the host pointer (hidden by the system) is drawn as a cross.
local input_demo = [[
  local px, py = 232, 127
  local mx, my, mb = -10, -10, 0
  local rings = {}
  function input_demo()
    _update_buttons(true)
    if btn(0) then px = max(px - 3, 0) end
    if btn(1) then px = min(px + 3, 464) end
    if btn(2) then py = max(py - 3, 0) end
    if btn(3) then py = min(py + 3, 254) end
    local m = _read_message()
    while m do
      if m.event == "mouse" then
        if m.mb & 1 == 1 and mb & 1 == 0 then
          add(rings, { m.mx, m.my })
          if #rings > 40 then deli(rings, 1) end
        end
        if m.mb & 2 == 2 then rings = {} end
        mx, my, mb = m.mx, m.my, m.mb
      end
      m = _read_message()
    end
    for i = 1, #rings do circ(rings[i][1], rings[i][2], 6, 10) end
    rectfill(px, py, px + 15, py + 15, 8)
    rect(px, py, px + 15, py + 15, 7)
    line(mx - 4, my, mx + 4, my, 7)
    line(mx, my - 4, mx, my + 4, 7)
  end
]]
display = input_demo .. display
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

-- A short tune: instrument 1 (a soft triangle with a little echo) plays a
-- looping melody and a bass line as music from pattern 0, sound base 0x30000.
do
  poke(0x5538, 64, 64, 64, 0, 3, 3)  -- master, music and mix volume; sound bases
  local inst = 0x40200
  -- node 0: root; its volume follows envelope 0 (ADSR), the rest passes on
  poke(inst, 0x00, 0x01, 0, 0, 6,64,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)
  -- node 1: oscillator on default wave 100 (a triangle leaning to a saw)
  poke(inst + 0x20, 0x00, 0x02, 0, 0, 0,40,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0, 0,100,0,0)
  -- node 2: echo, 60 x 126 samples, feedback 0.3
  poke(inst + 0x40, 0x00, 0x09, 0, 0, 0,60,0,0, 0,77,0,0)
  poke(inst + 0x100, 0, 0, 0, 0, 0, 0, 0, 0, 2, 10, 140, 12)  -- attack, decay, sustain, release
  poke(inst + 0x1E0, 0x00, 0xF8, 10, 0)  -- wavetable: the 256 default waves
  local function track(t, speed, pitches, volume)
    local at = 0x50000 + 328 * t
    local n = #pitches
    poke(at, n, 0, speed, 0, 0, 0)
    for i, p in ipairs(pitches) do
      poke(at + 8 + i - 1, p)                -- pitch (255: release)
      poke(at + 8 + n + i - 1, 1)           -- instrument
      poke(at + 8 + 2 * n + i - 1, volume)  -- volume
    end
  end
  track(0, 12, {60, 64, 67, 72, 71, 67, 64, 255, 62, 65, 69, 74, 72, 69, 65, 255}, 48)
  track(1, 24, {36, 43, 38, 45, 41, 36, 43, 255}, 40)
  poke(0x30100, 0, 1, 0, 0, 0, 0, 0, 0, 3, 3)  -- pattern 0: tracks 0 and 1, loops on itself
  music(0, 500)
end

local frames = 0
local report_at = { [1] = true, [60] = true, [600] = true, [6000] = true, [60000] = true }
while true do
  frames = frames + 1
  if report_at[frames] then print(("frame %d"):format(frames)) end
  _run_process_slice(2, 0.1)
  _run_process_slice(3, 0.5)
  coroutine.yield()
end
