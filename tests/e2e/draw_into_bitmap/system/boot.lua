-- Draws into a bitmap through the script API and prints it back with pget.
-- The userland sets the draw state up: the default colour tables (pal), then
-- the read, write and target masks.
pal()
poke(0x5508, 0x3f, 0x3f, 0x3f, 0x3f)
local b = userdata("u8", 16, 8)
_set_draw_target(b)
cls(1)
rectfill(2, 2, 5, 4, 7)
circfill(12, 4, 2, 9)
line(0, 7, 15, 7, 3)
for y = 0, 7 do
  local row = ""
  for x = 0, 15 do row = row .. string.format("%x", pget(x, y) % 16) end
  print(row)
end
_signal(33)
while true do flip() end
