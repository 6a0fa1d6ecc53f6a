#!/usr/bin/env python3
"""matmul, matmul3d, matmul2d, dot and cross on the real binary, bit for bit against pure Python.

Makes random f64 operands (seeded), writes a userland whose boot.lua computes the products
and prints each result element's 64-bit pattern, computes the same patterns here with
Python floats in the same order of operations, and boots the case through run_e2e.py.
"""
import argparse
import json
import os
import random
import struct
import subprocess
import sys


def bits(x):
    return struct.unpack("<q", struct.pack("<d", x))[0]


def rand_value(rng):
    r = rng.random()
    if r < 0.05:
        return -0.0
    if r < 0.08:
        return 0.0
    if r < 0.10:
        return rng.choice([5e-324, -5e-324, 2.2250738585072014e-308])
    if r < 0.20:
        return float(rng.randint(-9, 9))
    return rng.uniform(-1, 1) * 2.0 ** rng.randint(-40, 40)


def rand_matrix(rng, w, h):
    return [rand_value(rng) for _ in range(w * h)]


def lua_matrix(values, w, h):
    return 'userdata("f64", %d, %d, "%s")' % (w, h, ",".join(repr(v) for v in values))


def matmul(a, b, aw, ah, bw):
    d = []
    for i in range(ah):
        for j in range(bw):
            s = 0.0
            for k in range(aw):
                s = s + a[i * aw + k] * b[k * bw + j]
            d.append(s)
    return d


def affine(a, aw, rows, m, mw, n):
    """matmul3d (n 3) and matmul2d (n 2): row vectors by m, the translation row added last
    to a point and to the last row of a matrix only."""
    out = []
    for r in range(rows):
        row = []
        for k in range(n):
            s = a[r * aw] * m[k]
            for i in range(1, n):
                s = s + a[r * aw + i] * m[i * mw + k]
            if rows == 1 or r == n:
                s = s + m[n * mw + k]
            row.append(s)
        out.append(row)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", required=True)
    ap.add_argument("--pack", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--seed", type=int, default=120)
    opts = ap.parse_args()
    rng = random.Random(opts.seed)

    lua = ['local function out(u, n)',
           '  local t = {}',
           '  for i = 0, (n or #u) - 1 do t[#t + 1] = string.unpack("<i8", string.pack("<d", u[i])) end',
           '  print(table.concat(t, " "))',
           'end',
           'local function num(x) print((string.unpack("<i8", string.pack("<d", x)))) end']
    want = []

    shapes = [(1, 1, 1), (3, 2, 2), (2, 3, 4), (7, 5, 6), (17, 24, 9), (32, 1, 32), (1, 40, 1),
              (40, 3, 3), (6, 2, 7), (9, 4, 8)]
    for aw, ah, bw in shapes:
        a, b = rand_matrix(rng, aw, ah), rand_matrix(rng, bw, aw)
        lua.append("out(%s:matmul(%s))" % (lua_matrix(a, aw, ah), lua_matrix(b, bw, aw)))
        want.append(matmul(a, b, aw, ah, bw))
    # In place on square operands: the product of the values before the call.
    a, b = rand_matrix(rng, 5, 5), rand_matrix(rng, 5, 5)
    lua.append("local a = %s a:matmul(a, true) out(a)" % lua_matrix(a, 5, 5))
    want.append(matmul(a, a, 5, 5, 5))
    lua.append("local a, b = %s, %s b:matmul(a, b) out(b)" % (lua_matrix(a, 5, 5), lua_matrix(b, 5, 5)))
    want.append(matmul(b, a, 5, 5, 5))

    for n in (3, 2):
        method = "matmul3d" if n == 3 else "matmul2d"
        for rows in (1, n + 1):
            for width in (n, n + 2):
                a, m = rand_matrix(rng, width, rows), rand_matrix(rng, n + 1, n + 1)
                lua.append("local a = %s a:%s(%s, true) out(a)" % (lua_matrix(a, width, rows), method,
                                                                 lua_matrix(m, n + 1, n + 1)))
                got = list(a)
                for r, row in enumerate(affine(a, width, rows, m, n + 1, n)):
                    got[r * width:r * width + n] = row
                want.append(got)

    for length in (1, 3, 10, 100):
        a, b = rand_matrix(rng, length, 1), rand_matrix(rng, length + 2, 1)
        lua.append("num(%s:dot(%s))" % (lua_matrix(a, length, 1), lua_matrix(b, length + 2, 1)))
        s = 0.0
        for i in range(length):
            s = s + a[i] * b[i]
        want.append([s])
    for _ in range(6):
        a, b = rand_matrix(rng, 3, 1), rand_matrix(rng, 4, 1)
        lua.append("out(%s:cross(%s))" % (lua_matrix(a, 3, 1), lua_matrix(b, 4, 1)))
        want.append([a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0], b[3]])
    lua += ["_signal(33)", "while true do flip() end", ""]

    case = os.path.join(opts.work, "case")
    os.makedirs(os.path.join(case, "system"), exist_ok=True)
    with open(os.path.join(case, "system", "boot.lua"), "w") as f:
        f.write("\n".join(lua))
    stdout = "".join(" ".join(str(bits(x)) for x in row) + "\n" for row in want)
    with open(os.path.join(case, "case.json"), "w") as f:
        json.dump({"stdout": stdout, "exit_code": 0}, f)
    runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "run_e2e.py")
    return subprocess.run([sys.executable, runner, "--kestrune", opts.kestrune, "--pack", opts.pack,
                           "--case", case, "--work", os.path.join(opts.work, "run")]).returncode


if __name__ == "__main__":
    sys.exit(main())
