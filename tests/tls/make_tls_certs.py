#!/usr/bin/env python3
"""Makes the certificates of the HTTPS tests, at build time.

    make_tls_certs.py OUT_DIR

Two authorities: ca (the test CA, which the tests trust in their Wine prefix only; also as ca.cer,
DER, for trust_test_ca.exe) and stranger (a CA nobody trusts). One server key, server.key, in every server certificate; each bad one differs from good.pem in one
property only:
    good.pem        127.0.0.1 and localhost, issued by ca
    expired.pem     the same names, issued by ca, valid only in January 2020
    wronghost.pem   wrong-host.invalid only, issued by ca
    selfsigned.pem  127.0.0.1 and localhost, issued by itself
    untrusted.pem   127.0.0.1 and localhost, issued by stranger
Nothing here is ever used outside the build tree.
"""
import os
import subprocess
import sys

OPENSSL = os.environ.get("OPENSSL", "openssl")
# Wine's WinHTTP compares a host with the DNS names of a certificate only, never with its IP
# addresses: a certificate for 127.0.0.1 names it both ways.
NAMES = "subjectAltName=DNS:localhost,IP:127.0.0.1,DNS:127.0.0.1"


def run(*args):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit(f"failed: {' '.join(args)}")


def write(path, lines):
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def make_ca(out, name):
    run(OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{out}/{name}.key",
        "-out", f"{out}/{name}.pem", "-days", "3650", "-subj", f"/CN=MobileDrvDown test {name} CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def server_ext(out, name, names):
    ext = f"{out}/{name}.ext"
    write(ext, ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature,keyEncipherment",
                "extendedKeyUsage=serverAuth", names])
    return ext


def request(out, name, host):
    csr = f"{out}/{name}.csr"
    run(OPENSSL, "req", "-new", "-key", f"{out}/server.key", "-out", csr, "-subj", f"/CN={host}")
    return csr


def issue(out, name, ca, host="localhost", names=NAMES):
    run(OPENSSL, "x509", "-req", "-in", request(out, name, host), "-CA", f"{out}/{ca}.pem",
        "-CAkey", f"{out}/{ca}.key", "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
        "-days", "3650", "-out", f"{out}/{name}.pem", "-extfile", server_ext(out, name, names))


def issue_expired(out):
    # `openssl x509` only counts days from now; `openssl ca` takes both dates.
    db = f"{out}/expired-db"
    os.makedirs(db, exist_ok=True)
    open(f"{db}/index.txt", "w").close()
    write(f"{db}/ca.cnf", ["[ca]", "default_ca = test", "[test]", f"database = {db}/index.txt",
                           f"new_certs_dir = {db}", "rand_serial = yes", "default_md = sha256",
                           "policy = any", "unique_subject = no", "[any]", "commonName = supplied"])
    run(OPENSSL, "ca", "-batch", "-notext", "-config", f"{db}/ca.cnf", "-cert", f"{out}/ca.pem",
        "-keyfile", f"{out}/ca.key", "-in", request(out, "expired", "localhost"), "-out", f"{out}/expired.pem",
        "-startdate", "20200101000000Z", "-enddate", "20200201000000Z",
        "-extfile", server_ext(out, "expired", NAMES))


def main(out):
    os.makedirs(out, exist_ok=True)
    make_ca(out, "ca")
    make_ca(out, "stranger")
    run(OPENSSL, "x509", "-in", f"{out}/ca.pem", "-outform", "DER", "-out", f"{out}/ca.cer")
    run(OPENSSL, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
        "-out", f"{out}/server.key")
    issue(out, "good", "ca")
    issue_expired(out)
    issue(out, "wronghost", "ca", "wrong-host.invalid", "subjectAltName=DNS:wrong-host.invalid")
    issue(out, "untrusted", "stranger")
    run(OPENSSL, "x509", "-req", "-in", request(out, "selfsigned", "localhost"), "-key", f"{out}/server.key",
        "-days", "3650", "-out", f"{out}/selfsigned.pem",
        "-extfile", server_ext(out, "selfsigned", NAMES))


if __name__ == "__main__":
    main(sys.argv[1])
