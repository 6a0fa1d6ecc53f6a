-- A process that holds the shutdown keeps a reboot waiting until it lets go;
-- after the reboot the kernel asks for the exit.
local boots = (tonumber(_get_userland_clipboard_text()) or 0) + 1
_set_userland_clipboard_text(boots)
if boots == 2 then
  print("rebooted")
  _signal(33)
  while true do flip() end
end
local holder = _create_process_from_code([[
  _signal(40)
  for i = 1, 3 do print("holding " .. i) flip() end
  _signal(41)
  print("released")
  while true do flip() end
]], "holder", "/apps/holder.lua")
_signal(34)
print("reboot asked")
while true do
  _run_process_slice(holder, 0.5)
  flip()
end
