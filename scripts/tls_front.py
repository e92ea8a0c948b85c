#!/usr/bin/env python3
"""Puts HTTPS in front of a loopback HTTP server: nginx terminates TLS and passes every request on.

  tls_front.py --upstream PORT --work DIR CERT KEY [CERT KEY ...]

For each certificate and key (PEM files) nginx listens on 127.0.0.1 on a free port of its own and
forwards each request unchanged to http://127.0.0.1:PORT, streaming the answer back as it arrives
(a body the upstream breaks off is broken off here too). Once every port accepts, their numbers are
written to DIR/ports, one line per certificate in the order given. nginx's files stay in DIR.

It stops nginx and removes DIR/ports when it gets SIGTERM or SIGINT, when DIR/stop appears, or when
the upstream no longer accepts connections (its owner is gone), so no server outlives its test.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

ATTEMPTS = 3  # a port found free may be taken before nginx binds it: then try other ones


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def config(work, upstream, pairs, ports):
    servers = "".join(f"""
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {os.path.abspath(cert)};
        ssl_certificate_key {os.path.abspath(key)};
        location / {{
            proxy_pass http://127.0.0.1:{upstream};
            proxy_buffering off;
            proxy_redirect off;
        }}
    }}""" for (cert, key), port in zip(pairs, ports))
    temp = " ".join(f"{kind}_temp_path {work}/{kind};"
                    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return f"""daemon off;
master_process off;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 256; }}
http {{
    access_log off;
    {temp}
    {servers}
}}
"""


def start(nginx, work, upstream, pairs):
    """nginx listening on a free port per pair, and the ports; exits when it cannot start."""
    for _ in range(ATTEMPTS):
        ports = [free_port() for _ in pairs]
        conf = f"{work}/nginx.conf"
        with open(conf, "w") as out:
            out.write(config(work, upstream, pairs, ports))
        server = subprocess.Popen([nginx, "-e", f"{work}/error.log", "-p", work, "-c", conf],
                                  stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while server.poll() is None and time.monotonic() < deadline:
            if all(accepts(port) for port in ports):
                return server, ports
            time.sleep(0.05)
        server.kill()
        server.wait()
    sys.exit(f"tls_front: nginx did not start; see {work}/error.log")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upstream", type=int, required=True, help="port of the HTTP server")
    parser.add_argument("--work", required=True, help="folder for nginx's files and DIR/ports")
    parser.add_argument("pem", nargs="+", help="certificate and key, in pairs")
    options = parser.parse_args()
    if len(options.pem) % 2:
        parser.error("certificates and keys come in pairs")
    work = os.path.abspath(options.work)
    os.makedirs(work, exist_ok=True)
    # Started from a test under Wine, this process holds the test's output: let it go at once.
    log = os.open(f"{work}/front.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    for fd in (1, 2):
        os.dup2(log, fd)
    os.closerange(3, 1024)
    nginx = shutil.which("nginx", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if nginx is None:
        sys.exit("tls_front: nginx is not installed (scripts/install-deps.sh installs it)")

    stopping = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stopping.append(True))
    pairs = list(zip(options.pem[0::2], options.pem[1::2]))
    server, ports = start(nginx, work, options.upstream, pairs)
    try:
        # Written whole, then renamed: a reader never sees half a list.
        with open(f"{work}/ports.tmp", "w") as out:
            out.write("".join(f"{port}\n" for port in ports))
        os.replace(f"{work}/ports.tmp", f"{work}/ports")
        ticks = 0
        while not stopping and server.poll() is None and not os.path.exists(f"{work}/stop"):
            time.sleep(0.25)
            ticks += 1
            if ticks % 4 == 0 and not accepts(options.upstream):
                break
    finally:
        server.terminate()
        server.wait()
        if os.path.exists(f"{work}/ports"):
            os.remove(f"{work}/ports")


if __name__ == "__main__":
    main()
