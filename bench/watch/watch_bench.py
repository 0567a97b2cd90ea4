#!/usr/bin/env python3
"""Continuous backup and DirTrack on a home-folder-sized tree, against inotifywait.

The tree: 100 100 folders (100 folders of 1000 each) holding 500 000 small files, built
once in the scratch folder and kept for later runs. On it the script starts, one after the
other, `quiva backup monitor` of a profile over the tree (Recurse on), `quiva track
--recurse` of the tree and, as the peer, `inotifywait -m -r` (inotify-tools, which only
watches and prints). For each it prints

- the time from the start until it is ready (its "Monitoring" line, its "Tracking" line,
  inotifywait's "Watches established."),
- its CPU use over 30 idle seconds and its resident memory,
- then, with the process stopped (SIGSTOP) so that the kernel's queue overflows, 8 writes
  to each of 1000 old files (16 000 events) and 1000 new files in 1000 different folders
  (more events than fs.inotify.max_queued_events holds, so that most new files are known
  only to the walk after the overflow); after SIGCONT, how many of the 1000 were stored
  (backup: a version in backups.db), recorded (track: a line naming the file) or seen
  (inotifywait: a line naming it), and how long that took,
- its CPU use over 5 seconds after that (it must go idle again), and for the backup the
  overflow lines of its log.

With --baseline QUIVA the two quiva runs are repeated with that binary (for instance the
main branch's) in the same run. The machine may be shared: the load averages are printed
with the figures.
"""

import argparse
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

TOP = 100
PER_TOP = 1000
FILES_PER_FOLDER = 5
BURST = 1000
IDLE_SECONDS = 30
AFTER_SECONDS = 5
READY_TIMEOUT = 120
BURST_TIMEOUT = 60


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def make_tree(root):
    stamp = os.path.join(root, ".complete")
    if os.path.exists(stamp):
        return
    shutil.rmtree(root, ignore_errors=True)
    started = time.monotonic()
    for a in range(TOP):
        for b in range(PER_TOP):
            folder = os.path.join(root, "a%03d" % a, "b%04d" % b)
            os.makedirs(folder)
            for f in range(FILES_PER_FOLDER):
                with open(os.path.join(folder, "f%d.txt" % f), "wb") as out:
                    out.write(b"x" * (f + 1))
    with open(stamp, "w") as out:
        out.write("done\n")
    print("tree built in %.0f s" % (time.monotonic() - started), flush=True)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_percent(pid, seconds):
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - before) / seconds


class Process:
    """A watching process whose output lines are collected by a thread."""

    def __init__(self, command, env, ready_text, ready_on_stderr=False):
        self.started = time.monotonic()
        self.proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = []
        self.ready_at = None
        self.lock = threading.Lock()
        self.threads = []
        for stream, is_err in ((self.proc.stdout, False), (self.proc.stderr, True)):
            watch = ready_text if is_err == ready_on_stderr else None
            thread = threading.Thread(target=self.collect, args=(stream, watch), daemon=True)
            thread.start()
            self.threads.append(thread)

    def collect(self, stream, ready_text):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.lock:
                self.lines.append(line)
                if ready_text and self.ready_at is None and ready_text in line:
                    self.ready_at = time.monotonic()

    def wait_ready(self):
        deadline = time.monotonic() + READY_TIMEOUT
        while time.monotonic() < deadline:
            with self.lock:
                if self.ready_at is not None:
                    return self.ready_at - self.started
            if self.proc.poll() is not None:
                return None
            time.sleep(0.02)
        return None

    def mentioned(self, names):
        with self.lock:
            text = "\n".join(self.lines)
        return sum(1 for name in names if name in text)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for thread in self.threads:
            thread.join(5)


def burst(tree, tag):
    """8 writes to each of 1000 old files, then 1000 new files in 1000 folders; returns the
    new files' names relative to the tree."""
    for _ in range(8):
        for i in range(BURST):
            old = "a%03d/b%04d/f0.txt" % (i % TOP, (i * 11) % PER_TOP)
            with open(os.path.join(tree, old), "ab") as out:
                out.write(b"+")
    names = []
    for i in range(BURST):
        rel = "a%03d/b%04d/burst-%s-%04d.txt" % (i % TOP, (i * 7) % PER_TOP, tag, i)
        with open(os.path.join(tree, rel), "wb") as out:
            out.write(b"new")
        names.append(rel)
    return names


def stored_count(store, names):
    uri = "file:%s?mode=ro" % os.path.join(store, "backups.db")
    try:
        with sqlite3.connect(uri, uri=True, timeout=5) as db:
            rows = db.execute("SELECT DISTINCT pFile FROM Paths").fetchall()
    except sqlite3.Error:
        return 0
    files = {row[0] for row in rows}
    return sum(1 for name in names if os.path.basename(name) in files)


