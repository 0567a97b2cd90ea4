#!/usr/bin/env python3
"""Times `quiva backup run` on a fixed tree against tar | gzip -1, borg and restic.

The tree: about 5000 files and 256 MB, half base64-like text and half random bytes, each
file 1 to 200 KiB, made from a fixed seed. In every round each tool starts from an empty
repository, and the tree is read once before each timed run so that every tool finds it
in the page cache, with nothing of the earlier runs left to write to the disk. Prints each
round's times and quiva's time relative to restic's in that round, then the medians over
the rounds.

Afterwards the versions of the last quiva run are restored with `quiva backup restore`
into a fresh folder and every file is compared with its original by cmp; any difference
fails the script. Last, the start-up of `quiva --version` is timed against
`cat /dev/null` (repeated runs, medians).

The machine may be shared: the load averages before and after are printed with the
figures.
"""

import argparse
import base64
import collections
import os
import random
import shutil
import sqlite3
import statistics
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
# The preferences password of a fresh program folder: it scrambles the versions.
DEFAULT_PASSWORD = "vompa7"
# Version ids given to one `quiva backup restore`.
RESTORE_BATCH = 1000
START_RUNS = 50


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
    """Reads every file once, so that the timed run finds the tree in memory, and flushes
    what earlier runs wrote, so that no tool waits for another's writes to reach the
    disk."""
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 20):
                    pass
    os.sync()


def run(command, env=None, shell=False):
    result = subprocess.run(command, env=env, shell=shell, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (command, result.stdout, result.stderr))
    return result.stdout


def timed(command, env=None, shell=False):
    start = time.monotonic()
    out = run(command, env=env, shell=shell)
    return time.monotonic() - start, out


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(f, n)) for f, _, ns in os.walk(path) for n in ns)


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


class Quiva:
    """The command line with its own program folder under the scratch folder."""

    def __init__(self, binary, work):
        self.binary = binary
        self.env = dict(os.environ)
        self.env["XDG_DATA_HOME"] = os.path.join(work, "quiva-data")
        self.env["XDG_RUNTIME_DIR"] = os.path.join(work, "quiva-run")
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "quiva-tessaline", "Data")

    def fresh_profile(self, tree):
        shutil.rmtree(self.env["XDG_DATA_HOME"], ignore_errors=True)
        os.makedirs(self.env["XDG_RUNTIME_DIR"], exist_ok=True)
        run([self.binary, "backup", "profile", "add", "bench", "--target", tree,
             "--ext", ".txt,.bin", "--size-limit", "256"], env=self.env)

    def backup(self):
        return timed([self.binary, "backup", "run", "bench"], env=self.env)

    def versions(self):
        """(version id, folder, file) of every stored version, read from backups.db."""
        uri = "file:%s?mode=ro" % os.path.join(self.store, "backups.db")
        with sqlite3.connect(uri, uri=True) as db:
            return db.execute("SELECT bID, pPath, pFile FROM Data JOIN Paths ON bPath = pID "
                              "ORDER BY bID").fetchall()

    def restore(self, ids, folder):
        for at in range(0, len(ids), RESTORE_BATCH):
            run([self.binary, "backup", "restore"] + [str(i) for i in ids[at:at + RESTORE_BATCH]]
                + ["--password", DEFAULT_PASSWORD, "--to", folder], env=self.env)


def check_restore(quiva, tree, work):
    """Restores every version of the last run into one folder (the tree's file names are
    unique) and compares each file with its original by cmp. Returns the number of files
    compared; exits on any difference."""
    restored = os.path.join(work, "restored")
    shutil.rmtree(restored, ignore_errors=True)
    os.makedirs(restored)
    originals = {n: os.path.join(f, n) for f, _, ns in os.walk(tree) for n in ns}
    versions = quiva.versions()
    stored = sorted(name for _, _, name in versions)
    if stored != sorted(originals):
        sys.exit("restore check: %d versions stored for %d files" % (len(stored),
                                                                      len(originals)))
    for version, folder, name in versions:
        if os.path.join(folder, name) != originals[name]:
            sys.exit("restore check: version %d names %s%s" % (version, folder, name))
    quiva.restore([version for version, _, _ in versions], restored)
    for name, original in sorted(originals.items()):
        result = subprocess.run(["cmp", original, os.path.join(restored, name)])
        if result.returncode != 0:
            sys.exit("restore check: %s differs from its original" % original)
    shutil.rmtree(restored, ignore_errors=True)
    return len(originals)


