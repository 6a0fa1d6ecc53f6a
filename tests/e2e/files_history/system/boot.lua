-- The file history through the script API: switched on by the settings, a
-- file stored in two versions a second apart, the first fetched back by its
-- time (with and without the "yorelog://" form), the second as it stands.
local plain = '--[[tuk_format="raw", metadata_format="none"]]'
_apply_system_settings({ yorelog = true })
store("/notes.txt", "first version", plain)
local first = date()
repeat flip() until date() ~= first
store("/notes.txt", "second version", plain)
local second = date()
print(_fetch_yorelog("/notes.txt@" .. first))
print(_fetch_yorelog("yorelog:///notes.txt@" .. second))
print(fullpath("yorelog:///notes.txt@" .. first) == "yorelog:///notes.txt@" .. first)
print(_fetch_yorelog("/notes.txt@2024-13-40 99:99:99"), _fetch_yorelog("/notes.txt"))
_signal(33)
while true do flip() end
