#!/usr/bin/env python3
"""Downloads one scan's stored report from gravelin-receiver's console, as a person would:
the sign-in form (its token and cookie), the password, the session cookie, then the export.

  console_export.py --console HOST:PORT --user NAME --password-file FILE --scan ID
                    --out FILE [--utf8]

Without --utf8 the report comes as stored (the bytes the machine sent, /scans/ID/report);
with --utf8 as UTF-8 (/scans/ID/report.xml). Exit 1 with one line on stderr when the
console refuses."""
import argparse
import http.cookiejar
import re
import sys
import urllib.error
import urllib.parse
import urllib.request


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--console", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--scan", type=int, required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--utf8", action="store_true")
    options = parser.parse_args()
    base = "http://%s" % options.console
    password = open(options.password_file).read().rstrip("\n")
    opener = urllib.request.build_opener(
        urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
    try:
        form = opener.open(base + "/signin", timeout=30).read().decode()
        token = re.search(r'name="token" value="([^"]+)"', form).group(1)
        body = urllib.parse.urlencode(
            {"token": token, "name": options.user, "password": password}).encode()
        opener.open(base + "/signin", data=body, timeout=60).read()
        kind = "report.xml" if options.utf8 else "report"
        with opener.open("%s/scans/%d/%s" % (base, options.scan, kind), timeout=30) as answer:
            if answer.headers.get("Content-Disposition", "").find("attachment") < 0:
                print("console_export: the console did not answer with the export "
                      "(not signed in?)", file=sys.stderr)
                return 1
            data = answer.read()
    except (urllib.error.URLError, AttributeError, OSError) as e:
        print("console_export: %s" % e, file=sys.stderr)
        return 1
    with open(options.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
