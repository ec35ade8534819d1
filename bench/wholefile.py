#!/usr/bin/env python3
"""Benchmark of whole-file uploads: uploader-file beside loops of single-chunk clients.

A file of 256 MiB (--size) in 8 MiB chunks goes to the bundled receiver over
http and https (a test authority made for the run), on three links: loopback
as it is, 1 Gbit/s, and 1 Gbit/s with a 50 ms round trip. The rate and the
round trip come from a relay of this script's own (this kernel has no netem):
each direction's bytes are sent at the link's rate, held for half the round
trip, with at most one bandwidth-delay product in flight, and a new
connection's first byte waits one round trip (its handshake). Clients:
uploader-file --parallel 1 and 4, a shell loop of uploader runs, a shell loop
of curl posting the same ranges with the same headers, and one curl request
of the whole file, the link's practical ceiling. Prints the median wall time of
--runs runs, CPU seconds per GiB and peak RSS, the relay's own ceiling and the
cost of the CRC-32; writes the tables to bench/results-wholefile.md.
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import BUILD, MIB, ROOT, make_authority, run  # noqa: E402

CHUNK = 8 * MIB
HEADERS = ["X_ZORV_API_TOKEN: token", "X_ZORV_LOCAL_TS_OFFSET: 0", "USER-AGENT: tovanel/5.0.0",
           "Accept-Encoding: gzip,deflate", "Content-Type: application/octet-stream",
           "Connection: Keep-Alive", "Keep-Alive: timeout=20000"]


class Direction:
    """One direction of the link: a rate, a delay and at most one bandwidth-delay product in flight."""

    def __init__(self, loop, rate, delay):
        self.loop, self.rate, self.delay = loop, rate, delay
        self.free_at = 0.0
        self.in_flight = 0
        # One bandwidth-delay product; without a delay, enough that the relay's own pace does not show.
        self.limit = max(1 << 20, int(rate * 2 * delay)) if rate else 1 << 30
        self.room = asyncio.Event()
        self.room.set()

    async def carry(self, data, writer):
        while self.in_flight >= self.limit:
            self.room.clear()
            await self.room.wait()
        now = self.loop.time()
        self.free_at = max(now, self.free_at) + (len(data) / self.rate if self.rate else 0)
        self.in_flight += len(data)
        self.loop.call_at(self.free_at + self.delay, self.deliver, data, writer)

    def deliver(self, data, writer):
        self.in_flight -= len(data)
        if not writer.is_closing():
            writer.write(data)
        if self.in_flight < self.limit:
            self.room.set()


class Relay:
    """A TCP relay on 127.0.0.1 that plays the link, in a thread of its own."""

    def __init__(self, target_port, bits_per_second, round_trip):
        self.target_port, self.round_trip = target_port, round_trip
        self.rate = bits_per_second / 8 if bits_per_second else 0
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        self.ready.wait()

    def serve(self):
        self.loop = asyncio.new_event_loop()
        self.up = Direction(self.loop, self.rate, self.round_trip / 2)
        self.down = Direction(self.loop, self.rate, self.round_trip / 2)
        server = self.loop.run_until_complete(asyncio.start_server(self.connect, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        self.ready.set()
        self.loop.run_forever()

    async def connect(self, client_reader, client_writer):
        await asyncio.sleep(self.round_trip)  # the handshake
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(self.pump(client_reader, server_writer, self.up),
                             self.pump(server_reader, client_writer, self.down))

    async def pump(self, reader, writer, direction):
        try:
            while True:
                data = await reader.read(256 * 1024)
                if not data:
                    break
                await direction.carry(data, writer)
            # What is still on the link arrives before the end does.
            await asyncio.sleep(max(0.0, direction.free_at - direction.loop.time()) + direction.delay + 0.01)
            writer.write_eof()
        except (OSError, RuntimeError):
            writer.close()


def receiver(tls):
    options = ["--tls-cert", tls[0], "--tls-key", tls[1]] if tls else []
    process = subprocess.Popen([sys.executable, os.path.join(ROOT, "receiver", "receiver.py")] + options,
                               stdout=subprocess.PIPE, text=True)
    return process, int(process.stdout.readline().split()[1])


def clients(scheme, port, data, size, ca):
    base = "%s://127.0.0.1:%d" % (scheme, port)
    count = (size + CHUNK - 1) // CHUNK
    ranges = " ".join("%d:%d" % (i * CHUNK, min(size, (i + 1) * CHUNK)) for i in range(count))
    uploader = [os.path.join(BUILD, "uploader")] if scheme == "http" else [os.path.join(BUILD, "bench", "uploader_ca"), ca]
    # libcurl takes the authority from the environment, where the login's SSL_CERT_FILE must not replace it.
    whole_file = ([] if scheme == "http" else ["env", "-u", "SSL_CERT_FILE", "-u", "SSL_CERT_DIR", "UPLOADER_CA_BUNDLE=" + ca]) + [
        os.path.join(BUILD, "uploader-file")]
    tls = "--cacert %s" % ca if scheme == "https" else ""
    headers = " ".join("-H '%s'" % h for h in HEADERS)
    journal = data + ".upload-journal"
    loop_uploader = ('for r in %s; do "$0" "$@" %s/chunk/${r%%%%:*} token %s ${r%%%%:*} ${r##*:} "" "" false 2>/dev/null || exit 1; done'
                     % (ranges, base, data))
    loop_curl = ('for r in %s; do s=${r%%%%:*}; e=${r##*:}; tail -c +$((s + 1)) %s | head -c $((e - s)) | '
                 'curl -sS -f -o /dev/null %s %s -H "Content-Length: $((e - s))" -H Expect: --data-binary @- %s/chunk/$s '
                 '|| exit 1; done' % (ranges, data, tls, headers, base))
    return {
        "uploader-file --parallel 1": ["sh", "-c", 'rm -f "$0" && exec "$@"', journal] + whole_file + [
            "--parallel", "1", "--quiet", base + "/chunk/{index}", data],
        "uploader-file --parallel 4": ["sh", "-c", 'rm -f "$0" && exec "$@"', journal] + whole_file + [
            "--parallel", "4", "--quiet", base + "/chunk/{index}", data],
        "loop of uploader": ["sh", "-c", loop_uploader] + uploader,
        "loop of curl": ["sh", "-c", loop_curl],
        "one curl request": ["sh", "-c", "curl -sS -f -o /dev/null %s -H Expect: -H 'Content-Type: application/octet-stream' "
                             "--data-binary @%s %s/whole" % (tls, data, base)],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="file size in MiB")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--output", default=os.path.join(ROOT, "bench", "results-wholefile.md"))
    options = parser.parse_args()
    size = options.size * MIB
    folder = tempfile.mkdtemp(prefix="uploader-wholefile-")
    lines = []

    def say(text=""):
        print(text, flush=True)
        lines.append(text)

    try:
        ca, cert, key = make_authority(folder)
        data = os.path.join(folder, "whole.bin")
        with open(data, "wb") as out:
            for _ in range(size // MIB):
                out.write(os.urandom(MIB))
        begin = time.perf_counter()
        with open(data, "rb") as source:
            crc = 0
            while True:
                piece = source.read(4 * MIB)
                if not piece:
                    break
                crc = zlib.crc32(piece, crc)
        crc_seconds = time.perf_counter() - begin
        receivers = {"http": receiver(None), "https": receiver((cert, key))}
        links = [("loopback", 0, 0.0), ("1 Gbit/s", 1e9, 0.0), ("1 Gbit/s, 50 ms", 1e9, 0.05)]
        say("# Whole files: %d MiB in %d MiB chunks, median of %d runs" % (options.size, CHUNK // MIB, options.runs))
        say()
        say("zlib's CRC-32 over the file (read from the page cache, in Python): %.3f s, %.2f GB/s, %.2f CPU s per GiB"
            % (crc_seconds, size / crc_seconds / 1e9, crc_seconds * (1 << 30) / size))
        for name, rate, round_trip in links:
            for scheme in ("http", "https"):
                process, port = receivers[scheme]
                relay = Relay(port, rate, round_trip) if rate or round_trip else None
                target = relay.port if relay else port
                say()
                say("## %s, %s" % (name, scheme))
                say()
                say("| client | wall s (min-max) | x one curl | CPU s per GiB | peak RSS MiB | exit |")
                say("|---|---|---|---|---|---|")
                measured = {}
                for client, command in clients(scheme, target, data, size, ca).items():
                    walls, cpus, rsses, statuses = [], [], [], []
                    for _ in range(options.runs):
                        status, wall, cpu, rss = run(command)
                        walls.append(wall)
                        cpus.append(cpu)
                        rsses.append(rss)
                        statuses.append(status)
                    measured[client] = (statistics.median(walls), min(walls), max(walls), statistics.median(cpus),
                                        max(rsses), max(statuses, key=abs))
                ceiling = measured["one curl request"][0]
                for client, (wall, low, high, cpu, rss, status) in measured.items():
                    say("| %s | %.2f (%.2f-%.2f) | %.2f | %.2f | %.1f | %d |" % (
                        client, wall, low, high, wall / ceiling, cpu * (1 << 30) / size, rss / 1024, status))
        say()
        say("## The relay's own ceiling")
        say()
        process, port = receivers["http"]
        for label, rate in (("no rate, no delay", 0), ("1 Gbit/s", 1e9)):
            relay = Relay(port, rate, 0.0)
            command = clients("http", relay.port, data, size, ca)["one curl request"]
            status, wall, _, _ = run(command)
            say("- %s: one curl request of %d MiB in %.2f s, %.0f MB/s (exit %d)" % (label, options.size, wall, size / wall / 1e6, status))
        for process, _ in receivers.values():
            process.kill()
            process.wait()
    finally:
        subprocess.run(["rm", "-rf", folder])
    with open(options.output, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
