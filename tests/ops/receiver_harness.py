"""What the operations tests share: a throw-away TLS certificate, real sealed reports, a
database of their own on the test server (tests/receiver/storage/with-postgres.sh), and
gravelin-receiver started on it with both listeners on free ports."""

import http.client
import json
import os
import re
import ssl
import subprocess
import time


def run(*args, check=True, **kwargs):
    result = subprocess.run(args, capture_output=True, timeout=300, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError('%s: %s' % (args, result.stderr.decode(errors='replace')))
    return result


def postgres_data_dir(ctl):
    """The data folder of the server that with-postgres.sh's control command drives."""
    return ctl.split()[-1] + '/data'


class Receiver:
    def __init__(self, program, samples, work):
        self.program, self.samples, self.work = program, samples, work
        self.process = None
        self.port = self.console = None
        self.cert, self.key = os.path.join(work, 'cert.pem'), os.path.join(work, 'key.pem')
        run('openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
            '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext',
            'subjectAltName=IP:127.0.0.1', '-keyout', self.key, '-out', self.cert)
        self.context = ssl.create_default_context(cafile=self.cert)
        self.store = []

    def reports(self, table, count):
        """count distinct sealed reports of one real table (the system serial varied)."""
        out = os.path.join(self.work, 'reports')
        run(self.samples, table, '--count', str(count), '--out', out)
        return [open(os.path.join(out, name)).read().strip() for name in sorted(os.listdir(out))]

    def use_database(self, uri, name):
        run('psql', uri, '-qc', 'CREATE DATABASE ' + name)
        self.store = ['--database', uri.replace('/postgres?', '/%s?' % name, 1)]

    def start(self, *options, stderr):
        self.process = subprocess.Popen(
            [self.program, 'serve', '--listen', '127.0.0.1:0', '--cert', self.cert, '--key',
             self.key, '--console', '127.0.0.1:0', *options, *self.store],
            stdout=subprocess.PIPE, stderr=stderr)
        for _ in range(2):
            line = self.process.stdout.readline().decode()
            match = re.search(r'://127\.0\.0\.1:(\d+)', line)
            assert match, 'the receiver did not start: %r' % line
            if 'console' in line:
                self.console = int(match.group(1))
            else:
                self.port = int(match.group(1))

    def post(self, sealed):
        """Posts one report on a new TLS connection: (status, receipt or None, seconds)."""
        started = time.monotonic()
        conn = http.client.HTTPSConnection('127.0.0.1', self.port, timeout=60,
                                           context=self.context)
        try:
            conn.request('POST', '/kestal/scantest.php', body='scanResult=' + sealed,
                         headers={'Content-Type': 'application/x-www-form-urlencoded'})
            answer = conn.getresponse()
            page = answer.read().decode(errors='replace')
            receipt = re.search(r'class="receipt">([0-9A-F-]+)<', page)
            return answer.status, receipt.group(1) if receipt else None, time.monotonic() - started
        finally:
            conn.close()

    def status(self):
        conn = http.client.HTTPConnection('127.0.0.1', self.console, timeout=10)
        try:
            conn.request('GET', '/status')
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()

    def stored_scans(self):
        return json.loads(run(self.program, 'scans', '--json', *self.store).stdout)

    def stop(self):
        self.process.terminate()
        assert self.process.wait(timeout=60) == 0

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
