#!/usr/bin/env python3
"""Times start-up: the command line's against `cat`, the desktop program's first paints.

Command line: `quiva --version`, `quiva checksum --algo crc32 F` and `cat F` of a 1-byte
file F, run in alternating order in the same rounds; prints the minimum and median wall
time of each and the ratio ours / cat of the medians. Wall time on a shared machine is
noisy: the minimum says what a start costs, the median what it costs on this machine now.

Desktop: the first-paint driver starts the main window as the program does (offscreen,
in a fresh program folder) and prints the time from its start to the main window's first
paint, then from picking each of the twelve tools to its window's first paint, and its
resident memory; the medians over the rounds are printed with the targets (300 ms, 50 ms).

Usage: startup_bench.py QUIVA DRIVER SCRATCH [--rounds N] [--paint-rounds N]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quiva")
    parser.add_argument("driver")
    parser.add_argument("scratch")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--paint-rounds", type=int, default=5)
    args = parser.parse_args()

    os.makedirs(args.scratch, exist_ok=True)
    small = os.path.join(args.scratch, "one-byte")
    with open(small, "wb") as f:
        f.write(b"x")
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(args.scratch, "xdg"))

    commands = {
        "quiva --version": [args.quiva, "--version"],
        "quiva checksum --algo crc32": [args.quiva, "checksum", "--algo", "crc32", small],
        "cat": ["cat", small],
    }
    times = {name: [] for name in commands}
    names = list(commands)
    for round_no in range(args.rounds):
        order = names if round_no % 2 == 0 else list(reversed(names))
        for name in order:
            times[name].append(timed(commands[name], env=env))
    peer = statistics.median(times["cat"])
    print(f"command line start-up, {args.rounds} rounds (wall ms: min / median; ratio of "
          f"medians to cat)")
    for name in names:
        t = times[name]
        print(f"  {name:<30} {min(t) * 1e3:6.2f} / {statistics.median(t) * 1e3:6.2f} ms"
              f"  ratio {statistics.median(t) / peer:5.2f}")

    main_ms, tools, rss = [], {}, {}
    for _ in range(args.paint_rounds):
        folder = os.path.join(args.scratch, "paint")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        paint_env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_DATA_HOME=folder,
                         XDG_RUNTIME_DIR=folder, QUIVA_BENCH_T0=str(time.monotonic_ns()))
        out = subprocess.run([args.driver], env=paint_env, capture_output=True, check=True,
                             text=True).stdout
        for line in out.splitlines():
            key, value = line.rsplit(" ", 1)
            if key == "main":
                main_ms.append(float(value))
            elif key.startswith("tool "):
                tools.setdefault(key[5:], []).append(float(value))
            else:
                rss.setdefault(key, []).append(int(value))
    print(f"desktop program, {args.paint_rounds} rounds (ms: min / median)")
    print(f"  main window first paint        {min(main_ms):6.1f} / "
          f"{statistics.median(main_ms):6.1f}   (target < 300)")
    for name, t in tools.items():
        print(f"  {name:<30} {min(t):6.1f} / {statistics.median(t):6.1f}   (target < 50)")
    for key, values in rss.items():
        print(f"  {key:<30} {statistics.median(values) / 1024:6.1f} MiB")
    shutil.rmtree(args.scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
