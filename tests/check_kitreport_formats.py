#!/usr/bin/env python3
"""Reads kitreport's two formats back with Python's own csv and json modules.

Usage: check_kitreport_formats.py BIN_FOLDER

drvscan and pairscan write a log on a small Windows folder whose names hold
commas, quotes, a line feed and a byte that is not UTF-8; kitreport turns it
into JSON Lines and CSV. Both must parse, hold one record for each line of
the log (decoded here, independently, with every UTF-16 unit kept) and agree
with each other field by field. Exits 1 and says why on any difference.
"""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile

FIELDS = ["log", "run", "program", "started", "kind", "file", "detail", "text"]
KINDS = {"start", "signature", "entropy", "orphan", "hidden", "masked",
         "warning", "error", "info"}


def fail(message):
    print("check_kitreport_formats: " + message, file=sys.stderr)
    sys.exit(1)


def without_lone_surrogates(text):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)


def main():
    if len(sys.argv) != 2:
        fail("usage: check_kitreport_formats.py BIN_FOLDER")
    bin_folder = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="kit-formats.") as work:
        work = os.fsencode(work)
        drivers = os.path.join(work, b"Windows", b"system32", b"drivers")
        inf = os.path.join(work, b"Windows", b"inf")
        os.makedirs(drivers)
        os.makedirs(inf)
        names = [b'a,"b"\n, matches pattern called decrypt magic1\xff.sys',
                 b"plain.sys"]
        for name in names:
            with open(os.path.join(drivers, name), "wb") as f:
                f.write(b"\x69\xc0\xd5\x0b\x8e\x61")
        for name in [b'q,"r"\xfe.pnf', b"s.pnf"]:
            open(os.path.join(inf, name), "wb").close()

        log = os.path.join(work, b"host.log")
        env = {"PATH": "/usr/bin:/bin",
               "SystemRoot": os.path.join(work, b"Windows").decode(
                   "utf-8", "surrogateescape")}
        for tool in ["drvscan", "pairscan"]:
            subprocess.run([os.path.join(bin_folder, tool), log], env=env,
                           stdout=subprocess.DEVNULL, check=True)
        with open(log, "rb") as f:
            lines = [line for line in
                     f.read().decode("utf-16-le", "surrogatepass").split("\r\n")
                     if line]

        reports = {}
        for report_format in ["jsonl", "csv"]:
            run = subprocess.run(
                [os.path.join(bin_folder, "kitreport"), "--format",
                 report_format, log],
                stdout=subprocess.PIPE, check=False)
            if run.returncode != 1:
                fail(f"{report_format}: exit code {run.returncode}, expected 1")
            reports[report_format] = run.stdout

        records = [json.loads(line)
                   for line in reports["jsonl"].decode("utf-8").split("\n")
                   if line]
        rows = list(csv.reader(io.StringIO(reports["csv"].decode("utf-8"),
                                           newline="")))
        if rows[0] != FIELDS:
            fail(f"CSV header {rows[0]!r}")
        rows = rows[1:]

        if [r["text"] for r in records] != lines:
            fail(f"JSON texts {[r['text'] for r in records]!r} are not the "
                 f"log's lines {lines!r}")
        if len(rows) != len(records):
            fail(f"{len(rows)} CSV rows but {len(records)} JSON records")
        for record, row in zip(records, rows):
            if list(record) != FIELDS:
                fail(f"JSON fields {list(record)!r}")
            if record["kind"] not in KINDS:
                fail(f"kind {record['kind']!r} of {record['text']!r}")
            expected = [without_lone_surrogates(str(record[name]))
                        for name in FIELDS]
            if row != expected:
                fail(f"CSV row {row!r} differs from JSON record {expected!r}")
        signatures = [r for r in records if r["kind"] == "signature"]
        # The log carries the name's LF, like its undecodable byte, as the
        # unit 0xDC00 + byte.
        hostile = names[0].decode("utf-8", "surrogateescape").replace(
            "\n", "\udc0a")
        if [r["file"] for r in signatures] != [hostile, "plain.sys"]:
            fail(f"signature files {[r['file'] for r in signatures]!r}")
    print("kitreport's JSON Lines and CSV read back alike")


main()
