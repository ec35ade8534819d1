#!/usr/bin/env python3
"""Benchmark: this program beside the Qt floors and curl, on loopback.

Runs each client alternately, five times after a warm-up, for ranges of
64 MiB and 512 MiB over http and https (TLS 1.3, a test authority made for
the run), with a warm page cache and, for the largest range, with the page
cache dropped before each run. Prints median wall time (min to max), MB/s of
body bytes, user+system CPU seconds per GiB, peak RSS and each client's ratio
to the streaming Qt floor. Also measures the loopback ceiling (iperf3, one
stream), the start-up cost of a run that fails at the range check beside
`curl --version`, a 5 GiB range of a sparse file, and replies that a hostile
or broken server may send (a gzip bomb, large JSON, many headers, one huge
header line) at two sizes each, under the address-space limit the program
accepts. Writes the tables to bench/results.md.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
BUILD_QT6 = os.path.join(ROOT, "build-qt6")
MIB = 1 << 20
START = 4096


def run(command, group=None):
    """Runs one command; answers (exit status, wall seconds, cpu seconds, peak RSS in KiB).

    Through GNU time: a child forked from this Python process would count the
    parent's pages in its peak RSS. With a control group, in that group.
    """
    enter = ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', group] if group else []
    with tempfile.NamedTemporaryFile("r") as report:
        begin = time.perf_counter()
        completed = subprocess.run(enter + ["/usr/bin/time", "-o", report.name, "-f", "%x %U %S %M"] + command,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wall = time.perf_counter() - begin
        fields = report.read().split()[-4:]
    status, user, system, rss = int(fields[0]), float(fields[1]), float(fields[2]), int(fields[3])
    return status if completed.returncode == status else completed.returncode, wall, user + system, rss


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_authority(folder):
    ca, key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    server_key, request = os.path.join(folder, "server.key"), os.path.join(folder, "server.csr")
    server, extensions = os.path.join(folder, "server.pem"), os.path.join(folder, "extensions")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", ca, "-days", "2",
            "-subj", "/CN=Benchmark Authority")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", server_key, "-out", request, "-subj", "/CN=127.0.0.1")
    with open(extensions, "w") as out:
        out.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", request, "-CA", ca, "-CAkey", key, "-CAcreateserial", "-days", "2",
            "-extfile", extensions, "-out", server)
    return ca, server, server_key


class Sink:
    def __init__(self, folder, name, tls=None):
        self.port_file = os.path.join(folder, name + ".port")
        self.log_path = os.path.join(folder, name + ".log")
        self.log = open(self.log_path, "w")
        command = [os.path.join(BUILD, "bench", "sink"), self.port_file] + (list(tls) if tls else [])
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(self.port_file) and open(self.port_file).read().strip():
                break
            time.sleep(0.05)
        self.port = int(open(self.port_file).read())

    def last_count(self):
        with open(self.log_path) as log:
            lines = log.read().splitlines()
        return lines[-1] if lines else ""

    def stop(self):
        self.process.kill()
        self.process.wait()


def loopback_ceiling():
    server = subprocess.Popen(["iperf3", "-s", "-1", "-p", "5299", "-B", "127.0.0.1"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    try:
        result = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", "5299", "-t", "3", "-J"],
                                capture_output=True, text=True, timeout=60)
        return json.loads(result.stdout)["end"]["sum_received"]["bits_per_second"] / 8 / 1e6
    except (subprocess.SubprocessError, KeyError, ValueError):
        return float("nan")
    finally:
        server.kill()
        server.wait()


def drop_page_cache(path):
    """Drops the whole page cache when this runs as root, else the file's own pages."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as control:
            control.write("3\n")
    except OSError:
        descriptor = os.open(path, os.O_RDONLY)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(descriptor)


