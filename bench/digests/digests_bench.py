#!/usr/bin/env python3
"""Times `quiva checksum` against rhash and coreutils on the same file in the same run.

Compared, on one random file (1 GiB by default), each run with the file warm in the page
cache:
  - `quiva checksum FILE` (all five: CRC32, MD5, SHA1, SHA256, Quivash, one read)
  - `quiva checksum --algo crc32,md5,sha1,sha256 FILE` (the four rhash computes)
  - `rhash --crc32 --md5 --sha1 --sha256 FILE` (four digests, one pass)
  - `md5sum FILE; sha1sum FILE; sha256sum FILE` one after the other (times summed)
  - `quiva checksum --algo quivash FILE` (the kit's own digest alone, for reference)
Prints the median of each and the ratios ours / peer (below 1.0: ours is faster). The
digests are checked against rhash's once.

Usage: digests_bench.py QUIVA SCRATCH_DIR [--size-mib N] [--rounds N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def warm(path):
    """Reads the file once so that the timed run finds it in memory."""
    with open(path, "rb", buffering=0) as f:
        buffer = bytearray(8 << 20)
        while f.readinto(buffer):
            pass


def timed(command):
    """Runs the command with its output discarded; returns (wall, cpu) seconds, cpu being
    user + system time, which suffers less than wall time when others share the machine."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(command)} failed")
    return wall, usage.ru_utime + usage.ru_stime


def make_source(path, size_mib):
    """Random content; each MiB differs from the others."""
    if os.path.exists(path) and os.path.getsize(path) == size_mib << 20:
        return
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(size_mib):
            f.write(i.to_bytes(8, "little") + block[8:])


def check_digests(quiva, source):
    """Our four published digests must equal rhash's."""
    ours = subprocess.run([quiva, "checksum", "--algo", "crc32,md5,sha1,sha256", source],
                          capture_output=True, text=True, check=True).stdout.split()
    theirs = subprocess.run(["rhash", "--printf=%c %m %h %{sha-256}\\n", source],
                            capture_output=True, text=True, check=True).stdout.split()
    ours_hex = [ours[i].upper() for i in range(0, len(ours), 2)]
    if ours_hex != [h.upper() for h in theirs]:
        sys.exit(f"digests differ: quiva {ours_hex} rhash {theirs}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quiva")
    parser.add_argument("scratch")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the scratch file")
    args = parser.parse_args()
    for tool in ("rhash", "md5sum", "sha1sum", "sha256sum"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing (scripts/setup.sh installs it)")

    os.makedirs(args.scratch, exist_ok=True)
    source = os.path.join(args.scratch, "digests.bin")
    make_source(source, args.size_mib)
    check_digests(args.quiva, source)

    runs = {
        "quiva all five": [[args.quiva, "checksum", source]],
        "quiva four": [[args.quiva, "checksum", "--algo", "crc32,md5,sha1,sha256", source]],
        "rhash four": [["rhash", "--crc32", "--md5", "--sha1", "--sha256", source]],
        "md5+sha1+sha256sum": [["md5sum", source], ["sha1sum", source], ["sha256sum", source]],
        "quiva quivash": [[args.quiva, "checksum", "--algo", "quivash", source]],
    }
    wall = {name: [] for name in runs}
    cpu = {name: [] for name in runs}
    names = list(runs)
    for round_no in range(args.rounds):
        # Each round starts with another tool, so no tool always runs first.
        order = names[round_no % len(names):] + names[:round_no % len(names)]
        for name in order:
            total_wall = total_cpu = 0.0
            for command in runs[name]:
                warm(source)
                w, c = timed(command)
                total_wall += w
                total_cpu += c
            wall[name].append(total_wall)
            cpu[name].append(total_cpu)

    med_wall = {name: statistics.median(wall[name]) for name in names}
    med_cpu = {name: statistics.median(cpu[name]) for name in names}
    print(f"{args.size_mib} MiB random file, {args.rounds} rounds, medians, input warm; "
          f"{os.cpu_count()} cores; load {os.getloadavg()[0]:.2f}")
    for name in names:
        print(f"  {name:<20} wall {med_wall[name]:6.3f} s   cpu {med_cpu[name]:6.3f} s   "
              f"rounds {' '.join(f'{t:.3f}' for t in wall[name])}")

    def ratio(ours, peer):
        print(f"  {ours} / {peer}: wall {med_wall[ours] / med_wall[peer]:.2f}   "
              f"cpu {med_cpu[ours] / med_cpu[peer]:.2f}")

    print("ratios (ours / peer; target: all five in no more time than rhash's four):")
    ratio("quiva all five", "rhash four")
    ratio("quiva four", "rhash four")
    ratio("quiva all five", "md5+sha1+sha256sum")

    if not args.keep:
        os.remove(source)


if __name__ == "__main__":
    main()
