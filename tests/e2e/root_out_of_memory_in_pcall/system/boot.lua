-- The root runs out of memory inside its own pcall: it is removed like any
-- other process, and the next record carries on as the root.
local successor = _create_process_from_code([[
  while _get_process_list()[1].id ~= pid() do flip() end
  print("successor carries on as the root")
  print("the old root is gone: " .. tostring(_process_state(1) == -1))
]], "successor", "/apps/successor.lua")
_run_process_slice(successor, 0.1)
local ok, err = pcall(function()
  local hoard = {}
  while true do hoard[#hoard + 1] = string.rep("x", 1 << 20) .. #hoard end
end)
print("caught: " .. tostring(err))
print("never printed")
