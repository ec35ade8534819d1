#!/usr/bin/env python3
"""Many files in one run: 200 files of 256 KiB, --parallel 4.

Over wholefile.py's 1 Gbit/s, 50 ms relay to the bundled receiver, one
uploader-file run over the 200 files beside a loop of 200 uploader-file runs,
one a file; on loopback to the benchmark's sink, the same run beside one
curl -Z --parallel-max 4 over the 200 files. Then 10 000 empty files through
--files-from (and 1 000, for the growth): peak RSS, and the bytes of the
journal and of --result. Medians of --runs with the spread and the load
average; writes Markdown.

    bench/files.py BUILD SINK [--runs N] [--relay-runs N] [--out FILE]
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from streams import median_rows, start, table_header, table_rows  # noqa: E402
from wholefile import Relay, receiver  # noqa: E402

KiB = 1 << 10


def make_files(folder, count, size):
    os.makedirs(folder)
    names = []
    for index in range(count):
        name = os.path.join(folder, "f%05d.bin" % index)
        with open(name, "wb") as out:
            out.write(os.urandom(size))
        names.append(name)
    listing = folder + ".list"
    with open(listing, "w") as out:
        out.write("".join(name + "\n" for name in names))
    # The files' own writeback would otherwise compete with the journal's flushes in the runs measured.
    os.sync()
    return names, listing


def removed(*paths):
    def prepare():
        for path in paths:
            if os.path.exists(path):
                os.unlink(path)
    return prepare


def main():
    options, folder, sink, sink_url = start("results-files.md", "files-bench-")
    uploader = os.path.join(options.build, "uploader-file")
    journal = os.path.join(folder, "run.journal")
    result = os.path.join(folder, "run.result")
    base = [uploader, "--quiet", "--parallel", "4", "--chunk-size", "8M"]
    lines = []
    try:
        names, listing = make_files(os.path.join(folder, "set"), 200, 256 * KiB)
        subprocess.run(["cat"] + names, stdout=subprocess.DEVNULL, check=True)
        one_run = lambda url: base + ["--journal", journal, "--files-from", listing, url + "{name}/{index}"]  # noqa: E731
        # Each run of the loop as a user would make it: its own journal, its own connections.
        loop = lambda url: ["sh", "-c", 'for f in "$@"; do rm -f "$0"; "%s" --quiet --parallel 4 --journal "$0" %s{index} "$f" || exit 1; done'  # noqa: E731
                            % (uploader, url + "$(basename $f)/"), journal + ".loop"] + names
        curl = ["curl", "-sS", "-f", "-Z", "--parallel-max", "4"]
        for index, name in enumerate(names):
            curl += (["--next"] if index else []) + ["-o", "/dev/null", "-H", "Expect:", "-H", "Content-Type: application/octet-stream",
                                                    "--data-binary", "@" + name, sink_url + os.path.basename(name) + "/0"]
        loopback = median_rows([("uploader-file, 200 files in one run", [one_run(sink_url)], removed(journal)),
                                ("one curl -Z --parallel-max 4 over the 200 files", [curl], None)], options.runs)
        target, port = receiver(None)
        relay = Relay(port, 1e9, 0.05)
        relayed = "http://127.0.0.1:%d/chunk/" % relay.port
        try:
            relay_rows = median_rows([("uploader-file, 200 files in one run", [one_run(relayed)], removed(journal)),
                                      ("a loop of 200 uploader-file runs, one a file", [loop(relayed)], None)], options.relay_runs)
        finally:
            target.kill()
            target.wait()
        scale = []
        for count in (1000, 10000):
            empty_names, empty_list = make_files(os.path.join(folder, "empty%d" % count), count, 0)
            row = median_rows([("%d empty files through --files-from" % count,
                                [base + ["--journal", journal, "--result", result, "--files-from", empty_list, sink_url + "{path}/{index}"]],
                                removed(journal, result))], 1)[0]
            scale.append((row, count, os.path.getsize(journal), os.path.getsize(result)))
    finally:
        sink.kill()
        sink.wait()
        shutil.rmtree(folder)

    header = table_header(False)
    table = lambda rows: table_rows(rows, False)  # noqa: E731
    load = os.getloadavg()
    lines += ["# Many files: 200 files of 256 KiB, `--parallel 4 --quiet`, http", "",
              "Load average at the end: %.2f %.2f %.2f on %d cores." % (load + (os.cpu_count(),)), "",
              "## 1 Gbit/s, 50 ms round trip (wholefile.py's relay), to the bundled receiver, medians of %d runs" % options.relay_runs, ""]
    lines += header + table(relay_rows)
    lines += ["", "one run / loop of runs: wall %.2fx (goal: at most 0.5x)" % (relay_rows[0][1] / relay_rows[1][1]), "",
              "## Loopback, to the sink, medians of %d runs" % options.runs, ""]
    lines += header + table(loopback)
    lines += ["", "uploader-file / curl -Z: wall %.2fx (goal: at most 1.3x)" % (loopback[0][1] / loopback[1][1]), "",
              "## Empty files through --files-from, loopback, to the sink, one run each", "",
              "| files | wall s | peak RSS MiB | journal bytes | journal bytes per file | --result bytes | --result bytes per file | exit |",
              "|---|---|---|---|---|---|---|---|"]
    for row, count, journal_bytes, result_bytes in scale:
        lines.append("| %d | %.3f | %.1f | %d | %.0f | %d | %.0f | %s |" % (count, row[1], row[7], journal_bytes, journal_bytes / count,
                                                                        result_bytes, result_bytes / count, ",".join(map(str, row[8]))))
    lines.append("")
    with open(options.out, "w") as out:
        out.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
