-- A finalizer of the root restarts the root. The restart waits for the
-- root's slice to end; the restarted root runs its own code (which only
-- returns), so it goes, and the next record carries on as the root.
local successor = _create_process_from_code([[
  while _get_process_list()[1].id ~= pid() do flip() end
  print("successor carries on as the root")
]], "successor", "/apps/successor.lua")
setmetatable({}, {__gc = function() _kill_process(pid(), 1) end})
collectgarbage()
print("root's slice goes on after the finalizer")
_run_process_slice(successor, 0.1)
flip()
print("never printed")
