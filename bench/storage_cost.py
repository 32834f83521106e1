#!/usr/bin/env python3
"""What one stored report costs gravelin-receiver: CPU time and bytes, on SQLite and (under
tests/receiver/storage/with-postgres.sh) on PostgreSQL. The figures behind docs/scaling.md.

  bench/storage_cost.py RECEIVER SAMPLE_REPORTS TABLES_DIR [--reports N] [--clients C]
  tests/receiver/storage/with-postgres.sh bench/storage_cost.py ...   (SQLite and PostgreSQL)

N distinct real reports (real tables scanned through the Linux build, the system serial
varied: gravelin-sample-reports) are posted once each over HTTPS, C clients on keep-alive
connections (--new-connection: a new TLS connection, full handshake, per post). Measured,
after the receiver has started and before it stops:
  - the receiver's CPU time (user + system, /proc/PID/stat) per stored report;
  - PostgreSQL's CPU time per report (the postmaster, its reaped children and the live
    backends) and the WAL it wrote per report (pg_current_wal_lsn before and after);
  - bytes per report: the report as posted (hex), as unsealed, as stored compressed (the
    scans' storedBytes), the SQLite file after a checkpoint, pg_database_size and
    pg_total_relation_size of scans and machines;
  - reports/s over the run (with the client on the same cores: a floor, not a ceiling).
Every report is a new machine here (its serial differs), so the machines table grows with
every scan: an upper bound for a fleet that is scanned again. --only picks the tables (comma-
separated names), e.g. the largest real server tables for the size of a full report."""

import argparse
import http.client
import json
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import threading
import time

TICK = os.sysconf('SC_CLK_TCK')


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, timeout=600, **kwargs)
    if result.returncode != 0:
        raise SystemExit('%s: %s' % (args, result.stderr.decode(errors='replace')))
    return result.stdout.decode()


def cpu_seconds(pid, children=False):
    fields = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / TICK


def postgres_cpu(postmaster):
    total = cpu_seconds(postmaster, children=True)
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            stat = open('/proc/%s/stat' % entry).read()
        except OSError:
            continue
        if int(stat.rsplit(')', 1)[1].split()[1]) == postmaster:
            try:
                total += cpu_seconds(int(entry))
            except OSError:
                pass
    return total


def psql(uri, sql):
    return run('psql', uri, '-Atqc', sql).strip()


