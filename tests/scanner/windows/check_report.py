#!/usr/bin/env python3
"""Checks one run of gravelin-scanner.exe: the unsealed report, the page it left, the
browser hand-off and the WMI calls it made (from Wine's wbemprox trace).

Exit 0 when everything holds; otherwise every failed check is printed and the exit code is 1.
"""
import argparse
import re
import sys
import xml.etree.ElementTree as ET

# The scanner's query lines, in order (comments and empty lines left out).
QUERY_LINES = [
    "SELECT * FROM Win32_BaseBoard",
    "SELECT * FROM SMBIOS_Type002_Baseboard_Module",
    "SELECT * FROM SMBIOS_Type003_SystemEnclosure",
    "SELECT * FROM SMBIOS_Type004_Processor",
    "SELECT * FROM SMBIOS_Type005_MemoryController",
    "SELECT * FROM SMBIOS_Type006_MemoryModule",
    "SELECT * FROM SMBIOS_Type017_MemoryDevice",
    "SELECT * FROM Win32_Processor",
    "SELECT * FROM Win32_OperatingSystem",
    "SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory",
    "SELECT * FROM Win32_DiskDrive",
    "SELECT * FROM Win32_LogicalDisk",
    "SELECT * FROM SMBIOS_Type009_SystemSlot",
    "SELECT * FROM Win32_ComputerSystemProduct",
    "SELECT * FROM CIM_Controller",
]
NO_TABLE = "Unable to query SMBIOS device data! "
RAW_TABLE_QUERY = "Select * from MSSmBios_RawSMBiosTables"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def smbios_type(line):
    m = re.search(r" SMBIOS_Type(\d{3})", line)
    return int(m.group(1)) if m else None


def wmi_class(line):
    return line.split(" FROM ", 1)[1]


def parse_counts(text):
    counts = {}
    for item in text.split():
        t, _, n = item.partition(":")
        counts[int(t)] = int(n) if n else 1
    return counts


def element_text(e):
    return ET.tostring(e, encoding="unicode").strip()


