"""A far-away link on loopback, and the runs of the updater and curl across it.

This kernel has no netem, so a relay process adds the delay: it listens on a port of
127.0.0.1, forwards each connection to nginx and holds every chunk back by half the round
trip in each direction. A new connection first waits one whole round trip before anything
passes, as the TCP handshake costs on a real link. Bandwidth is not limited.
"""
import asyncio
import os
import socket
import statistics
import threading
import time

FORWARD_CHUNK = 64 * 1024


class LoopbackRelay:
    """A TCP server on a free port of 127.0.0.1, run by its own asyncio loop on a thread.
    Subclasses define `serve(reader, writer)`; `started()` runs on the loop once it listens."""

    def __init__(self):
        self.loop = self.thread = self.port = None

    def start(self):
        ready = threading.Event()

        def run():
            self.loop = asyncio.new_event_loop()
            asyncio.set_event_loop(self.loop)
            server = self.loop.run_until_complete(
                asyncio.start_server(self.serve, "127.0.0.1", 0))
            self.port = server.sockets[0].getsockname()[1]
            self.started()
            ready.set()
            self.loop.run_forever()
            server.close()
            # Connections still open (kept alive by a client that has gone) and background
            # tasks end here.
            pending = asyncio.all_tasks(self.loop)
            for task in pending:
                task.cancel()
            self.loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
            self.loop.close()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        if not ready.wait(10):
            raise SystemExit("the relay on 127.0.0.1 did not start")
        return "http://127.0.0.1:%d" % self.port

    def started(self):
        pass

    def stop(self):
        if self.loop:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(10)


class DelayRelay(LoopbackRelay):
    """Forwards 127.0.0.1:<port> to `upstream_port` with `rtt_ms` of round-trip delay."""

    def __init__(self, upstream_port, rtt_ms):
        super().__init__()
        self.upstream_port = upstream_port
        self.delay = rtt_ms / 2000.0
        self.connections = 0

    async def serve(self, client_reader, client_writer):
        self.connections += 1
        try:
            # The handshake's round trip, before the first byte of the request can pass.
            await asyncio.sleep(2 * self.delay)
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            client_writer.close()
            return
        try:
            await asyncio.gather(self.pump(client_reader, up_writer),
                                 self.pump(up_reader, client_writer), return_exceptions=True)
        except asyncio.CancelledError:
            # The relay stops: a connection kept alive by its client ends with it.
            client_writer.close()
            up_writer.close()

    async def pump(self, reader, writer):
        """Copies until the end, every chunk leaving `delay` after it arrived."""
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def read():
            while True:
                try:
                    data = await reader.read(FORWARD_CHUNK)
                except (ConnectionError, OSError):
                    data = b""
                await queue.put((loop.time() + self.delay, data))
                if not data:
                    return

        async def write():
            try:
                while True:
                    due, data = await queue.get()
                    wait = due - loop.time()
                    if wait > 0:
                        await asyncio.sleep(wait)
                    if not data:
                        if writer.can_write_eof():
                            writer.write_eof()
                        return
                    writer.write(data)
                    await writer.drain()
            except (ConnectionError, OSError):
                pass
            finally:
                if not data:
                    writer.close()

        await asyncio.gather(read(), write())


# The plainest shell way of doing the same across the link. curl opens one connection per
# process (the no-update run's per-request script is the loopback baseline's, passed in);
# given all URLs at once it keeps one connection, which is what the updater does.
CURL_VERSIONS_ONE_CONNECTION = """#!/bin/sh
set -e
cd "$1"
curl -sf "$2/client/verProgram.php" "$2/client/verDll.php" >/dev/null
./Orbelan.exe "" &
"""

CURL_CHAIN_PER_PACKAGE = """#!/bin/sh
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

CURL_CHAIN_ONE_CONNECTION = """#!/bin/sh
set -e
cd "$1"
url=$2
shift 2
args=""
for v in "$@"; do
    args="$args -o v$v.zip $url/client/dll/v$v.zip"
