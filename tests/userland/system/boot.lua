-- The demo userland: the smallest system that shows the runtime is alive.
-- It runs in the root process; each coroutine.yield() ends its slice of a frame.
print("kestrune demo userland: /system/boot.lua is running in the root process")
print(("the dialect's core is %s; stop the demo with Ctrl-C"):format(_VERSION))

local frames = 0
local report_at = { [1] = true, [60] = true, [600] = true, [6000] = true, [60000] = true }
while true do
  frames = frames + 1
  if report_at[frames] then print(("frame %d"):format(frames)) end
  coroutine.yield()
end
