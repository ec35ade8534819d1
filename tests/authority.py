#!/usr/bin/env python3
"""Makes the private authority of a test run in FOLDER, afresh:

  ca.pem ca.key                 the authority
  stranger.pem stranger.key     another authority, each self-signed
  server.key                    the server's key, in every server certificate below
  good.pem                      for 127.0.0.1 and localhost, from ca.pem
  expired.pem                   good.pem's names, expired yesterday
  otherhost.pem                 for other.invalid only
  badsignature.pem              good.pem with the last byte of its signature changed
  selfsigned.pem                for 127.0.0.1, signed by itself
  client.pem client.key         an RSA client certificate of ca.pem and its key
  client-encrypted.key          that key under the password k3yS3cret
  chain.pem                     client.pem followed by ca.pem
  combined.pem                  client.pem followed by client.key
  intermediate.pem .key         an authority that ca.pem signed
  client-chain.pem              client.key's certificate from intermediate.pem, followed by it
  ec.pem ec.key                 an elliptic-curve client certificate and its key
  ed25519.pem ed25519.key       an Ed25519 client certificate and its key, which Qt cannot read
  notes.txt                     text without a certificate
  authorities/                  a folder holding a copy of ca.pem
  links/                        links only: a hash name to a link to ca.pem
  hashed/                       a copy of ca.pem under its subject's hash, as OpenSSL reads a folder
  first/ second/                a folder as /etc/ssl/certs is (ca.pem, a link to it, stranger.pem),
                                and one with ca.pem again

The folder is built beside FOLDER and renamed into place, so a test never sees
half of it; when another maker was first, its folder is kept.
"""

import os
import shutil
import subprocess
import sys
import tempfile


def openssl(*arguments, folder):
    subprocess.run(("openssl",) + arguments, cwd=folder, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make(folder):
    def run(*arguments):
        openssl(*arguments, folder=folder)

    def sign(name, request, names, days="2"):
        with open(os.path.join(folder, name + ".ext"), "w") as extensions:
            extensions.write("subjectAltName=" + names + "\n")
        run("x509", "-req", "-in", request, "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", days, "-extfile", name + ".ext", "-out", name)

    def authority(name, subject):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".pem",
            "-days", "2", "-subj", subject)

    authority("ca", "/CN=Uploader Test Authority")
    authority("stranger", "/CN=Another Authority")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    # Qt also matches the common name, so the other host's name is in both.
    run("req", "-new", "-key", "server.key", "-out", "other.csr", "-subj", "/CN=other.invalid")
    sign("good.pem", "server.csr", "IP:127.0.0.1,DNS:localhost")
    sign("expired.pem", "server.csr", "IP:127.0.0.1,DNS:localhost", days="-1")
    sign("otherhost.pem", "other.csr", "DNS:other.invalid")
    # The signature closes the certificate: its last byte changed, the rest still matches the key.
    run("x509", "-in", "good.pem", "-outform", "DER", "-out", "good.der")
    with open(os.path.join(folder, "good.der"), "r+b") as der:
        der.seek(-1, os.SEEK_END)
        last = der.read(1)[0]
        der.seek(-1, os.SEEK_END)
        der.write(bytes([last ^ 0x5A]))
    run("x509", "-inform", "DER", "-in", "good.der", "-out", "badsignature.pem")
    run("req", "-x509", "-key", "server.key", "-out", "selfsigned.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
        "-addext", "subjectAltName=IP:127.0.0.1")

    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "client.key", "-out", "client.csr", "-subj", "/CN=client")
    run("x509", "-req", "-in", "client.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
        "-out", "client.pem")
    run("pkcs8", "-topk8", "-in", "client.key", "-out", "client-encrypted.key", "-passout", "pass:k3yS3cret")
    run("req", "-x509", "-CA", "ca.pem", "-CAkey", "ca.key", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-keyout", "intermediate.key", "-out", "intermediate.pem", "-days", "2",
        "-subj", "/CN=Uploader Test Intermediate", "-addext", "basicConstraints=critical,CA:TRUE")
    run("x509", "-req", "-in", "client.csr", "-CA", "intermediate.pem", "-CAkey", "intermediate.key", "-CAcreateserial",
        "-days", "2", "-out", "client-intermediate.pem")
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "ec.key",
        "-out", "ec.csr", "-subj", "/CN=ec")
    run("x509", "-req", "-in", "ec.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
        "-out", "ec.pem")
    run("req", "-newkey", "ed25519", "-nodes", "-keyout", "ed25519.key", "-out", "ed25519.csr", "-subj", "/CN=ed25519")
    run("x509", "-req", "-in", "ed25519.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
        "-out", "ed25519.pem")

    def path(name):
        return os.path.join(folder, name)

    for joined, parts in (("chain.pem", ("client.pem", "ca.pem")), ("combined.pem", ("client.pem", "client.key")),
                          ("client-chain.pem", ("client-intermediate.pem", "intermediate.pem"))):
        with open(path(joined), "w") as chain:
            for name in parts:
                with open(path(name)) as part:
                    chain.write(part.read())
    with open(path("notes.txt"), "w") as notes:
        notes.write("no certificate here\n")
    for name in ("authorities", "links", "hashed", "first", "second"):
        os.mkdir(path(name))
    shutil.copy(path("ca.pem"), path("authorities/test.pem"))
    os.symlink("../ca.pem", path("links/test.pem"))
    os.symlink("test.pem", path("links/5ed36f99.0"))
    shutil.copy(path("ca.pem"), path("hashed/test.pem"))
    run("rehash", "hashed")
    shutil.copy(path("ca.pem"), path("first/ca.pem"))
    os.symlink("ca.pem", path("first/link.pem"))
    shutil.copy(path("stranger.pem"), path("first/stranger.pem"))
    shutil.copy(path("ca.pem"), path("second/again.pem"))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: authority.py FOLDER")
    target = os.path.abspath(sys.argv[1])
    shutil.rmtree(target, ignore_errors=True)
    building = tempfile.mkdtemp(prefix=os.path.basename(target) + ".", dir=os.path.dirname(target))
    try:
        make(building)
        os.rename(building, target)
    except subprocess.CalledProcessError as failure:
        shutil.rmtree(building, ignore_errors=True)
        sys.exit(failure.stderr.decode(errors="replace"))
    except OSError:
        shutil.rmtree(building, ignore_errors=True)
        if not os.path.isdir(target):
            raise


if __name__ == "__main__":
    main()
