#!/usr/bin/env python3
"""Kills the system with SIGKILL while it rewrites two large cartridges every frame.

A userland keeps a text-form cartridge (about 1.4 MB) and a rom-form cartridge (about
1 MB of bytes LZ4 cannot shrink) in the data folder's drive and rewrites both every frame
(a changed version file, then fstat, which writes them back at once). The script kills the
binary at random moments, checks after every kill that both cartridges decode whole (the
same version in both or one frame apart, never going back), then lets one ordinary run
rewrite them and exit, and checks that nothing but the cartridges is left in the drive.

    tools/kill_writeback.py --kestrune build-release/kestrune --pack build-release/kvt_pack
"""
import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIG_LINES = 26500  # about 1.4 MB of text
BOOT_LUA = r"""
local bare = '--[[tuk_format="raw", metadata_format="none"]]'
if not fstat("/text.kvt/big.txt") then
  mkdir("/text.kvt")
  mkdir("/rom.kvt.rom")
  local lines = {}
  for i = 1, %d do lines[i] = string.format("%%07d the quick brown fox jumps over the lazy dog\n", i) end
  store("/text.kvt/big.txt", table.concat(lines), bare)
  -- 100 KB of noise ten times over: each repeat is past LZ4's reach
  local bytes, parts = {}, {}
  for i = 1, 100000 do bytes[i] = math.random(0, 255) end
  for i = 1, 100000, 1000 do parts[#parts + 1] = string.char(table.unpack(bytes, i, i + 999)) end
  store("/rom.kvt.rom/big.bin", string.rep(table.concat(parts), 10), bare)
end
local ordinary = fstat("/ordinary.txt") ~= nil
local n = tonumber((fetch("/text.kvt/v.txt"))) or 0
for frame = 1, math.maxinteger do
  n = n + 1
  store("/text.kvt/v.txt", tostring(n), bare)
  store("/rom.kvt.rom/v.txt", tostring(n), bare)
  fstat("/text.kvt") -- writes back every changed cartridge now
  if ordinary and frame == 10 then
    print("ordinary run ended at version " .. n)
    _signal(33)
  end
  flip()
end
""" % BIG_LINES


def big_text():
    return b"".join(b"%07d the quick brown fox jumps over the lazy dog\n" % i
                    for i in range(1, BIG_LINES + 1))


def lz4_block(src):
    out = bytearray()
    i = 0

    def length(n):
        nonlocal i
        if n == 15:
            while True:
                b = src[i]
                i += 1
                n += b
                if b != 255:
                    break
        return n

    while True:
        token = src[i]
        i += 1
        lit = length(token >> 4)
        if i + lit > len(src):
            raise ValueError("literals past the block")
        out += src[i:i + lit]
        i += lit
        if i == len(src):
            return bytes(out)
        offset = src[i] | src[i + 1] << 8
        i += 2
        if offset == 0 or offset > len(out):
            raise ValueError("bad match offset")
        n = length(token & 15) + 4
        while n > 0:
            piece = out[len(out) - offset:len(out) - offset + min(n, offset)]
            out += piece
            n -= len(piece)


def text_form(data):
    """{name: body} of a text-form cartridge holding plain bodies only."""
    head = b"kestrune cartridge // "
    if not data.startswith(head) or b"\nversion 2\n\n" not in data[:200]:
        raise ValueError("no header")
    rest = data[data.index(b"\nversion 2\n\n") + len(b"\nversion 2\n\n"):]
    parts = (b"\n" + rest).split(b"\n:: ")[1:]
    if not parts or parts[-1] != b"[eoc]\n":
        raise ValueError("no end line")
    files = {}
    for p in parts[:-1]:
        name, _, body = p.partition(b"\n")
        files[name.decode()] = body
    return files


def rom_form(data):
    if data[:3] != b"kvt" or len(data) < 8:
        raise ValueError("no magic")
    n = int.from_bytes(data[4:8], "little")
    if 8 + n != len(data):
        raise ValueError("payload length %d, file %d" % (n, len(data)))
    payload = lz4_block(data[8:])
    files, i = {}, 0
    while i < len(payload):
        end = payload.index(b"\0", i)
        name = payload[i:end].decode()
        i = end + 1
        size = payload[i]
        i += 1
        if size == 255:
            size = int.from_bytes(payload[i:i + 4], "little")
            i += 4
        if i + size > len(payload):
            raise ValueError("entry past the payload")
        files[name] = payload[i:i + size]
        i += size
    return files


