-- A child kills the root. The root's slice ends first; then the next record
-- of the table is the root, gets the frame's slice and runs on. When it ends
-- too, no process is left and the program ends instead of idling.
local successor = _create_process_from_code([[
  local frames = 0
  while true do
    frames = frames + 1
    if _get_process_list()[1].id == pid() then break end
    flip()
  end
  print("successor " .. pid() .. " is the first record and runs from the frame loop")
  print("processes: " .. #_get_process_list())
]], "successor", "/apps/successor.lua")
local killer = _create_process_from_code([[
  _kill_process(1)
  print("killer asked for the root's end")
]], "killer", "/apps/killer.lua")
_run_process_slice(killer, 0.2)
print("root finishes its slice")
_run_process_slice(successor, 0.2)
flip()
print("never printed")
