#!/usr/bin/env python3
"""Benchmark of the throughput goals, side by side in one run.

uploader-file sends a 256 MiB file in 8 MiB chunks, four at once, to the
bench's sink (a process per kept connection) on loopback over http and https (a test authority made for
the run), beside one curl process sending the same 32 ranges four at a time
(curl -Z) and one streaming curl -T of the whole file; 32 chunks of 256 KiB
beside a shell loop of 32 uploader runs; the 256 MiB file over the relay of
wholefile.py at 1 Gbit/s with a 50 ms round trip beside one curl request; a
rate cap of 25 MiB/s on 100 MiB for both programs; and uploader alone, 512 MiB
to the bench's sink, beside the Qt stream floor. Prints the median of --runs
alternating runs with min-max of wall time, CPU (user+system) and peak RSS,
then each goal with its measured ratio and PASS or FAIL; writes the tables to
bench/results-throughput.md.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run as single  # noqa: E402  (a module, so --build reaches its BUILD)
import wholefile  # noqa: E402
from run import MIB, ROOT, START, Sink, make_authority, run  # noqa: E402
from wholefile import HEADERS, Relay, receiver  # noqa: E402

CHUNK = 8 * MIB
SYSTEM_AUTHORITIES = "/etc/ssl/certs/ca-certificates.crt"
CURL_HEADERS = [a for h in HEADERS for a in ("-H", h)] + ["-H", "Expect:"]


def random_file(path, size, pieces_folder=None, piece_size=CHUNK):
    """Writes size random bytes; with pieces_folder, also each piece_size range as a file of its own."""
    pieces = []
    with open(path, "wb") as out:
        for offset in range(0, size, MIB):
            block = os.urandom(MIB)
            out.write(block)
            if pieces_folder:
                if offset % piece_size == 0:
                    pieces.append(os.path.join(pieces_folder, "piece-%d" % len(pieces)))
                with open(pieces[-1], "ab") as piece:
                    piece.write(block)
    return pieces


def uploader_file(data, url, options, environment=()):
    # The journal goes first: a journal of a finished run would leave nothing to send.
    return (["sh", "-c", 'rm -f "$0" && exec "$@"', data + ".upload-journal", "env"] + list(environment)
            + ["UPLOADER_API_TOKEN=token", os.path.join(single.BUILD, "uploader-file"), "--quiet"] + options + [url, data])


def curl_parallel(base, pieces, tls):
    pairs = [a for i, piece in enumerate(pieces) for a in ("-T", piece, "%s/chunk/%d" % (base, i))]
    return ["curl", "-sS", "-f", "-Z", "--parallel-max", "4", "-X", "POST"] + CURL_HEADERS + tls + pairs


def measure(commands, runs, check=None):
    """Runs the commands in turn, runs rounds; answers name -> [(exit, wall, cpu, rss KiB)]."""
    samples = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            result = run(command)
            if check and result[0] == 0 and not check(name):
                result = (-1,) + result[1:]  # the server did not get every byte
            samples[name].append(result)
    return samples


def spread(values, form):
    return ("%s (%s-%s)" % (form, form, form)) % (statistics.median(values), min(values), max(values))


class Report:
    def __init__(self):
        self.lines, self.goals, self.figures = [], [], {}

    def say(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def heading(self, title, note=None):
        self.say()
        self.say("## " + title)
        if note:
            self.say(note)
        self.say()
        self.say("| client | wall s | CPU s | peak RSS MiB | exit |")
        self.say("|---|---|---|---|---|")

    def rows(self, samples):
        for name, results in samples.items():
            statuses = [r[0] for r in results]
            walls, cpus, rsses = [r[1] for r in results], [r[2] for r in results], [r[3] / 1024 for r in results]
            # Memory's goal is on the worst run.
            self.figures[name] = (statistics.median(walls), statistics.median(cpus), max(rsses),
                                  all(s == 0 for s in statuses))
            self.say("| %s | %s | %s | %s | %s |" % (name, spread(walls, "%.2f"), spread(cpus, "%.2f"),
                                                    spread(rsses, "%.1f"), ",".join(map(str, sorted(set(statuses))))))

    def table(self, title, samples, note=None):
        self.heading(title, note)
        self.rows(samples)

    def unavailable(self, name, why):
        self.figures[name] = None
        self.say("| %s | not available (%s) | | | |" % (name, why))

    def ratio(self, goal, name, base, field, limit):
        """A goal on name's figure over base's: 0 wall, 1 CPU."""
        ours, theirs = self.figures[name], self.figures[base]
        value = ours[field] / theirs[field]
        passed = ours[3] and theirs[3] and value <= limit
        self.goals.append("- %s %s: %.2f x (goal at most %.2f x)" % ("PASS" if passed else "FAIL", goal, value, limit))

    def bound(self, goal, name, field, low, high, unit):
        figures = self.figures.get(name)
        if figures is None:
            self.goals.append("- not available: %s" % goal)
            return
        value = figures[field]
        passed = figures[3] and low <= value <= high
        self.goals.append("- %s %s: %.2f %s (goal %s%.1f %s)" % ("PASS" if passed else "FAIL", goal, value, unit,
                                                                  "%.1f-" % low if low else "at most ", high, unit))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default=single.BUILD, help="build folder of the programs and the bench's clients")
    parser.add_argument("--output", default=os.path.join(ROOT, "bench", "results-throughput.md"))
    options = parser.parse_args()
    single.BUILD = wholefile.BUILD = os.path.abspath(options.build)
    folder = tempfile.mkdtemp(prefix="uploader-throughput-")
    report, servers, sinks = Report(), [], []
    say = report.say
    try:
        ca, cert, key = make_authority(folder)
        whole = os.path.join(folder, "whole.bin")
        pieces = random_file(whole, 256 * MIB, folder)
        small, hundred, large = (os.path.join(folder, name) for name in ("small.bin", "hundred.bin", "large.bin"))
        random_file(small, 8 * MIB)
        random_file(hundred, 100 * MIB)
        random_file(large, 512 * MIB + 2 * START)
        receivers = {"http": receiver(None), "https": receiver((cert, key))}
        sinks.extend((Sink(folder, "http"), Sink(folder, "https", (cert, key))))
        # The bench's sink in C: the Python receiver would be the limit of a loopback run.
        fast = {scheme: "%s://127.0.0.1:%d" % (scheme, sink.port) for scheme, sink in zip(("http", "https"), sinks)}
        servers.extend(process for process, _ in receivers.values())
        bases = {scheme: "%s://127.0.0.1:%d" % (scheme, port) for scheme, (_, port) in receivers.items()}

        say("# Throughput goals, median (min-max) of %d alternating runs" % options.runs)
        say()
        say("Machine: %d cores, %s. Binaries: %s. CPU is user+system; the servers' CPU is not counted." %
            (os.cpu_count(), subprocess.run(["uname", "-srm"], capture_output=True, text=True).stdout.strip(),
             single.BUILD))

        commands = {}
        for scheme in ("http", "https"):
            tls = ["--cacert", ca] if scheme == "https" else []
            # The authorities curl -Z trusts: the test's and the system's folder, not the
            # system's whole bundle that a login environment may name in SSL_CERT_FILE.
            environment = ["-u", "SSL_CERT_FILE", "-u", "SSL_CERT_DIR", "UPLOADER_CA_BUNDLE=" + ca] if scheme == "https" else []
            commands["uploader-file --parallel 4, " + scheme] = uploader_file(
                whole, fast[scheme] + "/chunk/{index}", ["--parallel", "4", "--chunk-size", "8M"], environment)
            commands["curl -Z --parallel-max 4, 32 files, " + scheme] = curl_parallel(fast[scheme], pieces, tls)
        commands["curl -T of the whole file, http"] = (["curl", "-sS", "-f", "-o", "/dev/null", "-X", "POST"] +
                                                       CURL_HEADERS + ["-T", whole, fast["http"] + "/whole"])
        report.table("Loopback: 256 MiB in 32 chunks of 8 MiB, four at a time, to the bench's sink",
                     measure(commands, options.runs))

        # wholefile.py's loop of uploader runs, at this chunk size.
        wholefile.CHUNK = 256 * 1024
        loop = wholefile.clients("http", receivers["http"][1], small, 8 * MIB, ca)["loop of uploader"]
        wholefile.CHUNK = CHUNK
        report.table("Loopback, http: 32 chunks of 256 KiB (8 MiB), one at a time", measure({
            "uploader-file --parallel 1 --chunk-size 256K": uploader_file(
                small, bases["http"] + "/chunk/{index}", ["--parallel", "1", "--chunk-size", "256K"]),
            "shell loop of 32 uploader runs": loop}, options.runs))

        relay = Relay(receivers["http"][1], 1e9, 0.05)
        relayed = "http://127.0.0.1:%d" % relay.port
        report.table("1 Gbit/s with a 50 ms round trip (wholefile.py's relay), http: 256 MiB", measure({
            "uploader-file --parallel 4 over the relay": uploader_file(
                whole, relayed + "/chunk/{index}", ["--parallel", "4", "--chunk-size", "8M"]),
            "one curl request over the relay": wholefile.clients("http", relay.port, whole, 256 * MIB, ca)[
                "one curl request"]}, options.runs))

        report.heading("Loopback, http: 100 MiB at --limit-rate 25M / UPLOADER_LIMIT_RATE=25M")
        limited = {
            "uploader-file --limit-rate 25M --parallel 4": uploader_file(
                hundred, bases["http"] + "/chunk/{index}", ["--limit-rate", "25M", "--parallel", "4", "--chunk-size", "8M"]),
            "UPLOADER_LIMIT_RATE=25M uploader": ["env", "UPLOADER_LIMIT_RATE=25M", os.path.join(single.BUILD, "uploader"),
                                                 bases["http"] + "/whole", "token", hundred, "0", str(100 * MIB), "", "", "false"]}
        # uploader ignores variables it does not know; the name in the binary tells whether it reads this one.
        with open(os.path.join(single.BUILD, "uploader"), "rb") as program:
            reads_variable = b"UPLOADER_LIMIT_RATE" in program.read()
        for name, command in limited.items():
            if name.endswith(" uploader") and not reads_variable:
                report.unavailable(name, "the program does not read UPLOADER_LIMIT_RATE yet")
                continue
            first = run(command)
            if first[0] == 2:
                report.unavailable(name, "the option is refused, exit 2")
                continue
            samples = measure({name: command}, options.runs - 1)
            report.rows({name: [first] + samples[name]})

        size = 512 * MIB
        commands = {}
        for scheme, sink in zip(("http", "https"), sinks):
            url = "%s://127.0.0.1:%d/upload" % (scheme, sink.port)
            trust = ["SSL_CERT_FILE=" + SYSTEM_AUTHORITIES, "UPLOADER_CA_BUNDLE=" + ca] if scheme == "https" else []
            commands["uploader, " + scheme] = ["env"] + trust + [os.path.join(single.BUILD, "uploader"), url, "token",
                                                                 large, str(START), str(START + size), "", "", "false"]
            commands["Qt stream floor, " + scheme] = single.clients(scheme, sink.port, large, large, size, ca)[
                "Qt stream floor"]
        received = "received %d of %d" % (size, size)
        samples = measure(commands, options.runs,
                          lambda name: sinks[0 if name.endswith("http") else 1].last_count() == received)
        report.table("uploader keeps its figures: 512 MiB to the bench's sink", samples,
                     "https: uploader with SSL_CERT_FILE=%s and UPLOADER_CA_BUNDLE, the floor given the authority."
                     % SYSTEM_AUTHORITIES)

        for scheme in ("http", "https"):
            report.ratio("uploader-file CPU over one curl -Z process, " + scheme, "uploader-file --parallel 4, " + scheme,
                         "curl -Z --parallel-max 4, 32 files, " + scheme, 1, 1.2)
        report.ratio("uploader-file wall over a streaming curl -T of the whole file, http",
                     "uploader-file --parallel 4, http", "curl -T of the whole file, http", 0, 1.3)
        report.ratio("uploader-file --parallel 1 of 256 KiB chunks over the loop of uploader runs, wall",
                     "uploader-file --parallel 1 --chunk-size 256K", "shell loop of 32 uploader runs", 0, 0.5)
        report.ratio("uploader-file wall over one curl request at 1 Gbit/s, 50 ms, no slower than before",
                     "uploader-file --parallel 4 over the relay", "one curl request over the relay", 0, 0.95)
        for scheme in ("http", "https"):
            report.bound("peak RSS of uploader-file, 256 MiB, " + scheme, "uploader-file --parallel 4, " + scheme,
                         2, 0, 32, "MiB")
        for name in limited:
            report.bound("wall of " + name + ", 100 MiB", name, 0, 4.0, 4.4, "s")
        for scheme in ("http", "https"):
            report.bound("peak RSS of uploader, 512 MiB, " + scheme, "uploader, " + scheme, 2, 0, 24, "MiB")
            report.ratio("uploader wall over the Qt stream floor, " + scheme, "uploader, " + scheme,
                         "Qt stream floor, " + scheme, 0, 1.1)
            report.ratio("uploader CPU over the Qt stream floor, " + scheme, "uploader, " + scheme,
                         "Qt stream floor, " + scheme, 1, 1.1)
        say()
        say("## Goals")
        say()
        say("Ratios of medians; peak RSS of the highest run. A run that failed fails its goals.")
        say()
        for line in report.goals:
            say(line)
    finally:
        for process in servers:
            process.kill()
            process.wait()
        for sink in sinks:
            sink.stop()
        subprocess.run(["rm", "-rf", folder])
    with open(options.output, "w") as out:
        out.write("\n".join(report.lines) + "\n")


if __name__ == "__main__":
    main()
