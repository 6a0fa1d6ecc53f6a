-- Files through the script API, across one reboot: object data with metadata
-- headers, raw text, png images, listing, folders, copying, deleting, the
-- working directory, mounts, the cache folder, and a text cartridge on the
-- host edited (with a cartridge inside it) and written back.
local boots = (tonumber(_get_userland_clipboard_text()) or 0) + 1
_set_userland_clipboard_text(boots)
print("boot " .. boots)

if boots == 2 then
  -- RAM files are gone; the cartridge kept its changes.
  print("ram after reboot:", fetch("/ram/t.tuk"))
  print("cart after reboot:", fetch("/game.kvt/main.lua"))
  print("inner after reboot:", fetch("/game.kvt/inner.kvt/note.txt"))
  print("files:", table.concat(ls("/game.kvt"), " "))
  _signal(33)
  while true do flip() end
end

local raw = '--[[tuk_format="raw"]]'
local bare = '--[[tuk_format="raw", metadata_format="none"]]'

-- object data and metadata headers
store("/ram/t.tuk", { a = 1, b = { 2, 3 } })
local t, meta = fetch("/ram/t.tuk")
print("tuk:", t.a, t.b[2], type(meta))
store("/ram/m.txt", "hi", raw)
local text, header = fetch("/ram/m.txt")
print("raw:", text, header.tuk_format, _fetch_metadata_from_file("/ram/m.txt").tuk_format)
store("/ram/bare.txt", "line1\r\nline2", bare)
print("bare:", fetch("/ram/bare.txt"))
_store_metadata_str_to_file("/ram/m.txt", '--[[tuk_format="raw",author="me"]]\n')
print("replaced:", _fetch_metadata_from_file("/ram/m.txt").author, (fetch("/ram/m.txt")))
_store_metadata_str_to_file("/ram/new.txt", "created")
print("created:", fetch("/ram/new.txt"))
local cyc = {} cyc.self = cyc
store("/ram/m.txt", cyc)
print("cyclic store leaves:", (fetch("/ram/m.txt")))

-- png images as userdata
local img = userdata("i32", 2, 1)
img:set(0, 0, 0x123456, 0xabcdef)
store("/ram/p.png", img)
local back = fetch("/ram/p.png")
print(("png: %dx%d %06x %06x"):format(back:width(), back:height(), back:get(0, 0), back:get(1, 0)))
store("/ram/bad.png", "not an image")
print("bad png store:", fetch("/ram/bad.png"))

-- folders, listing, copying, deleting
mkdir("/ram/d")
for _, n in ipairs({ "b10", "b9" }) do store("/ram/d/" .. n, n) end
mkdir("/ram/d/A")
mkdir("/ram/d/a.kvt")
local names, folders = ls("/ram/d")
print("ls:", table.concat(names, " "), folders)
print(mkdir("/ram/d"), mkdir(), mkdir("bad path"))
print("fstat:", fstat("/ram/d/b9"))
print("fstat:", fstat("/ram"))
print("fstat:", fstat("/nothing/here"))
cp("/ram/d/b9", "/ram/d/copy")
print("copy:", fetch("/ram/d/copy"), (fstat("/ram/d/copy")))
_fdelete("/ram/d/copy")
print("deleted:", fstat("/ram/d/copy"))

-- working directory and paths
print("cd:", cd("nowhere"), pwd())
cd("/ram/d")
print("cd:", pwd(), fetch("b9"), fullpath("x/../y"))
cd("..")
print("cd:", pwd(), fullpath("yorelog://a@b"), fullpath("a b"))
print("norm:", _normalise_userland_path("https://host//x/./y/../z"))
print("bbs:", _is_well_formed_bbs_path("abcdefg/h_1.2"), _is_well_formed_bbs_path("abcdef-"),
  _is_well_formed_bbs_path("ABCDEFg"))
mount("/m", "/ram/d")
print("mount:", table.concat(ls("/m"), " "), fetch("/m/b10"), fstat("/m"))

-- the cache folder takes single names only
_cache_store("carts", "x.bin", string.rep("z", 600))
_cache_store("carts", "short.bin", "z")
_cache_store("..", "escape.bin", string.rep("z", 600))
print("cache:", #_cache_fetch("carts", "x.bin"), _cache_fetch("carts", "short.bin"),
  _cache_fetch("carts", "../carts/x.bin"), _cache_fetch("..", "escape.bin"))

-- a text cartridge on the host: read, edited, nested
print("cart:", fetch("/game.kvt/main.lua"))
print("files:", table.concat(ls("/game.kvt"), " "))
store("/game.kvt/main.lua", 'print("v2")\n', bare)
mkdir("/game.kvt/inner.kvt")
store("/game.kvt/inner.kvt/note.txt", "inside", bare)
-- "rf": the cartridge file as it stands after every change so far
print("cart bytes:\n" .. fetch("/game.kvt"))
local kind, size, where = fstat("/game.kvt")
print("cartridge fstat:", kind, size, where:sub(1, 11))

-- storing a whole cartridge over a mounted one replaces it
store("/ram/c.kvt/old.txt", "old", bare)
store("/ram/c.kvt", fetch("/game.kvt"))
print("replaced cart:", table.concat(ls("/ram/c.kvt"), " "))

_signal(34)
while true do flip() end
