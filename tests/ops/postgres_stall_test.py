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

import http.client
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time

RECEIVER, SAMPLES, TABLES = sys.argv[1:4]
URI = os.environ.get('GRAVELIN_TEST_POSTGRES_URI')
CTL = os.environ.get('GRAVELIN_TEST_POSTGRES_CTL')
TABLE = os.path.join(TABLES, 'dell-libsmbios-PE1650.bin')
DEADLINE_MS = 2000
MARGIN_S = 1.5


def run(*args, check=True, **kwargs):
    result = subprocess.run(args, capture_output=True, timeout=300, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError('%s: %s' % (args, result.stderr.decode(errors='replace')))
    return result


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
    receiver = None
    stopped = []
    try:
        cert, key = os.path.join(work, 'cert.pem'), os.path.join(work, 'key.pem')
        run('openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
            '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext',
            'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert)
        context = ssl.create_default_context(cafile=cert)
        run(SAMPLES, TABLE, '--count', '6', '--out', os.path.join(work, 'reports'))
        reports = [open(os.path.join(work, 'reports', name)).read().strip()
                   for name in sorted(os.listdir(os.path.join(work, 'reports')))]
        run('psql', URI, '-qc', 'CREATE DATABASE stall')
        store = ['--database', URI.replace('/postgres?', '/stall?', 1)]

        log_path = os.path.join(work, 'receiver.log')
        log = open(log_path, 'wb')
        receiver = subprocess.Popen(
            [RECEIVER, 'serve', '--listen', '127.0.0.1:0', '--cert', cert, '--key', key,
             '--console', '127.0.0.1:0', '--storage-timeout', str(DEADLINE_MS), *store],
            stdout=subprocess.PIPE, stderr=log)
        port = console = None
        for _ in range(2):
            line = receiver.stdout.readline().decode()
            match = re.search(r'://127\.0\.0\.1:(\d+)', line)
            assert match, 'the receiver did not start: %r' % line
            if 'console' in line:
                console = int(match.group(1))
            else:
                port = int(match.group(1))

        def post(sealed):
            started = time.monotonic()
            conn = http.client.HTTPSConnection('127.0.0.1', port, timeout=60, context=context)
            try:
                conn.request('POST', '/kestal/scantest.php', body='scanResult=' + sealed,
                             headers={'Content-Type': 'application/x-www-form-urlencoded'})
                answer = conn.getresponse()
                answer.read()
                return answer.status, time.monotonic() - started
            finally:
                conn.close()

        def status():
            conn = http.client.HTTPConnection('127.0.0.1', console, timeout=10)
            try:
                conn.request('GET', '/status')
                return json.loads(conn.getresponse().read())
            finally:
                conn.close()

        code, took = post(reports[0])
        assert code == 200, code
        print('before the stall: %d in %.2f s' % (code, took))

        data_dir = CTL.split()[-1] + '/data'
        stopped = server_processes(data_dir)
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
            counts = status()
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
        stored = json.loads(run(RECEIVER, 'scans', '--json', *store).stdout)
        assert len(stored) == 6, len(stored)

        receiver.terminate()
        assert receiver.wait(timeout=60) == 0
        log.close()
        lines = [l for l in open(log_path, errors='replace') if 'storage failure' in l]
        print('log: %r' % lines)
        assert len(lines) == 1 and 'storage failure (timeout)' in lines[0], lines
        print('postgres stall: passed')
        return 0
    finally:
        for pid in stopped:
            os.kill(pid, 18)
        if receiver and receiver.poll() is None:
            receiver.kill()
            receiver.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
