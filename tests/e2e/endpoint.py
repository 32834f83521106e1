#!/usr/bin/env python3
"""A result endpoint for the hand-off tests, on loopback only.

HTTPS with the certificate given on the command line (the tests make a throw-away
self-signed one). It answers
  POST /kestal/scantest.php   unseals the form field "scanResult" with the project's own
                              `gravelin-report unseal` and stores the report;
  GET  /kestal/loading-com.jpg the waiting page's image;
and 404 for everything else. Every request is logged as one JSON line in requests.jsonl;
POST number N leaves post-N.body (the raw body), post-N.json (what was found in it) and,
when unsealing worked, post-N.report.xml.
"""
import argparse
import http.server
import json
import os
import ssl
import subprocess
import sys
import threading
import urllib.parse

RESULT_PATH = "/kestal/scantest.php"
IMAGE_PATH = "/kestal/loading-com.jpg"
MAX_BODY = 64 << 20


class Endpoint(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, options):
        super().__init__(address, Handler)
        self.options = options
        self.lock = threading.Lock()
        self.posts = 0
        with open(options.image, "rb") as f:
            self.image = f.read()

    def log(self, entry):
        with self.lock:
            with open(os.path.join(self.options.out, "requests.jsonl"), "a") as f:
                f.write(json.dumps(entry) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "gravelin-test-endpoint"
    timeout = 30

    def setup(self):
        super().setup()
        self.connection.do_handshake()

    def log_message(self, format, *args):  # quiet: requests.jsonl is the log
        pass

    def reply(self, status, body, content_type="text/html; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        self.server.log({"method": "GET", "path": self.path})
        if path == IMAGE_PATH:
            self.reply(200, self.server.image, "image/jpeg")
        else:
            self.reply(404, b"not found\n", "text/plain")

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            self.server.log({"method": "POST", "path": self.path, "error": "bad length"})
            self.reply(413, b"too large\n", "text/plain")
            return
        body = self.rfile.read(length)
        if path != RESULT_PATH:
            self.server.log({"method": "POST", "path": self.path})
            self.reply(404, b"not found\n", "text/plain")
            return
        with self.server.lock:
            self.server.posts += 1
            number = self.server.posts
        out = self.server.options.out
        with open(os.path.join(out, "post-%d.body" % number), "wb") as f:
            f.write(body)
        record = {
            "content_type": self.headers.get("Content-Type", ""),
            "origin": self.headers.get("Origin", ""),
        }
        try:
            fields = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True,
                                            strict_parsing=True)
        except (UnicodeDecodeError, ValueError) as e:
            fields = None
            record["parse_error"] = str(e)
        record["fields"] = [name for name, _ in fields] if fields is not None else None
        values = [value for name, value in (fields or []) if name == "scanResult"]
        status = 400
        if len(values) == 1:
            record["scanResult_length"] = len(values[0])
            with open(os.path.join(out, "post-%d.scanResult" % number), "w") as f:
                f.write(values[0])
            unseal = subprocess.run([self.server.options.report_tool, "unseal"],
                                    input=values[0].encode("ascii"), capture_output=True)
            record["unseal_exit"] = unseal.returncode
            record["unseal_stderr"] = unseal.stderr.decode("utf-8", "replace")
            if unseal.returncode == 0:
                with open(os.path.join(out, "post-%d.report.xml" % number), "wb") as f:
                    f.write(unseal.stdout)
                status = 200
        with open(os.path.join(out, "post-%d.json" % number), "w") as f:
            json.dump(record, f, indent=1)
        self.server.log({"method": "POST", "path": self.path, "number": number,
                         "status": status})
        if status == 200:
            self.reply(200, b"<html><body><p>Report received.</p></body></html>\n")
        else:
            self.reply(400, b"<html><body><p>No report.</p></body></html>\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--report-tool", required=True)
    parser.add_argument("--out", required=True, help="directory for the log and the reports")
    options = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    server = Endpoint(("127.0.0.1", options.port), options)
    # The handshake runs in the request's thread, so one stalled client blocks no other.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    with open(os.path.join(options.out, "ready"), "w") as f:
        f.write("%d\n" % server.server_address[1])
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
