#!/usr/bin/env python3
"""How long the programs wait, measured: the earliest retry after a
Retry-After of 3 seconds (20 runs of uploader against a server of this
script's own that answers 503 once), and how long SIGTERM takes to end
uploader-file while it waits on each thing a run can wait for: a server that
holds its answer, a proxy that holds the program's own CONNECT, the wait
before a retry, and a --result FIFO whose reader stops reading.
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import BUILD, ROOT  # noqa: E402

RECEIVER = os.path.join(ROOT, "receiver", "receiver.py")


def retry_after_waits(folder, runs=20):
    """Seconds from the 503 to the next request, per run."""
    path = os.path.join(folder, "small.bin")
    with open(path, "wb") as file:
        file.write(os.urandom(1000))
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(5)
    port = server.getsockname()[1]
    waits = []
    for _ in range(runs):
        client = subprocess.Popen([os.path.join(BUILD, "uploader"), "http://127.0.0.1:%d/u" % port, "t", path, "0", "1000", "", "",
                                   "false"], env=dict(os.environ, UPLOADER_RETRIES="1"), stderr=subprocess.DEVNULL)
        answered = None
        for attempt in range(2):
            connection, _ = server.accept()
            reader = connection.makefile("rb")
            length = 0
            for line in iter(reader.readline, b"\r\n"):
                if line.lower().startswith(b"content-length"):
                    length = int(line.split(b":")[1])
            reader.read(length)
            if attempt == 0:
                connection.sendall(b"HTTP/1.1 503 Busy\r\nRetry-After: 3\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                answered = time.monotonic()
            else:
                waits.append(time.monotonic() - answered)
                connection.sendall(b"HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
            connection.close()
        client.wait(60)
    server.close()
    return waits


def receiver(*options):
    process = subprocess.Popen([sys.executable, RECEIVER] + list(options), stdout=subprocess.PIPE, text=True)
    return process, int(process.stdout.readline().split()[1])


def sigterm_seconds(folder, name):
    """Seconds from SIGTERM to the end of uploader-file, two seconds into the wait."""
    path = os.path.join(folder, "file.bin")
    with open(path, "wb") as file:
        file.write(os.urandom(200000))
    options = {"held answer": ["--fault", "hold"],
               "silent proxy": ["--fault", "close-no-reply", "--hold-connect"],
               "retry wait": ["--fail-first", "100", "--fail-header", "Retry-After: 60"],
               "result FIFO": []}[name]
    server, port = receiver(*options)
    arguments = ["--restart", "--journal", os.path.join(folder, "journal"), "--parallel", "1"]
    url = "http://127.0.0.1:%d/{index}" % port
    if name == "silent proxy":
        arguments += ["--proxy", "127.0.0.1:%d" % port]
        url = "http://127.0.0.1:9/{index}"
    reader = None
    if name == "result FIFO":
        fifo = os.path.join(folder, "fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        # Opened and never read: the lines of 196 chunks fill the pipe.
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        arguments += ["--result", fifo, "--chunk-size", "1K"]
    client = subprocess.Popen([os.path.join(BUILD, "uploader-file")] + arguments + [url, path],
                              env=dict(os.environ, UPLOADER_API_TOKEN="t"), stderr=subprocess.DEVNULL)
    time.sleep(2)
    sent = time.monotonic()
    client.send_signal(signal.SIGTERM)
    try:
        status = client.wait(60)
        seconds = time.monotonic() - sent
    except subprocess.TimeoutExpired:
        client.kill()
        client.wait()
        status, seconds = "killed", float("inf")
    server.terminate()
    server.wait()
    if reader is not None:
        os.close(reader)
    return status, seconds


def main():
    with tempfile.TemporaryDirectory() as folder:
        waits = retry_after_waits(folder)
        print("Retry-After: 3, %d runs: earliest %.3f s, latest %.3f s" % (len(waits), min(waits), max(waits)))
        for name in ("held answer", "silent proxy", "retry wait", "result FIFO"):
            status, seconds = sigterm_seconds(folder, name)
            print("SIGTERM while waiting on a %s: status %s after %.3f s" % (name, status, seconds))


if __name__ == "__main__":
    main()
