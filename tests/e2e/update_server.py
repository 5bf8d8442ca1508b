#!/usr/bin/env python3
"""A web server on 127.0.0.1 for the update-check tests: serves the version file and the
advert as told, or accepts connections and never answers. Prints "port N" once it listens."""
import argparse
import http.server
import socket
import sys

VERSION_PATH = "/updata/Vireo_NewVersion.pdf"
ADVERT_PATH = "/updata/Vireo_ad.pdf"


def parse_spec(text):
    """hex:BYTES (200 with them), status:N (that status, no body), flood:N (N bytes of
    'A' as UTF-16LE after a byte-order mark, announced in Content-Length), nolength:BYTES
    (200, no Content-Length, closed at the end)."""
    kind, _, value = text.partition(":")
    if kind not in ("hex", "status", "flood", "nolength"):
        raise argparse.ArgumentTypeError("unknown kind " + kind)
    return kind, value


class Handler(http.server.BaseHTTPRequestHandler):
    specs = {}

    def do_GET(self):
        sys.stderr.write("GET %s\n" % self.path)
        sys.stderr.flush()
        kind, value = self.specs.get(self.path, ("status", "404"))
        if kind == "status":
            self.send_response(int(value))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if kind == "flood":
            total = int(value)
            self.send_response(200)
            self.send_header("Content-Length", str(total))
            self.end_headers()
            chunk = b"A\x00" * 32768
            try:
                self.wfile.write(b"\xff\xfe")
                sent = 2
                while sent < total:
                    part = chunk[: total - sent]
                    self.wfile.write(part)
                    sent += len(part)
            except (BrokenPipeError, ConnectionResetError):
                sys.stderr.write("client left after %d of %d bytes\n" % (sent, total))
            return
        body = bytes.fromhex(value)
        self.send_response(200)
        if kind == "hex":
            self.send_header("Content-Length", str(len(body)))
        else:
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def hang(listener):
    """Accepts every connection and never answers; keeps them open until killed."""
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)
        sys.stderr.write("accepted, not answering\n")
        sys.stderr.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--version", type=parse_spec, default=("status", "404"))
    parser.add_argument("--advert", type=parse_spec, default=("status", "404"))
    parser.add_argument("--hang", action="store_true")
    args = parser.parse_args()

    if args.hang:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        print("port %d" % listener.getsockname()[1], flush=True)
        hang(listener)
        return
    Handler.specs = {VERSION_PATH: args.version, ADVERT_PATH: args.advert}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
