#!/usr/bin/env python3
"""The load of bench/signin_flood.sh: report posts timed before and during a sign-in flood.

  signin_flood.py --port PORT --console PORT --cafile PEM --bodies LIST
                  [--rate N] [--seconds S] [--signins N]

Posters: two threads post the listed form bodies (each once, in order) over keep-alive TLS
connections at --rate posts a second in all, each post timed from request to answer.
Flood: a process of its own with --signins threads, each fetching the sign-in form and
posting a wrong password for a name never used before, again and again, each attempt from a
loopback source address of its own (127.x.y.z), so that no name or address is ever slowed
down: every attempt costs the console a full password check, as a flood from many
addresses would. Phase "before" runs the posters alone, phase "during" with the flood
running (after its first answers). Prints one JSON line per phase."""
import argparse
import http.client
import json
import multiprocessing
import os
import re
import ssl
import threading
import time


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def post_phase(options, bodies, seconds):
    """Posts for `seconds` at options.rate; returns (latencies in ms, non-200 count)."""
    latencies, failures = [], [0]
    lock = threading.Lock()
    context = ssl.create_default_context(cafile=options.cafile)
    interval = 2.0 / options.rate  # two posters
    start = time.monotonic()

    def poster(index):
        conn = None
        n = 0
        while True:
            # The next slot of this poster's schedule; slots missed while a post was slow
            # are skipped (a post is never sent late to catch up).
            now = time.monotonic()
            if now - start >= seconds:
                return
            due = start + n * interval + index * interval / 2
            if due < now:
                n += int((now - due) / interval) + 1
                continue
            time.sleep(due - now)  # pacing of the load, not a wait for an event
            with lock:
                if not bodies:
                    return
                body = bodies.pop()
            began = time.monotonic()
            try:
                if conn is None:
                    conn = http.client.HTTPSConnection("127.0.0.1", options.port, timeout=900,
                                                       context=context)
                conn.request("POST", "/kestal/scantest.php", body=body,
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = conn.getresponse()
                response.read()
                status = response.status
            except (OSError, http.client.HTTPException):
                status = 0
                conn = None
            elapsed = (time.monotonic() - began) * 1000
            with lock:
                latencies.append(elapsed)
                if status != 200:
                    failures[0] += 1
            n += 1

    threads = [threading.Thread(target=poster, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return latencies, failures[0]


def flood(console, signins, counts, started, stop, niceness):
    token = re.compile(r'name="token" value="([^"]*)"')
    # On a small machine this script's own threads compete with the receiver for the cores;
    # FLOOD_NICE lowers the flood client's priority to take that out of the figures.
    os.nice(niceness)

    def signer(index):
        attempt = 0
        while not stop.is_set():
            attempt += 1
            source = "127.%d.%d.%d" % (1 + index // 250, 1 + index % 250, 1 + attempt % 250)
            name = "flood-%d-%d" % (index, attempt)
            try:
                conn = http.client.HTTPConnection("127.0.0.1", console, timeout=300,
                                                  source_address=(source, 0))
                conn.request("GET", "/signin")
                form = conn.getresponse()
                page = form.read().decode(errors="replace")
                cookie = (form.getheader("Set-Cookie") or "").split(";")[0]
                found = token.search(page)
                body = "token=%s&name=%s&password=wrong-password-%d" % (
                    found.group(1) if found else "", name, attempt)
                conn.request("POST", "/signin", body=body, headers={
                    "Content-Type": "application/x-www-form-urlencoded", "Cookie": cookie})
                answer = conn.getresponse()
                answer.read()
                status = str(answer.status)
                conn.close()
            except (OSError, http.client.HTTPException):
                status = "error"
            with counts.get_lock():
                slot = {"401": 0, "429": 1, "503": 2}.get(status, 3)
                counts[slot] += 1
            started.set()

    threads = [threading.Thread(target=signer, args=(i,), daemon=True) for i in range(signins)]
    for t in threads:
        t.start()
    stop.wait()


def summary(phase, latencies, failures, seconds, extra=None):
    line = {"phase": phase, "posts": len(latencies), "non200": failures,
            "p50_ms": round(percentile(latencies, 50) or 0, 1),
            "p99_ms": round(percentile(latencies, 99) or 0, 1),
            "max_ms": round(max(latencies) if latencies else 0, 1), "seconds": seconds}
    if extra:
        line.update(extra)
    print(json.dumps(line), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--console", type=int, required=True)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--bodies", required=True)
    parser.add_argument("--rate", type=float, default=40)
    parser.add_argument("--seconds", type=float, default=15)
    parser.add_argument("--signins", type=int, default=100)
    parser.add_argument("--flood-nice", type=int, default=0)
    options = parser.parse_args()
    bodies = []
    for path in open(options.bodies).read().split():
        with open(path, "rb") as f:
            bodies.append(f.read())
    bodies.reverse()

    latencies, failures = post_phase(options, bodies, options.seconds)
    summary("before", latencies, failures, options.seconds)

    counts = multiprocessing.Array("l", 4)
    started, stop = multiprocessing.Event(), multiprocessing.Event()
    flooder = multiprocessing.Process(target=flood, args=(options.console, options.signins,
                                                          counts, started, stop, options.flood_nice))
    flooder.start()
    started.wait(120)  # the flood's first answer: from here on it is under way
    with counts.get_lock():
        first = list(counts)
    latencies, failures = post_phase(options, bodies, options.seconds)
    with counts.get_lock():
        during = [now - then for now, then in zip(counts, first)]
    stop.set()
    flooder.join(30)
    if flooder.is_alive():
        flooder.terminate()
    summary("during", latencies, failures, options.seconds,
            {"signins_401": during[0], "signins_429": during[1], "signins_503": during[2],
             "signins_other": during[3]})


if __name__ == "__main__":
    main()
