#!/usr/bin/env python3
"""gravelin-receiver as a whole process: real sealed reports from the real firmware tables
posted over HTTPS with a throw-away certificate, the table of bad posts, slow clients, the
command line, SIGTERM, and SIGKILL under load followed by a restart.

usage: receiver_process_test.py RECEIVER SAMPLE_REPORTS TABLES_DIR [TEST NAME...]
Runs on SQLite; on PostgreSQL too when GRAVELIN_TEST_POSTGRES_URI names a server
(tests/receiver/storage/with-postgres.sh provides one)."""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import api_schema

RECEIVER, SAMPLES, TABLES = sys.argv[1], sys.argv[2], sys.argv[3]
POSTGRES = os.environ.get('GRAVELIN_TEST_POSTGRES_URI')
# The real tables the tests post: a server, a desktop, a laptop-era board and a VM.
REAL = ['dell-libsmbios-PE0400', 'dell-libsmbios-ES3040', 'dell-libsmbios-PAweb110']
SEALING_KEY = b'Qm7#vK2p!Lx9@Tz4'


def run(*args, stdin=None, check=False):
    result = subprocess.run(args, input=stdin, capture_output=True, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError('%s failed: %s' % (args, result.stderr.decode(errors='replace')))
    return result


def sealed_samples(table, count, out_dir):
    run(SAMPLES, os.path.join(TABLES, table + '.bin'), '--count', str(count), '--out', out_dir,
        check=True)
    return [open(os.path.join(out_dir, '%s-%d.hex' % (table, n))).read() for n in range(count)]


def blowfish_seal(data, key):
    """Seals bytes as the scanner does (zero padding, Blowfish-ECB, upper-case hex), with any
    key, through openssl's legacy provider."""
    data += b'\0' * (-len(data) % 8)
    out = run('openssl', 'enc', '-bf-ecb', '-provider', 'legacy', '-provider', 'default',
              '-K', key.hex(), '-nopad', '-nosalt', stdin=data, check=True).stdout
    return out.hex().upper()


class Receiver:
    """One gravelin-receiver serve process on loopback ports the system picks."""

    def __init__(self, work, store_args, extra=(), wrapper=(), env=None):
        self.work = work
        self.store_args = list(store_args)
        self.log = open(os.path.join(work, 'receiver.log'), 'ab')
        self.proc = subprocess.Popen(
            [*wrapper, RECEIVER, 'serve', '--listen', '127.0.0.1:0', '--cert', Fixture.cert, '--key',
             Fixture.key, '--console', '127.0.0.1:0', *self.store_args, *extra],
            stdout=subprocess.PIPE, stderr=self.log, env=env)
        self.port = self.console = None
        for _ in range(2):
            line = self.proc.stdout.readline().decode()
            match = re.search(r'(https|http)://127\.0\.0\.1:(\d+)', line)
            if not match:
                raise AssertionError('receiver did not start: %r; log: %s' % (line, self.read_log()))
            if 'console' in line:
                self.console = int(match.group(2))
            else:
                self.port = int(match.group(2))

    def read_log(self):
        if not self.log.closed:
            self.log.flush()
        with open(os.path.join(self.work, 'receiver.log'), errors='replace') as log:
            return log.read()

    def connection(self, timeout=20):
        return http.client.HTTPSConnection('127.0.0.1', self.port, timeout=timeout,
                                           context=Fixture.client_context)

    def post(self, body, content_type='application/x-www-form-urlencoded', conn=None):
        own = conn is None
        conn = conn or self.connection()
        try:
            headers = {'Content-Type': content_type} if content_type else {}
            conn.request('POST', '/kestal/scantest.php', body=body, headers=headers)
            response = conn.getresponse()
            return response.status, response.read().decode(errors='replace'), response
        finally:
            if own:
                conn.close()

    def status(self):
        conn = http.client.HTTPConnection('127.0.0.1', self.console, timeout=10)
        try:
            conn.request('GET', '/status')
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()

    def cli(self, *args):
        return run(RECEIVER, *args, *self.store_args)

    def scans(self):
        result = self.cli('scans', '--json')
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        code = self.proc.wait(timeout=60)
        self.output = self.proc.stdout.read().decode(errors='replace')
        self.proc.stdout.close()
        self.log.close()
        return code


class Fixture:
    work = cert = key = client_context = None
    samples = {}

    @classmethod
    def setup(cls):
        cls.work = tempfile.mkdtemp(prefix='gravelin-receiver-test-')
        cls.cert = os.path.join(cls.work, 'cert.pem')
        cls.key = os.path.join(cls.work, 'key.pem')
        run('openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
            '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext',
            'subjectAltName=IP:127.0.0.1', '-keyout', cls.key, '-out', cls.cert, check=True)
        cls.client_context = ssl.create_default_context(cafile=cls.cert)
        for table in REAL:
            cls.samples[table] = sealed_samples(table, 1, os.path.join(cls.work, 'samples'))[0]
        # Many distinct reports of one machine for the load phases.
        cls.load = sealed_samples(REAL[0], 300, os.path.join(cls.work, 'load'))


def form(sealed):
    return 'scanResult=' + sealed


class HookServer:
    """A subscriber on loopback: HTTPS with the fixture's certificate (plain HTTP with
    tls=False). Each path answers the statuses listed for it in turn, then 200; every post is
    kept, and counted per delivery id so that a repeat shows."""

    def __init__(self, answers=None, tls=True):
        import http.server
        self.posts, self.lock, self.answers = [], threading.Lock(), dict(answers or {})
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
                with outer.lock:
                    outer.posts.append((self.path, dict(self.headers), body))
                    queue = outer.answers.get(self.path, [])
                    status = queue.pop(0) if queue else 200
                self.send_response(status)
                self.send_header('Content-Length', '2')
                self.end_headers()
                self.wfile.write(b'ok')

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(Fixture.cert, Fixture.key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.url = '%s://127.0.0.1:%d' % ('https' if tls else 'http', self.server.server_address[1])
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def received(self, path):
        with self.lock:
            return [(headers, body) for p, headers, body in self.posts if p == path]

    def wait_for(self, path, count, timeout=45):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.received(path)) >= count:
                return self.received(path)
            time.sleep(0.1)
        raise AssertionError('%s got %d posts, not %d' % (path, len(self.received(path)), count))

    def close(self):
        self.server.shutdown()
        self.server.server_close()



class ReceiverTest:
    """Mixed into one TestCase per storage engine."""

    def store_args(self, name):
        raise NotImplementedError

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='case-', dir=Fixture.work)
        self.args = self.store_args(self.dir)
        self.receiver = Receiver(self.dir, self.args)

    def tearDown(self):
        if self.receiver.proc.poll() is None:
            self.receiver.stop(signal.SIGKILL)
        # The receiver never crashed or was killed by anything but the test.
        self.assertNotIn('AddressSanitizer', self.receiver.read_log())

    def test_real_reports_over_https_are_stored_identified_and_listed(self):
        pages = {}
        for table in REAL:
            status, page, response = self.receiver.post(form(Fixture.samples[table]))
            self.assertEqual(status, 200, page)
            self.assertIn("default-src 'none'", response.getheader('Content-Security-Policy'))
            self.assertEqual(response.getheader('X-Content-Type-Options'), 'nosniff')
            self.assertIn('max-age=', response.getheader('Strict-Transport-Security'))
            self.assertNotIn(Fixture.samples[table][:64], page)  # nothing echoed
            pages[table] = page
        scans = self.receiver.scans()
        self.assertEqual(len(scans), len(REAL))
        by_receipt = {scan['receipt']: scan for scan in scans}
        for table, page in pages.items():
            receipt = re.search(r'class="receipt">([0-9A-F-]+)<', page).group(1)
            scan = by_receipt[receipt]
            summary = scan['summary']
            # The page names the machine the summary found, escaped.
            self.assertIn('Machine: %s %s' % (summary['maker'], summary['model']), page.replace('&amp;', '&'))
            self.assertTrue(summary['maker'], table)
            self.assertEqual(scan['columns']['maker'], summary['maker'])
            self.assertEqual(scan['columns']['model'], summary['model'])
            self.assertEqual(scan['programName'], 'gravelin-scanner')
            self.assertNotEqual(scan['identityRule'], 'none', table)
            self.assertTrue(scan['identityKey'], table)
            self.assertGreater(scan['storedBytes'], 0)
        machines = json.loads(self.receiver.cli('machines', '--json').stdout)
        self.assertEqual(len(machines), len(REAL))
        one = machines[0]['id']
        listed = json.loads(self.receiver.cli('scans', '--machine', str(one), '--json').stdout)
        self.assertEqual([scan['machine'] for scan in listed], [one])

    def test_repost_is_stored_once_with_the_same_receipt(self):
        sealed = Fixture.samples[REAL[0]]
        first = self.receiver.post(form(sealed))
        # Lower case and surrounding whitespace are the same sealed text.
        second = self.receiver.post(form(' ' + sealed.lower() + '\n').replace('\n', '%0A').replace(' ', '+'))
        self.assertEqual((first[0], second[0]), (200, 200), second[1])
        receipt = re.compile(r'class="receipt">([0-9A-F-]+)<')
        self.assertEqual(receipt.search(first[1]).group(1), receipt.search(second[1]).group(1))
        self.assertEqual(len(self.receiver.scans()), 1)
        self.assertEqual(self.receiver.status()['answers'], {'stored': 1, 'duplicate': 1})

    def test_bad_posts_get_their_4xx_store_nothing_and_are_counted(self):
        # A cap of 25 MB of hex lets a million attributes reach the parser's bounds.
        self.receiver.stop()
        self.receiver = Receiver(self.dir, self.args, ['--max-report-bytes', '25000000'])
        good = Fixture.samples[REAL[0]]
        seal = lambda text: blowfish_seal(text.encode(), SEALING_KEY)
        app = '<Application><i0 OS="x" Name="y" Version="1" Errors=""/></Application>'
        cases = [
            ('not hex', form('XYZ' + good[3:]), 400, 'not_hex'),
            ('odd length', form(good[:-1]), 400, 'odd_length'),
            ('not a whole block', form(good[:-2]), 400, 'partial_block'),
            ('wrong key', form(blowfish_seal(b'<?xml version="1.0"?><HWInfo>' + app.encode() +
                                             b'</HWInfo>', b'another key 1234')), 400, None),
            ('padding only', form(blowfish_seal(b'\0' * 16, SEALING_KEY)), 400, 'padding_only'),
            ('not XML', form(seal('this is not a report at all')), 400, 'not_xml'),
            ('DOCTYPE with entities', form(seal('<?xml version="1.0"?><!DOCTYPE HWInfo [<!ENTITY a "b">]>'
                                               '<HWInfo>&a;' + app + '</HWInfo>')), 400, 'doctype'),
            ('billion laughs', form(seal('<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">' +
                                         ''.join('<!ENTITY lol%d "%s">' % (i, ('&lol%s;' % ('' if i == 1 else i - 1)) * 10)
                                                 for i in range(1, 10)) +
                                         ']><HWInfo>&lol9;</HWInfo>')), 400, 'doctype'),
            ('100,000 nested elements', form(seal('<HWInfo>' + '<a>' * 100000 + '</a>' * 100000 +
                                                  app + '</HWInfo>')), 400, 'too_deep'),
            ('a million attributes', form(seal('<HWInfo><i0 ' + ' '.join('a%d="1"' % i for i in range(1000000)) +
                                               '/>' + app + '</HWInfo>')), 400, 'too_many_attributes'),
            ('no Application', form(seal('<?xml version="1.0"?><HWInfo><SMBIOS_Type_1_System>'
                                         '<i0 Manufacturer="x"/></SMBIOS_Type_1_System></HWInfo>')), 400, 'not_a_report'),
            ('a second field', form(good) + '&other=1', 400, 'bad_form'),
            ('no field', 'other=1', 400, 'bad_form'),
            ('broken percent escape', 'scanResult=%G1', 400, 'bad_form'),
        ]
        for name, body, status, counter in cases:
            with self.subTest(name):
                got, text, _ = self.receiver.post(body)
                self.assertEqual(got, status, '%s: %s' % (name, text))
                self.assertEqual(text.count('\n'), 1, text)  # one line, no echo
                if counter:
                    self.assertEqual(self.receiver.status()['answers'].get(counter, 0) > 0, True, name)
        with self.subTest('multipart'):
            got, text, _ = self.receiver.post(
                '--b\r\nContent-Disposition: form-data; name="scanResult"\r\n\r\n' + good + '\r\n--b--\r\n',
                content_type='multipart/form-data; boundary=b')
            self.assertEqual(got, 415, text)
            self.assertGreater(self.receiver.status()['answers']['wrong_content_type'], 0)
        with self.subTest('larger than the cap: 413 from the header alone'):
            raw = socket.create_connection(('127.0.0.1', self.receiver.port), timeout=10)
            tls = Fixture.client_context.wrap_socket(raw, server_hostname='127.0.0.1')
            tls.sendall(b'POST /kestal/scantest.php HTTP/1.1\r\nHost: x\r\nContent-Type: '
                        b'application/x-www-form-urlencoded\r\nContent-Length: 100000000\r\n\r\n')
            answer = tls.recv(4096).decode()  # no body byte was sent
            self.assertTrue(answer.startswith('HTTP/1.1 413'), answer)
            tls.close()
        with self.subTest('truncated body'):
            raw = socket.create_connection(('127.0.0.1', self.receiver.port), timeout=10)
            tls = Fixture.client_context.wrap_socket(raw, server_hostname='127.0.0.1')
            body = form(good).encode()
            tls.sendall(b'POST /kestal/scantest.php HTTP/1.1\r\nHost: x\r\nContent-Type: '
                        b'application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n' % len(body) +
                        body[:len(body) // 2])
            tls.shutdown(socket.SHUT_WR)  # the client gives up half-way
            answer = b''
            try:
                answer = tls.recv(4096)
            except (ssl.SSLError, OSError):
                pass
            tls.close()
            # Over TLS a half-closed client cannot be answered; what matters is that nothing
            # was stored and the receiver went on (checked below).
            self.assertFalse(answer.startswith(b'HTTP/1.1 200'), answer)
        with self.subTest('other addresses and methods'):
            conn = self.receiver.connection()
            for method, path, status in [('GET', '/', 404), ('GET', '/kestal/', 404),
                                         ('GET', '/kestal/scantest.php', 405),
                                         ('POST', '/kestal/loading-com.jpg', 405),
                                         ('GET', '/kestal/loading-com.jpg?x', 200)]:
                conn.request(method, path)
                response = conn.getresponse()
                body = response.read()
                self.assertEqual(response.status, status, path)
            self.assertEqual(response.getheader('Content-Type'), 'image/jpeg')
            self.assertEqual(body[:3], b'\xff\xd8\xff')
            conn.close()
        # The receiver is still up, stored nothing, and says why it refused.
        self.assertIsNone(self.receiver.proc.poll())
        self.assertEqual(self.receiver.scans(), [])
        status = self.receiver.status()
        self.assertNotIn('stored', status['answers'])
        self.assertGreaterEqual(status['listener']['tooLarge'], 1)
        self.assertEqual(self.receiver.post(form(good))[0], 200)

    def test_trickling_clients_do_not_stop_normal_posts(self):
        tricklers = []
        for _ in range(200):
            s = socket.create_connection(('127.0.0.1', self.receiver.port), timeout=10)
            s.sendall(b'\x16')  # the first byte of a TLS hello, and nothing more for now
            tricklers.append(s)
        for n in range(10):
            status, text, _ = self.receiver.post(form(Fixture.load[n]))
            self.assertEqual(status, 200, text)
        # Answered while every trickler still held its connection (their deadline is 10 s).
        self.assertGreaterEqual(self.receiver.status()['listener']['open'], 200)
        for s in tricklers:
            s.close()

    def test_descriptor_limit_is_raised_and_silent_connections_make_room(self):
        # Soft limit 128, hard 256: the receiver raises the soft one and sizes its connection
        # cap from it, so 300 connections that never send a byte cannot use up its
        # descriptors; at the cap the longest silent ones are shed for a client that posts.
        self.receiver.stop()
        self.receiver = Receiver(self.dir, self.args, wrapper=['prlimit', '--nofile=128:256'])
        with open('/proc/%d/limits' % self.receiver.proc.pid) as limits:
            soft, hard = re.search(r'Max open files\s+(\d+)\s+(\d+)', limits.read()).groups()
        self.assertEqual((soft, hard), ('256', '256'))
        silent = [socket.create_connection(('127.0.0.1', self.receiver.port), timeout=10)
                  for _ in range(300)]
        try:
            status, text, _ = self.receiver.post(form(Fixture.samples[REAL[0]]))
            self.assertEqual(status, 200, text)
            listener = self.receiver.status()['listener']
            self.assertGreater(listener['shed'], 0)
            self.assertLess(listener['open'], 256)
        finally:
            for s in silent:
                s.close()
        self.assertEqual(len(self.receiver.scans()), 1)

    def test_bodies_past_the_memory_budget_get_503_with_retry_after(self):
        self.receiver.stop()
        self.receiver = Receiver(self.dir, self.args, ['--max-body-memory', '1000'])
        status, text, response = self.receiver.post(form(Fixture.samples[REAL[0]]))
        self.assertEqual(status, 503, text)
        self.assertEqual(response.getheader('Retry-After'), '5')
        conn = self.receiver.connection()
        conn.request('GET', '/kestal/loading-com.jpg')  # no body: not held up by the budget
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()
        self.assertEqual(self.receiver.status()['listener']['overBudget'], 1)
        self.assertEqual(self.receiver.scans(), [])

    def test_kill_under_load_loses_nothing_acknowledged(self):
        acknowledged = []
        lock = threading.Lock()
        stop = threading.Event()

        def poster(reports):
            for sealed in reports:
                if stop.is_set():
                    return
                try:
                    status, page, _ = self.receiver.post(form(sealed))
                except (OSError, http.client.HTTPException):
                    return
                if status == 200:
                    with lock:
                        acknowledged.append(re.search(r'class="receipt">([0-9A-F-]+)<', page).group(1))

        workers = [threading.Thread(target=poster, args=(Fixture.load[i::8],)) for i in range(8)]
        for w in workers:
            w.start()
        while len(acknowledged) < 40 and any(w.is_alive() for w in workers):
            time.sleep(0.01)
        self.assertEqual(self.receiver.stop(signal.SIGKILL), -signal.SIGKILL)
        stop.set()
        for w in workers:
            w.join()
        self.assertGreaterEqual(len(acknowledged), 40)
        self.receiver = Receiver(self.dir, self.args)
        stored = {scan['receipt'] for scan in self.receiver.scans()}
        missing = set(acknowledged) - stored
        self.assertEqual(missing, set(), 'acknowledged but not stored')
        # The reopened database takes new scans.
        self.assertEqual(self.receiver.post(form(Fixture.load[-1]))[0], 200)

    def test_status_counts_only_for_a_local_client_no_proxy_speaks_for(self):
        self.assertEqual(self.receiver.post(form(Fixture.samples[REAL[0]]))[0], 200)
        self.assertEqual(self.receiver.status()['answers'].get('stored'), 1)
        for header in ({'X-Forwarded-For': '203.0.113.9'}, {'Forwarded': 'for=203.0.113.9'}):
            conn = http.client.HTTPConnection('127.0.0.1', self.receiver.console, timeout=10)
            try:
                conn.request('GET', '/status', headers=header)
                response = conn.getresponse()
                body = response.read().decode(errors='replace')
            finally:
                conn.close()
            # Through a proxy the path is the console's: no session, no counts.
            self.assertIn(response.status, (303, 401), header)
            self.assertNotIn('"answers"', body)

    def test_sigterm_exits_cleanly(self):
        self.assertEqual(self.receiver.post(form(Fixture.samples[REAL[1]]))[0], 200)
        self.assertEqual(self.receiver.stop(signal.SIGTERM), 0)
        self.assertIn('gravelin-receiver: stopped', self.receiver.output)

    def test_a_stop_right_after_it_says_ready_is_graceful(self):
        # Whoever acts on the readiness lines (a test, an operator's script) may stop the
        # receiver at once: the stop must be the graceful one, every time.
        self.assertEqual(self.receiver.stop(), 0)
        for attempt in range(10):
            self.receiver = Receiver(self.dir, self.args)
            code = self.receiver.stop(signal.SIGTERM)
            self.assertEqual((attempt, code), (attempt, 0), self.receiver.read_log())
            self.assertIn('gravelin-receiver: stopped', self.receiver.output)
        self.receiver = Receiver(self.dir, self.args)

    def test_systemd_hears_ready_only_when_it_can_answer_and_stop(self):
        self.assertEqual(self.receiver.stop(), 0)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        path = os.path.join(self.dir, 'notify.sock')
        notify.bind(path)
        notify.settimeout(60)
        try:
            self.receiver = Receiver(self.dir, self.args,
                                     env=dict(os.environ, NOTIFY_SOCKET=path))
            message = notify.recv(4096).decode()
            self.assertIn('READY=1', message.split('\n'))
            # At READY=1 both listeners take connections and a stop is graceful.
            for port in (self.receiver.port, self.receiver.console):
                socket.create_connection(('127.0.0.1', port), timeout=10).close()
            self.assertEqual(self.receiver.stop(signal.SIGTERM), 0, self.receiver.read_log())
        finally:
            notify.close()
        self.receiver = Receiver(self.dir, self.args)

    def test_import_takes_pages_and_hex_with_the_same_checks(self):
        self.receiver.stop()
        hex_file = os.path.join(self.dir, 'one.hex')
        page_file = os.path.join(self.dir, 'page.html')
        bad_file = os.path.join(self.dir, 'bad.hex')
        open(hex_file, 'w').write(Fixture.samples[REAL[0]] + '\n')
        open(page_file, 'w').write('<html><form><input type="hidden" name="scanResult" value="%s">'
                                   '</form></html>' % Fixture.samples[REAL[1]])
        open(bad_file, 'w').write('ABC')
        result = run(RECEIVER, 'import', *self.args, hex_file, page_file)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.decode().count('stored, receipt '), 2)
        result = run(RECEIVER, 'import', *self.args, hex_file, bad_file,
                     os.path.join(self.dir, 'missing.hex'))
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 1, out)
        self.assertIn('already stored, receipt', out)
        self.assertIn('refused (odd_length)', out)
        self.assertIn('missing.hex: cannot read', out)
        self.assertEqual(len(json.loads(run(RECEIVER, 'scans', '--json', *self.args).stdout)), 2)

    # A report whose firmware strings hold what a terminal acts on, as they pass intake: DEL,
    # the C1 controls (CSI, NEL; written as references and raw) and a direction override.
    HOSTILE_VENDOR = 'Evil\x9b2J\x7f\x85'
    HOSTILE_MODEL = 'Model\u202eexe.txt'

    def post_hostile_report(self):
        xml = ('<?xml version="1.0" encoding="utf-8"?>\r\n<HWInfo><Application><i0 OS="Test OS " '
               'Name="scanner " Version="1.0.0.0 " Errors=" "/></Application>'
               '<Win32_ComputerSystemProduct><i0 IdentifyingNumber="SN&#x9B;31m7 " '
               'Name="Model&#x202E;exe.txt " Vendor="Evil&#x9B;2J&#x7F;\x85 "/>'
               '</Win32_ComputerSystemProduct></HWInfo>\r\n')
        sealed = blowfish_seal(xml.encode('utf-8'), SEALING_KEY)
        status, body, _ = self.receiver.post(form(sealed))
        self.assertEqual(status, 200, body)

    def assert_listings_are_terminal_safe(self):
        """scans and machines, as text and as JSON: no byte a terminal acts on, one line per
        row with its own columns, and the JSON gives the stored values back."""
        for command, columns in (('scans', 8), ('machines', 8)):
            for as_json in (False, True):
                with self.subTest(command=command, json=as_json):
                    result = self.receiver.cli(command, *(['--json'] if as_json else []))
                    self.assertEqual(result.returncode, 0, result.stderr)
                    out = result.stdout
                    self.assertIsNone(re.search(rb'[\x00-\x08\x0b-\x1f\x7f]', out), out)
                    text = out.decode('utf-8')
                    self.assertIsNone(re.search('[\x80-\x9f\u202a-\u202e\u2066-\u2069]', text),
                                      text)
                    if as_json:
                        listed = json.loads(text)
                        values = [item.get('columns', item.get('latest')) for item in listed]
                        makers = [v['maker'] for v in values]
                        self.assertTrue(any(self.HOSTILE_VENDOR in m for m in makers), makers)
                    else:
                        for line in text.splitlines():
                            self.assertEqual(line.count('\t'), columns - 1, line)
                        self.assertIn('Evil\\u009B2J\\x7F\\u0085', text)

    def test_machine_delete_prune_and_retention_in_serve(self):
        for table in REAL:
            self.assertEqual(self.receiver.post(form(Fixture.samples[table]))[0], 200)
        machines = json.loads(self.receiver.cli('machines', '--json').stdout)
        self.assertEqual(len(machines), 3)
        doomed, old, kept = (m['id'] for m in machines)
        deleted = self.receiver.cli('machine', 'delete', str(doomed))
        self.assertEqual(deleted.returncode, 0, deleted.stderr)
        self.assertEqual(deleted.stdout.decode(), 'machine %d deleted with 1 scans\n' % doomed)
        self.assertNotIn(doomed, [scan['machine'] for scan in self.receiver.scans()])
        self.assertEqual(self.receiver.cli('machine', 'delete', str(doomed)).returncode, 1)
        # The tests set the data's times back rather than the receiver's clock: the receiver
        # has no option to move its clock that could be misused.
        day = 24 * 3600 * 1000
        self.sql('UPDATE machines SET last_seen = last_seen - %d WHERE id = %d' % (40 * day, old))
        self.sql('UPDATE scans SET received_at = received_at - %d WHERE machine_id = %d' % (40 * day, old))
        quiet = json.loads(self.receiver.cli('machines', '--json', '--not-seen-since',
                                             time.strftime('%Y-%m-%d', time.gmtime(time.time() - 20 * 86400))).stdout)
        self.assertEqual([m['id'] for m in quiet], [old])
        dry = self.receiver.cli('prune', '--keep-machines', '30', '--dry-run')
        self.assertEqual(dry.stdout.decode(), 'would remove 1 machines, 1 scans, 0 audit entries\n', dry.stderr)
        self.assertEqual(len(self.receiver.scans()), 2, 'a dry run removes nothing')
        # serve prunes at start: the old machine goes, and /status says so.
        self.assertEqual(self.receiver.stop(), 0)
        self.receiver = Receiver(self.dir, self.args, extra=['--keep-machines', '30'])
        deadline = time.time() + 30
        while self.receiver.status()['retention']['runs'] == 0 and time.time() < deadline:
            time.sleep(0.1)
        retention = self.receiver.status()['retention']
        self.assertEqual(retention['lastRemoved'], {'machines': 1, 'scans': 1, 'auditEntries': 0})
        self.assertEqual(retention['failures'], 0)
        self.assertRegex(retention['lastRun'], r'^\d{4}-\d\d-\d\dT')
        self.assertEqual([scan['machine'] for scan in self.receiver.scans()], [kept])
        again = self.receiver.cli('prune', '--keep-machines', '30', '--keep-scans', '1')
        self.assertEqual(again.stdout.decode(), 'removed 0 machines, 0 scans, 0 audit entries\n', again.stderr)

    def test_listings_escape_what_a_terminal_acts_on(self):
        self.post_hostile_report()
        self.assertEqual(self.receiver.post(form(Fixture.samples[REAL[0]]))[0], 200)
        self.assert_listings_are_terminal_safe()
        self.assertIn('Model\\u202Eexe.txt', self.receiver.cli('machines').stdout.decode())

    def post_with_receipts(self):
        """Two real reports and the ThinkPad's (its product name in the system's Version, as
        the scan of a Lenovo gives it); their receipts by name."""
        thinkpad = sealed_samples('uroot-Lenovo-ThinkPad-T480', 1, os.path.join(self.dir, 'lenovo'))[0]
        receipts = {}
        for name, sealed in ((REAL[0], Fixture.samples[REAL[0]]), (REAL[1], Fixture.samples[REAL[1]]),
                             ('thinkpad', thinkpad)):
            status, page, _ = self.receiver.post(form(sealed))
            self.assertEqual(status, 200, page)
            receipts[name] = re.search(r'class="receipt">([0-9A-F-]+)<', page).group(1)
        return receipts

    def test_support_finds_a_quoted_receipt_and_searches_as_the_console_does(self):
        receipts = self.post_with_receipts()
        listed = self.receiver.cli('scans').stdout.decode().splitlines()
        every = self.receiver.scans()
        for name, receipt in receipts.items():
            # Exactly the line and the JSON `scans` gives for it, however it is read out.
            for typed in (receipt, receipt.lower(), receipt.replace('-', ''), ' %s\t' % receipt.lower()):
                with self.subTest(name=name, typed=typed):
                    result = self.receiver.cli('scans', '--receipt', typed)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stdout.decode().splitlines(),
                                     [line for line in listed if line.split('\t')[3] == receipt])
            result = self.receiver.cli('scans', '--receipt', receipt, '--json')
            self.assertEqual(json.loads(result.stdout), [s for s in every if s['receipt'] == receipt])
        for typed, code, words in (('0000-0000-0000', 1, 'no scan has receipt 0000-0000-0000'),
                                   ('1B3F-ADE0', 2, 'receipt number'),
                                   ('1B3F-ADE0-098G', 2, 'receipt number')):
            with self.subTest(typed=typed):
                result = self.receiver.cli('scans', '--receipt', typed)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(words, result.stderr.decode())
                self.assertEqual(result.stdout, b'')

        machines = json.loads(self.receiver.cli('machines', '--json').stdout)
        thinkpad = [m for m in machines if m['latest']['model'] == '20L8S07A14']
        self.assertEqual(len(thinkpad), 1, machines)
        self.assertIn('ThinkPad T480', thinkpad[0]['latest']['product'])
        serial = thinkpad[0]['latest']['serialNumbers'].split()[0]
        # "Dell Computer Corporation" and "UNISYS Corp.": a term found in two makers.
        corp = [m['id'] for m in machines if 'corp' in m['latest']['maker'].lower()]
        self.assertEqual(len(corp), 2, machines)
        for search, ids in (('ThinkPad T480', [thinkpad[0]['id']]),
                            ('thinkpad   t480', [thinkpad[0]['id']]),
                            (serial.lower(), [thinkpad[0]['id']]),
                            ('CORP', corp),
                            ('corp thinkpad', []),
                            ('', [m['id'] for m in machines])):
            with self.subTest(search=search):
                found = json.loads(self.receiver.cli('machines', '--search', search, '--json').stdout)
                self.assertEqual(sorted(m['id'] for m in found), sorted(ids))
                lines = self.receiver.cli('machines', '--search', search).stdout.decode().splitlines()
                self.assertEqual(sorted(int(line.split('\t')[0]) for line in lines), sorted(ids))

    def post_serial(self, serial, version='1.0.0.0'):
        xml = ('<?xml version="1.0" encoding="utf-8"?>\r\n<HWInfo><Application><i0 OS="Test OS" '
               'Name="scanner" Version="%s" Errors=""/></Application>'
               '<Win32_ComputerSystemProduct><i0 IdentifyingNumber="%s" Name="Box" Vendor="Acme"/>'
               '</Win32_ComputerSystemProduct></HWInfo>\r\n' % (version, serial))
        status, body, _ = self.receiver.post(form(blowfish_seal(xml.encode('utf-8'), SEALING_KEY)))
        self.assertEqual(status, 200, body)
        return max(self.receiver.scans(), key=lambda scan: scan['id'])

    def test_machines_are_merged_split_and_reidentified_from_the_command_line(self):
        a = self.post_serial('WS-0001')
        b = self.post_serial('WS-0002')
        self.assertNotEqual(a['machine'], b['machine'])
        merged = self.receiver.cli('machine', 'merge', str(a['machine']), str(b['machine']))
        self.assertEqual(merged.returncode, 0, merged.stderr)
        self.assertIn(b'merged into machine %d: 1 scan moved' % a['machine'], merged.stdout)
        # The running receiver stores a later scan claiming the merged key on the machine kept.
        self.assertEqual(self.post_serial('WS-0002', '1.0.0.1')['machine'], a['machine'])
        machines = json.loads(self.receiver.cli('machines', '--json').stdout)
        self.assertEqual([(m['id'], m['scans']) for m in machines], [(a['machine'], 3)])
        refused = self.receiver.cli('machine', 'merge', str(a['machine']), '999999')
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stderr.count(b'\n'), 1, refused.stderr)

        added = self.receiver.cli('placeholder', 'add', 'WS-0001')
        self.assertEqual(added.returncode, 0, added.stderr)
        self.assertEqual(self.receiver.cli('placeholder', 'add', '...').returncode, 2)
        listed = self.receiver.cli('placeholder', 'list').stdout.decode()
        self.assertRegex(listed, r'^WS-0001\tcli:[^\t]+\t\d{4}-')
        # The receivers read the list again within 5 seconds.
        time.sleep(5.5)
        self.assertEqual(self.post_serial('WS-0001', '1.0.0.2')['identityRule'], 'none')

        dry = self.receiver.cli('reidentify', '--dry-run')
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertIn(b'scan %d: machine %d -> a new machine (none)' % (a['id'], a['machine']), dry.stdout)
        self.assertIn(b'would move', dry.stdout)
        self.assertEqual(len(json.loads(self.receiver.cli('machines', '--json').stdout)), 2)
        moved = self.receiver.cli('reidentify')
        self.assertEqual(moved.returncode, 0, moved.stderr)
        self.assertIn(b'scan %d: machine %d -> machine ' % (a['id'], a['machine']), moved.stdout)
        self.assertIn(b' 1 moved', moved.stdout)
        self.assertIn(b' 0 would move', self.receiver.cli('reidentify', '--dry-run').stdout)
        self.assertEqual(len(json.loads(self.receiver.cli('machines', '--json').stdout)), 3)

        later = self.post_serial('WS-0002', '1.0.0.3')
        split = self.receiver.cli('machine', 'split', str(later['id']))
        self.assertEqual(split.returncode, 0, split.stderr)
        self.assertRegex(split.stdout.decode(), r'^scan %d split off into machine \d+\n$' % later['id'])
        self.assertEqual(json.loads(self.receiver.cli('scans', '--conflicting', '--json').stdout), [])
        self.assertEqual(self.receiver.cli('placeholder', 'delete', 'WS-0001').returncode, 0)
        self.assertEqual(self.receiver.cli('placeholder', 'delete', 'WS-0001').returncode, 1)
        self.assertEqual(self.receiver.cli('placeholder', 'list').stdout, b'')

    def test_hardware_changes_are_listed_exported_and_rebuilt_while_serving(self):
        first = self.post_serial('WS-0100', '1.0.0.0')
        self.post_serial('WS-0100', '1.0.0.1')
        last = self.post_serial('WS-0100', '=1+2')
        self.post_serial('WS-0200', '1.0.0.0')  # a machine of one scan: nothing changed
        listed = self.receiver.cli('changes', '--json')
        self.assertEqual(listed.returncode, 0, listed.stderr)
        changes = json.loads(listed.stdout)
        self.assertEqual([(c['machineId'], c['component'], c['change'], c['note']) for c in changes],
                         [(first['machine'], 'scanner', 'changed', 'updated')] * 2)
        self.assertEqual(changes[0]['scanId'], last['id'])
        self.assertEqual(changes[0]['fields'],
                         [{'name': 'Version', 'before': '1.0.0.1', 'after': '=1+2'}])
        self.assertGreater(changes[0]['atMs'], changes[1]['atMs'] - 1)

        csv = self.receiver.cli('changes', '--csv', '--machine', str(first['machine'])).stdout
        self.assertTrue(csv.startswith(b'id,at,machine,scan,previous_scan,component,change,'), csv)
        self.assertEqual(csv.count(b'\r\n'), 3)
        self.assertIn(',scanner,changed,updated,,"Name scanner, Version 1.0.0.1",'
                      '"Name scanner, Version =1+2",Version 1.0.0.1 \u2192 =1+2\r\n'.encode(), csv)
        today = time.strftime('%Y-%m-%d', time.gmtime())
        self.assertEqual(len(json.loads(self.receiver.cli(
            'changes', '--json', '--since', today, '--until', today, '--change', 'changed').stdout)), 2)
        self.assertEqual(json.loads(self.receiver.cli('changes', '--json', '--change', 'moved').stdout), [])
        self.assertEqual(self.receiver.cli('changes', '--since', 'yesterday').returncode, 2)

        rebuilt = self.receiver.cli('changes', '--rebuild')
        self.assertEqual(rebuilt.returncode, 0, rebuilt.stderr)
        self.assertIn(b'rebuilt 2 machines, 4 scans compared, 2 changes', rebuilt.stderr)
        again = json.loads(self.receiver.cli('changes', '--json').stdout)
        strip = lambda items: [{k: v for k, v in c.items() if k != 'id'} for c in items]
        self.assertEqual(strip(again), strip(changes))
        # The receiver goes on storing while it rebuilds: recorded once either way.
        self.post_serial('WS-0100', '1.0.0.2')
        self.assertEqual(len(json.loads(self.receiver.cli('changes', '--json').stdout)), 3)

    def test_survey_counts_each_machine_once_in_every_dimension(self):
        for table in REAL:
            self.assertEqual(self.receiver.post(form(Fixture.samples[table]))[0], 200)
        self.post_hostile_report()
        result = self.receiver.cli('survey', '--json')
        self.assertEqual(result.returncode, 0, result.stderr)
        survey = json.loads(result.stdout)
        machines = len(json.loads(self.receiver.cli('machines', '--json').stdout))
        self.assertEqual(survey['machines'], machines)
        # By default this calendar month, compared with the month before.
        today = time.strftime('%Y-%m-%d', time.gmtime())
        self.assertEqual(survey['since'], today[:8] + '01')
        self.assertGreater(survey['until'], today)
        self.assertTrue(survey['until'].endswith('-01'), survey['until'])
        self.assertEqual(survey['previous']['until'], survey['since'])
        self.assertTrue(survey['previous']['since'].endswith('-01'), survey['previous'])
        # The month named is the same survey; read from the counts kept at intake, it agrees
        # with a recount, which says so and exits 0.
        month = json.loads(self.receiver.cli('survey', '--json', '--month', today[:7]).stdout)
        self.assertEqual(month, survey)
        recount = self.receiver.cli('survey', '--recount')
        self.assertEqual(recount.returncode, 0, recount.stderr)
        self.assertEqual(recount.stdout, b"the survey's counts agreed with the stored scans\n")
        # Counts gone wrong: the recount says how far, puts them right and exits 1.
        self.sql("UPDATE survey_counts SET machines = machines + 5 WHERE dimension = 'os'")
        recount = self.receiver.cli('survey', '--recount')
        self.assertEqual(recount.returncode, 1, recount.stderr)
        self.assertRegex(recount.stdout.decode(), r"^the survey's counts differed from the stored "
                         r"scans and were counted again: 0 machine months, [1-9]\d* counts\n$")
        self.assertEqual(json.loads(self.receiver.cli('survey', '--json').stdout), survey)
        self.assertEqual(self.receiver.cli('survey', '--recount').returncode, 0)
        # Filters by survey value in the machine search; an unknown name is refused.
        intel = json.loads(self.receiver.cli('machines', '--json', '--search',
                                             'processor_maker:intel').stdout)
        self.assertEqual(len(intel), 3)
        refused = self.receiver.cli('machines', '--search', 'memory:DDR5')
        self.assertEqual(refused.returncode, 2)
        self.assertIn('no survey dimension is called "memory"', refused.stderr.decode())
        self.assertEqual(len(survey['dimensions']), 17)
        for name, values in survey['dimensions'].items():
            with self.subTest(dimension=name):
                self.assertEqual(sum(v['machines'] for v in values), machines)
                self.assertAlmostEqual(sum(v['share'] for v in values), 1.0, places=3)
                self.assertTrue(all(v['change'] is None for v in values))  # nothing before
        self.assertIn({'value': 'Intel', 'machines': 3, 'share': 0.75, 'change': None},
                      survey['dimensions']['processor_maker'])
        # Another period holds none of them; the text form is terminal-safe.
        empty = json.loads(self.receiver.cli('survey', '--json', '--since', '2000-01-01',
                                             '--until', '2000-02-01').stdout)
        self.assertEqual(empty['machines'], 0)
        self.assertEqual(empty['dimensions']['os'], [])
        text = self.receiver.cli('survey').stdout
        self.assertIsNone(re.search(rb'[\x00-\x08\x0b-\x1f\x7f]', text), text)
        self.assertIn('Evil\\u009B2J', text.decode())
        # The same survey as CSV: one record per value, nothing a terminal would obey.
        exported = self.receiver.cli('survey', '--csv')
        self.assertEqual(exported.returncode, 0, exported.stderr)
        records = exported.stdout.decode().split('\r\n')
        self.assertEqual(records[0], 'dimension,value,machines,share,change')
        self.assertEqual(records[-1], '')
        self.assertEqual(len(records) - 2, sum(len(v) for v in survey['dimensions'].values()))
        self.assertIn('processor_maker,Intel,3,0.7500,', records)
        self.assertIsNone(re.search(rb'[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]|\xc2[\x80-\x9f]', exported.stdout))
        # The snapshot to publish: a file, and no value of fewer than five machines in it.
        snapshot = os.path.join(self.dir, 'survey.html')
        written = self.receiver.cli('survey', '--snapshot', snapshot)
        self.assertEqual(written.returncode, 0, written.stderr)
        self.assertEqual(written.stdout, b'')
        with open(snapshot, encoding='utf-8') as f:
            html = f.read()
        self.assertTrue(html.startswith('<!DOCTYPE html>'))
        self.assertIn('%d machines' % machines, html)
        self.assertNotIn('Intel', html)  # three machines
        self.assertNotIn('Evil', html)
        for args in (['--csv', '--json'], ['--snapshot', snapshot, '--csv'],
                     ['--since', '2026-02-30'], ['--until', 'yesterday'],
                     ['--since', '2026-12-02', '--until', '2026-12-01'], ['--top', '0'],
                     ['--month', '2026-13'], ['--month', '2026-12-01'],
                     ['--month', '2026-12', '--since', '2026-12-01'], ['--recount', '--json']):
            with self.subTest(args=args):
                result = self.receiver.cli('survey', *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stderr.decode().count('\n'), 1, result.stderr)

    def api(self, path, token=None, method='GET'):
        """One request to the console's API: status, headers (lower-case names), body."""
        conn = http.client.HTTPConnection('127.0.0.1', self.receiver.console, timeout=60)
        try:
            conn.request(method, '/api/v1' + path,
                         headers={'Authorization': 'Bearer ' + token} if token else {})
            response = conn.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            conn.close()

    def test_api_walks_the_machines_by_cursor_and_every_answer_fits_its_document(self):
        for table in REAL:
            self.assertEqual(self.receiver.post(form(Fixture.samples[table]))[0], 200)
        self.post_hostile_report()
        for n in range(4):
            self.post_serial('API-%d' % n)
        first, second = self.post_serial('API-DIFF', '1.0.0.0'), self.post_serial('API-DIFF', '2.0.0.0')
        self.assertEqual(first['machine'], second['machine'])
        result = self.receiver.cli('token', 'add', 'sync', '--expires', '30')
        self.assertEqual(result.returncode, 0, result.stderr)
        token = result.stdout.decode().strip()
        self.assertRegex(token, r'^grvt_[A-Za-z0-9_-]{43}$')
        self.assertNotIn(token, result.stderr.decode())

        document = api_schema.load_document()
        api_schema.check_document(document)
        status, headers, body = self.api('/openapi.json')
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body), document, 'the program serves the document in the tree')

        def get(template, path, with_token=token):
            status, headers, body = self.api(path, with_token)
            self.assertEqual(headers.get('cache-control'), 'no-store', path)
            return status, api_schema.check_answer(document, template, status, headers, body)

        # Two at a time by cursor: every machine once, in the order of one long page.
        listed = json.loads(self.receiver.cli('machines', '--json').stdout)
        walked, path = [], '/machines?limit=2&sort=model&dir=asc'
        for _ in range(100):
            status, page = get('/machines', path)
            self.assertEqual(status, 200, page)
            self.assertEqual(page['total'], len(listed))
            walked += [machine['id'] for machine in page['machines']]
            if page['next'] is None:
                break
            path = '/machines?limit=2&cursor=' + page['next']
        self.assertEqual(sorted(walked), sorted(machine['id'] for machine in listed))
        status, whole = get('/machines', '/machines?limit=500&sort=model&dir=asc')
        self.assertEqual(walked, [machine['id'] for machine in whole['machines']])

        machine = first['machine']
        self.assertEqual(get('/machines/{id}', '/machines/%d' % machine)[0], 200)
        status, scans = get('/machines/{id}/scans', '/machines/%d/scans?limit=1' % machine)
        self.assertEqual(scans['scans'][0]['id'], second['id'])
        status, rest = get('/machines/{id}/scans', '/machines/%d/scans?limit=1&cursor=%s' % (machine, scans['next']))
        self.assertEqual([scan['id'] for scan in rest['scans']], [first['id']])
        self.assertIsNone(rest['next'])
        status, scan = get('/scans/{id}', '/scans/%d' % first['id'])
        self.assertEqual(scan['scan']['receipt'], first['receipt'])
        self.assertEqual(scan['summary']['maker'], 'Acme')
        self.assertIn('API-DIFF', get('/scans/{id}/report', '/scans/%d/report' % first['id'])[1])
        self.assertIn('API-DIFF', get('/scans/{id}/report.xml', '/scans/%d/report.xml' % first['id'])[1])
        status, diff = get('/diff', '/diff?from=%d&to=%d' % (first['id'], second['id']))
        self.assertEqual(status, 200, diff)
        self.assertEqual((diff['from'], diff['to']), (first['id'], second['id']))
        status, survey = get('/survey', '/survey?top=3')
        self.assertEqual(survey['machines'], len(listed))

        other = [s for s in self.receiver.scans() if s['machine'] != machine][0]['id']
        for template, path, with_token, expected in (
                ('/machines', '/machines', None, 401),
                ('/machines', '/machines', 'grvt_' + 'A' * 43, 401),
                ('/machines', '/machines?limit=0', token, 400),
                ('/machines', '/machines?cursor=bm9wZQ', token, 400),
                ('/machines/{id}', '/machines/x', token, 400),
                ('/machines/{id}', '/machines/99999999', token, 404),
                ('/machines/{id}/scans', '/machines/99999999/scans', token, 404),
                ('/scans/{id}', '/scans/99999999', token, 404),
                ('/scans/{id}/report', '/scans/1x/report', token, 400),
                ('/diff', '/diff?from=%d&to=%d' % (first['id'], other), token, 400),
                ('/diff', '/diff?from=%d' % first['id'], token, 400),
                ('/survey', '/survey?top=1000', token, 400)):
            with self.subTest(path=path, token=bool(with_token)):
                status, error = get(template, path, with_token)
                self.assertEqual(status, expected, error)

        # A token past its budget: 429 with Retry-After, as the document says.
        burst = self.receiver.cli('token', 'add', 'burst')
        self.assertEqual(burst.returncode, 0, burst.stderr)
        statuses = []
        # The cheapest answer past the budget check (a machine that is not there), so that
        # requests outrun the refill even on a slow build (the sanitizers).
        for _ in range(1000):
            status, answer = get('/machines/{id}', '/machines/999999999', burst.stdout.decode().strip())
            statuses.append(status)
            if status == 429:
                break
        self.assertEqual(statuses[-1], 429, 'never refused')
        self.assertGreaterEqual(len(statuses), 30)

        # Uses are audited (at most once a minute each) and listed; a revoked token is refused.
        entries = json.loads(self.receiver.cli('audit', '--action', 'api-used', '--json').stdout)
        self.assertEqual(sorted(e['actor'] for e in entries), ['token:burst', 'token:sync'])
        tokens = {t['name']: t for t in json.loads(self.receiver.cli('token', 'list', '--json').stdout)}
        self.assertIsNotNone(tokens['sync']['lastUsed'])
        self.assertIsNotNone(tokens['sync']['expires'])
        self.assertIsNone(tokens['sync']['revoked'])
        self.assertEqual(self.receiver.cli('token', 'revoke', 'sync').returncode, 0)
        status, error = get('/machines', '/machines')
        self.assertEqual((status, error['error']['code']), (401, 'token_revoked'))
        self.assertIsNotNone(json.loads(self.receiver.cli('token', 'list', '--json').stdout)[1]['revoked'])
        self.assertEqual(self.receiver.cli('token', 'add', 'sync').returncode, 1, 'the name stays taken')
        for args in (['add'], ['add', 'bad name'], ['add', 'x', '--role', 'root'],
                     ['add', 'x', '--expires', '-1'], ['revoke'], ['list', 'extra']):
            with self.subTest(args=args):
                result = self.receiver.cli('token', *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stderr.decode().count('\n'), 1, result.stderr)
        self.assertEqual(self.receiver.cli('token', 'revoke', 'nobody').returncode, 1)

    def test_console_sessions_outlive_a_restart_with_and_without_a_key_file(self):
        self.receiver.stop()
        result = run(RECEIVER, 'user', 'add', 'operator', *self.args, stdin=b'operator password\n')
        self.assertEqual(result.returncode, 0, result.stderr)
        key_file = os.path.join(self.dir, 'console-key')
        # Without the option: the data directory's key file (SQLite) or the database's key
        # (PostgreSQL). With it: that file, on either engine.
        for extra in ([], ['--console-secret-file', key_file]):
            with self.subTest(extra=extra):
                self.receiver = Receiver(self.dir, self.args, extra)
                cookie = console_sign_in(self.receiver.console, 'operator', 'operator+password')
                self.assertEqual(console_status(self.receiver.console, cookie), 200)
                self.assertEqual(self.receiver.stop(), 0)
                self.receiver = Receiver(self.dir, self.args, extra)
                self.assertEqual(console_status(self.receiver.console, cookie), 200, 'signed out by a restart')
                self.assertEqual(self.receiver.stop(), 0)
        self.assertEqual(os.stat(key_file).st_mode & 0o777, 0o600)


    def user(self, *args, stdin=None):
        return run(RECEIVER, 'user', *args, *self.args, stdin=stdin)

    def users(self):
        result = self.user('list', '--json')
        self.assertEqual(result.returncode, 0, result.stderr)
        return {u['name']: u for u in json.loads(result.stdout)}

    def audit(self, *args):
        result = run(RECEIVER, 'audit', '--json', *args, *self.args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_user_commands_change_accounts_end_sessions_and_are_audited(self):
        cli = 'cli:' + (os.environ['SUDO_USER'] if os.geteuid() == 0 and os.environ.get('SUDO_USER')
                        else __import__('pwd').getpwuid(os.geteuid()).pw_name)
        self.assertEqual(self.user('add', 'boss', '--role', 'admin', stdin=b'boss password\n').returncode, 0)
        self.assertEqual(self.user('add', 'vera', stdin=b'vera password\n').returncode, 0)
        users = self.users()
        self.assertEqual({n: (u['role'], u['state'], u['lastSignIn']) for n, u in users.items()},
                         {'boss': ('admin', 'enabled', None), 'vera': ('viewer', 'enabled', None)})
        cookie = console_sign_in(self.receiver.console, 'vera', 'vera+password')
        self.assertRegex(self.users()['vera']['lastSignIn'], r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$')
        text = self.user('list').stdout.decode().splitlines()
        self.assertEqual(text[0], 'boss\tadmin\tenabled\tnever')
        self.assertTrue(text[1].startswith('vera\tviewer\tenabled\t20'), text[1])

        # The last enabled admin is kept: refused, nothing changed, nothing recorded.
        for args, words in [(['disable', 'boss'], 'disabling'), (['delete', 'boss'], 'deleting'),
                            (['role', 'boss', 'viewer'], 'making it a viewer')]:
            with self.subTest(args):
                result = self.user(*args)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(b'boss is the last enabled admin; ' + words.encode(), result.stderr)
                self.assertEqual(result.stderr.count(b'\n'), 1)
        self.assertEqual(self.users()['boss']['state'], 'enabled')
        self.assertEqual(self.users()['boss']['role'], 'admin')

        # Unknown names are errors, never new accounts.
        for args in (['disable', 'nobody'], ['enable', 'nobody'], ['delete', 'nobody'],
                     ['role', 'nobody', 'admin'], ['password', 'nobody'], ['disable', '<bad name>']):
            with self.subTest(args):
                result = self.user(*args, stdin=b'some long password\n')
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(b'no user ', result.stderr)
        self.assertEqual(sorted(self.users()), ['boss', 'vera'])

        # A role counts from the session's next request; disabling ends the session at once.
        self.assertEqual(self.user('role', 'vera', 'admin').returncode, 0)
        self.assertEqual(console_get(self.receiver.console, '/users', cookie), 200)
        self.assertEqual(self.user('disable', 'boss').returncode, 0, 'vera is an admin now')
        self.assertEqual(self.user('disable', 'vera').returncode, 1, 'the last enabled admin')
        self.assertEqual(self.user('enable', 'boss').returncode, 0)
        self.assertEqual(self.user('role', 'vera', 'viewer').returncode, 0)
        self.assertEqual(console_get(self.receiver.console, '/users', cookie), 403)
        self.assertEqual(self.user('disable', 'vera').returncode, 0)
        self.assertEqual(self.users()['vera']['state'], 'disabled')
        self.assertEqual(console_status(self.receiver.console, cookie), 303)
        self.assertEqual(self.user('enable', 'vera').returncode, 0)
        self.assertEqual(console_status(self.receiver.console, cookie), 303, 'the ended session stays ended')
        # A new password and a deletion end the session too.
        cookie = console_sign_in(self.receiver.console, 'vera', 'vera+password')
        self.assertEqual(self.user('password', 'vera', stdin=b'another vera password\n').returncode, 0)
        self.assertEqual(console_status(self.receiver.console, cookie), 303)
        cookie = console_sign_in(self.receiver.console, 'vera', 'another+vera+password')
        self.assertEqual(console_status(self.receiver.console, cookie), 200)
        self.assertEqual(self.user('delete', 'vera').returncode, 0)
        self.assertEqual(console_status(self.receiver.console, cookie), 303)
        self.assertEqual(sorted(self.users()), ['boss'])

        # Every change, by whom: oldest first here.
        changes = [(e['actor'], e['action'], e['target'], e['detail'])
                   for e in reversed(self.audit()) if e['action'].startswith('user-')]
        self.assertEqual(changes, [
            (cli, 'user-added', 'user boss', 'role admin'),
            (cli, 'user-added', 'user vera', 'role viewer'),
            (cli, 'user-role-changed', 'user vera', 'viewer -> admin'),
            (cli, 'user-disabled', 'user boss', ''),
            (cli, 'user-enabled', 'user boss', ''),
            (cli, 'user-role-changed', 'user vera', 'admin -> viewer'),
            (cli, 'user-disabled', 'user vera', ''),
            (cli, 'user-enabled', 'user vera', ''),
            (cli, 'user-password-changed', 'user vera', ''),
            (cli, 'user-deleted', 'user vera', 'was viewer'),
        ])
        signins = self.audit('--action', 'sign-in', '--actor', 'vera')
        self.assertEqual(len(signins), 3)
        self.assertEqual({e['address'] for e in signins}, {'127.0.0.1'})
        self.assertEqual(self.audit('--actor', 'nobody'), [])
        self.assertEqual(len(self.audit('--actor', cli, '--action', 'user-disabled')), 2)

    def test_audit_reads_a_period_of_utc_days(self):
        self.assertEqual(self.user('add', 'boss', '--role', 'admin', stdin=b'boss password\n').returncode, 0)
        today = time.strftime('%Y-%m-%d', time.gmtime())
        self.assertEqual([e['target'] for e in self.audit('--since', today, '--until', today)], ['user boss'])
        self.assertEqual(self.audit('--until', '2020-01-01'), [])
        self.assertEqual(self.audit('--since', '2999-01-01'), [])
        text = run(RECEIVER, 'audit', *self.args).stdout.decode().splitlines()
        self.assertEqual(len(text), 1)
        fields = text[0].split('\t')
        self.assertEqual(fields[2:5], [fields[2], 'user-added', 'user boss'])
        self.assertTrue(fields[1].startswith(today + 'T'), fields)
        # What a client typed at sign-in reaches the terminal escaped.
        conn = http.client.HTTPConnection('127.0.0.1', self.receiver.console, timeout=60)
        conn.request('GET', '/signin')
        page = conn.getresponse()
        body = page.read().decode()
        token = re.search(r'name="token" value="([^"]*)"', body).group(1)
        conn.request('POST', '/signin', body='token=%s&name=%%1B%%5D0%%3Bowned%%07x&password=pw' % token,
                     headers={'Content-Type': 'application/x-www-form-urlencoded',
                              'Cookie': page.getheader('Set-Cookie').split(';')[0]})
        self.assertEqual(conn.getresponse().status, 401)
        conn.close()
        out = run(RECEIVER, 'audit', '--action', 'sign-in-failed', *self.args).stdout
        self.assertNotIn(b'\x1b', out)
        self.assertIn(b'user \\x1B]0;owned\\x07x', out)

    def test_webhooks_are_posted_signed_retried_and_never_to_plain_http_unasked(self):
        import hashlib
        import hmac
        hooks = HookServer({'/flaky': [500]})
        plain = HookServer(tls=False)
        self.addCleanup(hooks.close)
        self.addCleanup(plain.close)
        self.receiver.stop()
        self.receiver = Receiver(self.dir, self.args, extra=['--webhook-ca-file', Fixture.cert])

        added = self.receiver.cli('webhook', 'add', hooks.url + '/ok', '--events', 'new-machine,new-scan')
        self.assertEqual(added.returncode, 0, added.stderr)
        ok_id = int(re.search(rb'^webhook (\d+) added', added.stdout).group(1))
        secret = re.search(rb'secret \(shown once[^:]*: ([0-9a-f]{64})\n', added.stdout).group(1)
        secret_file = os.path.join(self.dir, 'hook.secret')
        with open(secret_file, 'w') as f:
            f.write('flaky-secret\n')
        flaky = self.receiver.cli('webhook', 'add', hooks.url + '/flaky', '--events', 'new-scan',
                                  '--secret-file', secret_file)
        self.assertEqual(flaky.returncode, 0, flaky.stderr)
        self.assertNotIn(b'secret', flaky.stdout)
        self.assertEqual(self.receiver.cli('webhook', 'add', plain.url + '/plain', '--events',
                                           'new-scan').returncode, 0)
        for bad in (['ftp://127.0.0.1/x', '--events', 'new-scan'],
                    [hooks.url + '/x', '--events', 'new-scans'],
                    ['https://x.example/' + 'a' * 3000, '--events', 'new-scan']):
            refused = self.receiver.cli('webhook', 'add', *bad)
            self.assertEqual(refused.returncode, 2, bad)
            self.assertEqual(refused.stderr.count(b'\n'), 1, refused.stderr)
        listed = json.loads(self.receiver.cli('webhook', 'list', '--json').stdout)
        self.assertEqual([h['url'] for h in listed], [hooks.url + '/ok', hooks.url + '/flaky', plain.url + '/plain'])
        self.assertNotIn(secret.decode(), json.dumps(listed))

        status, page, _ = self.receiver.post(form(Fixture.samples[REAL[0]]))
        self.assertEqual(status, 200, page)
        receipt = re.search(r'class="receipt">([0-9A-F-]+)<', page).group(1)
        scan = self.receiver.scans()[0]

        got = hooks.wait_for('/ok', 2)
        events = {}
        for headers, body in got:
            stamp = headers['X-Gravelin-Timestamp']
            expected = hmac.new(secret, stamp.encode() + b'.' + body, hashlib.sha256).hexdigest()
            self.assertEqual(headers['X-Gravelin-Signature'], 'sha256=' + expected)
            self.assertLess(abs(int(stamp) - time.time()), 120)
            self.assertEqual(headers['Content-Type'], 'application/json')
            payload = json.loads(body)
            self.assertEqual(payload['event'], headers['X-Gravelin-Event'])
            self.assertEqual(payload['scan']['id'], scan['id'])
            self.assertEqual(payload['scan']['receipt'], receipt)
            self.assertEqual(payload['machine']['id'], scan['machine'])
            self.assertEqual(payload['machine']['maker'], scan['columns']['maker'])
            self.assertNotIn('report', payload)
            events[payload['event']] = headers['X-Gravelin-Delivery']
        self.assertEqual(sorted(events), ['new-machine', 'new-scan'])

        # 500, then the retry about 10 s later gets 200: one delivery id, posted twice.
        first, second = hooks.wait_for('/flaky', 2)
        self.assertEqual(first[0]['X-Gravelin-Delivery'], second[0]['X-Gravelin-Delivery'])
        self.assertEqual(first[1], second[1])
        signed = hmac.new(b'flaky-secret', second[0]['X-Gravelin-Timestamp'].encode() + b'.' + second[1],
                          hashlib.sha256).hexdigest()
        self.assertEqual(second[0]['X-Gravelin-Signature'], 'sha256=' + signed)

        # Posting the same report again is no new scan: no event. Nothing is posted twice.
        self.assertEqual(self.receiver.post(form(Fixture.samples[REAL[0]]))[0], 200)
        time.sleep(2)
        ids = [h['X-Gravelin-Delivery'] for h, _ in hooks.received('/ok')]
        self.assertEqual(len(ids), 2)
        self.assertEqual(len(set(ids)), 2)
        self.assertEqual(len(hooks.received('/flaky')), 2)
        self.assertEqual(plain.received('/plain'), [])

        deliveries = json.loads(self.receiver.cli('webhook', 'deliveries', '--json').stdout)
        by_hook = {}
        for d in deliveries:
            by_hook.setdefault(d['hook'], []).append(d)
        self.assertEqual([(d['state'], d['attempts'], d['lastStatus']) for d in by_hook[ok_id]],
                         [('delivered', 1, 200)] * 2)
        flaky_row = by_hook[ok_id + 1][0]
        self.assertEqual((flaky_row['state'], flaky_row['attempts'], flaky_row['lastStatus']),
                         ('delivered', 2, 200))
        plain_row = by_hook[ok_id + 2][0]
        self.assertEqual(plain_row['state'], 'pending')
        self.assertIn('--allow-http-webhooks', plain_row['lastError'])
        only = json.loads(self.receiver.cli('webhook', 'deliveries', '--hook', str(ok_id), '--json').stdout)
        self.assertEqual({d['hook'] for d in only}, {ok_id})
        # Only a failed delivery goes back to pending.
        self.assertEqual(self.receiver.cli('webhook', 'retry', str(flaky_row['id'])).returncode, 1)
        self.assertEqual(self.receiver.cli('webhook', 'delete', str(ok_id + 2)).returncode, 0)
        self.assertEqual(self.receiver.cli('webhook', 'delete', str(ok_id + 2)).returncode, 1)
        audit = json.loads(self.receiver.cli('audit', '--json').stdout)
        actions = [e['action'] for e in audit]
        self.assertEqual(actions.count('webhook-added'), 3)
        self.assertEqual(actions.count('webhook-deleted'), 1)
        self.assertTrue(all(e['actor'].startswith('cli:') for e in audit if e['action'].startswith('webhook')))

    def test_webhooks_reach_plain_http_only_when_allowed(self):
        plain = HookServer(tls=False)
        self.addCleanup(plain.close)
        self.receiver.stop()
        self.receiver = Receiver(self.dir, self.args, extra=['--allow-http-webhooks'])
        self.assertEqual(self.receiver.cli('webhook', 'add', plain.url + '/in', '--events',
                                           'new-machine').returncode, 0)
        self.assertEqual(self.receiver.post(form(Fixture.samples[REAL[1]]))[0], 200)
        (headers, body), = plain.wait_for('/in', 1)
        self.assertEqual(headers['X-Gravelin-Event'], 'new-machine')
        self.assertEqual(json.loads(body)['event'], 'new-machine')


def console_sign_in(port, name, password):
    """Signs in on a console through its form; returns the session cookie (name=value)."""
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=120)
    try:
        conn.request('GET', '/signin')
        form = conn.getresponse()
        page = form.read().decode()
        cookie = form.getheader('Set-Cookie').split(';')[0]
        token = re.search(r'name="token" value="([^"]*)"', page).group(1)
        conn.request('POST', '/signin', body='token=%s&name=%s&password=%s' % (token, name, password),
                     headers={'Content-Type': 'application/x-www-form-urlencoded', 'Cookie': cookie})
        answer = conn.getresponse()
        answer.read()
        assert answer.status == 303, answer.status
        return next(c for c in answer.headers.get_all('Set-Cookie')
                    if c.startswith('gravelin-session=')).split(';')[0]
    finally:
        conn.close()


def console_get(port, path, cookie):
    """The status of any console page for that session."""
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
    try:
        conn.request('GET', path, headers={'Cookie': cookie})
        response = conn.getresponse()
        response.read()
        return response.status
    finally:
        conn.close()


def console_status(port, cookie):
    """The status of the machine list for that session: 200 signed in, 303 sent to sign in."""
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
    try:
        conn.request('GET', '/machines', headers={'Cookie': cookie})
        response = conn.getresponse()
        response.read()
        return response.status
    finally:
        conn.close()


class SqliteTest(ReceiverTest, unittest.TestCase):
    def store_args(self, name):
        return ['--data', os.path.join(name, 'data')]

    def sql(self, statement):
        import sqlite3
        db = sqlite3.connect(os.path.join(self.dir, 'data', 'receiver.sqlite3'), timeout=30)
        with db:
            db.execute(statement)
        db.close()

    def test_console_secret_is_private_and_outlives_a_restart(self):
        path = os.path.join(self.dir, 'data', 'console.secret')
        info = os.stat(path)
        self.assertEqual(info.st_mode & 0o777, 0o600)
        self.assertEqual(info.st_uid, os.geteuid())
        secret = open(path, 'rb').read()
        self.assertGreaterEqual(len(secret), 32)
        self.assertEqual(self.receiver.stop(), 0)
        self.receiver = Receiver(self.dir, self.args)
        self.assertEqual(open(path, 'rb').read(), secret)
        # A key others can read is refused, not used.
        self.receiver.stop()
        os.chmod(path, 0o644)
        result = run(RECEIVER, 'serve', '--plain-http', '--listen', '127.0.0.1:0', '--console',
                     '127.0.0.1:0', *self.args)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b'console secret', result.stderr)

    def test_listings_escape_control_characters_stored_before_intake_refused_them(self):
        # Rows written when references to C0 controls still passed intake: escape
        # sequences that retitle the window, ring the bell and clear the screen.
        self.post_hostile_report()
        self.receiver.stop()
        import sqlite3
        db = sqlite3.connect(os.path.join(self.dir, 'data', 'receiver.sqlite3'))
        legacy = self.HOSTILE_VENDOR + '\x1b]0;owned\x07\x1b[2J\ttab\nline'
        db.execute('UPDATE scans SET maker = ?', (legacy,))
        db.execute('UPDATE machines SET maker = ?, identity_key = ?', (legacy, 'serial:\x1b[31m'))
        db.commit()
        db.close()
        self.assert_listings_are_terminal_safe()
        out = self.receiver.cli('machines').stdout.decode()
        self.assertIn('\\x1B]0;owned\\x07\\x1B[2J\\x09tab\\x0Aline', out)
        self.assertIn('serial:\\x1B[31m', out)

    def test_refresh_fills_in_the_product_of_scans_stored_before_it(self):
        self.post_with_receipts()
        self.receiver.stop()
        import sqlite3
        db = sqlite3.connect(os.path.join(self.dir, 'data', 'receiver.sqlite3'))
        # As an older version left them: no product, summaries without the version.
        db.execute("UPDATE scans SET product = ''")
        db.execute("UPDATE machines SET product = '', search_text = replace(search_text, 'thinkpad', '')")
        for scan_id, summary in db.execute('SELECT id, summary_json FROM scans').fetchall():
            older = json.loads(summary)
            older.pop('productVersion')
            db.execute('UPDATE scans SET summary_json = ? WHERE id = ?', (json.dumps(older), scan_id))
        db.commit()
        db.close()
        search = ('machines', '--search', 'ThinkPad T480', '--json')
        self.assertEqual(json.loads(self.receiver.cli(*search).stdout), [])
        result = self.receiver.cli('scans', '--refresh')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(), '3 machines, 3 latest scans summarised again\n')
        found = json.loads(self.receiver.cli(*search).stdout)
        self.assertEqual(len(found), 1)
        self.assertIn('ThinkPad T480', found[0]['latest']['product'])
        # Once: the summaries are now complete.
        self.assertEqual(self.receiver.cli('scans', '--refresh').stdout.decode(),
                         '3 machines, 0 latest scans summarised again\n')

    def test_listings_read_a_database_on_a_read_only_mount(self):
        # Copies made read-only (directory 0555, files 0444) and read by a user who cannot
        # write them (root writes anyway): one left by a killed receiver (its log, -wal and
        # -shm, beside the file), one closed cleanly (the file alone), one whose schema is
        # older than the program's.
        if os.geteuid() == 0 and not shutil.which('setpriv'):
            self.skipTest('running as root without setpriv to drop to nobody')
        as_reader = ['setpriv', '--reuid=nobody', '--regid=65534', '--clear-groups'] \
            if os.geteuid() == 0 else []
        for table in REAL[:2]:
            self.assertEqual(self.receiver.post(form(Fixture.samples[table]))[0], 200)
        expected = sorted(scan['receipt'] for scan in self.receiver.scans())
        data = os.path.join(self.dir, 'data')
        top = tempfile.mkdtemp(prefix='gravelin-read-only-')
        os.chmod(top, 0o755)
        copies = {}

        def contents(path):
            files = {}
            for file in os.listdir(path):
                with open(os.path.join(path, file), 'rb') as f:
                    files[file] = f.read()
            return files

        def copy(name):
            copies[name] = os.path.join(top, name)
            os.mkdir(copies[name])
            for file in os.listdir(data):
                if file.startswith('receiver.sqlite3'):
                    shutil.copy(os.path.join(data, file), copies[name])

        try:
            self.receiver.stop(signal.SIGKILL)
            copy('killed')
            self.assertEqual(sorted(os.listdir(copies['killed'])),
                             ['receiver.sqlite3', 'receiver.sqlite3-shm', 'receiver.sqlite3-wal'])
            self.receiver = Receiver(self.dir, self.args)
            self.assertEqual(self.receiver.stop(), 0)
            copy('closed')
            self.assertEqual(os.listdir(copies['closed']), ['receiver.sqlite3'])
            copy('older')
            import sqlite3
            db = sqlite3.connect(os.path.join(copies['older'], 'receiver.sqlite3'))
            db.execute('DELETE FROM schema_version WHERE version = '
                       '(SELECT max(version) FROM schema_version)')
            db.commit()
            db.close()
            before = {}
            for name, path in copies.items():
                for file in os.listdir(path):
                    os.chmod(os.path.join(path, file), 0o444)
                os.chmod(path, 0o555)
                before[name] = contents(path)
            for name in ('killed', 'closed'):
                with self.subTest(name):
                    result = run(*as_reader, RECEIVER, 'scans', '--json', '--data', copies[name])
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(sorted(s['receipt'] for s in json.loads(result.stdout)),
                                     expected)
                    result = run(*as_reader, RECEIVER, 'machines', '--data', copies[name])
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(len(result.stdout.decode().splitlines()), len(expected))
            with self.subTest('older'):
                result = run(*as_reader, RECEIVER, 'scans', '--data', copies['older'])
                err = result.stderr.decode()
                self.assertEqual(result.returncode, 1, err)
                self.assertIn('older than this program', err)
                self.assertEqual(err.count('\n'), 1, err)
            # Nothing was written, even where the reader could have.
            for name, path in copies.items():
                self.assertEqual(contents(path), before[name], name)
            # Root is not stopped by the modes: the older copy is still not migrated.
            result = run(RECEIVER, 'machines', '--data', copies['older'])
            self.assertEqual(result.returncode, 1)
            self.assertIn(b'older than this program', result.stderr)
        finally:
            for path in copies.values():
                os.chmod(path, 0o755)
            shutil.rmtree(top, ignore_errors=True)

    def test_command_line_errors_are_one_line_with_an_exit_code(self):
        self.receiver.stop()
        a_file = os.path.join(self.dir, 'file')
        open(a_file, 'w').write('x')
        for args, code, words in [
            (['serve', '--plain-http', '--cert', a_file], 2, '--plain-http and --cert'),
            (['serve', '--data', self.dir], 2, 'needs --cert'),
            (['serve', '--bogus'], 2, 'unknown option --bogus'),
            (['serve', '--listen', 'nowhere', '--plain-http'], 2, 'ADDRESS:PORT'),
            (['serve', '--cert', a_file + '.none', '--key', a_file], 1, 'No such file'),
            (['serve', '--cert', a_file, '--key', a_file], 1, 'not a usable PEM certificate'),
            (['scans', '--data', a_file], 1, 'cannot open the database'),
            (['scans', '--database', 'mysql://x'], 2, 'postgresql://'),
            (['scans', '--database', 'postgresql:///none?host=/nonexistent'], 1, 'cannot open the database'),
            (['frobnicate'], 2, 'unknown command'),
            (['user', 'add'], 2, 'user add NAME'),
            (['import'], 2, 'at least one FILE'),
            (['scans', '--bogus', '--data', self.dir], 2, 'unknown option --bogus'),
            (['machines', 'extra'], 2, 'machines takes no argument extra'),
            (['user', 'frob'], 2, 'user add NAME'),
            (['user', 'add', 'one', 'two'], 2, 'user add NAME'),
            (['user', 'add', 'one', '--role', 'root'], 2, '--role is viewer or admin'),
            (['user'], 2, 'user list [--json]'),
            (['user', 'disable'], 2, 'user disable NAME'),
            (['user', 'delete', 'one', 'two'], 2, 'user delete NAME'),
            (['user', 'role', 'one'], 2, 'user role NAME viewer|admin'),
            (['user', 'role', 'one', 'owner'], 2, 'viewer or admin'),
            (['user', 'list', 'one'], 2, 'user list'),
            (['user', 'list', '--bogus'], 2, 'unknown option --bogus'),
            (['audit', '--since', '2026-13-01'], 2, 'YYYY-MM-DD'),
            (['audit', '--until', 'yesterday'], 2, 'YYYY-MM-DD'),
            (['audit', '--since', '2026-03-02', '--until', '2026-03-01'], 2, 'before --since'),
            (['audit', '--action', 'frob'], 2, '--action is one of sign-in'),
            (['audit', 'extra'], 2, 'audit takes no argument extra'),
            (['serve', '--plain-http', '--threads', '0'], 2, 'at least 1'),
            (['serve', '--plain-http', '--workers', '0x10'], 2, 'whole number'),
            (['scans', '--json', '--json'], 2, '--json'),
            (['scans', '--data', 'one', '--data', 'two'], 2, '--data'),
        ]:
            with self.subTest(' '.join(args)):
                result = run(RECEIVER, *args)
                err = result.stderr.decode()
                self.assertEqual(result.returncode, code, err)
                self.assertIn(words, err)
                self.assertEqual(err.count('\n'), 1, err)
        self.assertIn('user add', run(RECEIVER, '--help').stdout.decode())
        # Each subcommand lists its own options; --opt=value is the same as --opt value.
        for args, words in [(['serve', '--help'], ['--max-body-memory', '--storage-timeout']),
                            (['scans', '--help'], ['--accept', '--machine', '--data']),
                            (['user', 'add', '--help'], ['NAME', '--database'])]:
            result = run(RECEIVER, *args)
            self.assertEqual(result.returncode, 0, result.stderr)
            for word in words:
                self.assertIn(word, result.stdout.decode(), args)
        equals = run(RECEIVER, 'scans', '--json', *('='.join(self.args[i:i + 2])
                                                    for i in range(0, len(self.args), 2)))
        self.assertEqual(equals.returncode, 0, equals.stderr)
        self.assertEqual(json.loads(equals.stdout), self.receiver.scans())

    def test_user_add_reads_the_password_from_stdin(self):
        self.receiver.stop()
        result = run(RECEIVER, 'user', 'add', 'support', *self.args, stdin=b'correct horse battery\n')
        self.assertEqual(result.returncode, 0, result.stderr)
        result = run(RECEIVER, 'user', 'add', 'support', *self.args, stdin=b'short\n')
        self.assertEqual(result.returncode, 1)
        # An existing name gets the new password and keeps its role, and says so.
        result = run(RECEIVER, 'user', 'add', 'support', '--role', 'admin', *self.args,
                     stdin=b'another horse battery\n')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b'support keeps its role viewer', result.stderr)
        self.assertEqual(self.users()['support']['role'], 'viewer')
        self.assertEqual([(e['action'], e['detail']) for e in reversed(self.audit())],
                         [('user-added', 'role viewer'), ('user-password-changed', 'by user add')])


