#!/usr/bin/env python3
"""Measures the updater against the plainest shell way of doing the same work.

Run through scripts/bench.sh, which builds the updater first. Every scenario is served by
one nginx on 127.0.0.1; the updater and its baseline run interleaved, after one untimed
warm-up each, with `sync` before every timed run so that neither pays for the other's
write-back. Results go to stdout and, between the markers, into docs/benchmarks.md.
"""
import argparse
import configparser
import datetime
import json
import os
import platform
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

import delaylink

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BEGIN = "<!-- bench:begin -->"
END = "<!-- bench:end -->"
DELAY_BEGIN = "<!-- bench-delay:begin -->"
DELAY_END = "<!-- bench-delay:end -->"
KIB, MIB = 1024, 1024 * 1024
# Bumped whenever the generated data changes, so a stale work directory is rebuilt.
DATA_STAMP = "bench-data-1"


def log(message):
    print(message, flush=True)


def load_publish():
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import publish
    return publish


def random_file(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            chunk = min(left, 4 * MIB)
            f.write(os.urandom(chunk))
            left -= chunk


def stand_in(path, version):
    """The main program: a tiny script that records that it ran."""
    with open(path, "w") as f:
        f.write("#!/bin/sh\necho %s >orbelan-started.txt\n" % version)
    os.chmod(path, 0o755)


def write_config(app, program, database, url):
    # AppModel/model=1 as any earlier run leaves it: the steady state of an installation.
    text = ("[AppModel]\nmodel=1\n[Version]\nPROGRAM=%s\nDATABASE=%s\n[Server]\nApiUrl=%s\n"
            "PackageUrl=%s\nTimeoutMs=30000\n" % (program, database, url, url))
    with open(os.path.join(app, "Config.ini"), "w", encoding="gb2312") as f:
        f.write(text)


def read_versions(app):
    c = configparser.ConfigParser(interpolation=None)
    c.read(os.path.join(app, "Config.ini"), encoding="gb2312")
    return c.get("Version", "PROGRAM", fallback=None), c.get("Version", "DATABASE", fallback=None)


# --- data -------------------------------------------------------------------------------

class Data:
    """Releases and server trees, built once per work directory and reused."""

    def __init__(self, work, publish):
        self.work = work
        self.publish = publish
        self.release = os.path.join(work, "release")
        self.server = os.path.join(work, "server")

    def pub(self, root, kind, version, source):
        rc = self.publish.main([kind, "--version", version, "--from", source, "--to", root])
        if rc != 0:
            raise SystemExit("publishing %s %s into %s failed" % (kind, version, root))

    def small_release(self, name, files):
        d = os.path.join(self.release, name)
        if not os.path.isdir(d):
            for relative, size in files:
                random_file(os.path.join(d, relative), size)
            stand_in(os.path.join(d, "Orbelan.exe"), name)
        return d

    def build(self, chain_length):
        stamp = os.path.join(self.work, "data.stamp")
        want = "%s chain=%d" % (DATA_STAMP, chain_length)
        if os.path.isfile(stamp) and open(stamp).read() == want:
            log("== Reusing the releases in %s" % self.work)
            return
        for d in (self.release, self.server):
            shutil.rmtree(d, ignore_errors=True)
        os.makedirs(self.server)
        tiny_program = self.small_release("tiny-program", [("readme.txt", 100)])
        tiny_db = os.path.join(self.release, "tiny-db")
        random_file(os.path.join(tiny_db, "data", "questions.db"), 10 * KIB)

        log("== Generating and publishing the releases (random, incompressible data)")
        # No update: both versions already installed.
        root = self.root("noupdate")
        self.pub(root, "program", "1.001", tiny_program)
        self.pub(root, "database", "1.001", tiny_db)

        # One large program package: 2,000 files, 200 MiB, ten directories of 200 files.
        big = os.path.join(self.release, "program-200m")
        per_file = 200 * MIB // 2000
        for i in range(10):
            for j in range(200):
                random_file(os.path.join(big, "lib%02d" % i, "f%03d.bin" % j), per_file)
        stand_in(os.path.join(big, "Orbelan.exe"), "1.001")
        root = self.root("program")
        self.pub(root, "program", "1.001", big)
        self.pub(root, "database", "1.001", tiny_db)

        # A long database chain: 100 packages of 100 KiB, 1.001 .. 1.100.
        root = self.root("chain")
        self.pub(root, "program", "1.001", tiny_program)
        for n in range(1, chain_length + 1):
            version = "1.%03d" % n
            d = os.path.join(self.release, "db-" + version)
            random_file(os.path.join(d, "data", "questions.db"), 99 * KIB)
            with open(os.path.join(d, "data", "index.txt"), "w") as f:
                f.write(("database %s\n" % version) * 64)
            self.pub(root, "database", version, d)
            shutil.rmtree(d)

        # Memory: a 5 MiB and a 500 MiB program package, five files each.
        for name, size in (("mem5", 5 * MIB), ("mem500", 500 * MIB)):
            d = os.path.join(self.release, name)
            for i in range(5):
                random_file(os.path.join(d, "lib", "big%d.bin" % i), size // 5)
            stand_in(os.path.join(d, "Orbelan.exe"), "1.001")
            root = self.root(name)
            self.pub(root, "program", "1.001", d)
            self.pub(root, "database", "1.001", tiny_db)
            shutil.rmtree(d)
        with open(stamp, "w") as f:
            f.write(want)

    def sign_program(self, name, secret_key):
        """Signs the program package of root `name` (again when it is newer than its
        signature), as `publish.py --sign` does."""
        package = os.path.join(self.root(name), "client", "program", "orbelan.zip")
        signature = package + ".minisig"
        if os.path.exists(signature) and os.path.getmtime(signature) >= os.path.getmtime(package):
            return
        staged = self.publish.sign_staged(package, "orbelan.zip", "1.001", secret_key)
        os.replace(staged, signature)

    def root(self, name):
        path = os.path.join(self.server, name)
        os.makedirs(path, exist_ok=True)
        return path


# --- nginx ------------------------------------------------------------------------------

class Nginx:
    def __init__(self, work, root):
        self.dir = os.path.join(work, "nginx")
        self.root = root
        self.proc = None
        self.port = None

    def start(self):
        os.makedirs(os.path.join(self.dir, "tmp"), exist_ok=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        d = self.dir
        conf = """daemon off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path %(d)s/tmp/body;
    proxy_temp_path %(d)s/tmp/proxy;
    fastcgi_temp_path %(d)s/tmp/fastcgi;
    uwsgi_temp_path %(d)s/tmp/uwsgi;
    scgi_temp_path %(d)s/tmp/scgi;
    types { application/zip zip; text/plain php; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
    }
}
""" % {"d": d, "port": self.port, "root": self.root}
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen(
            ["/usr/sbin/nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/error.log"],
            stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return "http://127.0.0.1:%d" % self.port
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise SystemExit("nginx did not come up; see %s/error.log" % d)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


# --- measuring --------------------------------------------------------------------------

def vm_hwm_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def descendants(pid):
    result, todo = [], [pid]
    while todo and len(result) < 64:
        p = todo.pop()
        try:
            with open("/proc/%d/task/%d/children" % (p, p)) as f:
                kids = [int(x) for x in f.read().split()]
        except (OSError, ValueError):
            kids = []
        result.extend(kids)
        todo.extend(kids)
    return result


def run_measured(cmd, cwd, env, tree, interval=0.005, timeout=600):
    """Wall time from start to exit, and the peak VmHWM (KiB) seen by polling /proc: of the
    process itself, or with `tree` the largest of it and its descendants. VmHWM is a high-water
    mark, so a sample taken any time after the peak sees it. Polled from a thread, so the exit
    is seen at once by wait()."""
    peak = [0]
    done = threading.Event()
    stderr = open(os.path.join(cwd, "..", os.path.basename(cwd) + ".stderr"), "ab")
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=stderr)

    def poll():
        while not done.is_set():
            pids = [proc.pid] + (descendants(proc.pid) if tree else [])
            for p in pids:
                v = vm_hwm_kib(p)
                if v and v > peak[0]:
                    peak[0] = v
            done.wait(interval)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()
    # A plain blocking wait: Popen.wait(timeout) polls with sleeps growing to 50 ms, which
    # would round every time up. The time limit is a separate timer.
    watchdog = threading.Timer(timeout, proc.kill)
    watchdog.start()
    rc = proc.wait()
    elapsed = time.perf_counter() - t0
    watchdog.cancel()
    done.set()
    poller.join()
    stderr.close()
    if rc == -9:
        raise SystemExit("%s ran longer than %d s" % (cmd[0], timeout))
    return rc, elapsed, peak[0]


def wait_for(path, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.01)
    return False


def sync_latency_ms(directory, count=15):
    """Median time of a small write plus fdatasync in `directory`: what each recorded version
    costs the updater beyond its own work, and what other processes' disk traffic inflates."""
    path = os.path.join(directory, ".sync-probe")
    times = []
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for _ in range(count):
            os.pwrite(fd, os.urandom(512), 0)
            t0 = time.perf_counter()
            os.fdatasync(fd)
            times.append(time.perf_counter() - t0)
    finally:
        os.close(fd)
        os.unlink(path)
    return statistics.median(times) * 1000


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


# --- scenarios --------------------------------------------------------------------------

BASELINE_VERSIONS = """#!/bin/sh
# Asks both versions, then starts the main program in the background.
set -e
cd "$1"
program=$(curl -sf "$2/client/verProgram.php")
database=$(curl -sf "$2/client/verDll.php")
./Orbelan.exe "" &
"""

BASELINE_PACKAGE = """#!/bin/sh
# Downloads the program package and unpacks it over the installation.
set -e
cd "$1"
curl -sf -o orbelan.zip "$2/client/program/orbelan.zip"
unzip -o -q orbelan.zip
rm -f orbelan.zip
"""

BASELINE_CHAIN = """#!/bin/sh
# Downloads and unpacks every database package in turn.
set -e
cd "$1"
url=$2
shift 2
for v in "$@"; do
    curl -sf -o v.zip "$url/client/dll/v$v.zip"
    unzip -o -q v.zip
done
rm -f v.zip
"""


TITLES = {"signed": "Program package, 200 MiB, verified vs. unverified build"}


class Scenario:
    def __init__(self, name, title, server, installed, expected, baseline, reps,
                 old_files=None, extra_args=(), versus_unsigned=False):
        self.name = name
        self.title = title
        self.server = server
        self.installed = installed  # (PROGRAM, DATABASE) before the run
        self.expected = expected  # after the run
        self.baseline = baseline
        self.reps = reps
        self.old_files = old_files  # a release directory laid out as the old installation
        self.extra_args = list(extra_args)
        # The updater side is the build that verifies signatures, the baseline the same
        # updater built without keys.
        self.versus_unsigned = versus_unsigned


class Bench:
    def __init__(self, args, data, url):
        self.args = args
        self.data = data
        self.url = url
        self.apps = os.path.join(args.work, "apps")
        self.scripts = os.path.join(args.work, "baselines")
        os.makedirs(self.apps, exist_ok=True)
        os.makedirs(self.scripts, exist_ok=True)
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    def reset(self, sc, side):
        app = os.path.join(self.apps, "%s-%s" % (sc.name, side))
        if os.path.isdir(app):
            shutil.rmtree(app)
        if sc.old_files:
            shutil.copytree(sc.old_files, app)
        else:
            os.makedirs(app)
        stand_in(os.path.join(app, "Orbelan.exe"), "1.000")
        base = "%s/%s" % (self.url, sc.server)
        if self.runs_updater(sc, side):
            binary = self.args.updater
            if side == "before":
                binary = self.args.before
            elif sc.versus_unsigned and side == "updater":
                binary = self.args.signed_updater
            shutil.copy2(binary, os.path.join(app, "UpdateTarvil"))
            write_config(app, sc.installed[0], sc.installed[1], base)
        elif side == "floor":
            shutil.copy2(self.args.floor, os.path.join(app, "qtfloor"))
        return app, base

    @staticmethod
    def runs_updater(sc, side):
        return side in ("updater", "before") or (side == "baseline" and sc.versus_unsigned)

    def baseline_script(self, sc):
        path = os.path.join(self.scripts, sc.name + ".sh")
        with open(path, "w") as f:
            f.write(sc.baseline)
        return path

    def run_side(self, sc, side, script):
        app, base = self.reset(sc, side)
        os.sync()
        if self.runs_updater(sc, side):
            rc, t, peak = run_measured([os.path.join(app, "UpdateTarvil")], app, self.env, tree=False)
            problems = []
            if rc != 0:
                problems.append("exit code %d" % rc)
            if read_versions(app) != sc.expected:
                problems.append("versions %s, expected %s" % (read_versions(app), sc.expected))
            if os.path.exists(os.path.join(app, "update")):
                problems.append("update/ left behind")
            if not wait_for(os.path.join(app, "orbelan-started.txt")):
                problems.append("main program not started")
            if sc.versus_unsigned and side == "updater" and not self.verified(app):
                problems.append("no \"1.001 signature verified\" in the log")
        elif side == "floor":
            rc, t, peak = run_measured([os.path.join(app, "qtfloor"), base], app, self.env, tree=False)
            problems = [] if rc == 0 else ["exit code %d" % rc]
            if not wait_for(os.path.join(app, "orbelan-started.txt")):
                problems.append("main program not started")
        else:
            cmd = ["/bin/sh", script, app, base] + sc.extra_args
            rc, t, peak = run_measured(cmd, app, self.env, tree=True)
            problems = [] if rc == 0 else ["exit code %d" % rc]
            if sc.name == "noupdate" and not wait_for(os.path.join(app, "orbelan-started.txt")):
                problems.append("main program not started")
        if problems:
            raise SystemExit("%s, %s: %s (see %s)" % (sc.name, side, "; ".join(problems), app))
        return t, peak

    def fresh_app(self, name):
        app = os.path.join(self.apps, name)
        if os.path.isdir(app):
            shutil.rmtree(app)
        os.makedirs(app)
        stand_in(os.path.join(app, "Orbelan.exe"), "1.000")
        return app

    def run_updater_at(self, url, server, installed, expected):
        """One timed updater run against the server tree `server` below `url`."""
        app = self.fresh_app("delay-updater")
        shutil.copy2(self.args.updater, os.path.join(app, "UpdateTarvil"))
        write_config(app, installed[0], installed[1], "%s/%s" % (url, server))
        os.sync()
        rc, t, peak = run_measured([os.path.join(app, "UpdateTarvil")], app, self.env, tree=False)
        if rc != 0 or read_versions(app) != expected or not wait_for(
                os.path.join(app, "orbelan-started.txt")):
            raise SystemExit("%s at %s: exit code %d, versions %s (see %s)" % (
                server, url, rc, read_versions(app), app))
        return t, peak

    def run_script_at(self, url, server, name, text, extra_args):
        """One timed run of a baseline script against the same server tree."""
        app = self.fresh_app("delay-baseline")
        path = os.path.join(self.scripts, "delay-%s-%s.sh" % (
            server, "".join(c if c.isalnum() else "-" for c in name)))
        with open(path, "w") as f:
            f.write(text)
        os.sync()
        cmd = ["/bin/sh", path, app, "%s/%s" % (url, server)] + list(extra_args)
        rc, t, _ = run_measured(cmd, app, self.env, tree=True)
        if rc != 0:
            raise SystemExit("%s, %s at %s: exit code %d (see %s)" % (server, name, url, rc, app))
        return t

    @staticmethod
    def verified(app):
        with open(os.path.join(app, "updatetarvillogs.txt"), "rb") as f:
            return b'"1.001 signature verified"' in f.read()

    def hash_reference(self, sc, reps):
        """Seconds b2sum (BLAKE2b-512, coreutils) takes over the package, page cache warm."""
        package = os.path.join(self.data.server, sc.server, "client", "program", "orbelan.zip")
        times = []
        for _ in range(reps + 1):
            t0 = time.perf_counter()
            subprocess.run(["b2sum", package], stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - t0)
        return times[1:]

    def run(self, sc):
        script = self.baseline_script(sc)
        log("== %s: %d repetitions" % (sc.title, sc.reps))
        load_before = load1()
        sync_before = sync_latency_ms(self.args.work)
        sides = ["updater", "baseline"]
        if sc.name == "noupdate" and self.args.floor:
            sides.append("floor")
        if self.args.before and sc.name in ("noupdate", "program", "chain"):
            sides.append("before")
        # Warm-up, untimed: page cache, nginx, the dynamic loader.
        for side in sides:
            self.run_side(sc, side, script)
        samples = {}
        for side in sides:
            samples[side], samples[side + "_kib"] = [], []
        for i in range(sc.reps):
            # The order rotates, so that neither side always runs right after the other.
            for side in sides[i % len(sides):] + sides[:i % len(sides)]:
                t, peak = self.run_side(sc, side, script)
                samples[side].append(t)
                samples[side + "_kib"].append(peak)
            log("   %2d: " % (i + 1) + "  ".join(
                "%s %8.3f s" % (side, samples[side][-1]) for side in sides))
        if sc.versus_unsigned:
            samples["b2sum"] = self.hash_reference(sc, sc.reps)
        samples["load"] = [load_before, load1()]
        samples["sync_ms"] = [sync_before, sync_latency_ms(self.args.work)]
        return samples


def summarize(samples):
    u, b = samples["updater"], samples["baseline"]
    pairs = [x / y for x, y in zip(u, b)]
    return {
        "updater_median": statistics.median(u), "updater_min": min(u), "updater_max": max(u),
        "baseline_median": statistics.median(b), "baseline_min": min(b), "baseline_max": max(b),
        "ratio": statistics.median(u) / statistics.median(b),
        "ratio_min": min(pairs), "ratio_max": max(pairs),
        "updater_mib": max(samples["updater_kib"]) / 1024.0,
        "baseline_mib": max(samples["baseline_kib"]) / 1024.0,
        "load": samples["load"],
        "sync_ms": samples["sync_ms"],
        "b2sum": statistics.median(samples["b2sum"]) if samples.get("b2sum") else None,
        "before": ({"median": statistics.median(samples["before"]), "min": min(samples["before"]),
                    "max": max(samples["before"]),
                    "ratio": statistics.median(u) / statistics.median(samples["before"]),
                    "ratio_min": min(x / y for x, y in zip(u, samples["before"])),
                    "ratio_max": max(x / y for x, y in zip(u, samples["before"]))}
                   if samples.get("before") else None),
        "floor": ({"median": statistics.median(samples["floor"]), "min": min(samples["floor"]),
                   "max": max(samples["floor"]),
                   "ratio": statistics.median(samples["floor"]) / statistics.median(b)}
                  if samples.get("floor") else None),
    }


def fmt_time(seconds):
    return "%.0f ms" % (seconds * 1000) if seconds < 1 else "%.2f s" % seconds


# --- machine ----------------------------------------------------------------------------

def machine_facts(work):
    def first(path, prefix):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(prefix):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "?"

    def cmd(args):
        try:
            return subprocess.run(args, capture_output=True, text=True, timeout=10).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return "?"

    df = cmd(["df", "-hT", work]).splitlines()[-1].split()
    device = df[0] if df else "?"
    rotational = "?"
    base = os.path.basename(device)
    rot = "/sys/block/%s/queue/rotational" % base
    if os.path.exists(rot):
        rotational = "kernel reports it %s" % (
            "rotational" if open(rot).read().strip() == "1" else "non-rotational")
    versions = cmd(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n",
                    "libqt5core5a", "libquazip1-qt5-1", "nginx-light", "curl", "unzip"])
    mem_kib = first("/proc/meminfo", "MemTotal").split()[0]
    options = "?"
    mount_point = cmd(["findmnt", "-n", "-o", "TARGET", "-T", work])
    for line in open("/proc/mounts"):
        parts = line.split()
        if len(parts) > 3 and parts[1] == mount_point:
            options = parts[3]
    return {
        "nproc": os.cpu_count(),
        "cpu": first("/proc/cpuinfo", "model name"),
        "memory": "%.1f GiB" % (int(mem_kib) / 1024.0 / 1024.0) if mem_kib.isdigit() else "?",
        "mount": "%s (%s)" % (mount_point, options),
        "disk": "%s %s, %s, %s free (%s)" % (device, df[1] if len(df) > 1 else "?",
                                             df[2] if len(df) > 2 else "?",
                                             df[4] if len(df) > 4 else "?", rotational),
        "kernel": platform.release(),
        "packages": ", ".join(versions.splitlines()),
    }


# --- report -----------------------------------------------------------------------------

def report(results, facts, args, started, finished):
    goals = {
        "noupdate": ("≤ 1.5×", lambda r: r["ratio"] <= 1.5),
        "program": ("≤ 0.9×", lambda r: r["ratio"] <= 0.9),
        "chain": ("≤ 0.4×", lambda r: r["ratio"] <= 0.4),
    }
    lines = []
    lines.append("Measured %s to %s (%s), `%s`." % (
        started.strftime("%Y-%m-%d %H:%M"), finished.strftime("%H:%M"),
        "%d s" % (finished - started).total_seconds(), args.command))
    lines.append("")
    lines.append("| Scenario | Updater, median (min–max) | Baseline, median (min–max) | "
                 "Ratio (per-pair range) | Goal | Updater peak RSS | Baseline peak RSS | Load 1 min | "
                 "fdatasync |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    verdicts = []
    for name, title, r, n in results:
        goal, check = goals.get(name, ("—", None))
        verdict = ""
        if check:
            ok = check(r)
            verdict = " " + ("met" if ok else "**missed**")
            verdicts.append((title, ok))
        lines.append("| %s (n=%d) | %s (%s–%s) | %s (%s–%s) | %.2f× (%.2f–%.2f) | %s%s | %.1f MiB | "
                     "%.1f MiB | %.2f → %.2f | %.2f → %.2f ms |" % (
                         title, n, fmt_time(r["updater_median"]), fmt_time(r["updater_min"]),
                         fmt_time(r["updater_max"]), fmt_time(r["baseline_median"]),
                         fmt_time(r["baseline_min"]), fmt_time(r["baseline_max"]), r["ratio"],
                         r["ratio_min"], r["ratio_max"], goal, verdict, r["updater_mib"],
                         r["baseline_mib"], r["load"][0], r["load"][1], r["sync_ms"][0],
                         r["sync_ms"][1]))
    by = {name: r for name, _, r, _ in results}
    floor = by.get("noupdate", {}).get("floor")
    if floor:
        lines.append("")
        lines.append("Reference for the no-update goal: `tools/bench/qtfloor`, a bare Qt Widgets program "
                     "that only builds one hidden plain widget and a network access manager, asks the "
                     "same two questions and starts the main program: %s (%s–%s), %.2f× the baseline "
                     "(%.2f× the updater's median)." % (
                         fmt_time(floor["median"]), fmt_time(floor["min"]), fmt_time(floor["max"]),
                         floor["ratio"], floor["median"] / by["noupdate"]["updater_median"]))
    signed = by.get("signed")
    if signed:
        extra = signed["updater_median"] - signed["baseline_median"]
        lines.append("")
        lines.append("Signature verification (the row \"%s\": updater built with a trusted key "
                     "against the same updater built without, same signed 200 MiB package): "
                     "%+.0f ms (%.2f×) for hashing while writing, the signature request and the "
                     "check; `b2sum` alone over the package, page cache warm: %s. Peak memory "
                     "%.1f MiB with verification, %.1f MiB without." % (
                         TITLES["signed"], extra * 1000, signed["ratio"],
                         fmt_time(signed["b2sum"]), signed["updater_mib"],
                         signed["baseline_mib"]))
    compared = [(title, r["before"]) for _, title, r, _ in results if r.get("before")]
    if compared:
        lines.append("")
        lines.append("Against the updater before the change (`%s`), run alternately with the "
                     "others in the same repetitions:" % args.before_label)
        lines.append("")
        lines.append("| Scenario | Before, median (min–max) | Now ÷ before (per-pair range) |")
        lines.append("|---|---|---|")
        for title, before in compared:
            lines.append("| %s | %s (%s–%s) | %.2f× (%.2f–%.2f) |" % (
                title, fmt_time(before["median"]), fmt_time(before["min"]),
                fmt_time(before["max"]), before["ratio"], before["ratio_min"],
                before["ratio_max"]))
    if "mem5" in by and "mem500" in by:
        small, large = by["mem5"]["updater_mib"], by["mem500"]["updater_mib"]
        ok = large < 80 and large - small < 10
        verdicts.append(("memory", ok))
        lines.append("")
        lines.append("Memory goal (updater under 80 MiB, growing by less than 10 MiB from the "
                     "5 MiB to the 500 MiB package): %.1f MiB → %.1f MiB, +%.1f MiB: %s." % (
                         small, large, large - small, "met" if ok else "**missed**"))
    lines.append("")
    lines.append("Machine: %d CPUs, %s; %s RAM; disk %s, mounted at %s; Linux %s." % (
        facts["nproc"], facts["cpu"], facts["memory"], facts["disk"], facts["mount"],
        facts["kernel"]))
    lines.append("Packages: %s." % facts["packages"])
    return "\n".join(lines), verdicts


def replace_block(path, begin, end, body):
    """Puts `body` between the markers `begin` and `end` of the document at `path`; False,
    and nothing written, when the document has no such block."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if begin not in text or end not in text:
        print("no %s in %s; not written" % (begin, path))
        return False
    head, rest = text.split(begin, 1)
    tail = rest.split(end, 1)[1]
    with open(path, "w", encoding="utf-8") as f:
        f.write(head + begin + "\n" + body + end + tail)
    return True


def write_doc(path, body, begin=BEGIN, end=END):
    text = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
    block = "%s\n%s\n%s" % (begin, body, end)
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        tail = rest.split(end, 1)[1]
        text = head + block + tail
    else:
        text = (text.rstrip() + "\n\n" if text else "# Benchmarks\n\n") + "## Results\n\n" + block + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--updater", required=True, help="the built UpdateTarvil")
    p.add_argument("--work", required=True, help="work directory (releases, apps, nginx)")
    p.add_argument("--reps", type=int, default=5, help="repetitions of the large scenarios")
    p.add_argument("--only", default="", help="comma-separated scenario names")
    p.add_argument("--doc", default=os.path.join(ROOT, "docs", "benchmarks.md"),
                   help="file whose results block is replaced ('' for none)")
    p.add_argument("--command", default="bash scripts/bench.sh")
    p.add_argument("--floor", default="", help="the reference program tools/bench/qtfloor")
    p.add_argument("--signed-updater", default="",
                   help="the updater built to trust --key; adds the scenario 'signed'")
    p.add_argument("--key", default="", help="minisign secret key that signs the packages")
    p.add_argument("--before", default="",
                   help="an earlier UpdateTarvil, timed alongside (no update, program, chain)")
    p.add_argument("--before-label", default="", help="how the report names --before")
    args = p.parse_args()
    args.work = os.path.abspath(args.work)
    args.updater = os.path.abspath(args.updater)
    args.floor = os.path.abspath(args.floor) if args.floor else ""
    args.signed_updater = os.path.abspath(args.signed_updater) if args.signed_updater else ""
    args.before = os.path.abspath(args.before) if args.before else ""
    args.before_label = args.before_label or args.before
    os.umask(0o022)
    os.makedirs(args.work, exist_ok=True)

    started = datetime.datetime.now()
    chain_length = 100
    data = Data(args.work, load_publish())
    data.build(chain_length)
    if args.signed_updater:
        data.sign_program("program", args.key)

    chain_versions = ["1.%03d" % n for n in range(1, chain_length + 1)]
    reps = max(1, args.reps)
    scenarios = [
        Scenario("noupdate", "No update", "noupdate", ("1.001", "1.001"), ("1.001", "1.001"),
                 BASELINE_VERSIONS, reps * 3),
        Scenario("program", "Program package, 200 MiB in 2,000 files", "program",
                 ("1.000", "1.001"), ("1.001", "1.001"), BASELINE_PACKAGE, reps,
                 old_files=os.path.join(data.release, "program-200m")),
        Scenario("chain", "Database chain, 100 × 100 KiB", "chain", ("1.001", "1.000"),
                 ("1.001", "1.100"), BASELINE_CHAIN, reps, extra_args=chain_versions),
        Scenario("signed", TITLES["signed"], "program", ("1.000", "1.001"), ("1.001", "1.001"),
                 "", reps, old_files=os.path.join(data.release, "program-200m"),
                 versus_unsigned=True),
        Scenario("mem5", "Memory, 5 MiB package", "mem5", ("1.000", "1.001"),
                 ("1.001", "1.001"), BASELINE_PACKAGE, max(1, (reps + 1) // 2)),
        Scenario("mem500", "Memory, 500 MiB package", "mem500", ("1.000", "1.001"),
                 ("1.001", "1.001"), BASELINE_PACKAGE, max(1, (reps + 1) // 2)),
    ]
    if not args.signed_updater:
        scenarios = [s for s in scenarios if not s.versus_unsigned]
    wanted = set(args.only.split(",")) if args.only else None
    if wanted:
        scenarios = [s for s in scenarios if s.name in wanted]
    # The far-away link takes minutes of waiting: only when asked for by name.
    delay = bool(wanted and "delay" in wanted)

    nginx = Nginx(args.work, data.server)
    url = nginx.start()
    log("== nginx serves %s at %s" % (data.server, url))
    results = []
    raw = {}
    try:
        bench = Bench(args, data, url)
        for sc in scenarios:
            samples = bench.run(sc)
            raw[sc.name] = samples
            results.append((sc.name, sc.title, summarize(samples), sc.reps))
        if delay:
            delay_lines = delaylink.run_delay_scenarios(
                bench, nginx.port, chain_versions, max(1, (reps + 1) // 2), log,
                BASELINE_VERSIONS)
    finally:
        nginx.stop()
        # The installations are rebuilt for every run; they hold over a gigabyte.
        shutil.rmtree(os.path.join(args.work, "apps"), ignore_errors=True)
    finished = datetime.datetime.now()
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(raw, f, indent=1)

    verdicts = []
    if results:
        body, verdicts = report(results, machine_facts(args.work), args, started, finished)
        log("")
        log(body)
        if args.doc:
            write_doc(args.doc, body)
            log("")
            log("Results written to %s" % args.doc)
    if delay:
        body = "\n".join(["Measured %s to %s, `%s`." % (
            started.strftime("%Y-%m-%d %H:%M"), finished.strftime("%H:%M"), args.command), ""]
            + delay_lines)
        log("")
        log(body)
        if args.doc:
            write_doc(args.doc, body, DELAY_BEGIN, DELAY_END)
    missed = [title for title, ok in verdicts if not ok]
    if missed:
        log("Goals missed: %s" % ", ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
