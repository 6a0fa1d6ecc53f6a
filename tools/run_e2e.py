#!/usr/bin/env python3
"""Boots the real kestrune binary on one end-to-end case and checks what it prints.

A case is a folder holding case.json and, usually, a userland folder "system/" that is
packed as the system cartridge. case.json keys:
  records    "none" (no sysrom.dat), "name" (record 0 only) or "full" (default)
  name       text of record 0 (default "")
  extra      folder (inside the case) packed as record 2
  args       extra command-line arguments (default ["-x"])
  stdout     the exact standard output expected
  stdout_re  instead of stdout: a regular expression the whole output must match
  env        environment variables to set ("{work}" stands for the work folder)
  audio_hz   [hz, tolerance, file]: the raw 44.1 kHz stereo s16 file the audio device
             wrote (inside the work folder) holds a tone of that frequency
  exit_code  the exit code expected (default 0)
  log        messages expected in the host log, in order ("{work}" stands for the work folder)
  drive_in   folder (inside the case) copied into the data folder's "drive" (mounted at "/")
  drive_out  {path in "drive": exact contents} expected there after the run
The binary runs headless with SDL's dummy drivers, beside its own data pack, with its
data folder inside the work folder.
"""
import argparse
import array
import json
import re
import os
import shutil
import subprocess
import sys


LOG_LINE = re.compile(r"^\[(\d{6,}) (\d{3,})\] (.*)$")


def check_log(path, expected):
    """Every line must have the log's form; the expected messages must appear in order."""
    try:
        with open(path, errors="replace") as f:
            lines = f.read().splitlines()
    except OSError as e:
        return [f"host log: {e}"]
    messages = []
    for line in lines:
        m = LOG_LINE.match(line)
        if m:
            messages.append(m.group(3))
        elif messages:
            messages[-1] += "\n" + line  # a message may hold line ends of its own
        else:
            return [f"host log line not in the log's form: {line!r}"]
    at = 0
    for want in expected:
        while at < len(messages) and messages[at] != want:
            at += 1
        if at == len(messages):
            return [f"host log lacks {want!r} (in order); it holds {messages!r}"]
        at += 1
    return []


def tone_hz(path):
    """Frequency of the left channel's tone: upward zero crossings over the part
    that is not silent, interpolated between samples."""
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    if sys.byteorder != "little":
        samples.byteswap()
    left = samples[0::2]
    loud = [i for i, v in enumerate(left) if abs(v) > 1000]
    if len(loud) < 4410:
        return 0.0
    part = left[loud[0] + 2205:loud[-1] - 2205]
    crossings = []
    for k in range(1, len(part)):
        if part[k - 1] < 0 <= part[k]:
            crossings.append(k - 1 + -part[k - 1] / (part[k] - part[k - 1]))
    if len(crossings) < 2:
        return 0.0
    return (len(crossings) - 1) * 44100.0 / (crossings[-1] - crossings[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrune", required=True)
    ap.add_argument("--pack", required=True)
    ap.add_argument("--case", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--timeout", type=float, default=60)
    opts = ap.parse_args()

    with open(os.path.join(opts.case, "case.json")) as f:
        case = json.load(f)
    shutil.rmtree(opts.work, ignore_errors=True)
    os.makedirs(opts.work)
    binary = os.path.join(opts.work, "kestrune")
    os.symlink(os.path.abspath(opts.kestrune), binary)

    records = case.get("records", "full")
    pack = os.path.join(opts.work, "sysrom.dat")
    if records == "name":
        name = case.get("name", "").encode()
        with open(pack, "wb") as f:
            f.write(len(name).to_bytes(4, "big") + name)
    elif records == "full":
        cmd = [opts.pack, pack, "--name", case.get("name", ""),
               "--system", os.path.join(opts.case, "system")]
        if "extra" in case:
            cmd += ["--extra", os.path.join(opts.case, case["extra"])]
        subprocess.run(cmd, check=True)

    home = os.path.join(opts.work, "home")
    os.makedirs(home)
    drive = os.path.join(opts.work, "data", "Kestrune", "exp", "shared", "drive")
    if "drive_in" in case:
        shutil.copytree(os.path.join(opts.case, case["drive_in"]), drive)
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(opts.work, "data"),
               XDG_DESKTOP_DIR=os.path.join(home, "Desktop"),
               SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
    work = os.path.abspath(opts.work)
    for key, value in case.get("env", {}).items():
        env[key] = value.replace("{work}", work)
    try:
        run = subprocess.run([binary] + case.get("args", ["-x"]), cwd=opts.work, env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=opts.timeout)
    except subprocess.TimeoutExpired:
        print(f"{opts.case}: no exit within {opts.timeout} s")
        return 1

    out = run.stdout.decode(errors="replace")
    failures = []
    if "stdout_re" in case:
        if not re.fullmatch(case["stdout_re"], out, re.S):
            failures.append(f"stdout:\n--- expected to match\n{case['stdout_re']!r}\n--- got\n{out!r}")
    elif out != case["stdout"]:
        failures.append(f"stdout:\n--- expected\n{case['stdout']!r}\n--- got\n{out!r}")
    if "audio_hz" in case:
        hz, tolerance, name = case["audio_hz"]
        try:
            got = tone_hz(os.path.join(work, name))
        except OSError as e:
            got = f"no audio file ({e})"
        if isinstance(got, str) or abs(got - hz) > tolerance:
            failures.append(f"audio: expected a tone of {hz} +- {tolerance} Hz, got {got}")
    want = case.get("exit_code", 0)
    if run.returncode != want:
        failures.append(f"exit code {run.returncode}, expected {want}")
    for rel, want in case.get("drive_out", {}).items():
        try:
            with open(os.path.join(drive, rel), "rb") as f:
                got = f.read().decode(errors="replace")
        except OSError as e:
            got = f"(unreadable: {e})"
        if got != want:
            failures.append(f"drive/{rel}:\n--- expected\n{want!r}\n--- got\n{got!r}")
    log_path = os.path.join(opts.work, "data", "Kestrune", "exp", "shared", "log.txt")
    if "log" in case:
        failures += check_log(log_path, [m.replace("{work}", os.path.abspath(opts.work))
                                         for m in case["log"]])
    if failures:
        print(f"{opts.case}:\n" + "\n".join(failures))
        err = run.stderr.decode(errors="replace")
        if err:
            print("--- stderr\n" + err[-4000:])
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
