-- Messages from the root to a child arrive in the order sent, each stamped
-- with its sender; the child sees an empty queue after the last one.
local child = [[
  for i = 1, 3 do
    local m = _read_message()
    print("child got " .. m.text .. " from " .. m._from .. " flags " .. m._flags ..
          " sent_t " .. math.type(m._sent_t))
  end
  print("then nothing: " .. tostring(_read_message() == nil))
]]
local id = _create_process_from_code(child, "child", "/apps/child.lua")
local first = {text = "A"}
send_message(id, first)
send_message(id, {text = "B"})
send_message(id, {text = "C"})
print("sender's table stamped: " .. tostring(first._from == pid()))
_run_process_slice(id, 1)
error("the end")