done
curl -sf $args
for v in "$@"; do
    unzip -o -q "v$v.zip"
    rm -f "v$v.zip"
done
"""


def run_delay_scenarios(bench, nginx_port, chain_versions, reps, log, curl_versions):
    """Report lines for the no-update run and the database chain on loopback and at 50 and
    200 ms round trip; `curl_versions` asks the two versions with one curl each."""
    rows = []
    for rtt in (0, 50, 200):
        relay = DelayRelay(nginx_port, rtt) if rtt else None
        url = relay.start() if relay else bench.url
        try:
            rows.append(("No update", rtt, measure(
                bench, url, "noupdate", curl_versions, CURL_VERSIONS_ONE_CONNECTION, [],
                ("1.001", "1.001"), ("1.001", "1.001"), reps * 2, relay, log, rtt)))
            rows.append(("Database chain, 100 × 100 KiB", rtt, measure(
                bench, url, "chain", CURL_CHAIN_PER_PACKAGE, CURL_CHAIN_ONE_CONNECTION,
                chain_versions, ("1.001", "1.000"), ("1.001", "1.100"), reps, relay, log, rtt)))
            if rtt == 200:
                # The largest package across the slowest link: memory as on loopback.
                rows.append(("Memory, 500 MiB package", rtt, measure(
                    bench, url, "mem500", None, None, [], ("1.000", "1.001"), ("1.001", "1.001"),
                    1, relay, log, rtt)))
        finally:
            if relay:
                relay.stop()
    return report(rows)


def measure(bench, url, server, per_request, one_connection, extra_args, installed, expected,
            reps, relay, log, rtt):
    scripts = {"curl": per_request, "curl, one connection": one_connection} if per_request else {}
    samples = {"updater": [], "updater_connections": [], "updater_kib": []}
    for name in scripts:
        samples[name] = []
    log("== %s at %d ms round trip: %d repetitions" % (server, rtt, reps))
    for i in range(reps):
        before = relay.connections if relay else 0
        t, peak = bench.run_updater_at(url, server, installed, expected)
        samples["updater"].append(t)
        samples["updater_kib"].append(peak)
        samples["updater_connections"].append((relay.connections if relay else 0) - before)
        for name, text in scripts.items():
            samples[name].append(bench.run_script_at(url, server, name, text, extra_args))
        log("   %2d: " % (i + 1) + "  ".join(
            "%s %7.3f s" % (name, samples[name][-1]) for name in ["updater"] + list(scripts)))
    return samples


def report(rows):
    """One row per run and round trip; the cost of the link is the median's growth over the
    same run on loopback, counted in round trips."""
    lines = ["| Run | Round trip | Updater, median (min–max) | Connections the updater opened | "
             "Link cost of the updater | Updater peak RSS | curl, one process per request | "
             "curl, one connection |",
             "|---|---|---|---|---|---|---|---|"]
    loopback = {title: statistics.median(s["updater"]) for title, rtt, s in rows if rtt == 0}
    for title, rtt, s in rows:
        u = statistics.median(s["updater"])
        cost = "—"
        if rtt and title in loopback:
            cost = "%.1f round trips" % ((u - loopback[title]) / (rtt / 1000.0))
        curl = s.get("curl")
        one = s.get("curl, one connection")
        lines.append("| %s | %s | %s (%s–%s) | %s | %s | %.1f MiB | %s | %s |" % (
            title, "%d ms" % rtt if rtt else "loopback", ms(u), ms(min(s["updater"])),
            ms(max(s["updater"])), "%d" % max(s["updater_connections"]) if rtt else "—", cost,
            max(s["updater_kib"]) / 1024.0, ms(statistics.median(curl)) if curl else "—",
            ms(statistics.median(one)) if one else "—"))
    return lines


def ms(seconds):
    return "%.0f ms" % (seconds * 1000) if seconds < 10 else "%.1f s" % seconds
