-- A program that asks single host calls for endless work: each call ends in
-- the cpu limit error (the program goes on, slowed by the debt it ran up),
-- while another program keeps being scheduled and the root keeps its frames.
-- Processes 2 and 3 stand in for the system's own, so the attacker runs
-- as an ordinary program (id 4).
local two = _create_process_from_code("while true do flip() end", "two", "/apps/two.lua")
local three = _create_process_from_code("while true do flip() end", "three", "/apps/three.lua")
local attacker = _create_process_from_code([[
  local function try(name, f)
    local ok, err = pcall(f)
    print(name .. ": " .. (ok and "returned" or (tostring(err):match("cpu limit exceeded") or err)))
  end
  local t = {}
  for i = 1, 60 do t = {t, t} end
  try("tuk of shared subtables", function() return tuk(t) end)
  try("send_message of them", function() send_message(pid(), t) end)
  try("untuk of millions of values", function() untuk("{" .. string.rep("1,", 2e6) .. "}") end)
  try("split into millions", function() split(string.rep(",", 1e6)) end)
  try("create_delta of long strings", function()
    local a = string.rep("ab", 4e6)
    create_delta(a, a .. "x")
  end)
  try("decimals into a userdata", function() userdata("f64", 1e6, string.rep("1.5,", 1e6)) end)
  try("a table of settings", function()
    local s = {}
    for i = 1, 1e6 do s[i] = i end
    _apply_system_settings(s)
  end)
  print("attacker done")
]], "attacker", "/apps/attacker.lua")

local bystander = _create_process_from_code([[
  local frames = 0
  while true do frames = frames + 1 flip() end
]], "bystander", "/apps/bystander.lua")

local root_frames = 0
while _process_state(attacker) ~= -1 do
  _run_process_slice(attacker, 0.5)
  _run_process_slice(bystander, 0.1)
  root_frames = root_frames + 1
  flip()
end
print("bystander still running: " .. tostring(_process_state(bystander) == 0))
print("root ran " .. (root_frames > 100 and "on" or "short") .. "; the runtime survived")
_kill_process(bystander)
_kill_process(two)
_kill_process(three)