def measure(engine, store, args, reports, cert, key, work, uri=None):
    log = open(os.path.join(work, engine + '.log'), 'wb')
    receiver = subprocess.Popen([args.receiver, 'serve', '--listen', '127.0.0.1:0', '--cert', cert,
                                 '--key', key, '--no-console', *store],
                                stdout=subprocess.PIPE, stderr=log)
    line = receiver.stdout.readline().decode()
    port = int(re.search(r':(\d+)', line.split('//')[1]).group(1))
    context = ssl.create_default_context(cafile=cert)
    postmaster = None
    if uri:
        data_dir = psql(uri, 'SHOW data_directory')
        postmaster = int(open(os.path.join(data_dir, 'postmaster.pid')).readline())
    # Warm-up: one post, so that pools and caches are filled before the count starts.
    codes = []
    lock = threading.Lock()

    def client(indices):
        conn = http.client.HTTPSConnection('127.0.0.1', port, timeout=60, context=context)
        for i in indices:
            if args.new_connection:
                conn.close()
                conn = http.client.HTTPSConnection('127.0.0.1', port, timeout=60, context=context)
            conn.request('POST', '/kestal/scantest.php', body='scanResult=' + reports[i],
                         headers={'Content-Type': 'application/x-www-form-urlencoded'})
            answer = conn.getresponse()
            answer.read()
            with lock:
                codes.append(answer.status)
        conn.close()

    client([0])
    cpu0 = cpu_seconds(receiver.pid)
    pg0 = postgres_cpu(postmaster) if postmaster else 0
    lsn0 = psql(uri, 'SELECT pg_current_wal_lsn()') if uri else None
    size_sql = 'SELECT pg_database_size(current_database())'
    db0 = int(psql(uri, size_sql)) if uri else 0
    started = time.monotonic()
    threads = [threading.Thread(target=client, args=(range(1 + n, len(reports), args.clients),))
               for n in range(args.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.monotonic() - started
    cpu = cpu_seconds(receiver.pid) - cpu0
    n = len(reports) - 1
    result = {'engine': engine, 'posted': n, 'ok': codes.count(200) - 1, 'wall_s': round(wall, 2),
              'reports_per_s': round(n / wall, 1),
              'receiver_cpu_ms_per_report': round(1000 * cpu / n, 3)}
    if uri:
        result['postgres_cpu_ms_per_report'] = round(1000 * (postgres_cpu(postmaster) - pg0) / n, 3)
        wal = int(psql(uri, "SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), '%s')" % lsn0))
        result['wal_bytes_per_report'] = round(wal / n)
    receiver.terminate()
    receiver.wait(timeout=60)
    scans = json.loads(run(args.receiver, 'scans', '--json', *store))
    assert len(scans) == len(reports) and result['ok'] == n, (len(scans), result)
    total = len(scans)
    result['stored_compressed_bytes_per_report'] = round(sum(s['storedBytes'] for s in scans) / total)
    if uri:
        # Growth from the first report on (an empty database is about 7.5 MB).
        result['database_growth_bytes_per_report'] = round((int(psql(uri, size_sql)) - db0) / n)
        for table in ('scans', 'machines'):
            result['%s_table_bytes_per_report' % table] = round(
                int(psql(uri, "SELECT pg_total_relation_size('%s')" % table)) / total)
        result['scans_heap_toast_index_bytes'] = psql(
            uri, "SELECT pg_relation_size('scans') || ' ' || "
                 "coalesce(pg_total_relation_size(reltoastrelid), 0) || ' ' || "
                 "pg_indexes_size('scans') FROM pg_class WHERE relname = 'scans'")
    else:
        path = os.path.join(store[1], 'receiver.sqlite3')
        subprocess.run(['sqlite3', path, 'PRAGMA wal_checkpoint(TRUNCATE)'], capture_output=True)
        size = os.path.getsize(path)
        result['sqlite_file_bytes_per_report'] = round(size / total)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('receiver')
    parser.add_argument('samples')
    parser.add_argument('tables')
    parser.add_argument('--reports', type=int, default=2000)
    parser.add_argument('--clients', type=int, default=8)
    parser.add_argument('--tables', type=int, default=8)
    parser.add_argument('--only', help='comma-separated table names')
    parser.add_argument('--new-connection', action='store_true',
                        help='a new TLS connection per post (every scanning machine is a '
                             'different browser)')
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix='gravelin-cost-')
    try:
        cert, key = os.path.join(work, 'cert.pem'), os.path.join(work, 'key.pem')
        run('openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
            '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext',
            'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert)
        tables_dir = args.tables
        tables = sorted(f for f in os.listdir(tables_dir) if f.endswith('.bin'))[::6][:args.tables]
        if args.only:
            tables = [name + '.bin' for name in args.only.split(',')]
        per = (args.reports + len(tables) - 1) // len(tables)
        hex_dir = os.path.join(work, 'hex')
        for table in tables:
            run(args.samples, os.path.join(tables_dir, table), '--count', str(per), '--out', hex_dir)
        reports = [open(os.path.join(hex_dir, f)).read().strip() for f in sorted(os.listdir(hex_dir))]
        reports = reports[:args.reports]
        xml_bytes = sum(len(r) // 2 for r in reports) / len(reports)
        print(json.dumps({'reports': len(reports), 'tables': tables,
                          'posted_hex_bytes_per_report': round(sum(len(r) for r in reports) / len(reports)),
                          'unsealed_bytes_per_report': round(xml_bytes)}))
        print(json.dumps(measure('sqlite', ['--data', os.path.join(work, 'data')], args, reports,
                                 cert, key, work)))
        uri = os.environ.get('GRAVELIN_TEST_POSTGRES_URI')
        if uri:
            run('psql', uri, '-qc', 'CREATE DATABASE cost')
            db = uri.replace('/postgres?', '/cost?', 1)
            print(json.dumps(measure('postgresql', ['--database', db], args, reports, cert, key,
                                     work, uri=db)))
        print('(load average during the run: %s)' % open('/proc/loadavg').read().split()[:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
