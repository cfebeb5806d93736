#!/usr/bin/env python3
"""A package download across a link that drops: the updater's resume against a curl loop.

    python3 tools/bench/resume.py --updater build/UpdateTarvil --work build/bench-resume

A program package of random bytes (one file, published with tools/publish.py; its index is
removed, so the updater fetches the package whole) is served by nginx through a relay on
127.0.0.1 that cuts connections and counts the bytes it forwards towards the client, response
headers included. Two links:

  cut      loopback speed, every connection closed after 10 MB forwarded towards the client
           (counted per connection, headers included): 150 MB package.
  slow     2 Mbit/s per connection, "1 % loss" and every open connection reset (both
           sides) every 2 minutes: a 40 MB package. Loopback loses nothing and a user-space
           relay sees a byte stream, not segments, so loss is modelled as its cost: for every
           1460 bytes forwarded, with probability 1 %, the stream stands still for 200 ms (as a
           segment recovered by a retransmission timeout would make it), and the time is not
           made up afterwards.

Each way runs on a fresh relay: the updater on a fresh installation of 1.000 (start to exit,
version questions, download, installation, hand-over; the installed file is compared with the
published one), and curl in three forms (CURL_WAYS), each run again and again until the file
has the package's size or the time limit passes (--curl-limit, --slow-curl-limit; download
only, compared afterwards). Each link's results replace its block between the markers in
docs/benchmarks.md.
"""
import argparse
import asyncio
import datetime
import filecmp
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import bench  # noqa: E402  (nginx, config and stand-in helpers)
import delaylink  # noqa: E402  (the relay's thread and loop)

MB = 1000 * 1000
# One block per link, so either can be measured again alone.
BEGIN = "<!-- bench-resume-%s:begin -->"
END = "<!-- bench-resume-%s:end -->"
CHUNK = 16 * 1024
SEGMENT = 1460
# curl's ways of finishing a download across cuts, each run in a loop until the file is
# complete: as one would write it; with a fixed 1 s pause between retries; and without
# --retry, so every invocation continues from the bytes on disk. curl 7.88 throws the
# bytes of a failed attempt away before it retries ("Throwing away N bytes"): within one
# invocation it always starts again from where the invocation started.
CURL_WAYS = [
    ("curl --retry 20 --retry-all-errors -C -",
     ["curl", "-s", "--retry", "20", "--retry-all-errors", "-C", "-", "-o"]),
    ("curl --retry 20 --retry-all-errors --retry-delay 1 -C -",
     ["curl", "-s", "--retry", "20", "--retry-all-errors", "--retry-delay", "1", "-C", "-",
      "-o"]),
    ("curl -C - (no --retry)", ["curl", "-s", "-C", "-", "-o"]),
]


class CuttingRelay(delaylink.LoopbackRelay):
    """127.0.0.1:<port> to nginx. Closes a connection once `cut_bytes` have gone towards the
    client on it, or every open connection each `drop_seconds`; holds connections to `rate`
    bytes per second towards the client; stalls `stall_seconds` with probability `loss` per
    1460 bytes. Counts the bytes forwarded towards the client and the connections."""

    def __init__(self, upstream_port, cut_bytes=None, rate=None, loss=0.0, stall_seconds=0.2,
                 drop_seconds=None, seed=1):
        super().__init__()
        self.upstream_port, self.cut_bytes, self.rate = upstream_port, cut_bytes, rate
        self.loss, self.stall_seconds, self.drop_seconds = loss, stall_seconds, drop_seconds
        self.random = random.Random(seed)
        self.bytes = self.connections = self.cuts = self.drops = self.stalls = 0
        self.open = set()

    def started(self):
        if self.drop_seconds:
            self.loop.create_task(self.dropper())

    async def dropper(self):
        while True:
            await asyncio.sleep(self.drop_seconds)
            if self.open:
                self.drops += 1
            for writers in list(self.open):
                for w in writers:
                    w.transport.abort()

    async def serve(self, client_reader, client_writer):
        self.connections += 1
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            client_writer.close()
            return
        pair = (client_writer, up_writer)
        self.open.add(pair)
        try:
            await asyncio.gather(self.pump(client_reader, up_writer, False),
                                 self.pump(up_reader, client_writer, True),
                                 return_exceptions=True)
        finally:
            self.open.discard(pair)
            client_writer.close()
            up_writer.close()

    async def pump(self, reader, writer, downstream):
        loop = asyncio.get_running_loop()
        start, sent = loop.time(), 0
        try:
            while True:
                want = CHUNK
                if downstream and self.cut_bytes:
                    want = min(want, self.cut_bytes - sent)
                data = await reader.read(want)
                if not data:
                    break
                if downstream:
                    self.bytes += len(data)
                    # Time lost to a retransmission is not made up by sending faster later.
                    start += await self.lose(data)
                writer.write(data)
                await writer.drain()
                sent += len(data)
                if downstream and self.rate:
                    wait = start + sent / self.rate - loop.time()
                    if wait > 0:
                        await asyncio.sleep(wait)
                if downstream and self.cut_bytes and sent >= self.cut_bytes:
                    self.cuts += 1
                    break
        except (ConnectionError, OSError):
            pass
        finally:
            # Both ends go: the client sees the connection closed after what it got.
            for pair in list(self.open):
                if writer in pair:
                    for w in pair:
                        w.close()
            writer.close()

    async def lose(self, data):
        """Seconds the stream stood still for the segments of `data` that were "lost"."""
        if not self.loss:
            return 0
        segments = (len(data) + SEGMENT - 1) // SEGMENT
        lost = sum(1 for _ in range(segments) if self.random.random() < self.loss)
        if lost:
            self.stalls += lost
            await asyncio.sleep(lost * self.stall_seconds)
        return lost * self.stall_seconds


