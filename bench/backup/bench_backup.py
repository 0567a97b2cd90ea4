#!/usr/bin/env python3
"""Times `quiva backup run` on a fixed tree against tar | gzip -1, borg and restic.

The tree: about 5000 files and 256 MB, half base64-like text and half random bytes, each
file 1 to 200 KiB, made from a fixed seed. Every tool starts from an empty repository in
the same run, and the tree is read once before each timed run so that every tool finds it
in the page cache. Prints seconds, files/s and MB/s for each tool and its time relative
to quiva's.
"""

import argparse
import base64
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

FILES = 5000
TOTAL_BYTES = 256 * 1000 * 1000
SMALLEST = 1024
LARGEST = 200 * 1024
SEED = 20240611
FOLDERS = 50


def make_tree(root):
    """Writes the tree; returns (files, bytes)."""
    rng = random.Random(SEED)
    # Sizes skewed towards small files, then scaled so that the total is about 256 MB.
    raw = [rng.random() ** 2.9 for _ in range(FILES)]
    scale = (TOTAL_BYTES - FILES * SMALLEST) / sum(raw)
    sizes = [min(LARGEST, SMALLEST + int(r * scale)) for r in raw]
    total = 0
    for i, size in enumerate(sizes):
        folder = os.path.join(root, "d%02d" % (i % FOLDERS), "e%d" % (i % 3))
        os.makedirs(folder, exist_ok=True)
        if i % 2 == 0:
            # base64 of random bytes, in 76-character lines: text that deflate shrinks by
            # about a quarter.
            lines = []
            length = 0
            while length < size:
                line = base64.b64encode(rng.randbytes(57)) + b"\n"
                lines.append(line)
                length += len(line)
            data = b"".join(lines)[:size]
            name = "t%05d.txt" % i
        else:
            data = rng.randbytes(size)
            name = "r%05d.bin" % i
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
        total += size
    return len(sizes), total


def read_tree(root):
    """Reads every file once, so that the timed run finds the tree in memory."""
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def timed(command, env=None, shell=False):
    start = time.monotonic()
    result = subprocess.run(command, env=env, shell=shell, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    elapsed = time.monotonic() - start
    if result.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (command, result.stdout, result.stderr))
    return elapsed, result.stdout


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(f, n)) for f, _, ns in os.walk(path) for n in ns)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quiva", required=True, help="path of the quiva command line")
    parser.add_argument("--work", default=None, help="scratch folder (default: a temporary one)")
    args = parser.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="quiva-bench-")
    os.makedirs(work, exist_ok=True)
    tree = os.path.join(work, "tree")
    try:
        if not os.path.isdir(tree):
            files, total = make_tree(tree)
        else:
            files = sum(len(ns) for _, _, ns in os.walk(tree))
            total = folder_bytes(tree)
        print("tree: %d files, %.1f MB (%s)" % (files, total / 1e6, tree))

        results = []

        # quiva: a profile over the tree, then one full backup.
        env = dict(os.environ)
        env["XDG_DATA_HOME"] = os.path.join(work, "quiva-data")
        env["XDG_RUNTIME_DIR"] = os.path.join(work, "quiva-run")
        shutil.rmtree(env["XDG_DATA_HOME"], ignore_errors=True)
        os.makedirs(env["XDG_RUNTIME_DIR"], exist_ok=True)
        timed([args.quiva, "backup", "profile", "add", "bench", "--target", tree,
               "--ext", ".txt,.bin", "--size-limit", "256"], env=env)
        read_tree(tree)
        seconds, out = timed([args.quiva, "backup", "run", "bench"], env=env)
        store = os.path.join(env["XDG_DATA_HOME"], "quiva-tessaline", "Data")
        results.append(("quiva backup run", seconds, folder_bytes(store), out.strip()))

        # tar | gzip -1
        archive = os.path.join(work, "tree.tar.gz")
        read_tree(tree)
        seconds, _ = timed("tar -C '%s' -cf - tree | gzip -1 > '%s'" % (work, archive),
                           shell=True)
        results.append(("tar | gzip -1", seconds, os.path.getsize(archive), ""))

        # borg create --compression zlib,1
        borg_env = dict(os.environ)
        borg_env["BORG_BASE_DIR"] = os.path.join(work, "borg-base")
        borg_env["BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK"] = "yes"
        borg_repo = os.path.join(work, "borg-repo")
        shutil.rmtree(borg_repo, ignore_errors=True)
        timed(["borg", "init", "--encryption=none", borg_repo], env=borg_env)
        read_tree(tree)
        seconds, _ = timed(["borg", "create", "--compression", "zlib,1",
                            borg_repo + "::bench", tree], env=borg_env)
        results.append(("borg create zlib,1", seconds, folder_bytes(borg_repo), ""))

        # restic backup (its defaults)
        restic_env = dict(os.environ)
        restic_env["RESTIC_PASSWORD"] = "bench"
        restic_env["RESTIC_REPOSITORY"] = os.path.join(work, "restic-repo")
        restic_env["RESTIC_CACHE_DIR"] = os.path.join(work, "restic-cache")
        shutil.rmtree(restic_env["RESTIC_REPOSITORY"], ignore_errors=True)
        timed(["restic", "init"], env=restic_env)
        read_tree(tree)
        seconds, _ = timed(["restic", "backup", "--quiet", tree], env=restic_env)
        results.append(("restic backup", seconds, folder_bytes(restic_env["RESTIC_REPOSITORY"]),
                        ""))
    finally:
        if args.work is None:
            shutil.rmtree(work, ignore_errors=True)

    ours = results[0][1]
    print("%-20s %9s %9s %9s %10s %12s" % ("tool", "seconds", "files/s", "MB/s", "output MB",
                                          "time/quiva"))
    for name, seconds, size, note in results:
        print("%-20s %9.2f %9.0f %9.1f %10.1f %12.2f" % (
            name, seconds, files / seconds, total / 1e6 / seconds, size / 1e6, seconds / ours))
    print("quiva: %s" % results[0][3])


if __name__ == "__main__":
    main()
