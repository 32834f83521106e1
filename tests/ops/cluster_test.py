"""Several receivers as one: scripts/cluster-demo.sh (PostgreSQL, three receivers, nginx
terminating TLS in front) under load of distinct real reports, one receiver SIGKILLed mid-load
and started again by its supervisor. What must hold:

- every post is answered 200 in the end (the client retries what a dying receiver left
  unanswered, and nginx retries a post on the next receiver itself);
- every report answered 200 is stored exactly once, under the receipt it was answered with,
  and nothing else is stored (the report's digest makes a second delivery a duplicate);
- a console session made on one receiver works on every receiver, and the sign-in form
  given by one is accepted by another (the console's key is in the database).

    cluster_test.py SCRIPT RECEIVER SAMPLES TABLES_DIR
"""

import glob
import http.client
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


class Cluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='gravelin-cluster-test.')
        state = os.path.join(cls.dir, 'state.json')
        cls.log = open(os.path.join(cls.dir, 'demo.log'), 'w+b')
        cls.demo = subprocess.Popen(['bash', SCRIPT, '--port', '0', '--program', RECEIVER, '--state', state],
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

    def test_a_receiver_killed_mid_load_loses_and_doubles_nothing(self):
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