def slow_disk(path, bytes_per_second):
    """A blkio control group that reads the file's disk at a hard disk's speed, or None.

    A loopback upload here is slower than a cold read of this machine's disk, so
    only a slower disk shows what reading while sending gains.
    """
    group = "/sys/fs/cgroup/blkio/uploader-bench"
    device = os.stat(path).st_dev
    try:
        os.makedirs(group, exist_ok=True)
        with open(os.path.join(group, "blkio.throttle.read_bps_device"), "w") as limit:
            limit.write("%d:%d %d\n" % (os.major(device), os.minor(device), bytes_per_second))
        return group
    except OSError:
        return None


def clients(scheme, port, data, range_file, size, ca):
    url = "%s://127.0.0.1:%d/upload" % (scheme, port)
    end = str(START + size)
    uploader = ([os.path.join(BUILD, "uploader")] if scheme == "http"
                else [os.path.join(BUILD, "bench", "uploader_ca"), ca])
    tls = ["--cacert", ca] if scheme == "https" else []
    floor = [os.path.join(BUILD, "bench", "floor")]
    floor_arguments = [url, data, str(START), end] + ([ca] if scheme == "https" else [])
    return {
        "uploader": uploader + [url, "token", data, str(START), end, "", "", "false"],
        "Qt stream floor": floor + ["--stream"] + floor_arguments,
        "Qt memory floor": floor + floor_arguments,
        "curl --data-binary": ["curl", "-sS", "-f", "-o", "/dev/null", "--data-binary", "@" + range_file,
                               "-H", "Content-Type: application/octet-stream"] + tls + [url],
        "curl -T": ["curl", "-sS", "-f", "-o", "/dev/null", "-T", range_file, "-X", "POST"] + tls + [url],
    }


