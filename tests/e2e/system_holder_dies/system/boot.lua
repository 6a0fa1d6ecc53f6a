-- A shutdown holder that ends without letting go releases the hold: the
-- reboot asked for meanwhile goes ahead once it is gone.
local boots = (tonumber(_get_userland_clipboard_text()) or 0) + 1
_set_userland_clipboard_text(boots)
if boots == 2 then
  print("rebooted")
  _signal(33)
  while true do flip() end
end
local holder = _create_process_from_code([[
  _signal(40)
  print("holding")
  flip()
  print("leaving without letting go")
]], "holder", "/apps/holder.lua")
_signal(34)
while true do
  _run_process_slice(holder, 0.5)
  flip()
end
