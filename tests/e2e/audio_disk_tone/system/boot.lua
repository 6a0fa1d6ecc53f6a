-- Plays pitch 57 on a plain sine instrument through SDL's disk audio driver for
-- about two seconds; the runner measures the tone in the file the driver wrote.
_apply_system_settings({})  -- the output stays silent until the settings give a volume
poke(0x5538, 64)  -- master volume: unity
poke(0x553A, 64)  -- mix volume of note
poke(0x553C, 3)   -- sound base 0x30000: instrument 0 at 0x40000
-- Node 0: a root passing volume, pan and pitch on; node 1: an oscillator on
-- default wave 0 (a sine) at unity amplitude, joined by addition.
poke(0x40000, 0x00, 0x01, 0, 0, 1,0,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0)
poke(0x40020, 0x00, 0x02, 0, 0, 0,64,0,0, 1,0,0,0, 1,0,0,0, 1,0,0,0, 0,0,0,0, 0,0,0,0)
note(57, 0, 64)
print("playing pitch 57")
flip()
print("owner", stat(400, 4), stat(400, 1), stat(400, 2))
local t0 = stat(86)
while stat(86) < t0 + 3 do flip() end
print("done")
_signal(33)
while true do flip() end