def qt6_rows(folder, data, size, sinks, ca, runs, say):
    """The program built on Qt 6 beside the Qt 5 one and a Qt 6 streaming floor, warm."""
    say()
    say("## Qt 6 beside Qt 5 (%d MiB, warm, medians of %d alternating runs after a warm-up)" % (size // MIB, runs))
    say("Goal: the Qt 6 program within 1.1 x the Qt 5 program's wall and CPU, peak RSS no higher.")
    say()
    say("| scheme | client | wall s, median (min-max) | CPU s | peak RSS MiB | wall / Qt 5 program | CPU / Qt 5 program | wall / Qt 6 floor |")
    say("|---|---|---|---|---|---|---|---|")
    end = str(START + size)
    for scheme in ("http", "https"):
        url = "%s://127.0.0.1:%d/upload" % (scheme, sinks[scheme].port)
        floor_arguments = [url, data, str(START), end] + ([ca] if scheme == "https" else [])
        commands = {}
        for name, build in (("uploader, Qt 5", BUILD), ("uploader, Qt 6", BUILD_QT6)):
            program = ([os.path.join(build, "uploader")] if scheme == "http"
                       else [os.path.join(build, "bench", "uploader_ca"), ca])
            commands[name] = program + [url, "token", data, str(START), end, "", "", "false"]
        commands["Qt 6 stream floor"] = [os.path.join(BUILD_QT6, "bench", "floor"), "--stream"] + floor_arguments
        results = {name: [] for name in commands}
        for round_number in range(runs + 1):
            for name, command in commands.items():
                status, wall, cpu, rss = run(command)
                count = sinks[scheme].last_count()
                if status != 0 or count != "received %d of %d" % (size, size):
                    sys.exit("%s failed (%s, sink: %s): %s" % (name, status, count, " ".join(command)))
                if round_number > 0:
                    results[name].append((wall, cpu, rss))
        medians = {name: (statistics.median(r[0] for r in samples), statistics.median(r[1] for r in samples),
                          max(r[2] for r in samples) / 1024, min(r[0] for r in samples), max(r[0] for r in samples))
                   for name, samples in results.items()}
        qt5, floor6 = medians["uploader, Qt 5"], medians["Qt 6 stream floor"]
        for name, (wall, cpu, rss, fastest, slowest) in medians.items():
            say("| %s | %s | %.3f (%.3f-%.3f) | %.2f | %.1f | %.2f | %.2f | %.2f |" %
                (scheme, name, wall, fastest, slowest, cpu, rss, wall / qt5[0], cpu / qt5[1], wall / floor6[0]))


def gzip_of_zeros(path, size):
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(MIB)
    with open(path, "wb") as out:
        for _ in range(size // MIB):
            out.write(compressor.compress(zeros))
        out.write(compressor.flush())


def hostile_shapes(folder):
    """(name, receiver options, UPLOADER_IDLE_TIMEOUT) of each reply shape, at the measured size and at 4 x."""
    shapes = []
    for gib in (4, 16):
        body = os.path.join(folder, "bomb-%d.gz" % gib)
        gzip_of_zeros(body, gib << 30)
        shapes.append(("gzip of %.1f MB inflating to %d GiB" % (os.path.getsize(body) / 1e6, gib),
                       ["--body-file", body, "--header", "Content-Encoding: gzip"], "900"))
    for mib in (16, 64):
        body = os.path.join(folder, "array-%d.json" % mib)
        head, tail = b'{"status_code":201,"a":[{}', b"]}"
        count = ((mib << 20) - 1024 - len(head) - len(tail)) // 3
        with open(body, "wb") as out:
            out.write(head + b",{}" * count + tail)
        shapes.append(("JSON of %d MiB" % mib, ["--body-file", body], "900"))
    braces = os.path.join(folder, "braces.json")
    with open(braces, "wb") as out:
        out.write(b"{}" * (32 << 20))
    shapes.append(("64 MiB of {}", ["--body-file", braces], "900"))
    for count in (100000, 400000):
        shapes.append(("%d headers" % count, ["--many-headers", str(count)], "5"))
    for size in (100, 400):
        shapes.append(("one header line of %d MB" % size, ["--long-header", str(size * 1000000)], "0"))
    return shapes


def hostile_run(folder, options, idle_timeout, data):
    """Runs the program against a receiver answering with this shape, under
    ulimit -v 3145728; answers (exit, wall s, seconds from the last progress
    line to the end, peak RSS MiB, last line)."""
    receiver = subprocess.Popen([sys.executable, os.path.join(ROOT, "receiver", "receiver.py")] + options,
                                stdout=subprocess.PIPE, text=True)
    port = int(receiver.stdout.readline().split()[1])
    report = os.path.join(folder, "time.txt")
    environment = dict(os.environ, UPLOADER_IDLE_TIMEOUT=idle_timeout)
    command = ["sh", "-c", 'ulimit -v 3145728 && exec /usr/bin/time -o "$0" -f "%x %M" "$@"', report,
               os.path.join(BUILD, "uploader"), "http://127.0.0.1:%d/upload" % port, "t", data, "0", "1000",
               "", "", "false"]
    begin = time.perf_counter()
    last_progress, last_line = begin, ""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=environment)
    for line in process.stderr:
        if line.startswith(b" >> Progress:"):
            last_progress = time.perf_counter()
        if line.strip():
            last_line = line.decode("utf-8", "replace").rstrip("\n")
    process.wait()
    end = time.perf_counter()
    receiver.kill()
    receiver.wait()
    with open(report) as text:
        fields = text.read().split()
    status = int(fields[-2]) if fields[-2].lstrip("-").isdigit() else process.returncode
    return status, end - begin, end - last_progress, int(fields[-1]) / 1024, last_line[:90]


def hostile_replies(folder, data, say):
    say()
    say("## Hostile replies (one run each, under ulimit -v 3145728)")
    say("Goal: peak RSS at most 256 MiB, the end within the idle time-out + 10 s of the last progress line, no crash.")
    say()
    say("| reply | UPLOADER_IDLE_TIMEOUT | exit | wall s | s after last progress | peak RSS MiB | last line |")
    say("|---|---|---|---|---|---|---|")
    for name, options, idle_timeout in hostile_shapes(folder):
        status, wall, after, rss, last_line = hostile_run(folder, options, idle_timeout, data)
        say("| %s | %s | %d | %.1f | %.1f | %.1f | `%s` |" % (name, idle_timeout, status, wall, after, rss, last_line))


def budget_shapes(folder):
    """(name, receiver options) of replies within the 64 MiB cap that cost the most memory."""
    shapes = [("64 MiB of text", ["--reply-size", str(64 * MIB)])]
    for name, piece, size in (("64 MiB of 0xff, not UTF-8", b"\xff", 64 * MIB), ("64 MiB of 0x01, escaped 6 x", b"\x01", 64 * MIB),
                              ("62 MiB of \u00e9, no ASCII", "\u00e9".encode("utf-8"), 62 * MIB),
                              ("64 MiB of random bytes", None, 64 * MIB)):
        body = os.path.join(folder, "budget-%d.reply" % len(shapes))
        with open(body, "wb") as out:
            out.write(os.urandom(size) if piece is None else piece * (size // len(piece)))
        shapes.append((name, ["--body-file", body]))
    body = os.path.join(folder, "budget-random.gz")
    with open(body, "wb") as out:
        compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
        out.write(compressor.compress(os.urandom(63 * MIB)) + compressor.flush())
    shapes.append(("gzip of 63 MiB of random bytes", ["--body-file", body, "--header", "Content-Encoding: gzip"]))
    return shapes


def budget_run(build, options, data, result, slow_reader, busy):
    """One run with UPLOADER_RESULT set; answers (exit, peak RSS MiB). A slow
    reader of standard error starts reading 10 s after the run starts."""
    receiver = subprocess.Popen([sys.executable, os.path.join(ROOT, "receiver", "receiver.py")] + options,
                                stdout=subprocess.PIPE, text=True)
    port = int(receiver.stdout.readline().split()[1])
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(busy)]
    report = os.path.join(os.path.dirname(result), "time.txt")
    command = ["/usr/bin/time", "-o", report, "-f", "%x %M", os.path.join(build, "uploader"),
               "http://127.0.0.1:%d/upload" % port, "t", data, "0", "1000", "", "", "false"]
    environment = dict(os.environ, UPLOADER_RESULT=result)
    with tempfile.TemporaryFile() as console:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE if slow_reader else console, env=environment)
        if slow_reader:
            time.sleep(10)
            while process.stderr.read(1 << 16):
                pass
        process.wait()
    for loop in loops:
        loop.kill()
        loop.wait()
    receiver.kill()
    receiver.wait()
    with open(report) as text:
        fields = text.read().split()
    status = int(fields[-2]) if fields[-2].lstrip("-").isdigit() else process.returncode
    return status, int(fields[-1]) / 1024


def memory_budget(folder, data, say):
    say()
    say("## Memory budget of replies within the cap (UPLOADER_RESULT set)")
    say("Peak RSS MiB of each run, exit status in brackets; standard error to a file or to a reader that starts after 10 s,")
    say("with no other load or with two busy loops beside the run.")
    say()
    columns = [(slow, busy) for slow in (False, True) for busy in (0, 2)]
    say("| build | reply | " + " | ".join("%s, %d busy" % ("slow reader" if slow else "file", busy) for slow, busy in columns) + " |")
    say("|---|---|" + "---|" * len(columns))
    result = os.path.join(folder, "result.json")
    for name, build in (("Qt 5", BUILD), ("Qt 6", BUILD_QT6)):
        for shape, options in budget_shapes(folder):
            cells = []
            for slow, busy in columns:
                status, rss = budget_run(build, options, data, result, slow, busy)
                cells.append("%.0f (%d)" % (rss, status))
            say("| %s | %s | %s |" % (name, shape, " | ".join(cells)))


def median_run(command, runs):
    walls = []
    for _ in range(runs):
        status, wall, _, _ = run(command)
        walls.append(wall)
    return statistics.median(walls), status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="64,512", help="range sizes in MiB")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", default=os.path.join(ROOT, "bench", "results.md"))
    parser.add_argument("--cold-disk-mb", type=int, default=150,
                        help="read limit of the disk in the cold runs, MB/s (0: none)")
    parser.add_argument("--skip-large", action="store_true", help="skip the 5 GiB range")
    parser.add_argument("--replies-only", action="store_true", help="measure only the hostile replies")
    parser.add_argument("--qt6-only", action="store_true", help="measure only the Qt 6 rows")
    parser.add_argument("--budget-only", action="store_true", help="measure only the memory budget of replies")
    options = parser.parse_args()
    sizes = [int(s) * MIB for s in options.sizes.split(",")]

    folder = tempfile.mkdtemp(prefix="uploader-bench-")
    if options.budget_only:
        data = os.path.join(folder, "data.bin")
        with open(data, "wb") as out:
            out.write(os.urandom(4096))
        try:
            memory_budget(folder, data, lambda text="": print(text, flush=True))
        finally:
            subprocess.run(["rm", "-rf", folder])
        return
    if options.replies_only:
        lines = []
        data = os.path.join(folder, "data.bin")
        with open(data, "wb") as out:
            out.write(os.urandom(4096))
        try:
            hostile_replies(folder, data, lambda text="": (print(text, flush=True), lines.append(text)))
        finally:
            subprocess.run(["rm", "-rf", folder])
        return
    ca, cert, key = make_authority(folder)
    data = os.path.join(folder, "data.bin")
    with open(data, "wb") as out:
        for _ in range((max(sizes) + 2 * START) // MIB + 1):
            out.write(os.urandom(MIB))
    sinks = {"http": Sink(folder, "http"), "https": Sink(folder, "https", (cert, key))}

    lines = []

    def say(text=""):
        print(text, flush=True)
        lines.append(text)

    if options.qt6_only:
        try:
            qt6_rows(folder, data, max(sizes), sinks, ca, options.runs, say)
        finally:
            for sink in sinks.values():
                sink.stop()
            subprocess.run(["rm", "-rf", folder])
        return

    ceiling = loopback_ceiling()
    say("# Benchmark results")
    say()
    say("Machine: %d cores, %s. Loopback ceiling, one TCP stream (iperf3): %.0f MB/s." %
        (os.cpu_count(), subprocess.run(["uname", "-srm"], capture_output=True, text=True).stdout.strip(), ceiling))
    say("Medians of %d alternating runs after a warm-up; MB is 10^6 bytes of body; CPU is user+system." % options.runs)
    group = slow_disk(data, options.cold_disk_mb * 1000000) if options.cold_disk_mb else None
    say("Cold: the page cache dropped before each run (curl reads a copy of the range, dropped too)%s." %
        (", the disk read at %d MB/s at most (blkio throttle)" % options.cold_disk_mb if group else ""))
    say()
    say("| scheme | range | cache | client | wall s, median (min-max) | MB/s | CPU s/GiB | peak RSS MiB | wall / stream floor | CPU / stream floor |")
    say("|---|---|---|---|---|---|---|---|---|---|")
    summary = {}
    cases = [(scheme, size, cache) for scheme in ("http", "https") for size in sizes for cache in ("warm", "cold")
             if cache == "warm" or size == max(sizes)]
    try:
        for scheme, size, cache in cases:
            range_file = os.path.join(folder, "range.bin")
            with open(data, "rb") as source, open(range_file, "wb") as out:
                source.seek(START)
                for _ in range(size // MIB):
                    out.write(source.read(MIB))
            commands = clients(scheme, sinks[scheme].port, data, range_file, size, ca)
            results = {name: [] for name in commands}
            for round_number in range(options.runs + 1):
                for name, command in commands.items():
                    if cache == "cold":
                        drop_page_cache(range_file if name.startswith("curl") else data)
                    status, wall, cpu, rss = run(command, group if cache == "cold" else None)
                    count = sinks[scheme].last_count()
                    if status != 0 or count != "received %d of %d" % (size, size):
                        sys.exit("%s failed (%s, sink: %s): %s" % (name, status, count, " ".join(command)))
                    if round_number > 0:
                        results[name].append((wall, cpu, rss))
            base = results["Qt stream floor"]
            base_wall = statistics.median(r[0] for r in base)
            base_cpu = statistics.median(r[1] for r in base)
            for name, samples in results.items():
                walls = [r[0] for r in samples]
                wall, cpu = statistics.median(walls), statistics.median(r[1] for r in samples)
                rss = max(r[2] for r in samples) / 1024
                summary[(scheme, size, cache, name)] = (wall, cpu, rss, min(walls), min(r[1] for r in samples))
                say("| %s | %d MiB | %s | %s | %.3f (%.3f-%.3f) | %.0f | %.2f | %.1f | %.2f | %.2f |" %
                    (scheme, size // MIB, cache, name, wall, min(walls), max(walls), size / wall / 1e6,
                     cpu / (size / (1 << 30)), rss, wall / base_wall, cpu / base_cpu))
            os.remove(range_file)

        say()
        say("## Goals at %d MiB" % (max(sizes) // MIB))
        say("Loopback runs of Qt clients are bimodal on a shared machine (a run takes either about 1x or")
        say("about 3x its best time), so the ratio of the best runs is given beside the ratio of medians.")
        for scheme in ("http", "https"):
            for cache in ("warm", "cold"):
                key = (scheme, max(sizes), cache)
                ours, floor = summary[key + ("uploader",)], summary[key + ("Qt stream floor",)]
                memory, curl = summary[key + ("Qt memory floor",)], summary[key + ("curl -T",)]
                say("- %s, %s: wall %.2f x the stream floor (best runs %.2f x), CPU %.2f x (best runs %.2f x); "
                    "peak RSS %.1f MiB, stream floor %+.1f MiB, curl -T %+.1f MiB; wall %.2f x the memory floor." %
                    (scheme, cache, ours[0] / floor[0], ours[3] / floor[3], ours[1] / floor[1], ours[4] / floor[4],
                     ours[2], ours[2] - floor[2], ours[2] - curl[2], ours[0] / memory[0]))

        say()
        say("## Start-up: a run refused at the range check, beside `curl --version` (median of 30)")
        refused, refused_status = median_run([os.path.join(BUILD, "uploader"), "http://127.0.0.1:9/", "t", data,
                                              "10", "5", "", "", "false"], 30)
        curl_version, _ = median_run(["curl", "--version"], 30)
        floor_start, _ = median_run([os.path.join(BUILD, "bench", "floor"), "http://127.0.0.1:9/", data, "10", "5"], 30)
        say("- uploader %.1f ms (exit %d), Qt floor failing at its read %.1f ms, curl --version %.1f ms: %.2f x curl." %
            (refused * 1000, refused_status, floor_start * 1000, curl_version * 1000, refused / curl_version))

        qt6_rows(folder, data, max(sizes), sinks, ca, options.runs, say)

        if not options.skip_large:
            say()
            say("## A range beyond 2 GiB (one run each, 5 GiB of a sparse file)")
            large = os.path.join(folder, "large.bin")
            size = 5 << 30
            with open(large, "wb") as out:
                out.truncate(size + MIB)
            # The first reader of a sparse file fills the page cache with zero pages; not the client's cost.
            subprocess.run(["cat", large], stdout=subprocess.DEVNULL, check=True)
            for scheme in ("http", "https"):
                commands = clients(scheme, sinks[scheme].port, large, large, size, ca)
                for name in ("uploader", "Qt stream floor"):
                    status, wall, cpu, rss = run(commands[name])
                    say("- %s, %s: exit %d, %.2f s, peak RSS %.1f MiB, sink: %s" %
                        (scheme, name, status, wall, rss / 1024, sinks[scheme].last_count()))
            os.remove(large)
        hostile_replies(folder, data, say)
        memory_budget(folder, data, say)
    finally:
        for sink in sinks.values():
            sink.stop()
        subprocess.run(["rm", "-rf", folder])
        if group:
            os.rmdir(group)

    with open(options.output, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
