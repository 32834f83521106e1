#!/usr/bin/env python3
"""A small DevTools-protocol client for the hand-off tests (standard library only).

Connects to a running chromium through the port it wrote to <profile>/DevToolsActivePort,
waits for the page showing a given URL to match a JavaScript condition, then saves a
screenshot of it (after two more frames have been painted) and prints what the condition
returned as JSON.

  devtools.py --profile DIR --url URL --until JS --screenshot FILE
              [--size WxH] [--format png|jpeg] [--timeout S]

--size fixes the page's viewport (and so the picture) to W x H CSS pixels.
"""
import argparse
import base64
import json
import os
import socket
import struct
import sys
import time
import urllib.request


class WebSocket:
    """Just enough of RFC 6455 for a client: masked text frames out, any frames in."""

    def __init__(self, url, timeout):
        assert url.startswith("ws://")
        host_port, _, path = url[len("ws://"):].partition("/")
        host, _, port = host_port.partition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        request = ("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n" % (path, host_port, key))
        self.sock.sendall(request.encode())
        response = b""
        while b"\r\n\r\n" not in response:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("DevTools closed the connection during the handshake")
            response += chunk
        head, _, self.buffer = response.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError("DevTools refused the WebSocket: %r" % head[:200])

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("DevTools connection closed")
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def send(self, text):
        payload = text.encode()
        header = bytes([0x81])
        if len(payload) < 126:
            header += bytes([0x80 | len(payload)])
        elif len(payload) < 1 << 16:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", len(payload))
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def receive(self):
        message = b""
        while True:
            first, second = self._read(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._read(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._read(8))[0]
            mask = self._read(4) if second & 0x80 else None
            payload = self._read(length)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            opcode = first & 0x0F
            if opcode == 0x8:
                raise ConnectionError("DevTools closed the WebSocket")
            if opcode in (0x9, 0xA):  # ping, pong: not used by DevTools
                continue
            message += payload
            if first & 0x80:
                return message.decode()


class Session:
    def __init__(self, url, timeout):
        self.ws = WebSocket(url, timeout)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.receive())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply["result"]


def devtools_port(profile, deadline):
    path = os.path.join(profile, "DevToolsActivePort")
    while time.monotonic() < deadline:
        try:
            with open(path) as f:
                lines = f.read().split("\n")
            if lines and lines[0].strip().isdigit():
                return int(lines[0])
        except OSError:
            pass
        time.sleep(0.05)
    raise TimeoutError("no %s: did the browser start?" % path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--profile", required=True)
    parser.add_argument("--url", required=True, help="the page's URL")
    parser.add_argument("--until", required=True,
                        help="JavaScript expression; the screenshot is taken once it is truthy")
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--size", help="viewport WxH")
    parser.add_argument("--format", choices=("png", "jpeg"), default="png")
    parser.add_argument("--timeout", type=float, default=30)
    options = parser.parse_args()
    deadline = time.monotonic() + options.timeout

    port = devtools_port(options.profile, deadline)
    page = None
    while page is None:
        with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=5) as r:
            targets = json.load(r)
        page = next((t for t in targets
                     if t.get("type") == "page" and t.get("url") == options.url), None)
        if page is None:
            if time.monotonic() > deadline:
                raise TimeoutError("no page at %s; pages: %s" % (
                    options.url, [t.get("url") for t in targets]))
            time.sleep(0.05)

    session = Session(page["webSocketDebuggerUrl"], options.timeout)
    expression = "(%s)" % options.until
    while True:
        result = session.call("Runtime.evaluate", expression=expression, returnByValue=True)
        value = result.get("result", {}).get("value")
        if value:
            break
        if time.monotonic() > deadline:
            raise TimeoutError("the page never met %s (last: %r)" % (options.until, value))
        time.sleep(0.05)
    if options.size:
        width, height = (int(v) for v in options.size.split("x"))
        session.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                     deviceScaleFactor=1, mobile=False)
    # Whatever the condition saw is on screen once two frames have been painted since.
    session.call("Runtime.evaluate", awaitPromise=True, expression=(
        "new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))"))
    shot = session.call("Page.captureScreenshot", format=options.format)
    with open(options.screenshot, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print(json.dumps(value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
