#!/usr/bin/env python3
"""gravelin-receiver on PostgreSQL while the server stalls: its processes stopped (SIGSTOP),
so that connections are accepted by the kernel and never answered, then let go on (SIGCONT).

usage: postgres_stall_test.py RECEIVER SAMPLE_REPORTS TABLES_DIR
Run under tests/receiver/storage/with-postgres.sh (GRAVELIN_TEST_POSTGRES_URI and _CTL).

The receiver runs with --storage-timeout 2000. Checked:
  - before the stall a post is stored (200);
  - during the stall a post (on a pooled connection) and a second one (on a new
    connection) are each answered 503 within the deadline and a margin, and a third post
    sent at once with them as well (the posts do not queue behind each other);
  - the failures are logged as one line of kind timeout on stderr, and /status counts them;
  - after SIGCONT the refused reports are stored (200) when posted again, without a restart.
Prints how long each answer took."""

import os
import shutil
import sys
import tempfile
import threading

from receiver_harness import Receiver, postgres_data_dir

RECEIVER, SAMPLES, TABLES = sys.argv[1:4]
URI = os.environ.get('GRAVELIN_TEST_POSTGRES_URI')
CTL = os.environ.get('GRAVELIN_TEST_POSTGRES_CTL')
TABLE = os.path.join(TABLES, 'dell-libsmbios-PE1650.bin')
DEADLINE_MS = 2000
MARGIN_S = 1.5


def server_processes(data_dir):
    """The postmaster and every process it started."""
    with open(os.path.join(data_dir, 'postmaster.pid')) as f:
        postmaster = int(f.readline())
    pids = [postmaster]
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                stat = f.read()
        except OSError:
            continue
        parent = int(stat[stat.rindex(')') + 2:].split()[1])
        if parent == postmaster:
            pids.append(int(entry))
    return pids


def main():
    if not URI or not CTL:
        print('no PostgreSQL server: run under tests/receiver/storage/with-postgres.sh')
        return 1
    work = tempfile.mkdtemp(prefix='gravelin-stall-')
    receiver = Receiver(RECEIVER, SAMPLES, work)
    stopped = []
    try:
        reports = receiver.reports(TABLE, 6)
        receiver.use_database(URI, 'stall')
        log_path = os.path.join(work, 'receiver.log')
        log = open(log_path, 'wb')
        receiver.start('--storage-timeout', str(DEADLINE_MS), stderr=log)

        def post(sealed):
            code, _, took = receiver.post(sealed)
            return code, took

        code, took = post(reports[0])
        assert code == 200, code
        print('before the stall: %d in %.2f s' % (code, took))

        stopped = server_processes(postgres_data_dir(CTL))
        for pid in stopped:
            os.kill(pid, 19)  # SIGSTOP
        # Without a deadline the posts below would wait for the server for ever: the server
        # goes on after 30 s whatever happens, so that the test ends (and fails).
        released = threading.Event()

        def release():
            if not released.wait(30):
                for pid in stopped:
                    os.kill(pid, 18)  # SIGCONT

        watchdog = threading.Thread(target=release)
        watchdog.start()
        try:
            during = [post(reports[1]), post(reports[2])]
            together = []
            threads = [threading.Thread(target=lambda i=i: together.append(post(reports[3 + i])))
                       for i in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            during += together
            counts = receiver.status()
        finally:
            released.set()
            watchdog.join()
            for pid in stopped:
                os.kill(pid, 18)  # SIGCONT
            stopped = []
        for i, (code, took) in enumerate(during):
            print('during the stall, post %d: %d in %.2f s' % (i + 1, code, took))
        for code, took in during:
            assert code == 503, during
            assert took < DEADLINE_MS / 1000 + MARGIN_S, 'answered after %.2f s' % took
        failures = counts.get('storageFailures', {})
        print('storage failures at /status: %s' % failures)
        assert failures.get('timeout') == len(during), counts
        assert counts['answers'].get('storage_unavailable') == len(during), counts

        for i in range(1, 5):
            code, took = post(reports[i])
            assert code == 200, (i, code)
        code, took = post(reports[5])
        assert code == 200, code
        print('after SIGCONT: the refused reports stored; a new one in %.2f s' % took)
        stored = receiver.stored_scans()
        assert len(stored) == 6, len(stored)

        receiver.stop()
        log.close()
        lines = [l for l in open(log_path, errors='replace') if 'storage failure' in l]
        print('log: %r' % lines)
        assert len(lines) == 1 and 'storage failure (timeout)' in lines[0], lines
        print('postgres stall: passed')
        return 0
    finally:
        for pid in stopped:
            os.kill(pid, 18)
        receiver.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
