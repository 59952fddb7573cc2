#!/usr/bin/env python3
"""Reads kitreport's two formats back with Python's own csv and json modules.

Usage: check_kitreport_formats.py BIN_FOLDER

drvscan and pairscan write a log on a small Windows folder whose names hold
commas, quotes, a line feed and a byte that is not UTF-8; kitreport turns it
into JSON Lines and CSV. Both must parse, hold one record for each line of
the log (decoded here, independently, with every UTF-16 unit kept) and agree
with each other field by field. A second log, written here as the tools
write an evidence image's volume and its shadow copies, must give each
record the shadow copy whose walk holds it. Exits 1 and says why on any
difference.
"""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile

FIELDS = ["log", "run", "program", "started", "kind", "file", "detail", "text",
          "shadow_copy"]
KINDS = {"start", "signature", "entropy", "orphan", "hidden", "masked",
         "warning", "error", "info"}


def fail(message):
    print("check_kitreport_formats: " + message, file=sys.stderr)
    sys.exit(1)


def without_lone_surrogates(text):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)


def csv_value(value):
    """A JSON value as the CSV writes it: null empty, surrogates U+FFFD."""
    return "" if value is None else without_lone_surrogates(str(value))


def read_back(bin_folder, log, exit_code):
    """kitreport's records of `log` in JSON Lines, checked against its CSV
    and the log's own lines."""
    reports = {}
    for report_format in ["jsonl", "csv"]:
        run = subprocess.run(
            [os.path.join(bin_folder, "kitreport"), "--format",
             report_format, log],
            stdout=subprocess.PIPE, check=False)
        if run.returncode != exit_code:
            fail(f"{report_format}: exit code {run.returncode}, expected "
                 f"{exit_code}")
        reports[report_format] = run.stdout

    with open(log, "rb") as f:
        lines = [line for line in
                 f.read().decode("utf-16-le", "surrogatepass").split("\r\n")
                 if line]
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
        expected = [csv_value(record[name]) for name in FIELDS]
        if row != expected:
            fail(f"CSV row {row!r} differs from JSON record {expected!r}")
    return records


def check_shadow_copies(bin_folder, work):
    """A log of two runs on an evidence image: the volume's own walk, then
    its shadow copies newest first, one of which cannot be read, and in the
    second run a damaged catalog of copies. The image's path holds the
    lines' own words, a comma, quotes and a byte that is not UTF-8."""
    image = '/cases/a, b of "c", made 2019-06-04 23:43:32 UTC\udcff.E01'
    volume = " of the NTFS volume at byte 32256 of " + image
    newest, oldest = "2019-06-04T23:43:32Z", "2018-12-31T00:00:01Z"
    # Each line with its kind, file, detail and shadow copy.
    lines = [
        ("C:\\kit\\drvscan.exe is started at 06/05/2019 08:00",
         "start", "", "", None),
        ("INFO: Examining the Windows folder \\Windows" + volume +
         " (VORLKIT_IMAGE)", "info", image, "", None),
        ("SUSPICIOUS: File now.sys matches pattern called imul magic1",
         "signature", "now.sys", "imul magic1", None),
        ("INFO: Examining shadow copy 3 of 3, made 2019-06-04 23:43:32 UTC," +
         volume, "info", image, "3 of 3", newest),
        ("INFO: Checking file old.sys", "info", "", "", newest),
        ("SUSPICIOUS: File old.sys matches pattern called decrypt magic1",
         "signature", "old.sys", "decrypt magic1", newest),
        ("ERROR: gone.sys - Could not read the specified file. Error code: "
         "0x570", "error", "gone.sys", "0x570", newest),
        ("ERROR: Could not examine shadow copy 2 of 3" + volume +
         ". Error code: 0x570", "error", image, "0x570", None),
        ("INFO: Examining shadow copy 1 of 3, made 2018-12-31 00:00:01 UTC," +
         volume, "info", image, "1 of 3", oldest),
        ("SUSPICIOUS: File older.sys matches pattern called imul magic1",
         "signature", "older.sys", "imul magic1", oldest),
        ("C:\\kit\\pairscan.exe is started at 06/05/2019 08:01",
         "start", "", "", None),
        ("INFO: Examining the Windows folder \\Windows" + volume +
         " (VORLKIT_IMAGE)", "info", image, "", None),
        ("SUSPICIOUS: There is no corresponding inf file for "
         "\\Windows\\inf\\oem9", "orphan", "\\Windows\\inf\\oem9", "",
         None),
        ("ERROR: Could not examine shadow copy 0" + volume +
         ". Error code: 0x570", "error", image, "0x570", None),
    ]
    text = ""
    for line in lines:
        if line[1] == "start":
            text += "\r\n"
        text += line[0] + "\r\n"
    log = os.path.join(work, b"shadow.log")
    with open(log, "wb") as f:
        f.write(text.encode("utf-16-le", "surrogatepass"))

    records = read_back(bin_folder, log, 1)
    for record, (line, kind, file, detail, shadow_copy) in zip(records,
                                                                lines):
        got = (record["kind"], record["file"], record["detail"],
               record["shadow_copy"])
        if got != (kind, file, detail, shadow_copy):
            fail(f"{line!r}: kind, file, detail and shadow copy {got!r}, "
                 f"expected {(kind, file, detail, shadow_copy)!r}")


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

        records = read_back(bin_folder, log, 1)
        if any(r["shadow_copy"] is not None for r in records):
            fail("a record of a folder's walk has a shadow copy")
        signatures = [r for r in records if r["kind"] == "signature"]
        # The log carries the name's LF, like its undecodable byte, as the
        # unit 0xDC00 + byte.
        hostile = names[0].decode("utf-8", "surrogateescape").replace(
            "\n", "\udc0a")
        if [r["file"] for r in signatures] != [hostile, "plain.sys"]:
            fail(f"signature files {[r['file'] for r in signatures]!r}")

        check_shadow_copies(bin_folder, work)
    print("kitreport's JSON Lines and CSV read back alike")


main()