def measure(label, process, tree, tag, count_found):
    ready = process.wait_ready()
    if ready is None:
        print("%-28s not ready within %d s (exit %s)" % (label, READY_TIMEOUT,
                                                         process.proc.poll()), flush=True)
        return
    pid = process.proc.pid
    idle = cpu_percent(pid, IDLE_SECONDS)
    rss = rss_mb(pid)
    os.kill(pid, signal.SIGSTOP)
    names = burst(tree, tag)
    os.kill(pid, signal.SIGCONT)
    started = time.monotonic()
    found = 0
    while time.monotonic() - started < BURST_TIMEOUT:
        found = count_found(names)
        if found == len(names):
            break
        time.sleep(0.1)
    took = time.monotonic() - started
    after = cpu_percent(pid, AFTER_SECONDS)
    print("%-28s ready %6.2f s  idle CPU %5.2f %%  RSS %6.1f MB  burst: %4d of %d in %5.2f s"
          "  CPU after %5.2f %%" % (label, ready, idle, rss, found, len(names), took, after),
          flush=True)


def backup_env(work, name):
    env = dict(os.environ)
    env["XDG_DATA_HOME"] = os.path.join(work, name, "data")
    env["XDG_RUNTIME_DIR"] = os.path.join(work, name, "run")
    shutil.rmtree(os.path.join(work, name), ignore_errors=True)
    os.makedirs(env["XDG_RUNTIME_DIR"])
    return env


def run_backup(label, binary, work, tree, tag):
    env = backup_env(work, "backup-" + tag)
    subprocess.run([binary, "backup", "profile", "add", "bench", "--target", tree, "--ext",
                    ".txt", "--size-limit", "256"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    store = os.path.join(env["XDG_DATA_HOME"], "quiva-tessaline", "Data")
    process = Process([binary, "backup", "monitor", "bench"], env, "Monitoring bench")
    try:
        measure(label, process, tree, tag, lambda names: stored_count(store, names))
    finally:
        process.stop()
    logs = []
    for folder, _, files in os.walk(env["XDG_DATA_HOME"]):
        for name in files:
            if name.lower().endswith(".log"):
                with open(os.path.join(folder, name), "rb") as f:
                    text = f.read().decode("utf-16-le", "replace")
                logs += [line for line in text.splitlines()
                         if "Changes lost" in line or "Rescanned" in line]
    print("%-28s %d overflow log lines%s" % ("", len(logs),
                                              (": " + logs[0]) if logs else ""), flush=True)


def run_track(label, binary, work, tree, tag):
    env = backup_env(work, "track-" + tag)
    process = Process([binary, "track", tree, "--recurse"], env, "Tracking", True)
    try:
        measure(label, process, tree, tag, process.mentioned)
    finally:
        process.stop()


def run_peer(tree, tag):
    command = ["inotifywait", "-m", "-r", "-e", "close_write,moved_to,create", "--format",
               "%w%f", tree]
    process = Process(command, dict(os.environ), "Watches established.", True)
    try:
        measure("inotifywait -m -r (peer)", process, tree, tag, process.mentioned)
    finally:
        process.stop()


def remove_burst(tree):
    for folder, _, files in os.walk(tree):
        for name in files:
            if name.startswith("burst-"):
                os.remove(os.path.join(folder, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quiva", required=True)
    parser.add_argument("--baseline", help="another quiva binary to measure the same way")
    parser.add_argument("--baseline-backup-only", action="store_true",
                        help="measure only the baseline's backup monitor (a quiva track that "
                             "prints no Tracking line cannot be timed)")
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "quiva-watch-bench"))
    args = parser.parse_args()
    tree = os.path.join(args.work, "tree")
    os.makedirs(args.work, exist_ok=True)
    make_tree(tree)
    remove_burst(tree)
    with open("/proc/sys/fs/inotify/max_queued_events") as f:
        queue = f.read().strip()
    with open("/proc/sys/fs/inotify/max_user_watches") as f:
        watches = f.read().strip()
    print("tree: %d folders, %d files; max_queued_events %s, max_user_watches %s; %s"
          % (TOP * PER_TOP + TOP + 1, TOP * PER_TOP * FILES_PER_FOLDER, queue, watches,
             load_text()), flush=True)
    runs = [("quiva", args.quiva)]
    if args.baseline:
        runs.append(("baseline", args.baseline))
    for name, binary in runs:
        run_backup("%s backup monitor" % name, binary, args.work, tree, name + "b")
        if name == "quiva" or not args.baseline_backup_only:
            run_track("%s track --recurse" % name, binary, args.work, tree, name + "t")
    if shutil.which("inotifywait"):
        run_peer(tree, "peer")
    else:
        print("inotifywait is not installed (inotify-tools): no peer figure")
    remove_burst(tree)
    print(load_text())
    return 0


if __name__ == "__main__":
    sys.exit(main())
