#!/usr/bin/env python3
"""Chunked versions against restic, in one run.

1. Two trees: the benchmark tree of bench_backup.py (about 5000 files, 256 MB) and a
   50 000-file tree (about 650 MB, half text, half random). For each: a first full
   `quiva backup run` against `restic backup` into an empty repository, a second full run
   of the unchanged tree against restic's second run, and the store's size against the
   repository's after both. Prints the ratios (targets: first <= 0.7, second <= 0.5,
   size <= 1.1).
2. Large files: a 5 GB sparse file and a 300 MB random file are backed up and restored
   with `quiva backup restore`, compared byte for byte (cmp) and the peak resident memory
   of each quiva process is printed (goal: under 100 MiB); then a copy of the 300 MB file
   with 1 MB changed in its middle is backed up and the chunks it added are counted.

The tree is read once before each timed run (page cache) and earlier writes are flushed.
The machine may be shared: load averages are printed with the figures.
"""

import argparse
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_backup  # noqa: E402  (the benchmark tree and helpers)

MANY_FILES = 50000
MANY_BYTES = 650 * 1000 * 1000
MANY_SEED = 20261211
PASSWORD = bench_backup.DEFAULT_PASSWORD
SPARSE_BYTES = 5 * 1000 * 1000 * 1000
RANDOM_BYTES = 300 * 1000 * 1000
MIB = 1024 * 1024


def make_many(root):
    """50 000 files of about 13 KB on average, half base64-like text, half random."""
    rng = random.Random(MANY_SEED)
    raw = [rng.random() ** 2 for _ in range(MANY_FILES)]
    scale = MANY_BYTES / sum(raw)
    total = 0
    text_pool = b"".join(__import__("base64").b64encode(rng.randbytes(57)) + b"\n"
                         for _ in range(40000))
    for i, r in enumerate(raw):
        size = max(1, int(r * scale))
        folder = os.path.join(root, "m%03d" % (i % 200))
        os.makedirs(folder, exist_ok=True)
        if i % 2 == 0:
            start = rng.randrange(0, len(text_pool) - 1)
            data = (text_pool[start:] + text_pool)[:size]
            name = "t%05d.txt" % i
        else:
            data = rng.randbytes(size)
            name = "r%05d.bin" % i
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
        total += size
    return MANY_FILES, total


def peak_rss(command, env):
    """Runs a command and waits for it alone: (seconds, its peak resident memory in MiB)."""
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        os.execvpe(command[0], command, env)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % command)
    return elapsed, usage.ru_maxrss / 1024.0


class Restic:
    def __init__(self, work, name):
        self.env = dict(os.environ)
        self.env["RESTIC_PASSWORD"] = "bench"
        self.env["RESTIC_REPOSITORY"] = os.path.join(work, "restic-" + name)
        self.env["RESTIC_CACHE_DIR"] = os.path.join(work, "restic-cache-" + name)
        shutil.rmtree(self.env["RESTIC_REPOSITORY"], ignore_errors=True)
        shutil.rmtree(self.env["RESTIC_CACHE_DIR"], ignore_errors=True)
        bench_backup.run(["restic", "init"], env=self.env)

    def backup(self, tree):
        return bench_backup.timed(["restic", "backup", "--quiet", tree], env=self.env)[0]

    def size(self):
        return bench_backup.folder_bytes(self.env["RESTIC_REPOSITORY"])


def compare_tree(quiva, tree):
    quiva.fresh_profile(tree)
    restic = Restic(quiva.work, os.path.basename(tree))
    figures = {}
    for run in ("first", "second"):
        bench_backup.read_tree(tree)
        ours, out = quiva.backup()
        bench_backup.read_tree(tree)
        theirs = restic.backup(tree)
        figures[run] = (ours, theirs)
        print("  %s full run: quiva %.2f s (%s), restic %.2f s; quiva/restic %.2f (%s)" % (
            run, ours, out.strip(), theirs, ours / theirs, bench_backup.load_text()), flush=True)
    ours_size = bench_backup.folder_bytes(quiva.store)
    theirs_size = restic.size()
    print("  store after both runs: quiva %.1f MB, restic %.1f MB; quiva/restic %.2f" % (
        ours_size / 1e6, theirs_size / 1e6, ours_size / theirs_size))
    return figures, ours_size / theirs_size