def check(drive, text, seen):
    """The versions of both cartridges, or raises on a cartridge that is not whole."""
    with open(os.path.join(drive, "text.kvt"), "rb") as f:
        t = text_form(f.read())
    with open(os.path.join(drive, "rom.kvt.rom"), "rb") as f:
        r = rom_form(f.read())
    if t.get("big.txt") != text:
        raise ValueError("text cartridge: big.txt is not the text written")
    big = r.get("big.bin", b"")
    if len(big) != 1000000 or big != big[:100000] * 10:
        raise ValueError("rom cartridge: big.bin is not the bytes written")
    if seen.setdefault("big.bin", big) != big:
        raise ValueError("rom cartridge: big.bin changed")
    vt, vr = int(t["v.txt"]), int(r["v.txt"])
    if abs(vt - vr) > 1:
        raise ValueError("versions %d and %d" % (vt, vr))
    return vt, vr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", required=True)
    ap.add_argument("--pack", required=True)
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--work", default=None, help="work folder (default: a fresh temporary one)")
    opts = ap.parse_args()
    seed = opts.seed if opts.seed is not None else int(time.time())
    rng = random.Random(seed)
    work = opts.work or tempfile.mkdtemp(prefix="kestrune-kill-")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "system"))
    with open(os.path.join(work, "system", "boot.lua"), "w") as f:
        f.write(BOOT_LUA)
    binary = os.path.join(work, "kestrune")
    os.symlink(os.path.abspath(opts.kestrune), binary)
    subprocess.run([opts.pack, os.path.join(work, "sysrom.dat"), "--name", "",
                    "--system", os.path.join(work, "system")], check=True)
    home = os.path.join(work, "home")
    drive = os.path.join(work, "data", "Kestrune", "exp", "shared", "drive")
    os.makedirs(home)
    os.makedirs(drive)
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(work, "data"),
               SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
    cartridges = {"text.kvt", "rom.kvt.rom"}

    def start(out=subprocess.DEVNULL):
        return subprocess.Popen([binary, "-x"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)

    # The first run makes both cartridges: it is stopped once they hold a version.
    text = big_text()
    seen = {}
    p = start()
    until = time.monotonic() + 60
    while time.monotonic() < until:
        try:
            check(drive, text, seen)
            break
        except (ValueError, IndexError, KeyError, OSError):
            time.sleep(0.05)
    p.send_signal(signal.SIGKILL)
    p.wait()

    failures = []
    last = (0, 0)
    most_left = 0
    kills_leaving = 0
    for kill in range(opts.kills):
        p = start()
        time.sleep(rng.uniform(0.3, 4.0))
        p.send_signal(signal.SIGKILL)
        p.wait()
        left = sorted(set(os.listdir(drive)) - cartridges)
        most_left = max(most_left, len(left))
        kills_leaving += bool(left)
        try:
            v = check(drive, text, seen)
            if min(v) < min(last):
                raise ValueError("went back from %s to %s" % (last, v))
            last = v
            print("kill %2d: whole at versions %d/%d; left: %s" % (kill + 1, v[0], v[1], left or "nothing"))
        except (ValueError, IndexError, KeyError, OSError) as e:
            failures.append("kill %d: %s" % (kill + 1, e))
            print("kill %2d: BROKEN: %s" % (kill + 1, e))

    with open(os.path.join(drive, "ordinary.txt"), "w") as f:
        f.write("x")
    cartridges.add("ordinary.txt")
    p = start(subprocess.PIPE)
    try:
        out, _ = p.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        p.kill()
        out, _ = p.communicate()
        failures.append("the ordinary run did not end")
    print(out.decode(errors="replace").strip())
    try:
        v = check(drive, text, seen)
        print("after the ordinary run: whole at versions %d/%d" % v)
    except (ValueError, IndexError, KeyError, OSError) as e:
        failures.append("after the ordinary run: %s" % e)
    left = sorted(set(os.listdir(drive)) - cartridges)
    if left:
        failures.append("left in the drive after the ordinary run: %s" % left)
    print("seed %d: %d kills, a temporary file there after %d, at most %d at once; after the ordinary run: %s"
          % (seed, opts.kills, kills_leaving, most_left, left or "nothing"))
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        return 1
    if not opts.work:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
