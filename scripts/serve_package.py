#!/usr/bin/env python3
"""Serves the files of one folder over HTTP on 127.0.0.1, for the main job's download.

  serve_package.py --root DIR --port-file FILE [--rate BYTES_PER_SECOND]

The server binds 127.0.0.1 on a port the system picks and writes that port to FILE once it
listens. With --rate it sends every body at about that many bytes per second, so that a download
of a few megabytes lasts long enough to show its progress. It runs until it is killed.
"""

import argparse
import functools
import http.server
import os
import sys
import time


class ThrottledHandler(http.server.SimpleHTTPRequestHandler):
    rate = 0  # bytes per second; 0 sends as fast as the connection takes them

    def copyfile(self, source, outputfile):
        if self.rate <= 0:
            super().copyfile(source, outputfile)
            return
        piece = max(1, min(64 * 1024, self.rate // 20))
        started = time.monotonic()
        sent = 0
        while True:
            data = source.read(piece)
            if not data:
                return
            outputfile.write(data)
            sent += len(data)
            ahead = sent / self.rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)

    def log_message(self, format, *args):
        sys.stderr.write("serve_package: %s\n" % (format % args))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder whose files are served")
    parser.add_argument("--port-file", required=True, help="file that receives the port")
    parser.add_argument("--rate", type=int, default=0, help="bytes per second per response")
    options = parser.parse_args()

    ThrottledHandler.rate = options.rate
    handler = functools.partial(ThrottledHandler, directory=os.path.abspath(options.root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    port = server.server_address[1]
    # Written whole, then renamed: a reader never sees half a number.
    with open(options.port_file + ".tmp", "w") as out:
        out.write("%d\n" % port)
    os.replace(options.port_file + ".tmp", options.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
