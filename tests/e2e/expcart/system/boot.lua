-- Record 2 of the data pack is mounted at /ram/expcart; stat(317) says so (3, else 1).
print("expcart mounted: " .. tostring(stat(317)))
_signal(33)
while true do flip() end
