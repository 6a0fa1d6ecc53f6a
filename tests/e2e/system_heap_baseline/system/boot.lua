-- The heap baseline: after _signal(38) the root's memory in use is its RAM
-- pages and the reserve; a later _signal(38) keeps the first baseline, so what
-- the root allocates afterwards counts.
_signal(38)
local reserve = 0x80000
print("pages", stat(313))
print("heap over the baseline is small", math.abs(stat(0) - stat(313) - reserve) < 4096)
keep = {}
for i = 1, 20000 do keep[i] = i end
_signal(38)
print("baseline kept", stat(0) - stat(313) - reserve > 100000)
_signal(33)
while true do flip() end