def check_object_nodes(node, what):
    names = [c.tag for c in node]
    expected = ["i%d" % i for i in reversed(range(len(names)))]
    check(names == expected, "%s: object nodes %s, expected %s" % (what, names, expected))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--report", required=True)
    p.add_argument("--page", required=True)
    p.add_argument("--host", required=True)
    p.add_argument("--os", required=True, help="the OS description the platform gives")
    p.add_argument("--version", required=True)
    p.add_argument("--wmi-answered", default="", help="comma-separated WMI classes with objects")
    p.add_argument("--expected-smbios",
                   help="report of the same table decoded on Linux; without it, no table")
    p.add_argument("--type-counts", help="structure counts of the table (MANIFEST.tsv)")
    p.add_argument("--browser-calls", required=True)
    p.add_argument("--page-path", required=True, help="the page's path as the browser gets it")
    p.add_argument("--trace", help="Wine's wbemprox trace of the run")
    p.add_argument("--raw-table-queried", choices=["never", "yes"], default=None)
    a = p.parse_args()

    answered = set(filter(None, a.wmi_answered.split(",")))
    root = ET.parse(a.report).getroot()
    check(root.tag == "HWInfo", "root element is %s" % root.tag)
    nodes = {child.tag: child for child in root}

    expected_smbios = {}
    if a.expected_smbios:
        for child in ET.parse(a.expected_smbios).getroot():
            expected_smbios[int(re.match(r"SMBIOS_Type_(\d+)_", child.tag).group(1))] = child
    counts = parse_counts(a.type_counts) if a.type_counts else None

    # Which lines found something, and the node each one made.
    errors = "" if a.expected_smbios else NO_TABLE
    expected_order = []
    for line in QUERY_LINES:
        t = smbios_type(line)
        if t is None:
            name = wmi_class(line)
            if name in answered:
                expected_order.append(name)
                if check(name in nodes, "no class node for %s" % name):
                    check(len(nodes[name]) >= 1, "%s has no object" % name)
                    check_object_nodes(nodes[name], name)
            else:
                errors += 'No data found for "%s", ' % line
                check(name not in nodes, "unexpected class node %s" % name)
            continue
        expected = expected_smbios.get(t)
        if counts is not None:
            decoded = len(expected) if expected is not None else 0
            check(decoded == counts.get(t, 0), "type %d: the Linux decode has %d structures, "
                  "the table %d" % (t, decoded, counts.get(t, 0)))
        if expected is None:
            errors += 'No data found for "%s", ' % line
            check(not any(tag.startswith("SMBIOS_Type_%d_" % t) for tag in nodes),
                  "unexpected node for SMBIOS type %d" % t)
            continue
        expected_order.append(expected.tag)
        got = nodes.get(expected.tag)
        if check(got is not None, "no node %s" % expected.tag):
            check_object_nodes(got, expected.tag)
            if counts is not None:
                check(len(got) == counts.get(t, 0), "%s: %d objects, the table has %d"
                      % (expected.tag, len(got), counts.get(t, 0)))
            check(element_text(got) == element_text(expected),
                  "%s differs from the Linux decode of the same table" % expected.tag)

    # Document order: Application, then the class nodes newest first.
    order = [child.tag for child in root]
    check(order == ["Application"] + list(reversed(expected_order)),
          "node order %s, expected %s" % (order, ["Application"] + list(reversed(expected_order))))

    app = nodes.get("Application")
    if check(app is not None and len(app) == 1 and app[0].tag == "i0", "Application block"):
        attrs = app[0].attrib
        check(list(attrs) == ["OS", "Name", "Version", "Errors"],
              "Application attributes %s" % list(attrs))
        check(attrs.get("OS") == a.os + " ", "OS %r, expected %r" % (attrs.get("OS"), a.os + " "))
        check(attrs.get("OS", "").startswith("Windows "), "OS is not a Windows description")
        check(attrs.get("Name") == "gravelin-scanner.exe ", "Name %r" % attrs.get("Name"))
        check(attrs.get("Version") == a.version + " ", "Version %r" % attrs.get("Version"))
        check(attrs.get("Errors") == errors + " ",
              "Errors\n  got      %r\n  expected %r" % (attrs.get("Errors"), errors + " "))

    # The page left behind is the submit page for the right endpoint.
    page = open(a.page, "rb").read().decode("latin-1")
    m = re.fullmatch(
        r'<html>\r\n<body onload="scanForm\.submit\(\);">\r\n'
        r'<form id="scanForm" action="([^"]*)" method="post">\r\n'
        r'    <input type="hidden" name="scanResult" value="([0-9A-F]*)">\r\n'
        r'</form>\r\n</body>\r\n</html>\r\n', page)
    if check(m is not None, "the page is not the submit page:\n%s" % page[:300]):
        check(m.group(1) == "https://%s/kestal/scantest.php" % a.host,
              "form action %s" % m.group(1))
        check(len(m.group(2)) > 0 and len(m.group(2)) % 16 == 0,
              "sealed text of %d characters" % len(m.group(2)))

    # The browser was asked once to open the page.
    calls = [l for l in open(a.browser_calls, encoding="utf-8", errors="replace").read().splitlines()
             if l.strip()]
    check(len(calls) == 1, "browser calls: %s" % calls)
    if calls:
        check(calls[0] in (a.page_path, "file://" + a.page_path),
              "browser opened %r, expected the page %s" % (calls[0], a.page_path))

    if a.trace:
        trace = open(a.trace, encoding="utf-8", errors="replace").read()
        queries = re.findall(r'wbem_services_ExecQuery [^,]*, L"WQL", L"(.*?)", (0x[0-9a-f]+)', trace)
        class_queries = [q for q, _ in queries if q != RAW_TABLE_QUERY]
        # Every query line goes to WMI first, once, in order, with WBEM_FLAG_RETURN_IMMEDIATELY.
        if answered:
            check(class_queries == QUERY_LINES, "WMI class queries %s" % class_queries)
        check(all(int(f, 16) == 0x10 for _, f in queries), "ExecQuery flags %s" % queries)
        # GetNames is asked with 0x70 first (Wine accepts it, so never again with 0x40).
        names = re.findall(r"class_object_GetNames [^,]*, ([^,]*), (0x[0-9a-f]+), ([^,]*),", trace)
        if answered:
            check(names and all(q == "(null)" and int(f, 16) == 0x70 and v == "(null)"
                                for q, f, v in names), "GetNames calls %s" % names[:3])
        raw = [q for q, _ in queries if q == RAW_TABLE_QUERY]
        if a.raw_table_queried == "never":
            check(not raw, "the WMI table source was queried although the registry had the table")
        elif a.raw_table_queried == "yes":
            check(1 <= len(raw) <= 2, "the WMI table source was queried %d times" % len(raw))

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
