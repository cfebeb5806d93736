#!/usr/bin/env python3
"""The differential program update against the whole package: bytes on the wire and time.

    python3 tools/bench/differential.py --updater build/UpdateTarvil --work build/bench-diff

A 121 MB program package of 32 files, 3 of which (5.1 MB) change from 1.001 to 1.002, published
with tools/publish.py and served by nginx through a relay on 127.0.0.1 that counts the bytes
and, for the slow link, holds each connection to 2 Mbit/s. Three ways to get 1.002 onto an
installation of 1.001: the updater with the package's index (differential), the updater
without it (whole package), and `curl` of the whole package alone (no unpacking). The results
replace the block between the markers in docs/benchmarks.md.
"""
import argparse
import asyncio
import datetime
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (nginx, config and stand-in helpers)
import delaylink  # noqa: E402  (the relay's thread and loop)

MB = 1000 * 1000
BEGIN = "<!-- bench-differential:begin -->"
END = "<!-- bench-differential:end -->"
SLOW_RATE = 2 * 1000 * 1000 // 8  # bytes per second
CHUNK = 16 * 1024
# 29 unchanged files (116 MB) and 3 changed ones (5.1 MB): 121.1 MB in 32 files.
CHANGED = {"orbelan-core.dll": 3000 * 1000, "lib/render.dll": 1500 * 1000,
           "lib/net.dll": 600 * 1000}


def layout():
    files = {}
    for i in range(21):
        files["module%02d.dll" % i] = 4000 * 1000
    for i in range(8):
        files["lib/part%d.bin" % i] = 4000 * 1000
    files.update(CHANGED)
    assert len(files) == 32
    return files


def make_release(work, version, previous):
    """The source tree of `version`: the changed files new, the others hard links of
    `previous` (same bytes)."""
    source = os.path.join(work, "source-" + version)
    if os.path.isdir(source):
        return source
    for name, size in layout().items():
        path = os.path.join(source, name)
        if previous and name not in CHANGED:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.link(os.path.join(previous, name), path)
        else:
            bench.random_file(path, size)
    return source


class CountingRelay(delaylink.LoopbackRelay):
    """127.0.0.1:<port> to nginx, counting bytes both ways, each connection held to `rate`
    bytes per second towards the client when given."""

    def __init__(self, upstream_port, rate=None):
        super().__init__()
        self.upstream_port, self.rate = upstream_port, rate
        self.bytes = 0

    async def serve(self, client_reader, client_writer):
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        await asyncio.gather(self.pump(client_reader, up_writer, None),
                             self.pump(up_reader, client_writer, self.rate),
                             return_exceptions=True)

    async def pump(self, reader, writer, rate):
        loop = asyncio.get_running_loop()
        start, sent = loop.time(), 0
        try:
            while True:
                data = await reader.read(CHUNK)
                if not data:
                    break
                self.bytes += len(data)
                writer.write(data)
                await writer.drain()
                if rate:
                    sent += len(data)
                    wait = start + sent / rate - loop.time()
                    if wait > 0:
                        await asyncio.sleep(wait)
        except (ConnectionError, OSError):
            pass
        finally:
            writer.close()


def install_old(work, name, old_source, url, updater):
    app = os.path.join(work, "apps", name)
    if os.path.isdir(app):
        shutil.rmtree(app)
    shutil.copytree(old_source, app, copy_function=os.link)
    bench.stand_in(os.path.join(app, "Orbelan.exe"), "1.001")
    bench.write_config(app, "1.001", "1.000", url)
    # The updater takes the directory it lies in for the installation.
    shutil.copy2(updater, os.path.join(app, "UpdateTarvil"))
    return app


def check_installed(app, new_source, full):
    if bench.read_versions(app)[0] != "1.002":
        raise SystemExit("%s: program version not recorded; see its updatetarvillogs.txt" % app)
    for name in (layout() if full else CHANGED):
        if not filecmp.cmp(os.path.join(app, name), os.path.join(new_source, name), shallow=False):
            raise SystemExit("%s: %s differs from 1.002" % (app, name))


def timed(cmd, cwd, env, relay):
    before = relay.bytes
    start = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False, timeout=3600)
    return time.perf_counter() - start, relay.bytes - before


