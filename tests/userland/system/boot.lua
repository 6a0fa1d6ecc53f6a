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
    flip()
  end
]]
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
