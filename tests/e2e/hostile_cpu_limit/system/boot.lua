-- Processes that make the runtime work without end where nothing can yield: an
-- endless loop in a gsub callback, in an __index called by a host function and
-- in a finalizer; library calls whose work has no end (string.rep of an empty
-- string, table.move and table.insert over huge lengths, patterns that
-- backtrack, table.concat through a host __index, collections in a loop).
-- Each attacker gets the cpu limit error (process 3 reads the reports) and is
-- removed; a worker keeps running every frame, and closing a process whose
-- finalizers never end finishes too.
local function spawn(name, code)
  return _create_process_from_code(code, name, "/apps/" .. name .. ".lua")
end
spawn("idle", "while true do flip() end")
local events = spawn("events", [[
  while true do
    local m = _read_message()
    while m do
      if m.event == "report_error" and m.content:find("cpu limit exceeded", 1, true) then
        print("process " .. m._from .. " stopped: cpu limit exceeded")
      end
      m = _read_message()
    end
    flip()
  end
]])
local worker = spawn("worker", "frames = 0 while true do frames = frames + 1 flip() end")

local attacks = {
  {"gsub_callback", "string.gsub('abc', '.', function() while true do end end)"},
  {"caught_and_looping",
   "string.gsub('abc', '.', function() while true do pcall(function() while true do end end) end end)"},
  {"host_index", "local t = setmetatable({}, {__index = function() while true do end end}) " ..
                 "table.concat(t, ',', 1, 3)"},
  {"rep_empty", "local s = string.rep('', 1 << 62) print('rep of an empty string: ' .. #s) " ..
                "string.gsub('ab', '.', function() while true do string.rep('', 1 << 62) end end)"},
  {"table_move", "table.move({}, 1, 1 << 62, 1, {})"},
  {"table_insert", "table.insert(setmetatable({}, {__len = function() return math.maxinteger - 1 end}), 1, 0)"},
  {"backtracking", "string.find(string.rep('a', 50), string.rep('a*', 50) .. 'b')"},
  {"plain_find", "string.find(string.rep('a', 1 << 20), string.rep('a', 1 << 19) .. 'b', 1, true)"},
  {"concat_host_index", "table.concat(setmetatable({}, {__index = tostring}), '', 1, 1 << 62)"},
  {"format_loop", "string.gsub('ab', '.', function() while true do string.format('%d %s %q', 1, 'x', 'y') end end)"},
  {"collect_loop", "local junk = {} for i = 1, 20000 do junk[i] = {i} end " ..
                   "string.gsub('ab', '.', function() while true do collectgarbage() end end)"},
}

for _, a in ipairs(attacks) do
  local id = spawn(a[1], a[2])
  local frames = 0
  repeat
    _run_process_slice(id, 0.5)
    _run_process_slice(events, 0.1)
    _run_process_slice(worker, 0.1)
    frames = frames + 1
    flip()
  until _process_state(id) == -1 or frames > 200
  for i = 1, 2 do  -- the reports reach process 3 in the next frames
    _run_process_slice(events, 0.1)
    _run_process_slice(worker, 0.1)
    flip()
  end
  print(a[1] .. " (process " .. id .. ") removed: " .. tostring(_process_state(id) == -1))
end

-- A finalizer that never ends, run by the collector inside the process: the
-- process goes on after it, once its slices have repaid the ten frames of
-- debt the finalizer ran up.
local fin = spawn("finalizer", [[
  setmetatable({}, {__gc = function() while true do end end})
  collectgarbage()
  print("after the endless finalizer")
  while true do flip() end
]])
for i = 1, 24 do _run_process_slice(fin, 0.5) flip() end
-- Closing its state runs the finalizers still pending: they end too.
local closing = spawn("closing", [[
  keep = {}
  for i = 1, 5 do keep[i] = setmetatable({}, {__gc = function() while true do end end}) end
  print("closing ready")
  while true do flip() end
]])
_run_process_slice(closing, 0.5)
flip()
_kill_process(closing)
_kill_process(fin)
print("killed both: " .. tostring(_process_state(closing) == -1 and _process_state(fin) == -1))

local still = _process_state(worker) == 0
print("worker still running: " .. tostring(still))
print("runtime survived")
_signal(33)
while true do flip() end