def make_server(work, size):
    """A release of program 1.001 whose package holds one file of `size` random bytes."""
    server = os.path.join(work, "server-%d" % size)
    source = os.path.join(work, "source-%d" % size)
    package = os.path.join(server, "client", "program", "orbelan.zip")
    if not os.path.isfile(package):
        shutil.rmtree(server, ignore_errors=True)
        bench.random_file(os.path.join(source, "orbelan-data.bin"), size)
        os.makedirs(os.path.join(server, "client"))
        with open(os.path.join(server, "client", "verDll.php"), "w") as f:
            f.write("1.000")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), "program",
                        "--version", "1.001", "--from", source, "--to", server], check=True,
                       stdout=subprocess.DEVNULL)
        # The whole package is what this measures, not the differential update.
        os.unlink(package + ".index")
    return server, source, package


def run_updater(args, name, url, source):
    app = os.path.join(args.work, "apps", name)
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    bench.stand_in(os.path.join(app, "Orbelan.exe"), "1.000")
    bench.write_config(app, "1.000", "1.000", url)
    shutil.copy2(args.updater, os.path.join(app, "UpdateTarvil"))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    rc, elapsed, peak = bench.run_measured([os.path.join(app, "UpdateTarvil")], app, env,
                                           tree=False, timeout=3600)
    ok = rc == 0 and bench.read_versions(app)[0] == "1.001" and filecmp.cmp(
        os.path.join(app, "orbelan-data.bin"), os.path.join(source, "orbelan-data.bin"),
        shallow=False)
    with open(os.path.join(app, "updatetarvillogs.txt"), "rb") as f:
        log = f.read().decode("utf-8", "replace")
    resumed = log.count("download resumed at")
    again = log.count("download starts again from 0")
    return {"ok": ok, "time": elapsed, "peak_kib": peak, "resumed": resumed, "again": again,
            "on_disk": os.path.getsize(os.path.join(app, "orbelan-data.bin")) if ok else 0}


def run_curl(args, name, url, package, command, limit):
    """`command` again and again until the file has the package's size, or `limit` seconds
    have passed (then the invocation running is killed)."""
    out = os.path.join(args.work, "apps", name + ".zip")
    if os.path.exists(out):
        os.unlink(out)
    size = os.path.getsize(package)
    invocations, peak = 0, 0
    start = time.perf_counter()
    while not (os.path.exists(out) and os.path.getsize(out) >= size):
        left = limit - (time.perf_counter() - start)
        if left <= 0:
            break
        invocations += 1
        try:
            _, _, p = bench.run_measured(command + [out, url + "/client/program/orbelan.zip"],
                                         args.work, os.environ, tree=True, timeout=left)
            peak = max(peak, p)
        except SystemExit:
            break  # killed at the time limit
    elapsed = time.perf_counter() - start
    on_disk = os.path.getsize(out) if os.path.exists(out) else 0
    ok = on_disk == size and filecmp.cmp(out, package, shallow=False)
    return {"ok": ok, "time": elapsed, "peak_kib": peak, "on_disk": on_disk,
            "invocations": invocations}


