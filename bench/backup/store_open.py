#!/usr/bin/env python3
"""Times opening a large backup store: `quiva backup profile list` on a store of more than
2 GiB against `restic snapshots` on a repository of the same tree, in the same run.

The tree: 44 files of 50 MiB of random bytes (nothing to compress or share), backed up
once by `quiva backup run` (size limit 64 MB) and once by `restic backup`. Then each
listing runs several times and the medians are printed with their ratio, beside the start
of `quiva --version` (the process alone) and the cost of the full page check that every
open used to make (`PRAGMA quick_check`). Exit 1 when the store is smaller
than 2 GiB or the listing's median is 50 ms or more.

The machine may be shared: the load averages before and after are printed with the
figures.
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

FILES = 44
FILE_BYTES = 50 * 1024 * 1024
RUNS = 15
GOAL_SECONDS = 0.050
SMALLEST_STORE = 2 * 1024 ** 3
RESTIC_PASSWORD = "bench-password"


def run(command, env=None):
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (command, result.stdout, result.stderr))
    return result.stdout


def median_time(command, env=None, runs=RUNS):
    times = []
    for _ in range(runs):
        start = time.monotonic()
        run(command, env=env)
        times.append(time.monotonic() - start)
    return statistics.median(times), times[0]


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quiva", required=True, help="the quiva command line binary")
    parser.add_argument("--work", help="scratch folder (default: a temporary one)")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="quiva-store-open-")
    try:
        print(load_text())
        tree = os.path.join(work, "tree")
        os.makedirs(tree, exist_ok=True)
        for i in range(FILES):
            with open(os.path.join(tree, "big%02d.bin" % i), "wb") as out:
                out.write(os.urandom(FILE_BYTES))

        env = dict(os.environ)
        env["XDG_DATA_HOME"] = os.path.join(work, "quiva-data")
        env["XDG_RUNTIME_DIR"] = os.path.join(work, "quiva-run")
        os.makedirs(env["XDG_RUNTIME_DIR"], exist_ok=True)
        store = os.path.join(env["XDG_DATA_HOME"], "quiva-tessaline", "Data", "backups.db")
        run([args.quiva, "backup", "profile", "add", "bench", "--target", tree, "--ext", ".bin",
             "--size-limit", "64MB"], env=env)
        start = time.monotonic()
        print("quiva backup run: %s(%.1f s)" % (run([args.quiva, "backup", "run", "bench"],
                                                     env=env), time.monotonic() - start))
        size = os.path.getsize(store)
        print("store: %.2f GiB" % (size / 1024 ** 3))

        restic_env = dict(os.environ)
        restic_env["RESTIC_REPOSITORY"] = os.path.join(work, "restic")
        restic_env["RESTIC_PASSWORD"] = RESTIC_PASSWORD
        run(["restic", "init", "-q"], env=restic_env)
        run(["restic", "backup", "-q", tree], env=restic_env)

        os.sync()
        quiva_list, quiva_first = median_time([args.quiva, "backup", "profile", "list"], env=env)
        restic_list, restic_first = median_time(["restic", "snapshots", "-q", "--no-lock"],
                                                env=restic_env)
        start_up, _ = median_time([args.quiva, "--version"], env=env)
        check_start = time.monotonic()
        with sqlite3.connect("file:%s?mode=ro" % store, uri=True) as db:
            db.execute("PRAGMA quick_check").fetchall()
        full_check = time.monotonic() - check_start

        print("quiva backup profile list: median %.1f ms (first %.1f ms) over %d runs"
              % (quiva_list * 1000, quiva_first * 1000, RUNS))
        print("restic snapshots:          median %.1f ms (first %.1f ms) over %d runs"
              % (restic_list * 1000, restic_first * 1000, RUNS))
        print("ratio quiva / restic: %.2f" % (quiva_list / restic_list))
        print("quiva --version (the process alone): median %.1f ms" % (start_up * 1000))
        print("PRAGMA quick_check of the store (what every open cost before): %.0f ms"
              % (full_check * 1000))
        print(load_text())
        if size < SMALLEST_STORE:
            sys.exit("the store is smaller than 2 GiB")
        if quiva_list >= GOAL_SECONDS:
            sys.exit("quiva backup profile list took 50 ms or more")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
