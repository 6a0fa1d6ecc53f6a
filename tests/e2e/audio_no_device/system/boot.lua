-- Without an audio device the system runs on silently: sound calls still work.
poke(0x5538, 64)
local frames = 0
while true do
  frames = frames + 1
  note(60)
  sfx(0)
  music(0)
  if frames == 30 then
    print("frame " .. frames .. " pitch " .. stat(400, 4))
    _signal(33)
  end
  flip()
end