def measure(args, link, relay, url, sources, index, reps):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    results = {"differential": [], "whole": [], "curl": []}
    for rep in range(reps):
        for side in results:
            if side == "whole":
                os.rename(index, index + ".hidden")
            try:
                if side == "curl":
                    out = os.path.join(args.work, "curl.zip")
                    sample = timed(["curl", "-sf", "-o", out, url + "/client/program/orbelan.zip"],
                                   args.work, env, relay)
                    os.unlink(out)
                else:
                    app = install_old(args.work, "%s-%s" % (link, side), sources[0], url,
                                      args.updater)
                    subprocess.run(["sync"])
                    sample = timed([os.path.join(app, "UpdateTarvil")], app, env, relay)
                    check_installed(app, sources[1], full=rep == 0)
            finally:
                if side == "whole":
                    os.rename(index + ".hidden", index)
            bench.log("%s %s: %.2f s, %d bytes" % (link, side, sample[0], sample[1]))
            results[side].append(sample)
    return results


def summary(samples):
    times = [t for t, _ in samples]
    return statistics.median(times), min(times), max(times), statistics.median(b for _, b in samples)


def report(rows, package, changed_records, started, finished, command):
    lines = ["Measured %s to %s (%d s), `%s`." % (
        started.strftime("%Y-%m-%d %H:%M"), finished.strftime("%H:%M"),
        (finished - started).total_seconds(), command), "",
        "Package: %.1f MB in 32 files; the 3 changed files' records: %.2f MB." % (
            package / MB, changed_records / MB), "",
        "| Link | Way | Time, median (min–max) | Bytes on the wire | Share of the package | n |",
        "|---|---|---|---|---|---|"]
    for link, results in rows:
        for side, label in [("differential", "updater, differential"),
                            ("whole", "updater, whole package (no index)"),
                            ("curl", "`curl` of the whole package")]:
            median, low, high, wire = summary(results[side])
            lines.append("| %s | %s | %.2f s (%.2f–%.2f s) | %.2f MB | %.1f %% | %d |" % (
                link, label, median, low, high, wire / MB, 100.0 * wire / package,
                len(results[side])))
    for link, results in rows:
        diff, whole, curl = (summary(results[s])[0] for s in ("differential", "whole", "curl"))
        lines.append("")
        lines.append("%s: the differential update takes %.1f× less time than the whole package "
                     "through the updater and %.1f× less than `curl` of it alone." % (
                         link, whole / diff, curl / diff))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--reps", type=int, default=5, help="repetitions on loopback")
    parser.add_argument("--slow-reps", type=int, default=1, help="repetitions at 2 Mbit/s")
    parser.add_argument("--doc", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    parser.add_argument("--command", default="python3 tools/bench/differential.py")
    args = parser.parse_args()
    args.updater = os.path.abspath(args.updater)
    args.work = os.path.abspath(args.work)
    os.makedirs(os.path.join(args.work, "apps"), exist_ok=True)
    publish = os.path.join(ROOT, "tools", "publish.py")
    old = make_release(args.work, "1.001", None)
    new = make_release(args.work, "1.002", old)
    server = os.path.join(args.work, "server")
    if not os.path.isfile(os.path.join(server, "client", "program", "orbelan.zip.index")):
        shutil.rmtree(server, ignore_errors=True)
        os.makedirs(os.path.join(server, "client"))
        with open(os.path.join(server, "client", "verDll.php"), "w") as f:
            f.write("1.000")
        subprocess.run([sys.executable, publish, "program", "--version", "1.002", "--from", new,
                        "--to", server], check=True)
    index = os.path.join(server, "client", "program", "orbelan.zip.index")
    package = os.path.getsize(os.path.join(server, "client", "program", "orbelan.zip"))
    changed_records = 0
    with open(index, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(" ", 5)
            if fields[0] == "file" and fields[5] in CHANGED:
                changed_records += int(fields[4])
    nginx = bench.Nginx(args.work, server)
    nginx.start()
    started = datetime.datetime.now()
    rows = []
    try:
        for link, rate, reps in [("loopback", None, args.reps),
                                 ("2 Mbit/s", SLOW_RATE, args.slow_reps)]:
            if reps <= 0:
                continue
            relay = CountingRelay(nginx.port, rate)
            url = relay.start()
            try:
                rows.append((link, measure(args, link, relay, url, (old, new), index, reps)))
            finally:
                relay.stop()
    finally:
        nginx.stop()
    body = report(rows, package, changed_records, started, datetime.datetime.now(), args.command)
    print(body)
    bench.replace_block(args.doc, BEGIN, END, body)


if __name__ == "__main__":
    main()
