#!/usr/bin/env python3
"""Times HexEdit and Compare against their peers, in the same run.

Files: a 1 GiB random file, a copy of it that differs in three bytes near its end, and a
sparse 64 GiB file with a few bytes at its end. Figures (medians of the rounds, inputs
warm in the page cache, tools in alternating order):
  open       bench_hex_load FILE (HexEdit's Load to the first page shown, as a process and
             inside it) against `xxd -l 512 FILE`, on 1 GiB and on the sparse 64 GiB
             (goal under 50 ms)
  page move  one page at the end of the 64 GiB file (goal under 1 ms)
  insert     one byte at the middle of the 1 GiB file (goal under 10 ms)
  save       the 1 GiB file after one edit, against `cp` of it (goal at most 1.5 x)
  compare    the Compare window's engine and `quiva compare` on the 1 GiB pair against
             `cmp` (goal at most 0.5 x)
  memory     peak resident memory with the 64 GiB file open and edited in a few places
             (goal under 100 MiB)

Usage: hexedit_compare_bench.py QUIVA LOADER SCRATCH [--rounds N] [--mib N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def warm(*paths):
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(bytearray(8 << 20)):
                pass


def run(command, ok=(0,)):
    """Runs the command; returns its wall time and its output."""
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.PIPE)
    wall = time.perf_counter() - start
    if done.returncode not in ok:
        sys.exit(f"{command[0]} failed with exit code {done.returncode}")
    return wall, done.stdout.decode()


def figures(output):
    """The driver's "name value" lines."""
    return {name: float(value) for name, value in
            (line.split() for line in output.splitlines() if line.strip())}


def make_random(path, mib):
    if os.path.exists(path) and os.path.getsize(path) == mib << 20:
        return
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(mib):
            f.write(i.to_bytes(8, "little") + block[8:])


def make_changed_copy(source, path):
    shutil.copyfile(source, path)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        for back in (4000, 1500, 10):
            f.seek(size - back)
            old = f.read(1)
            f.seek(size - back)
            f.write(bytes([old[0] ^ 0x5A]))


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(size - 16)
        f.write(b"end of the file!")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quiva")
    parser.add_argument("loader")
    parser.add_argument("scratch")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--keep", action="store_true", help="keep the scratch files")
    args = parser.parse_args()

    os.makedirs(args.scratch, exist_ok=True)
    file_a = os.path.join(args.scratch, "a.bin")
    file_b = os.path.join(args.scratch, "b.bin")
    sparse = os.path.join(args.scratch, "sparse.bin")
    saved = os.path.join(args.scratch, "saved.bin")
    copied = os.path.join(args.scratch, "copied.bin")
    make_random(file_a, args.mib)
    make_changed_copy(file_a, file_b)
    make_sparse(sparse, 64 << 30)

    t = {name: [] for name in ("open1", "open1_in", "xxd1", "open64", "open64_in", "xxd64",
                               "save", "cp", "engine", "quiva", "cmp")}
    for round_no in range(args.rounds):
        flip = round_no % 2 == 1
        warm(file_a, file_b)
        for who in (["peer", "ours"] if flip else ["ours", "peer"]):
            for path, key in ((file_a, "1"), (sparse, "64")):
                if who == "ours":
                    wall, out = run([args.loader, path])
                    t["open" + key].append(wall)
                    t["open" + key + "_in"].append(figures(out)["load_us"] / 1e6)
                else:
                    t["xxd" + key].append(run(["xxd", "-l", "512", path])[0])
        for who in (["peer", "ours"] if flip else ["ours", "peer"]):
            subprocess.run(["sync"], check=True)
            warm(file_a)
            if who == "ours":
                t["save"].append(figures(run([args.loader, file_a, "--save", saved])[1])["save_s"])
                os.remove(saved)
            else:
                t["cp"].append(run(["cp", file_a, copied])[0])
                os.remove(copied)
        tools = ["engine", "quiva", "cmp"]
        for who in (reversed(tools) if flip else tools):
            warm(file_a, file_b)
            if who == "engine":
                t["engine"].append(
                    figures(run([args.loader, file_a, "--compare", file_b])[1])["compare_s"])
            elif who == "quiva":
                t["quiva"].append(run([args.quiva, "compare", file_a, file_b], ok=(1,))[0])
            else:
                t["cmp"].append(run(["cmp", file_a, file_b], ok=(1,))[0])

    moves = figures(run([args.loader, sparse, "--pages", "2000"])[1])
    insert = [figures(run([args.loader, file_a, "--insert"])[1])["insert_us"]
              for _ in range(args.rounds)]
    memory = figures(run([args.loader, sparse, "--pages", "200", "--insert", "--edits", "8"])[1])

    med = {name: statistics.median(values) for name, values in t.items()}
    ms = 1000.0
    print(f"{args.rounds} rounds, medians; inputs warm; ratio = ours / peer; "
          f"load average {os.getloadavg()[0]:.2f} (a shared machine)")
    for key, size in (("1", f"{args.mib} MiB"), ("64", "sparse 64 GiB")):
        print(f"open {size:<14}: process {med['open' + key] * ms:7.2f} ms, Load to the first "
              f"page {med['open' + key + '_in'] * ms:7.3f} ms; xxd -l 512 "
              f"{med['xxd' + key] * ms:7.2f} ms; ratio (process) "
              f"{med['open' + key] / med['xxd' + key]:5.2f}; goal < 50 ms")
    print(f"page move at the end of 64 GiB : {moves['end_page_us'] / 1000:.4f} ms "
          f"(spread over the file {moves['page_us'] / 1000:.4f} ms); goal < 1 ms")
    print(f"insert 1 byte at the middle    : {statistics.median(insert) / 1000:.4f} ms; "
          f"goal < 10 ms")
    print(f"save {args.mib} MiB after one edit : {med['save']:.3f} s; cp {med['cp']:.3f} s; "
          f"ratio {med['save'] / med['cp']:.2f}; goal <= 1.5")
    print(f"compare engine, {args.mib} MiB pair : {med['engine']:.3f} s; cmp {med['cmp']:.3f} s; "
          f"ratio {med['engine'] / med['cmp']:.2f}; goal <= 0.5")
    print(f"quiva compare, same pair        : {med['quiva']:.3f} s; "
          f"ratio {med['quiva'] / med['cmp']:.2f}")
    print(f"peak memory, 64 GiB open, paged and edited: {memory['rss_kib'] / 1024:.1f} MiB; "
          f"goal < 100 MiB")
    for name, values in t.items():
        print(f"  rounds {name:<9} {' '.join(f'{v:.4f}' for v in values)}")

    if not args.keep:
        for path in (file_a, file_b, sparse):
            os.remove(path)


if __name__ == "__main__":
    main()