class Quiva(bench_backup.Quiva):
    def __init__(self, binary, work, limit):
        super().__init__(binary, work)
        self.work = work
        self.limit = limit

    def fresh_profile(self, tree, limit=None):
        shutil.rmtree(self.env["XDG_DATA_HOME"], ignore_errors=True)
        os.makedirs(self.env["XDG_RUNTIME_DIR"], exist_ok=True)
        bench_backup.run([self.binary, "backup", "profile", "add", "bench", "--target", tree,
                          "--ext", ".txt,.bin,.img", "--size-limit", limit or self.limit],
                         env=self.env)

    def chunks(self):
        uri = "file:%s?mode=ro" % os.path.join(self.store, "backups.db")
        with sqlite3.connect(uri, uri=True) as db:
            return db.execute("SELECT count(*) FROM Chunks").fetchone()[0]

    def newest(self, name):
        uri = "file:%s?mode=ro" % os.path.join(self.store, "backups.db")
        with sqlite3.connect(uri, uri=True) as db:
            return db.execute("SELECT max(bID) FROM Data JOIN Paths ON bPath = pID WHERE pFile = ?",
                              (name,)).fetchone()[0]


def large_files(quiva, work, big_limit):
    folder = os.path.join(work, "large")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    sparse = os.path.join(folder, "sparse.img")
    with open(sparse, "wb") as out:
        out.truncate(SPARSE_BYTES)
        out.seek(SPARSE_BYTES // 2)
        out.write(b"a few bytes in the middle of the sparse file")
    noise = os.path.join(folder, "random.bin")
    rng = random.Random(7)
    with open(noise, "wb") as out:
        for _ in range(RANDOM_BYTES // MIB):
            out.write(rng.randbytes(MIB))
        out.write(rng.randbytes(RANDOM_BYTES % MIB))
    quiva.fresh_profile(folder, big_limit)
    seconds, rss = peak_rss([quiva.binary, "backup", "run", "bench"], quiva.env)
    print("  backup of a 5 GB sparse and a 300 MB random file: %.1f s, peak RSS %.1f MiB" % (
        seconds, rss), flush=True)
    restored = os.path.join(work, "large-restored")
    for name in ("sparse.img", "random.bin"):
        shutil.rmtree(restored, ignore_errors=True)
        version = quiva.newest(name)
        seconds, rss = peak_rss([quiva.binary, "backup", "restore", str(version), "--password",
                                 PASSWORD, "--to", restored], quiva.env)
        same = subprocess.run(["cmp", os.path.join(folder, name),
                               os.path.join(restored, name)]).returncode == 0
        print("  restore of %s: %.1f s, peak RSS %.1f MiB, %s" % (
            name, seconds, rss, "byte-equal (cmp)" if same else "DIFFERENT"), flush=True)
        if not same:
            sys.exit("restore check failed for %s" % name)
    shutil.rmtree(restored, ignore_errors=True)
    before = quiva.chunks()
    edited = os.path.join(folder, "random-edited.bin")
    shutil.copyfile(noise, edited)
    with open(edited, "r+b") as out:
        out.seek(RANDOM_BYTES // 2)
        out.write(rng.randbytes(MIB))
    os.remove(sparse)
    seconds, rss = peak_rss([quiva.binary, "backup", "run", "bench"], quiva.env)
    print("  edited copy of the 300 MB file (1 MB changed in the middle): %d chunks added "
          "(%.1f s, peak RSS %.1f MiB)" % (quiva.chunks() - before, seconds, rss))
    shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quiva", required=True, help="path of the quiva command line")
    parser.add_argument("--work", default=None, help="scratch folder (default: a temporary one)")
    parser.add_argument("--size-limit", default="4096", help="the trees' profile size limit")
    parser.add_argument("--big-limit", default=None,
                        help="the size limit that lets the large files in (--size-limit of "
                             "`quiva backup profile add`); without it the large files are "
                             "skipped")
    parser.add_argument("--parts", default="bench,many,large",
                        help="what to run, of bench, many and large (default all)")
    args = parser.parse_args()
    parts = set(args.parts.split(","))
    work = args.work or tempfile.mkdtemp(prefix="quiva-chunked-")
    os.makedirs(work, exist_ok=True)
    quiva = Quiva(args.quiva, work, args.size_limit)
    print("before: %s, %d processors" % (bench_backup.load_text(), os.cpu_count()))
    try:
        if "bench" in parts:
            tree = os.path.join(work, "tree")
            if not os.path.isdir(tree):
                bench_backup.make_tree(tree)
            print("benchmark tree: %d files, %.1f MB" % (
                sum(len(n) for _, _, n in os.walk(tree)), bench_backup.folder_bytes(tree) / 1e6))
            compare_tree(quiva, tree)
        if "many" in parts:
            many = os.path.join(work, "many")
            if not os.path.isdir(many):
                make_many(many)
            print("50 000-file tree: %d files, %.1f MB" % (
                sum(len(n) for _, _, n in os.walk(many)), bench_backup.folder_bytes(many) / 1e6))
            compare_tree(quiva, many)
        if "large" in parts:
            if args.big_limit:
                print("large files:")
                large_files(quiva, work, args.big_limit)
            else:
                print("large files: skipped (no --big-limit)")
    finally:
        if args.work is None:
            shutil.rmtree(work, ignore_errors=True)
    print("after: %s" % bench_backup.load_text())


if __name__ == "__main__":
    main()