def measure(args, key, link, nginx_port, relay_options, source, package, limit):
    rows = []
    for way, command in [("updater", None)] + CURL_WAYS:
        relay = CuttingRelay(nginx_port, **relay_options)
        url = relay.start()
        try:
            if command is None:
                sample = run_updater(args, key, url, source)
            else:
                sample = run_curl(args, key, url, package, command, limit)
        finally:
            relay.stop()
        sample.update(way=way, bytes=relay.bytes, connections=relay.connections,
                      cuts=relay.cuts + relay.drops, stalls=relay.stalls)
        bench.log("%s %s: %s" % (link, way, sample))
        rows.append(sample)
    return rows


def report(results, started, finished, command):
    lines = ["Measured %s to %s (%d s), `%s`." % (
        started.strftime("%Y-%m-%d %H:%M"), finished.strftime("%H:%M"),
        (finished - started).total_seconds(), command), "",
        "| Link | Package | Way | Complete and identical | Time | Bytes on the wire "
        "(towards the client) | Multiple of the package | Connections | Cuts | Peak RSS |",
        "|---|---|---|---|---|---|---|---|---|---|"]
    for link, package, rows in results:
        for r in rows:
            way = "updater" if r["way"] == "updater" else \
                "`%s` loop, %d invocations" % (r["way"], r["invocations"])
            done = "yes" if r["ok"] else "**no**: %.1f MB on disk when stopped" % (
                r["on_disk"] / MB)
            # A run killed at the time limit leaves no peak.
            peak = "%.1f MiB" % (r["peak_kib"] / 1024.0) if r["peak_kib"] else "—"
            lines.append("| %s | %.1f MB | %s | %s | %.1f s | %.2f MB | %.3f× | %d | %d | %s |" % (
                link, package / MB, way, done, r["time"], r["bytes"] / MB, r["bytes"] / package,
                r["connections"], r["cuts"], peak))
    for link, package, rows in results:
        u = rows[0]
        lines.append("")
        lines.append("%s: the updater's log has %d \"download resumed at\" and %d \"download "
                     "starts again from 0\" lines." % (link, u["resumed"], u["again"]))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", default="cut,slow", help="cut, slow or both")
    parser.add_argument("--cut-size", type=int, default=150 * MB)
    parser.add_argument("--slow-size", type=int, default=40 * MB)
    parser.add_argument("--curl-limit", type=float, default=360,
                        help="seconds after which a curl loop is stopped on the fast link")
    parser.add_argument("--slow-curl-limit", type=float, default=360,
                        help="the same on the slow link")
    parser.add_argument("--doc", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    parser.add_argument("--command", default="python3 tools/bench/resume.py")
    args = parser.parse_args()
    args.updater = os.path.abspath(args.updater)
    args.work = os.path.abspath(args.work)
    os.makedirs(os.path.join(args.work, "apps"), exist_ok=True)
    links = [("cut", "cut every 10 MB", args.cut_size, dict(cut_bytes=10 * MB),
              args.curl_limit),
             ("slow", "2 Mbit/s, 1 % loss, drop every 2 min", args.slow_size,
              dict(rate=2 * MB // 8, loss=0.01, stall_seconds=0.2, drop_seconds=120),
              args.slow_curl_limit)]
    for key, link, size, options, limit in links:
        if key not in args.only.split(","):
            continue
        started = datetime.datetime.now()
        server, source, package = make_server(args.work, size)
        nginx = bench.Nginx(os.path.join(args.work, "nginx-%d" % size), server)
        os.makedirs(nginx.dir, exist_ok=True)
        nginx.start()
        try:
            rows = measure(args, key, link, nginx.port, options, source, package, limit)
        finally:
            nginx.stop()
        body = report([(link, os.path.getsize(package), rows)], started,
                      datetime.datetime.now(), args.command)
        print(body)
        bench.replace_block(args.doc, BEGIN % key, END % key, body)


if __name__ == "__main__":
    main()
