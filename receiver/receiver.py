#!/usr/bin/env python3
"""A small HTTP and HTTPS receiver for the uploader, on loopback.

It reads each POST body in full by its Content-Length, can store each body
and the request's header lines in a folder, and answers with a JSON object
holding "status_code" and the number of bytes received. Reply options shape
the answer so that tests can see how the uploader reports it.

Prints "port N" on standard output once it listens.
"""

import argparse
import base64
import itertools
import os
import random
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import warnings
import zlib

MAXIMUM_LINE = 1 << 20
# Bounds every wait of a fault mode; the tests stop the receiver long before.
LONGEST_WAIT = 300


class Receiver(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    # A run opens up to 16 connections at once: a backlog of 5 would drop SYNs, each retried a second later.
    request_queue_size = 64
    allow_reuse_address = True

    def __init__(self, options):
        self.options = options
        self.counter = itertools.count(1)
        self.connections = itertools.count(1)
        self.counter_lock = threading.Lock()
        self.answered = 0
        self.path_failures = 0
        self.chaos = random.Random(options.chaos) if options.chaos is not None else None
        self.address_family = socket.AF_INET6 if ":" in options.host else socket.AF_INET
        super().__init__((options.host, options.port), Handler, bind_and_activate=False)
        if options.fault and options.fault.startswith("early-answer"):
            # A fixed receive buffer, inherited by each connection: what the client can send
            # past the answer is bounded by the sockets, whatever the system's autotuning.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 18)
        self.server_bind()
        if not options.listen_after:
            self.server_activate()
        self.tls = None
        if options.tls_cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(options.tls_cert, options.tls_key)
            if options.client_ca:
                self.tls.verify_mode = ssl.CERT_REQUIRED
                self.tls.load_verify_locations(options.client_ca)
            if options.tls_version:
                # Offering TLS 1.0 and 1.1 is the point of those choices.
                warnings.simplefilter("ignore", DeprecationWarning)
                self.tls.minimum_version = ssl.TLSVersion[options.tls_version]
                self.tls.maximum_version = ssl.TLSVersion[options.tls_version]
                if options.tls_version in ("TLSv1", "TLSv1_1"):
                    # OpenSSL offers the old versions only at its lowest security level.
                    self.tls.set_ciphers("ALL:@SECLEVEL=0")

    def get_request(self):
        connection, address = super().get_request()
        if self.tls:
            connection = self.tls.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
        return connection, address

    def fails(self, path):
        """Whether a request for this address fails: --fail-path, --fail-times times (0: always)."""
        if not self.options.fail_path or self.options.fail_path.encode() not in path:
            return False
        with self.counter_lock:
            self.path_failures += 1
            return self.options.fail_times == 0 or self.path_failures <= self.options.fail_times

    def chaos_fault(self):
        """With --chaos: "reset", "drop" or "503" for about one request in eight each, else None."""
        if not self.chaos:
            return None
        with self.counter_lock:
            draw = self.chaos.random()
        return "reset" if draw < 0.12 else "drop" if draw < 0.24 else "503" if draw < 0.36 else None

    def next_index(self):
        with self.counter_lock:
            return next(self.counter)


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        # As servers that keep connections do: an answer written in pieces
        # must not wait for the client's delayed acknowledgement of the first.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self.server.counter_lock:
            self.serial = next(self.server.connections)
        if self.server.tls:
            try:
                self.connection.do_handshake()
            except (ssl.SSLError, OSError):
                self.linger()
                return
        while self.handle_one():
            pass

    def handle_one(self):
        try:
            request_line = self.rfile.readline(MAXIMUM_LINE)
        except (ssl.SSLError, OSError):
            return False
        if not request_line:
            return False
        if not request_line.rstrip().split(b" ")[-1].startswith(b"HTTP/"):
            # Not HTTP, a TLS greeting for one: say nothing, as a plain server waiting for a line would.
            self.wait_for_close()
            return False
        header_lines = []
        length = 0
        authorization = None
        while True:
            line = self.rfile.readline(MAXIMUM_LINE)
            if line in (b"\r\n", b"\n", b""):
                break
            header_lines.append(line.rstrip(b"\r\n"))
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
            if name.strip().lower() == b"authorization":
                authorization = value.strip()

        options = self.server.options
        fault = options.fault
        path = request_line.split(b" ")[1] if len(request_line.split(b" ")) > 2 else b""
        if options.hold_connect and request_line.startswith(b"CONNECT "):
            # A proxy that takes a CONNECT and never answers it.
            self.wait_for_close()
            return False
        if options.hold_after is not None and self.server.answered >= options.hold_after and (
                not options.hold_file or os.path.exists(options.hold_file)):
            if options.store:
                # Tells a test that waits for every request in flight to be held.
                open(os.path.join(options.store, "%04d.held" % self.serial), "wb").close()
            self.wait_for_close()
            return False
        if fault == "early-413":
            self.reply(0, 413, "Payload Too Large")
            return False
        if fault and fault.startswith("early-answer"):
            return self.answer_early(length, fault)
        chaos = self.server.chaos_fault()
        body = bytearray()
        remaining = length
        store = options.store
        piece_size = 65536 if fault == "slow-read" else 1 << 20
        while remaining > 0:
            if (fault == "reset-mid-body" or chaos == "reset") and remaining <= length // 2:
                self.reset()
                return False
            if options.stop_after is not None and length - remaining >= options.stop_after:
                time.sleep(LONGEST_WAIT)
                return False
            wanted = min(remaining, piece_size)
            if chaos == "reset":
                wanted = min(wanted, max(1, remaining - length // 2))
            if options.stop_after is not None:
                wanted = min(wanted, max(1, options.stop_after - (length - remaining)))
            piece = self.rfile.read(wanted)
            if not piece:
                return False
            remaining -= len(piece)
            if options.truncate and length - remaining >= options.truncate_after:
                os.truncate(options.truncate, 0)
            if store:
                body += piece
            if fault == "slow-read":
                time.sleep(0.01)
        index = self.server.next_index()
        if options.touch and index == options.touch_at:
            # A change that reading does not see: the file's times only.
            os.utime(options.touch, ns=(0, os.stat(options.touch).st_mtime_ns + 10 ** 9))
        if options.remove and index == options.touch_at:
            os.unlink(options.remove)
        if store:
            prefix = os.path.join(store, "%04d" % index)
            with open(prefix + ".headers", "wb") as headers:
                headers.write(request_line.rstrip(b"\r\n") + b"\n")
                for line in header_lines:
                    headers.write(line + b"\n")
            with open(prefix + ".body", "wb") as chunk:
                chunk.write(body)
            with open(prefix + ".connection", "w") as connection:
                connection.write("%d\n" % self.serial)

        if fault == "close-no-reply" or chaos == "drop":
            return False
        if fault == "hold":
            self.wait_for_close()
            return False
        if fault == "interim":
            self.wfile.write(b"HTTP/1.1 102 Processing\r\n\r\n")
        if options.require_basic is not None and authorization != b"Basic " + base64.b64encode(options.require_basic.encode()):
            self.reply(length, 401, "Unauthorized", ['WWW-Authenticate: Basic realm="upload"'])
        elif index <= options.fail_first or self.server.fails(path) or chaos == "503":
            self.reply(length, options.fail_status, "Failing", options.fail_header)
        else:
            self.reply(length)
            with self.server.counter_lock:
                self.server.answered += 1
        return not options.no_length and not options.close_after_reply

    def answer_early(self, length, fault):
        """Answers --status once half the body is in, as a server that has seen enough, and
        stores nothing. "early-answer" marks the connection close, "early-answer-http10" answers
        in HTTP/1.0 without a Connection header, "early-answer-no-length" sends no length and
        ends the reply by shutting down its sending side. Then it stops reading for a moment,
        so that the client can send no more than the sockets hold before it reads the answer,
        and reads on until the client closes."""
        remaining = length
        while remaining > length // 2:
            piece = self.rfile.read(min(remaining - length // 2, 1 << 20))
            if not piece:
                return False
            remaining -= len(piece)
        options = self.server.options
        body = b'{"status_code":%d,"received":%d}' % (options.status, length - remaining)
        version = b"HTTP/1.0" if fault == "early-answer-http10" else b"HTTP/1.1"
        head = [b"%s %d %s" % (version, options.status, options.reason.encode("ascii")), b"Content-Type: application/json"]
        if fault == "early-answer":
            head.append(b"Connection: close")
        if fault != "early-answer-no-length":
            head.append(b"Content-Length: %d" % len(body))
        try:
            self.wfile.write(b"".join(line + b"\r\n" for line in head) + b"\r\n" + body)
            self.wfile.flush()
            if fault == "early-answer-no-length":
                self.connection.shutdown(socket.SHUT_WR)
            time.sleep(1)
        except OSError:
            return False
        self.wait_for_close()
        return False

    def linger(self):
        """Closes a connection whose handshake failed as web servers do (a lingering close): what
        the client still sends is read, so that it meets the alert sent before rather than a
        reset. Over TLS 1.3 the client sends its request before the server has checked its
        certificate."""
        try:
            self.connection.shutdown(socket.SHUT_WR)
            self.connection.settimeout(5)
            while self.connection.recv(65536):
                pass
        except (OSError, ValueError):
            pass

    def wait_for_close(self):
        self.connection.settimeout(LONGEST_WAIT)
        try:
            while self.rfile.read1(65536):
                pass
        except (OSError, ValueError):
            pass

    def reset(self):
        # Linger with a zero time-out: close sends a reset, not an orderly end.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def reply(self, received, status=None, reason=None, extra_headers=()):
        options = self.server.options
        status = status or options.status
        reason = reason or options.reason
        if options.body_file:
            with open(options.body_file, "rb") as source:
                body = source.read()
        elif options.reply_size is not None:
            body = None
        elif options.body is not None:
            body = options.body.encode("utf-8")
        else:
            body = b'{"status_code":%d,"received":%d}' % (status, received)
        headers = [] if options.bare else [b"Content-Type: application/json"]
        if options.encoding:
            body = encode(options.encoding, [body] if body is not None else reply_pieces(options.reply_size))
            headers.append(b"Content-Encoding: " + (b"deflate" if "deflate" in options.encoding else b"gzip"))
        headers += [h.encode("utf-8") for h in options.header + list(extra_headers)]
        headers += [b"X-Header-%d: %d" % (i, i) for i in range(options.many_headers)]
        size = options.reply_size if body is None else len(body)
        # Declares more than it sends, then closes.
        declared = size + 7 if options.fault == "short-body" else size
        headers.append(b"Connection: close" if options.no_length else b"Content-Length: %d" % declared)
        head = b"HTTP/1.1 %d %s\r\n" % (status, reason.encode("ascii")) + b"".join(h + b"\r\n" for h in headers)
        try:
            self.wfile.write(head)
            if options.long_header:
                self.wfile.write(b"X-Long: ")
                for piece in reply_pieces(options.long_header):
                    self.wfile.write(piece)
                self.wfile.write(b"\r\n")
            self.wfile.write(b"\r\n")
            self.wfile.flush()
            if body is None:
                for piece in reply_pieces(size):
                    self.wfile.write(piece)
            elif options.fault == "trickle-reply":
                for i in range(0, len(body), options.trickle_size):
                    self.wfile.write(body[i:i + options.trickle_size])
                    self.wfile.flush()
                    time.sleep(options.trickle_delay)
            else:
                self.wfile.write(body)
            self.wfile.flush()
            if options.fault == "short-body":
                self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def reply_pieces(size, piece=b"x" * (1 << 20)):
    for offset in range(0, size, len(piece)):
        yield piece[:size - offset]


def encode(encoding, pieces):
    """Compresses the pieces whole; "not-gzip" leaves them as they are."""
    if encoding == "not-gzip":
        return b"".join(pieces)
    window = {"gzip": 31, "deflate": 15, "raw-deflate": -15}[encoding]
    compressor = zlib.compressobj(9, zlib.DEFLATED, window)
    return b"".join(compressor.compress(piece) for piece in pieces) + compressor.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--store", help="folder for NNNN.body and NNNN.headers of each request")
    parser.add_argument("--tls-cert", help="serve HTTPS with this certificate chain (PEM)")
    parser.add_argument("--tls-key", help="private key of the certificate (PEM)")
    parser.add_argument("--client-ca", help="ask for a client certificate signed by this authority (PEM)")
    parser.add_argument("--tls-version", choices=["TLSv1", "TLSv1_1", "TLSv1_2", "TLSv1_3"],
                        help="offer this TLS version only")
    parser.add_argument("--status", type=int, default=201, help="HTTP status of every reply")
    parser.add_argument("--reason", default="Created")
    parser.add_argument("--body", help="reply body text instead of the JSON summary")
    parser.add_argument("--body-file", help="reply body bytes from this file")
    parser.add_argument("--header", action="append", default=[], help="extra reply header line")
    parser.add_argument("--encoding", choices=["gzip", "deflate", "raw-deflate", "not-gzip"],
                        help="compress the reply body (deflate: a zlib stream; raw-deflate: no header), "
                             "or send it as it is under a gzip Content-Encoding")
    parser.add_argument("--many-headers", type=int, default=0, help="add this many distinct reply headers")
    parser.add_argument("--long-header", type=int, default=0, help="add one reply header this many bytes long")
    parser.add_argument("--bare", action="store_true", help="no header beyond Content-Length")
    parser.add_argument("--fault", choices=["reset-mid-body", "early-413", "close-no-reply", "slow-read", "trickle-reply",
                                            "hold", "interim", "short-body", "early-answer", "early-answer-http10",
                                            "early-answer-no-length"],
                        help="misbehave: reset the connection halfway through the body, answer 413 without reading "
                             "the body, close without answering, read slowly, send the reply body a few bytes at a time, "
                             "read the body and never answer, send 102 Processing before the answer, or declare 7 bytes more than "
                             "the reply body holds and close after it; early-answer answers --status once half the body "
                             "is in, with Connection: close (-http10: in HTTP/1.0; -no-length: without a length, "
                             "ended by shutting down its side), stores nothing and reads on until the client closes")
    parser.add_argument("--trickle-size", type=int, default=8, help="bytes per piece of a trickled reply body")
    parser.add_argument("--trickle-delay", type=float, default=0.005, help="seconds between the pieces")
    parser.add_argument("--stop-after", type=int, help="stop reading the body after this many bytes")
    parser.add_argument("--truncate", help="truncate this file to nothing once part of the body has arrived")
    parser.add_argument("--hold-connect", action="store_true", help="never answer a CONNECT, as a silent proxy")
    parser.add_argument("--touch", help="move this file's modification time once the --touch-at'th body has arrived")
    parser.add_argument("--remove", help="remove this file once the --touch-at'th body has arrived")
    parser.add_argument("--touch-at", type=int, default=1)
    parser.add_argument("--truncate-after", type=int, default=1 << 20, help="bytes of the body before --truncate acts")
    parser.add_argument("--reply-size", type=int, help="answer this many bytes of 'x' as the body")
    parser.add_argument("--no-length", action="store_true", help="end the reply body by closing the connection")
    parser.add_argument("--fail-first", type=int, default=0, help="answer the first N requests with --fail-status")
    parser.add_argument("--fail-status", type=int, default=503)
    parser.add_argument("--fail-header", action="append", default=[], help="extra header line of the failing answers")
    parser.add_argument("--fail-path", help="answer requests whose address holds this text with --fail-status")
    parser.add_argument("--fail-times", type=int, default=0, help="only the first N of those (0: every one)")
    parser.add_argument("--require-basic", metavar="USER:PASSWORD",
                        help="answer 401 with WWW-Authenticate: Basic unless the request carries these credentials")
    parser.add_argument("--close-after-reply", action="store_true",
                        help="close the connection after each answer, as a server does with an idle one")
    parser.add_argument("--hold-after", type=int,
                        help="once this many requests are answered with success, take no more and never answer")
    parser.add_argument("--hold-file", help="hold as --hold-after says only while this file exists")
    parser.add_argument("--chaos", type=int, metavar="SEED",
                        help="at random, from this seed: reset halfway through the body, close without answering, "
                             "or answer --fail-status")
    parser.add_argument("--listen-after", type=float, default=0,
                        help="refuse connections for this many seconds after printing the port")
    options = parser.parse_args()
    if options.store:
        os.makedirs(options.store, exist_ok=True)

    server = Receiver(options)
    print("port %d" % server.server_address[1], flush=True)
    if options.listen_after:
        # Bound but not listening: the system refuses connections meanwhile.
        time.sleep(options.listen_after)
        server.server_activate()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
