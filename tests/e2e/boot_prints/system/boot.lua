-- Prints from the root process, then ends the program through the kernel's
-- runtime-error path (the first record failing ends the program).
print("boot.lua runs in the root process")
local t = {}
for i = 1, 5 do t[#t + 1] = i * i end
print(table.concat(t, " "))
error("the end")
