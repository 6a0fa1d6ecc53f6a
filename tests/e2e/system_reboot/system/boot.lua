-- Boots twice: the userland clipboard outlives the reboot and counts the boots.
-- The first boot asks for a reboot, the second reads a few stat numbers and a
-- date, then asks for the exit.
local boots = (tonumber(_get_userland_clipboard_text()) or 0) + 1
_set_userland_clipboard_text(boots)
print("boot " .. boots)
if boots == 1 then
  _signal(34)
else
  print(stat(5))
  print(stat(316), stat(315), stat(313))
  print(date(nil, 0), date("%Y", "2024-02-29 12:00:00"), date(nil, 0, 86400))
  _signal(33)
end
while true do flip() end
