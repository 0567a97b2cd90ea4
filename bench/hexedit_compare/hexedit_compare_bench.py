#!/usr/bin/env python3
"""Times HexEdit's Load against `xxd -p` and `quiva compare` against `cmp` and `cmp -l`.

Load: a 256 MiB random file is loaded into a working copy (the hexadecimal text, two
upper-case characters per byte) by bench_hex_load, and written as hexadecimal text by
`xxd -p > out`; both write into the scratch folder (TMPDIR points there for ours).
Compare: two 1 GiB random files that differ in a few bytes near their end, so that plain
`cmp`, which stops at the first difference, reads nearly all of both too; `cmp -l` lists
every difference. Every tool runs in the same rounds, in alternating order, with its input
warm in the page cache. Prints the median wall and CPU time of each and the ratio
ours / peer; and the mean time of one page move over the loaded working copy.

Usage: hexedit_compare_bench.py QUIVA LOADER SCRATCH [--rounds N] [--load-mib N]
                                [--compare-mib N] [--keep]
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


def timed(command, cpu, ok=(0,), **kwargs):
    """Runs the command; returns its wall time and appends its CPU time to `cpu`."""
    start = time.perf_counter()
    child = subprocess.Popen(command, **kwargs)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code not in ok:
        sys.exit(f"{command[0]} failed with exit code {code}")
    cpu.append(usage.ru_utime + usage.ru_stime)
    return wall


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


def hex_equal(working_copy, xxd_out):
    """True when the working copy is xxd's text in upper case without line breaks."""
    with open(working_copy, "rb") as ours, open(xxd_out, "rb") as theirs:
        while True:
            text = theirs.read(16 << 20)
            if not text:
                return ours.read(1) == b""
            want = text.replace(b"\n", b"").upper()
            if ours.read(len(want)) != want:
                return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quiva")
    parser.add_argument("loader")
    parser.add_argument("scratch")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--load-mib", type=int, default=256)
    parser.add_argument("--compare-mib", type=int, default=1024)
    parser.add_argument("--keep", action="store_true", help="keep the scratch files")
    args = parser.parse_args()

    os.makedirs(args.scratch, exist_ok=True)
    source = os.path.join(args.scratch, "load.bin")
    xxd_out = os.path.join(args.scratch, "xxd.txt")
    file_a = os.path.join(args.scratch, "a.bin")
    file_b = os.path.join(args.scratch, "b.bin")
    make_random(source, args.load_mib)
    make_random(file_a, args.compare_mib)
    make_changed_copy(file_a, file_b)
    env = dict(os.environ, TMPDIR=args.scratch)

    load_ours, load_peer = [], []
    cmp_ours, cmp_peer, cmpl_peer = [], [], []
    cpu = {id(x): [] for x in (load_ours, load_peer, cmp_ours, cmp_peer, cmpl_peer)}
    for round_no in range(args.rounds):
        order = ["ours", "peer"] if round_no % 2 == 0 else ["peer", "ours"]
        for who in order:
            subprocess.run(["sync"], check=True)
            warm(source)
            if who == "ours":
                out = subprocess.Popen([args.loader, source], stdout=subprocess.PIPE, env=env)
                start = time.perf_counter()
                _, status, usage = os.wait4(out.pid, 0)
                load_ours.append(time.perf_counter() - start)
                cpu[id(load_ours)].append(usage.ru_utime + usage.ru_stime)
                if os.waitstatus_to_exitcode(status) != 0:
                    sys.exit("bench_hex_load failed")
                copy = out.stdout.read().decode().strip()
                if round_no == 0:
                    subprocess.run(["xxd", "-p", source], stdout=open(xxd_out, "wb"), check=True)
                    if not hex_equal(copy, xxd_out):
                        sys.exit("the working copy differs from xxd -p's text")
                    os.remove(xxd_out)
                os.remove(copy)
            else:
                with open(xxd_out, "wb") as f:
                    load_peer.append(timed(["xxd", "-p", source], cpu[id(load_peer)], stdout=f))
                os.remove(xxd_out)

        tools = [("ours", cmp_ours), ("cmp", cmp_peer), ("cmp -l", cmpl_peer)]
        if round_no % 2:
            tools.reverse()
        for who, times in tools:
            warm(file_a, file_b)
            if who == "ours":
                command = [args.quiva, "compare", file_a, file_b]
            elif who == "cmp":
                command = ["cmp", file_a, file_b]
            else:
                command = ["cmp", "-l", file_a, file_b]
            times.append(timed(command, cpu[id(times)], ok=(1,), stdout=subprocess.DEVNULL))

    # Page moves over the loaded working copy: one page read each, whatever the offset.
    out = subprocess.run([args.loader, source, "--pages", "2000"], capture_output=True,
                         env=env, check=True).stdout.decode().split()
    os.remove(out[0])
    page_us = float(out[1])

    def report(name, ours, peer, peer_name):
        m_ours, m_peer = statistics.median(ours), statistics.median(peer)
        c_ours, c_peer = statistics.median(cpu[id(ours)]), statistics.median(cpu[id(peer)])
        print(f"{name:<8} wall: ours {m_ours:6.3f} s  {peer_name:<7} {m_peer:6.3f} s  "
              f"ratio {m_ours / m_peer:5.2f} | cpu: ours {c_ours:6.3f} s  "
              f"{peer_name:<7} {c_peer:6.3f} s  ratio {c_ours / c_peer:5.2f}")
        print(f"         rounds (wall): ours    {' '.join(f'{t:.3f}' for t in ours)}")
        print(f"                        {peer_name:<7} {' '.join(f'{t:.3f}' for t in peer)}")

    print(f"{args.rounds} rounds, medians; inputs warm; ratio = ours / peer; "
          f"load average {os.getloadavg()[0]:.2f} (a shared machine)")
    print(f"load: HexEdit's Load of {args.load_mib} MiB (working copy written) against "
          f"xxd -p > file; target ratio <= 1.0")
    report("load", load_ours, load_peer, "xxd -p")
    print(f"compare: two {args.compare_mib} MiB files differing in 3 bytes near the end; "
          f"target ratio <= 0.5 against cmp")
    report("compare", cmp_ours, cmp_peer, "cmp")
    report("compare", cmp_ours, cmpl_peer, "cmp -l")
    print(f"page move over the {2 * args.load_mib} MiB working copy: {page_us:.1f} us "
          f"(one page read, whatever the offset)")

    if not args.keep:
        for path in (source, file_a, file_b):
            os.remove(path)


if __name__ == "__main__":
    main()
