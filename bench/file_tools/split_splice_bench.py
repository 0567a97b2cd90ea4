#!/usr/bin/env python3
"""Times `quiva split` against GNU `split` and `quiva splice` against `cat`.

Both tools run on the same 1 GiB file in the same run, for several rounds; the input is
read once before every timed run so that it is warm in the page cache. Prints the median
of each tool and the ratio ours / peer (below 1.0: ours is faster).

Usage: split_splice_bench.py QUIVA SCRATCH_DIR [--size-mib N] [--rounds N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

PIECE = "100M"
PIECE_BYTES = 100 * 1024 * 1024


def warm(*paths):
    """Reads the files once so that the timed run finds them in memory."""
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(bytearray(8 << 20)):
                pass


def untimed_copy(pieces, scratch):
    """Writes the pieces once to a file that is removed again. On this machine the first
    large write after a pause is much slower than the next, whoever does it; this makes
    every timed run a 'next' one, so that the order of the tools does not decide."""
    dummy = os.path.join(scratch, "untimed.bin")
    with open(dummy, "wb") as f:
        subprocess.run(["cat"] + pieces, stdout=f, check=True)
    os.remove(dummy)


def settle():
    """Writes dirty pages out so that one run's write-back does not slow the next."""
    subprocess.run(["sync"], check=True)


def timed(command, cpu, **kwargs):
    """Runs the command; returns its wall time and appends its CPU time (user + system)
    to `cpu`. CPU time suffers less than wall time when other work shares the machine."""
    start = time.perf_counter()
    child = subprocess.Popen(command, **kwargs)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{command[0]} failed with exit code {child.returncode}")
    cpu.append(usage.ru_utime + usage.ru_stime)
    return wall


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def make_source(path, size_mib):
    """Random content, so that no file system shortcut for zeros can help either tool."""
    if os.path.exists(path) and os.path.getsize(path) == size_mib << 20:
        return
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(size_mib):
            # Vary each block a little so the file does not repeat every MiB.
            f.write(i.to_bytes(8, "little") + block[8:])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quiva")
    parser.add_argument("scratch")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--keep", action="store_true", help="keep the scratch files")
    args = parser.parse_args()

    os.makedirs(args.scratch, exist_ok=True)
    source = os.path.join(args.scratch, "big.bin")
    ours_dir = os.path.join(args.scratch, "ours")
    peer_dir = os.path.join(args.scratch, "peer")
    make_source(source, args.size_mib)
    count = -(-(args.size_mib << 20) // PIECE_BYTES)

    split_ours, split_peer, splice_ours, splice_peer = [], [], [], []
    cpu = {id(x): [] for x in (split_ours, split_peer, splice_ours, splice_peer)}
    for round_no in range(args.rounds):
        # Split: ours first in even rounds, the peer first in odd ones.
        order = [("ours", split_ours), ("peer", split_peer)]
        if round_no % 2:
            order.reverse()
        for who, times in order:
            folder = ours_dir if who == "ours" else peer_dir
            fresh(folder)
            untimed_copy([source], args.scratch)
            settle()
            warm(source)
            if who == "ours":
                command = [args.quiva, "split", source, folder, "--size", PIECE,
                           "--max-count", str(max(count, 2))]
            else:
                command = ["split", "-b", PIECE, "-a", "3", "-d", source,
                           os.path.join(folder, "big.bin.")]
            times.append(timed(command, cpu[id(times)]))

        # Splice the pieces each tool made, ours with quiva, the peer's with cat.
        ours_pieces = sorted(os.path.join(ours_dir, n) for n in os.listdir(ours_dir))
        peer_pieces = sorted(os.path.join(peer_dir, n) for n in os.listdir(peer_dir))
        ours_out = os.path.join(args.scratch, "joined-ours.bin")
        peer_out = os.path.join(args.scratch, "joined-peer.bin")
        order = [("ours", splice_ours), ("peer", splice_peer)]
        if round_no % 2:
            order.reverse()
        for who, times in order:
            untimed_copy(peer_pieces, args.scratch)
            out = ours_out if who == "ours" else peer_out
            pieces = ours_pieces if who == "ours" else peer_pieces
            settle()
            warm(*pieces)
            if who == "ours":
                times.append(timed([args.quiva, "splice", out] + pieces, cpu[id(times)]))
            else:
                with open(out, "wb") as f:
                    times.append(timed(["cat"] + pieces, cpu[id(times)], stdout=f))
            if os.path.getsize(out) != os.path.getsize(source):
                sys.exit(f"{out} has the wrong size")
            if round_no == 0 and subprocess.run(["cmp", "-s", source, out]).returncode != 0:
                sys.exit(f"{out} differs from the source")
            # Removed at once, so that each run finds the same memory free: pages touched
            # for the first time are slow on some machines.
            os.remove(out)

    def report(name, ours, peer, peer_name):
        m_ours = statistics.median(ours)
        m_peer = statistics.median(peer)
        c_ours = statistics.median(cpu[id(ours)])
        c_peer = statistics.median(cpu[id(peer)])
        print(f"{name:<7} wall: quiva {m_ours:6.3f} s  {peer_name:<9} {m_peer:6.3f} s  "
              f"ratio {m_ours / m_peer:5.2f} | cpu: quiva {c_ours:6.3f} s  "
              f"{peer_name:<9} {c_peer:6.3f} s  ratio {c_ours / c_peer:5.2f}")
        print(f"        rounds (wall): {'quiva':<9} {' '.join(f'{t:.3f}' for t in ours)}")
        print(f"                       {peer_name:<9} {' '.join(f'{t:.3f}' for t in peer)}")

    def startup(command):
        """Median wall time of starting the program and doing nothing else."""
        times = []
        for _ in range(21):
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            times.append(time.perf_counter() - start)
        return statistics.median(times)

    load = os.getloadavg()[0]
    print(f"{args.size_mib} MiB source, {PIECE} pieces, {args.rounds} rounds, medians; input "
          f"warm; ratio = quiva / peer (at most 1.0 is the target); load {load:.2f}")
    report("split", split_ours, split_peer, "GNU split")
    report("splice", splice_ours, splice_peer, "cat")
    print(f"start-up alone (included above): quiva {startup([args.quiva, '--version']) * 1000:.1f} ms, "
          f"cat {startup(['cat', '--version']) * 1000:.1f} ms, "
          f"split {startup(['split', '--version']) * 1000:.1f} ms")

    if not args.keep:
        shutil.rmtree(ours_dir, ignore_errors=True)
        shutil.rmtree(peer_dir, ignore_errors=True)
        os.remove(source)


if __name__ == "__main__":
    main()