def start_time(command, runs):
    """Median and lowest wall time of `runs` starts of the command, in milliseconds."""
    times = []
    with open(os.devnull, "wb") as null:
        for _ in range(runs):
            start = time.monotonic()
            subprocess.run(command, stdout=null, stderr=null, check=True)
            times.append((time.monotonic() - start) * 1000)
    return statistics.median(times), min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quiva", required=True, help="path of the quiva command line")
    parser.add_argument("--work", default=None, help="scratch folder (default: a temporary one)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of every tool (default 3); medians are printed")
    parser.add_argument("--peers", default="tar,borg,restic",
                        help="the peer tools to run, of tar, borg and restic (default all)")
    args = parser.parse_args()
    peers = set(args.peers.split(",")) if args.peers else set()
    unknown = peers - {"tar", "borg", "restic"}
    if unknown:
        parser.error("unknown peers: %s" % ", ".join(sorted(unknown)))

    work = args.work or tempfile.mkdtemp(prefix="quiva-bench-")
    os.makedirs(work, exist_ok=True)
    tree = os.path.join(work, "tree")
    quiva = Quiva(args.quiva, work)
    try:
        if not os.path.isdir(tree):
            files, total = make_tree(tree)
        else:
            files = sum(len(ns) for _, _, ns in os.walk(tree))
            total = folder_bytes(tree)
        print("tree: %d files, %.1f MB (%s)" % (files, total / 1e6, tree))
        print("before: %s, %d processors" % (load_text(), os.cpu_count()))

        names = ["quiva backup run"]
        seconds = collections.defaultdict(list)
        sizes = {}
        ratios = []
        note = ""
        for round_number in range(1, args.rounds + 1):
            # quiva: a profile over the tree, then one full backup.
            quiva.fresh_profile(tree)
            read_tree(tree)
            elapsed, out = quiva.backup()
            seconds[names[0]].append(elapsed)
            sizes[names[0]] = folder_bytes(quiva.store)
            note = out.strip()
            line = "round %d: quiva %.2f s" % (round_number, elapsed)

            if "tar" in peers:
                archive = os.path.join(work, "tree.tar.gz")
                read_tree(tree)
                elapsed, _ = timed("tar -C '%s' -cf - tree | gzip -1 > '%s'" % (work, archive),
                                   shell=True)
                seconds["tar | gzip -1"].append(elapsed)
                sizes["tar | gzip -1"] = os.path.getsize(archive)
                line += ", tar | gzip -1 %.2f s" % elapsed

            if "borg" in peers:
                borg_env = dict(os.environ)
                borg_env["BORG_BASE_DIR"] = os.path.join(work, "borg-base")
                borg_env["BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK"] = "yes"
                borg_repo = os.path.join(work, "borg-repo")
                shutil.rmtree(borg_repo, ignore_errors=True)
                shutil.rmtree(borg_env["BORG_BASE_DIR"], ignore_errors=True)
                run(["borg", "init", "--encryption=none", borg_repo], env=borg_env)
                read_tree(tree)
                elapsed, _ = timed(["borg", "create", "--compression", "zlib,1",
                                    borg_repo + "::bench", tree], env=borg_env)
                seconds["borg create zlib,1"].append(elapsed)
                sizes["borg create zlib,1"] = folder_bytes(borg_repo)
                line += ", borg %.2f s" % elapsed

            if "restic" in peers:
                restic_env = dict(os.environ)
                restic_env["RESTIC_PASSWORD"] = "bench"
                restic_env["RESTIC_REPOSITORY"] = os.path.join(work, "restic-repo")
                restic_env["RESTIC_CACHE_DIR"] = os.path.join(work, "restic-cache")
                shutil.rmtree(restic_env["RESTIC_REPOSITORY"], ignore_errors=True)
                shutil.rmtree(restic_env["RESTIC_CACHE_DIR"], ignore_errors=True)
                run(["restic", "init"], env=restic_env)
                read_tree(tree)
                elapsed, _ = timed(["restic", "backup", "--quiet", tree], env=restic_env)
                seconds["restic backup"].append(elapsed)
                sizes["restic backup"] = folder_bytes(restic_env["RESTIC_REPOSITORY"])
                ratio = seconds[names[0]][-1] / elapsed
                ratios.append(ratio)
                line += ", restic %.2f s; quiva/restic %.2f" % (elapsed, ratio)
            print(line + " (%s)" % load_text(), flush=True)
        names += [name for name in seconds if name != names[0]]

        compared = check_restore(quiva, tree, work)
        print("restore check: %d versions restored with quiva backup restore, each equal to "
              "its original (cmp)" % compared)
    finally:
        if args.work is None:
            shutil.rmtree(work, ignore_errors=True)

    ours = statistics.median(seconds[names[0]])
    print()
    print("medians of %d rounds:" % args.rounds)
    print("%-20s %9s %9s %9s %10s %12s" % ("tool", "seconds", "files/s", "MB/s", "output MB",
                                          "time/quiva"))
    for name in names:
        median = statistics.median(seconds[name])
        print("%-20s %9.2f %9.0f %9.1f %10.1f %12.2f" % (
            name, median, files / median, total / 1e6 / median, sizes[name] / 1e6,
            median / ours))
    print("quiva: %s" % note)
    if ratios:
        print("quiva/restic: median %.2f of the rounds' ratios (%s); at most 1.0 is the target"
              % (statistics.median(ratios), " ".join("%.2f" % r for r in ratios)))

    version_ms, version_low = start_time([args.quiva, "--version"], START_RUNS)
    cat_ms, cat_low = start_time(["cat", os.devnull], START_RUNS)
    print("start-up over %d runs: quiva --version median %.1f ms (lowest %.1f), "
          "cat median %.1f ms (lowest %.1f)" % (START_RUNS, version_ms, version_low, cat_ms,
                                                cat_low))
    print("after: %s" % load_text())


if __name__ == "__main__":
    main()