@unittest.skipUnless(POSTGRES, 'no PostgreSQL server (run under tests/receiver/storage/with-postgres.sh)')
class PostgresTest(ReceiverTest, unittest.TestCase):
    counter = 0

    def store_args(self, name):
        # A database of its own per case: the throw-away server is shared.
        PostgresTest.counter += 1
        db = 'receiver_case_%d' % PostgresTest.counter
        base = POSTGRES
        admin = subprocess.run(['psql', base, '-qc', 'CREATE DATABASE %s' % db], capture_output=True)
        assert admin.returncode == 0, admin.stderr
        return ['--database', base.replace('/postgres?', '/%s?' % db, 1)]

    def sql(self, statement):
        result = subprocess.run(['psql', self.args[1], '-qc', statement], capture_output=True)
        assert result.returncode == 0, result.stderr

    def test_receivers_on_one_database_accept_each_others_sessions(self):
        result = run(RECEIVER, 'user', 'add', 'operator', *self.args, stdin=b'operator password\n')
        self.assertEqual(result.returncode, 0, result.stderr)
        other_dir = tempfile.mkdtemp(prefix='second-', dir=self.dir)
        other = Receiver(other_dir, self.args)
        try:
            cookie = console_sign_in(self.receiver.console, 'operator', 'operator+password')
            self.assertEqual(console_status(other.console, cookie), 200)
            # A new password signs the account out on every receiver.
            run(RECEIVER, 'user', 'add', 'operator', *self.args, stdin=b'another password\n', check=True)
            self.assertEqual(console_status(other.console, cookie), 303)
            self.assertEqual(console_status(self.receiver.console, cookie), 303)
        finally:
            self.assertEqual(other.stop(), 0)


if __name__ == '__main__':
    Fixture.setup()
    try:
        unittest.main(argv=[sys.argv[0], '-v', *sys.argv[4:]], exit=True)
    finally:
        shutil.rmtree(Fixture.work, ignore_errors=True)
