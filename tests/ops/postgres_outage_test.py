#!/usr/bin/env python3
"""gravelin-receiver on PostgreSQL while the database goes away under load and comes back.

usage: postgres_outage_test.py RECEIVER SAMPLE_REPORTS TABLES_DIR
Run under tests/receiver/storage/with-postgres.sh (GRAVELIN_TEST_POSTGRES_URI and _CTL).

Eight clients post distinct real reports (one real table, the system serial varied), each
post on a new TLS connection. While they post, PostgreSQL is stopped twice (once with
pg_ctl's fast shutdown, once with its immediate one, which leaves the server to recover
from its WAL on the next start) for two seconds and started again; the receiver is never
restarted; a report refused with 503 is posted again later, as its user would. Checked:
  - while the server is down the receiver answers 503 (every post answered: no hang, no
    crash) and its counts say storage_unavailable for each;
  - no 200 for a scan that is not stored: every receipt answered 200 is in `scans --json`;
  - after each restart the receiver stores again by itself;
  - every report refused with 503 and posted again gets 200 in the end, and the stored scans
    are exactly the reports that were acknowledged, each once.
Prints the counts and how long the receiver took to store again after each restart."""

import http.client
import os
import shutil
import sys
import tempfile
import threading
import time

from receiver_harness import Receiver, postgres_data_dir, run

RECEIVER, SAMPLES, TABLES = sys.argv[1:4]
URI = os.environ.get('GRAVELIN_TEST_POSTGRES_URI')
CTL = os.environ.get('GRAVELIN_TEST_POSTGRES_CTL')
TABLE = os.path.join(TABLES, 'dell-libsmbios-PE1650.bin')
REPORTS = 600
CLIENTS = 8


def main():
    if not URI or not CTL:
        print('no PostgreSQL server: run under tests/receiver/storage/with-postgres.sh')
        return 1
    if not os.path.exists(TABLE):
        print('no real table %s' % TABLE)
        return 1
    work = tempfile.mkdtemp(prefix='gravelin-outage-')
    receiver = Receiver(RECEIVER, SAMPLES, work)
    try:
        reports = receiver.reports(TABLE, REPORTS)
        assert len(set(reports)) == REPORTS
        receiver.use_database(URI, 'outage')
        log = open(os.path.join(work, 'receiver.log'), 'wb')
        receiver.start(stderr=log)

        def post(sealed):
            code, receipt, _ = receiver.post(sealed)
            return code, receipt

        results = {}          # report index -> list of (time, status, receipt)
        lock = threading.Lock()
        failures = []

        # The clients take reports from one queue; a report refused with 503 goes back to its
        # end, as its user would post it again later. The load ends when all are stored.
        queue = list(range(REPORTS))
        finished = threading.Event()

        def client():
            while not finished.is_set():
                with lock:
                    i = queue.pop(0) if queue else None
                if i is None:
                    time.sleep(0.02)
                    continue
                try:
                    code, receipt = post(reports[i])
                except (OSError, http.client.HTTPException) as e:
                    failures.append('post %d not answered: %r' % (i, e))
                    code, receipt = None, None
                with lock:
                    results.setdefault(i, []).append((time.monotonic(), code, receipt))
                    if code != 200:
                        queue.append(i)
                time.sleep(0.01)

        def acknowledged_count():
            with lock:
                return sum(1 for r in results.values() for _, c, _ in r if c == 200)

        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for t in threads:
            t.start()
        outages = []
        for mode in ('fast', 'immediate'):
            target = acknowledged_count() + 40
            while acknowledged_count() < target:
                time.sleep(0.02)
            assert acknowledged_count() < REPORTS - 100, 'the load ended before the outage'

            env = dict(os.environ)
            stopped = time.monotonic()
            if mode == 'immediate':
                # with-postgres.sh stops with the fast mode: the immediate one by hand.
                data_dir = postgres_data_dir(CTL)
                bindir = run('sh', '-c', 'ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1'
                             ).stdout.decode().strip()
                as_owner = ['runuser', '-u', 'postgres', '--'] if os.getuid() == 0 else []
                run(*as_owner, bindir + '/pg_ctl', '-D', data_dir, '-m', 'immediate', '-w', 'stop')
            else:
                run(*CTL.split(), 'stop', env=env)
            down = time.monotonic()  # the server has ended: nothing commits from here on
            time.sleep(2)
            restarted = time.monotonic()
            run(*CTL.split(), 'start', env=env)
            outages.append((mode, stopped, down, restarted))
        deadline = time.monotonic() + 300
        while acknowledged_count() < REPORTS and time.monotonic() < deadline:
            time.sleep(0.05)
        finished.set()
        for t in threads:
            t.join()
        assert not failures, failures[:5]
        refused = sorted(i for i, r in results.items() if any(c == 503 for _, c, _ in r))

        counts = receiver.status()['answers']
        stored = receiver.stored_scans()
        stored_receipts = [s['receipt'] for s in stored]
        codes = [c for r in results.values() for _, c, _ in r]
        n503 = codes.count(503)
        acknowledged = {rc for r in results.values() for _, c, rc in r if c == 200}
        print('posts %d: 200 %d, 503 %d, other %d; reports refused at least once %d' % (
            len(codes), codes.count(200), n503, len(codes) - codes.count(200) - n503,
            len(refused)))
        print('receiver counts: %s' % {k: v for k, v in counts.items() if v})
        for mode, stopped, down, restarted in outages:
            # Answers received from half a second after the server was gone (a commit made
            # before it went may still be on its way back) until it was started again.
            during = [c for r in results.values() for t, c, _ in r if down + 0.5 < t < restarted]
            after = sorted(t for r in results.values() for t, c, _ in r if c == 200 and t > restarted)
            print('%s stop (%.2f s): answers during the outage %s; first 200 %.2f s after the restart' % (
                mode, down - stopped, {c: during.count(c) for c in set(during)},
                after[0] - restarted if after else float('nan')))
            assert during and set(during) == {503}, '%s: answers while down: %r' % (mode, during)
            assert after, '%s: nothing stored after the restart' % mode
        assert set(codes) <= {200, 503}, set(codes)
        assert n503 > 0, 'no post met the outage'
        assert counts.get('storage_unavailable') == n503, (counts, n503)
        # No 200 for a scan that is not stored, and each acknowledged report stored once.
        assert acknowledged <= set(stored_receipts), acknowledged - set(stored_receipts)
        assert len(stored_receipts) == len(set(stored_receipts))
        assert all(any(c == 200 for _, c, _ in r) for r in results.values()), 'not all stored'
        assert len(stored_receipts) == REPORTS, (len(stored_receipts), REPORTS)
        assert receiver.process.poll() is None, 'the receiver exited'
        receiver.stop()
        print('postgres outage: passed')
        return 0
    finally:
        receiver.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
