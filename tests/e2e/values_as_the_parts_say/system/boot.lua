-- Keys that are reserved words are identifiers like any other; a userdata
-- read takes an integer key by its low 32 bits.
print(tuk({["end"] = 1, ["nil"] = 2, ["while"] = {x = 3}}))
print(untuk("{end=1,nil=2}")["end"], untuk("{end=1,nil=2}")["nil"])
local u = userdata("i32", 4)
u[0], u[3] = 7, 9
print(u[2^32], u[2^32 + 3], u[-1], u[0x1FFFFFFFF])
u[2^32] = 5
print(u[0])
