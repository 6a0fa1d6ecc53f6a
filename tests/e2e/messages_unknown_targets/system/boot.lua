-- Sends to ids no process has are dropped quietly; so are sends to a process
-- that has halted. A send to a live process still arrives.
local targets = {99, 0, -1, math.huge, -math.huge, 0/0, 2^63, "1", nil}
for i = 1, 9 do
  send_message(targets[i], {n = i})
end
local id = _create_process_from_code("_halt()", "halter", "/apps/halter.lua")
_run_process_slice(id, 1)
print("halted state " .. _process_state(id))
send_message(id, {n = "to the halted"})
send_message(pid(), {n = "to myself"})
print("first read: " .. tostring(_read_message().n))
print("then nothing: " .. tostring(_read_message() == nil))
print("non-table: " .. tostring(pcall(send_message, pid(), 5)))
error("the end")
