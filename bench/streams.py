#!/usr/bin/env python3
"""Streams beside files on loopback: 256 MiB in 8 MiB chunks, --parallel 4,
named on the command line and through a pipe (cat FILE | uploader-file ... -),
to the benchmark's sink; then a resumed run whose journal holds every chunk of
1 GiB, beside cksum of the same file; then the named file, the pipe and one curl
request of the same bytes over wholefile.py's 1 Gbit/s, 50 ms relay to the
bundled receiver. Medians of --runs (--relay-runs over the relay); writes Markdown.

    bench/streams.py BUILD SINK [--runs N] [--out FILE]     (streamfloor is taken from beside SINK)
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wholefile import Relay, clients, receiver  # noqa: E402

MiB = 1 << 20


def timed(commands):
    """Runs a pipeline; answers wall seconds, the last command's CPU seconds and peak RSS in MiB, its status,
    and the CPU seconds of the whole pipeline."""
    started = time.monotonic()
    processes = []
    stdin = None
    # A child forked from this script starts with its peak RSS: time's own child does not.
    peak = tempfile.NamedTemporaryFile(mode="r", suffix=".rss")
    for index, command in enumerate(commands):
        last = index == len(commands) - 1
        if last:
            command = ["/usr/bin/time", "-o", peak.name, "-f", "%M"] + command
        process = subprocess.Popen(command, stdin=stdin, stdout=None if last else subprocess.PIPE, stderr=subprocess.DEVNULL)
        if stdin is not None:
            stdin.close()
        stdin = process.stdout
        processes.append(process)
    usage = None
    total = 0.0
    for process in processes:
        _, status, rusage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        usage = rusage
        total += rusage.ru_utime + rusage.ru_stime
    wall = time.monotonic() - started
    rss = int(peak.read().split()[-1]) / 1024
    peak.close()
    return wall, usage.ru_utime + usage.ru_stime, rss, processes[-1].returncode, total


def summary(name, results):
    walls = [r[0] for r in results]
    cpus = [r[1] for r in results]
    return name, statistics.median(walls), min(walls), max(walls), statistics.median(cpus), min(cpus), max(cpus), \
        max(r[2] for r in results), sorted(set(r[3] for r in results)), statistics.median(r[4] for r in results)


def median_rows(specs, runs):
    """Each spec is (name, commands, prepare or None); one run of each in turn, so that the machine's load
    changing over the runs weighs on every row alike."""
    results = [[] for _ in specs]
    for _ in range(runs):
        for index, (_, commands, prepare) in enumerate(specs):
            if prepare:
                prepare()
            results[index].append(timed(commands))
    return [summary(spec[0], found) for spec, found in zip(specs, results)]


def table_header(pipeline):
    return ["| run | wall s (min-max) | CPU s (min-max) |" + (" pipeline CPU s |" if pipeline else "") + " peak RSS MiB | exit |",
            "|---|---|---|" + ("---|" if pipeline else "") + "---|---|"]


def table_rows(rows, pipeline):
    """Markdown lines of median_rows' rows; pipeline adds the whole pipeline's CPU."""
    return ["| %s | %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) |%s %.1f | %s |"
            % (name, wall, low, high, cpu, cpu_low, cpu_high, " %.3f |" % total if pipeline else "", rss, ",".join(map(str, statuses)))
            for name, wall, low, high, cpu, cpu_low, cpu_high, rss, statuses, total in rows]


def start(results, prefix):
    """The command line (BUILD SINK [--runs N] [--relay-runs N] [--out FILE]), a scratch folder and the sink
    started in it; answers the options, the folder, the sink's process and its address."""
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("sink")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--relay-runs", type=int, default=3)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), results))
    options = parser.parse_args()
    folder = tempfile.mkdtemp(prefix=prefix)
    port_file = os.path.join(folder, "port")
    sink = subprocess.Popen([options.sink, port_file], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.exists(port_file) and open(port_file).read().strip():
            break
        time.sleep(0.05)
    return options, folder, sink, "http://127.0.0.1:%s/upload/" % open(port_file).read().strip()


def main():
    options, folder, sink, sink_url = start("results-streams.md", "streams-bench-")
    uploader = os.path.join(options.build, "uploader-file")
    url = sink_url + "{index}"
    try:
        data = os.path.join(folder, "data.bin")
        with open(data, "wb") as out:
            for _ in range(1024):
                out.write(os.urandom(MiB))
        subprocess.run(["cat", data], stdout=subprocess.DEVNULL, check=True)
        small = os.path.join(folder, "small.bin")
        with open(data, "rb") as source, open(small, "wb") as out:
            for _ in range(256):
                out.write(source.read(MiB))
        base = [uploader, "--quiet", "--chunk-size", "8M", "--parallel", "4"]
        forget = lambda: os.path.exists(small + ".upload-journal") and os.unlink(small + ".upload-journal")  # noqa: E731
        # The floor: what reading the pipe, keeping each chunk until it is stored and copying it out cost, nothing sent.
        floor = os.path.join(os.path.dirname(os.path.abspath(options.sink)), "streamfloor")
        rows = median_rows([("256 MiB file named", [base + [url, small]], forget),
                            ("256 MiB through a pipe", [["cat", small], base + [url, "-"]], None),
                            ("the same 256 MiB from cat into 4 chunk buffers, copied out", [["cat", small], [floor, "4"]], None)],
                           options.runs)
        journal = os.path.join(folder, "full.journal")
        status = timed([["cat", data], base + ["--journal", journal, url, "-"]])[3]
        if status != 0:
            sys.exit("the run that fills the journal ended with %d" % status)
        resumed = median_rows([("1 GiB resumed, every chunk in the journal", [["cat", data], base + ["--journal", journal, url, "-"]], None),
                               ("cksum of the same 1 GiB", [["cksum", data]], None),
                               ("cat of the same 1 GiB into cksum", [["cat", data], ["cksum"]], None),
                               ],
                              options.runs)
        # wholefile.py's link and receiver, as its whole-file figures are measured.
        target, port = receiver(None)
        relay = Relay(port, 1e9, 0.05)
        relayed = "http://127.0.0.1:%d/chunk/{index}" % relay.port
        try:
            relay_rows = median_rows([("256 MiB file named", [base + [relayed, small]], forget),
                                      ("256 MiB through a pipe", [["cat", small], base + [relayed, "-"]], None),
                                      ("one curl request of the same 256 MiB",
                                       [clients("http", relay.port, small, 256 * MiB, None)["one curl request"]], None)],
                                     options.relay_runs)
        finally:
            target.kill()
            target.wait()
    finally:
        sink.kill()
        sink.wait()
        shutil.rmtree(folder)
    header = table_header(True)
    table = lambda rows: table_rows(rows, True)  # noqa: E731
    load = os.getloadavg()
    lines = ["# Streams: loopback, http, to the sink, medians of %d runs" % options.runs, "",
             "`--chunk-size 8M --parallel 4 --quiet`, the rows of each table run in turn; CPU and peak RSS are the last",
             "command's (uploader-file, cksum, or the floor: the pipe read into 4 chunk buffers and copied out, nothing sent);",
             "pipeline CPU adds cat's. Load average at the end: %.2f %.2f %.2f on %d cores." % (load + (os.cpu_count(),)), ""]
    lines += header + table(rows + resumed)
    pipe, named = rows[1], rows[0]
    lines += ["", "pipe / named: wall %.2fx, CPU %.2fx (uploader-file's own; with cat's %.2fx)"
              % (pipe[1] / named[1], pipe[4] / named[4], pipe[9] / named[9]),
              "CPU the pipe adds: %.3f s; the 1.25x goal allows %.3f s; the floor alone takes %.3f s"
              % (pipe[4] - named[4], 0.25 * named[4], rows[2][4]),
              "resume check / cksum: wall %.2fx; / cat into cksum: %.2fx" % (resumed[0][1] / resumed[1][1], resumed[0][1] / resumed[2][1]),
              "", "## 1 Gbit/s, 50 ms round trip (wholefile.py's relay), http, to the bundled receiver, medians of %d runs"
              % options.relay_runs, ""]
    lines += header + table(relay_rows)
    lines += ["", "pipe / named: wall %.2fx; pipe / one curl request: wall %.2fx"
              % (relay_rows[1][1] / relay_rows[0][1], relay_rows[1][1] / relay_rows[2][1]), ""]
    with open(options.out, "w") as out:
        out.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
