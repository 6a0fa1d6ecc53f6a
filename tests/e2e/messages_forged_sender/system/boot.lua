-- A program cannot pass itself off as another sender: its own _from and
-- _flags fields, a metatable on the message, and an extra argument are all
-- overruled by the stamps of the real sender.
local child = [[
  send_message(1, {note = "own fields", _from = 1, _flags = 1})
  send_message(1, setmetatable({note = "metatable"},
                               {__newindex = function(t, k, v) rawset(t, k, 1) end}))
  send_message(1, {note = "extra argument", _from = 1, _flags = 1}, {})
  print("child sent 3 as " .. pid())
]]
local id = _create_process_from_code(child, "forger", "/apps/forger.lua")
_run_process_slice(id, 1)
for i = 1, 3 do
  local m = _read_message()
  print(m.note .. ": _from " .. m._from .. " _flags " .. m._flags)
end
print("no more: " .. tostring(_read_message() == nil))
error("the end")
