"""Several receivers as one: scripts/cluster-demo.sh (PostgreSQL, three receivers, nginx
terminating TLS in front) under load of distinct real reports, one receiver SIGKILLed mid-load
and started again by its supervisor. What must hold:

- every post is answered 200 in the end (the client retries what a dying receiver left
  unanswered, and nginx retries a post on the next receiver itself);
- every report answered 200 is stored exactly once, under the receipt it was answered with,
  and nothing else is stored (the report's digest makes a second delivery a duplicate);
- a console session made on one receiver works on every receiver, and the sign-in form
  given by one is accepted by another (the console's key is in the database); so does an API
  token, and a revoked one is refused by every receiver;
- each new-scan and new-machine event reaches a local HTTPS webhook server, signed, under one
  delivery id; only a delivery the killed receiver had claimed may come a second time (under
  the same id, so a receiving side that keeps ids sees each event once), and nothing stays
  pending;
- the survey's counts, kept by three receivers at once, agree with a recount.

    cluster_test.py SCRIPT RECEIVER SAMPLES TABLES_DIR
"""

import glob
import hashlib
import hmac
import http.client
import http.server
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

SCRIPT, RECEIVER, SAMPLES, TABLES = sys.argv[1:5]
REPORTS = 1500
CLIENTS = 8
HOOK_SECRET = b'the cluster test hook secret'
HOOK_BATCH = 10  # deliveries a receiver claims at once (receiver/hooks/Delivery.h)


def wait_for(condition, seconds, what):
    """Polls condition until it holds; fails the test with `what` after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError('timed out waiting for ' + what)


def console_answers(port):
    try:
        urllib.request.urlopen('http://127.0.0.1:%d/status' % port, timeout=2).read()
        return True
    except OSError:
        return False


class HookServer:
    """A webhook's receiving side over HTTPS with a certificate of its own: records every
    delivery (its id, the event's id, kind and scan receipt, whether the signature holds)."""

    def __init__(self, directory):
        self.certificate = os.path.join(directory, 'hook-cert.pem')
        key = os.path.join(directory, 'hook-key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
                        '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
                        '-keyout', key, '-out', self.certificate], check=True, capture_output=True)
        self.deliveries = []
        self.lock = threading.Lock()
        hooks = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def do_POST(self):
                body = self.rfile.read(int(self.headers['Content-Length']))
                stamp = self.headers['X-Gravelin-Timestamp'] or ''
                expected = 'sha256=' + hmac.new(HOOK_SECRET, stamp.encode() + b'.' + body,
                                                hashlib.sha256).hexdigest()
                event = json.loads(body)
                with hooks.lock:
                    hooks.deliveries.append({
                        'delivery': self.headers['X-Gravelin-Delivery'], 'id': event['id'],
                        'event': event['event'], 'receipt': event['scan']['receipt'],
                        'signed': hmac.compare_digest(expected, self.headers['X-Gravelin-Signature'] or '')})
                self.send_response(200)
                self.send_header('Content-Length', '0')
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.certificate, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.url = 'https://127.0.0.1:%d/in' % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def seen(self):
        with self.lock:
            return list(self.deliveries)


class Cluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='gravelin-cluster-test.')
        state = os.path.join(cls.dir, 'state.json')
        cls.log = open(os.path.join(cls.dir, 'demo.log'), 'w+b')
        cls.hooks = HookServer(cls.dir)
        cls.demo = subprocess.Popen(['bash', SCRIPT, '--port', '0', '--program', RECEIVER, '--state', state,
                                     '--serve-option', '--webhook-ca-file=' + cls.hooks.certificate],
                                    stdout=cls.log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            wait_for(lambda: os.path.exists(state) or cls.demo.poll() is not None, 120, 'the cluster')
            if not os.path.exists(state):
                cls.log.seek(0)
                raise AssertionError('cluster-demo.sh ended: ' + cls.log.read().decode(errors='replace'))
            cls.state = json.load(open(state))
        except BaseException:
            cls.stop_demo()
            raise
        cls.context = ssl.create_default_context(cafile=cls.state['certificate'])
        cls.host, cls.public = re.match(r'https://([^:]+):(\d+)', cls.state['public']).groups()
        cls.console = int(cls.state['console'].rsplit(':', 1)[1])

    @classmethod
    def stop_demo(cls):
        if cls.demo.poll() is None:
            os.killpg(cls.demo.pid, signal.SIGINT)
            try:
                cls.demo.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(cls.demo.pid, signal.SIGKILL)
                cls.demo.wait()

    @classmethod
    def tearDownClass(cls):
        cls.stop_demo()
        cls.log.seek(0)
        tail = cls.log.read().decode(errors='replace').splitlines()[-20:]
        sys.stderr.write('cluster-demo.sh said:\n' + '\n'.join(tail) + '\n')

    def cli(self, *args, stdin=None):
        result = subprocess.run([RECEIVER, *args, '--database', self.state['database']],
                                input=stdin, capture_output=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def reports(self):
        out = os.path.join(self.dir, 'reports')
        tables = sorted(glob.glob(os.path.join(TABLES, '*.bin')))[::8][:6]
        for table in tables:
            subprocess.run([SAMPLES, table, '--count', str(REPORTS // len(tables)), '--out', out],
                           check=True, capture_output=True)
        return [open(path).read().strip() for path in sorted(glob.glob(os.path.join(out, '*')))]

    def sql(self, query):
        result = subprocess.run(['psql', '-XAtq', self.state['database'], '-c', query],
                                capture_output=True, timeout=60, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def test_a_receiver_killed_mid_load_loses_and_doubles_nothing(self):
        secret = os.path.join(self.dir, 'hook-secret')
        with open(secret, 'wb') as f:
            f.write(HOOK_SECRET + b'\n')
        self.cli('webhook', 'add', self.hooks.url, '--events', 'new-machine,new-scan', '--secret-file', secret)
        reports = self.reports()
        answered = {}          # report index -> receipt of its 200
        attempts = [0]
        lock = threading.Lock()
        next_report = iter(range(len(reports)))
        done = [0]

        def client():
            conn = None
            while True:
                with lock:
                    index = next(next_report, None)
                if index is None:
                    break
                body = 'scanResult=' + reports[index]
                for attempt in range(20):
                    with lock:
                        attempts[0] += 1
                    try:
                        if conn is None:
                            conn = http.client.HTTPSConnection(self.host, int(self.public), timeout=60,
                                                               context=self.context)
                        conn.request('POST', '/kestal/scantest.php', body=body, headers={
                            'Content-Type': 'application/x-www-form-urlencoded'})
                        answer = conn.getresponse()
                        page = answer.read().decode(errors='replace')
                        if answer.status == 200:
                            receipt = re.search(r'class="receipt">([0-9A-F-]+)<', page).group(1)
                            with lock:
                                answered[index] = receipt
                                done[0] += 1
                            break
                        # 502/503/504: every receiver busy or gone; the post is safe to repeat.
                        self.assertIn(answer.status, (502, 503, 504), page[:300])
                    except (OSError, http.client.HTTPException):
                        if conn is not None:
                            conn.close()
                        conn = None
                    time.sleep(0.05 * (attempt + 1))  # the client's backoff between attempts
            if conn is not None:
                conn.close()

        victim = self.state['receivers'][1]
        old_pid = int(open(victim['pid_file']).read())
        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for thread in threads:
            thread.start()
        # Mid-load: a quarter of the posts answered, then SIGKILL, and the supervisor starts it
        # again while the others keep taking posts.
        wait_for(lambda: done[0] >= len(reports) // 4, 300, 'a quarter of the posts')
        os.kill(old_pid, signal.SIGKILL)
        killed_at = done[0]

        def restarted():
            try:
                pid = int(open(victim['pid_file']).read())
            except (OSError, ValueError):
                return False
            return pid != old_pid and console_answers(victim['console'])
        wait_for(restarted, 60, 'the killed receiver to be started again')
        restarted_at = done[0]
        for thread in threads:
            thread.join(timeout=600)
        self.assertFalse(any(thread.is_alive() for thread in threads))

        # What nginx retried on another receiver (a post in flight or a connection refused).
        with open(os.path.join(self.state['work'], 'nginx', 'error.log'), errors='replace') as log:
            upstream_errors = sum('upstream' in line for line in log)
        print('posts: %d reports, %d attempts, %d answered 200; killed after %d, back after %d; '
              'nginx saw %d upstream failures' % (len(reports), attempts[0], len(answered), killed_at,
                                                  restarted_at, upstream_errors), file=sys.stderr)
        self.assertEqual(len(answered), len(reports), 'every report answered 200 in the end')
        self.assertLess(restarted_at, len(reports), 'the receiver came back while load went on')

        scans = json.loads(self.cli('scans', '--json'))
        receipts = [scan['receipt'] for scan in scans]
        self.assertEqual(len(scans), len(reports), 'stored exactly once each')
        self.assertEqual(len(set(receipts)), len(receipts))
        self.assertEqual(sorted(receipts), sorted(answered.values()))
        # The restarted receiver takes posts again through the balancer.
        status = json.loads(urllib.request.urlopen(
            'http://127.0.0.1:%d/status' % victim['console'], timeout=10).read())
        self.assertIsInstance(status, dict)

        # The survey's counts, kept by three receivers at once, agree with a recount.
        result = subprocess.run([RECEIVER, 'survey', '--recount', '--database', self.state['database']],
                                capture_output=True, timeout=300, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        # Every event at the hook: a new-scan per stored scan and a new-machine per machine.
        # What the killed receiver had claimed comes once its lease (60 s) lapses.
        machines = int(self.sql('SELECT count(*) FROM machines'))

        def delivered():
            seen = self.hooks.seen()
            return len({d['id'] for d in seen if d['event'] == 'new-scan'}) >= len(reports) and \
                len({d['id'] for d in seen if d['event'] == 'new-machine'}) >= machines
        wait_for(delivered, 180, 'every event at the hook')
        wait_for(lambda: self.sql("SELECT count(*) FROM webhook_deliveries WHERE state <> 'delivered'") == '0',
                 60, 'every delivery marked delivered')
        seen = self.hooks.seen()
        events = {}
        for d in seen:
            events.setdefault(d['id'], set()).add((d['delivery'], d['event'], d['receipt']))
        new_scans = [next(iter(v)) for v in events.values() if next(iter(v))[1] == 'new-scan']
        twice = len(seen) - len(events)
        print('webhook: %d deliveries of %d events (%d new-scan, %d new-machine), %d delivered a second '
              'time' % (len(seen), len(events), len(new_scans), len(events) - len(new_scans), twice),
              file=sys.stderr)
        self.assertTrue(all(d['signed'] for d in seen), 'every delivery signed with the hook secret')
        self.assertTrue(all(len(v) == 1 for v in events.values()), 'one delivery id, kind and scan per event')
        self.assertEqual(sorted(r for _, _, r in new_scans), sorted(answered.values()),
                         'one new-scan event per stored scan')
        self.assertEqual(len(events) - len(new_scans), machines, 'one new-machine event per machine')
        self.assertEqual(self.sql('SELECT count(*) FROM webhook_deliveries'), str(len(events)))
        self.assertLessEqual(twice, HOOK_BATCH, 'only what the killed receiver had claimed comes again')

    def test_a_token_works_on_every_receiver(self):
        token = self.cli('token', 'add', 'cmdb', '--role', 'viewer').decode().strip()

        def api(port, token, tls=False):
            conn = (http.client.HTTPSConnection(self.host, port, timeout=60, context=self.context) if tls
                    else http.client.HTTPConnection('127.0.0.1', port, timeout=60))
            try:
                conn.request('GET', '/api/v1/machines?limit=1', headers={'Authorization': 'Bearer ' + token})
                answer = conn.getresponse()
                return answer.status, answer.read()
            finally:
                conn.close()
        ports = [receiver['console'] for receiver in self.state['receivers']]
        for port in ports:
            status, body = api(port, token)
            self.assertEqual(status, 200, body[:300])
            self.assertIn('machines', json.loads(body))
        self.assertEqual(api(self.console, token, tls=True)[0], 200)
        self.cli('token', 'revoke', 'cmdb')
        for port in ports:
            self.assertEqual(api(port, token)[0], 401)

    def test_a_session_works_on_every_receiver(self):
        self.cli('user', 'add', 'operator', '--role', 'admin', stdin=b'operator password\n')

        def request(method, path, body=None, cookie=None):
            conn = http.client.HTTPSConnection(self.host, self.console, timeout=60, context=self.context)
            try:
                headers = {'Cookie': cookie} if cookie else {}
                if body is not None:
                    headers['Content-Type'] = 'application/x-www-form-urlencoded'
                conn.request(method, path, body=body, headers=headers)
                answer = conn.getresponse()
                return answer.status, answer.headers, answer.read().decode(errors='replace')
            finally:
                conn.close()

        # New connections: nginx spreads them round-robin, so the form comes from one
        # receiver and the sign-in goes to the next.
        for attempt in range(3):
            status, headers, page = request('GET', '/signin')
            self.assertEqual(status, 200)
            form_cookie = headers['Set-Cookie'].split(';')[0]
            token = re.search(r'name="token" value="([^"]*)"', page).group(1)
            status, headers, page = request('POST', '/signin', 'token=%s&name=operator&password=%s' % (
                token, 'operator%20password'), form_cookie)
            self.assertEqual(status, 303, page[:300])
            session = next(c for c in headers.get_all('Set-Cookie') if 'session=' in c).split(';')[0]
            for _ in range(6):
                status, _, page = request('GET', '/machines', cookie=session)
                self.assertEqual(status, 200, page[:300])
        # Each receiver answers the session itself, not only through the balancer.
        for receiver in self.state['receivers']:
            conn = http.client.HTTPConnection('127.0.0.1', receiver['console'], timeout=60)
            conn.request('GET', '/machines', headers={'Cookie': session})
            answer = conn.getresponse()
            answer.read()
            conn.close()
            self.assertEqual(answer.status, 200, receiver)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
