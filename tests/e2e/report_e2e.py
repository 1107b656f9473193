#!/usr/bin/env python3
"""update-report run as a user runs it: journals on disk, the store, the
exit codes, and the HTML page in a real headless Chromium.

    report_e2e.py BINARY SOURCE_DIR

UPDATE_REPORT_EXAMPLE=DIR also keeps the HTML test's journal, its text
report and the page's screenshot there (the README's example)."""
import hashlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/update-report"
SRC = sys.argv[2] if len(sys.argv) > 2 else "."
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def rec(time_, result="ok", station=None, port=1, attempt=None, error=None, box_error=None,
        seconds=12.5, box_version="23.0", error_detail=None):
    r = {"time": time_, "tool": "update 3.6-25", "mode": "serial", "port": port, "file": "box.pad",
         "file_size": 1061, "file_checksum": "0002179a", "format": 21, "file_version": "23.0",
         "box_version": box_version, "patched": False, "line_speed": 921600, "bytes_sent": 1061,
         "seconds": seconds, "error_detail": error_detail, "result": result,
         "exit_code": 0 if result == "ok" else 1}
    if result != "ok":
        r["error"] = error or "Stopped by SIGINT during download."
        r["error_code"] = None
        r["box_error"] = box_error
    if station is not None:
        r["station"] = station
    if attempt is not None:
        r["attempt"] = attempt
    return json.dumps(r, separators=(",", ":")) + "\n"


def unit_rec(time_, unit, result="ok", **kw):
    r = json.loads(rec(time_, result, **kw))
    r["unit"] = unit
    return json.dumps(r, separators=(",", ":")) + "\n"


def t(minute, second=0, hour=3):
    return "2026-12-08T%02d:%02d:%02d.000Z" % (hour, minute, second)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Report(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="update-report-e2e.")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text, mode="w"):
        with open(self.path(name), mode) as f:
            f.write(text)
        return self.path(name)

    def run_report(self, *args, stdin=None):
        return subprocess.run([BIN, *args], capture_output=True, text=True, input=stdin, timeout=60)

    def report_json(self, *args, stdin=None):
        p = self.run_report("--json", *args, stdin=stdin)
        self.assertEqual(p.returncode, 0, p.stderr)
        return json.loads(p.stdout), p

    def test_counting_rules(self):
        a = self.write("a.jsonl",
                       rec(t(0), station="s1", attempt="11" * 16)
                       + rec(t(1), "failed", station="s1", error="Error code (WF): 0x 20000007",
                             box_error="ERROR: bad flash id", attempt="22" * 16)
                       + rec(t(2), "failed", station="s1", error="Time out ", attempt="33" * 16)
                       + rec(t(3), "stopped", station="s1", attempt="44" * 16)
                       + rec(t(4), port="/dev/ttyUSB0"))  # no station, no attempt
        # The same records again: a copy, and an overlapping journal that
        # holds one of them under another time (the attempt is the key).
        b = self.write("b.jsonl", read(a))
        c = self.write("c.jsonl", rec(t(9), station="s1", attempt="11" * 16))
        j, _ = self.report_json(a, b, c, a)
        self.assertEqual(j["records"], 5)
        tot = j["totals"]
        self.assertEqual((tot["attempts"], tot["ok"], tot["failed"], tot["stopped"]), (4, 2, 2, 1))
        self.assertAlmostEqual(tot["yield"], 0.5)
        self.assertEqual({c["cause"]: c["count"] for c in j["causes"]},
                         {"ERROR: bad flash id": 1, "Time out ": 1})
        self.assertEqual([s["station"] for s in j["stations"]], ["-", "s1"])
        self.assertEqual([(p["station"], p["port"]) for p in j["ports"]],
                         [("-", "/dev/ttyUSB0"), ("s1", "1")])
        self.assertEqual(j["ports"][1]["longest_failure_run"], 2)
        self.assertEqual(j["period"], {"first": t(0), "last": t(4)})
        # Standard input and a folder are journals too.
        os.mkdir(self.path("dir"))
        shutil.copy(a, self.path("dir/x.jsonl"))
        self.write("dir/ignored.txt", rec(t(30)))
        j, _ = self.report_json(self.path("dir"), "-", stdin=read(c))
        self.assertEqual(j["records"], 5)

    def test_causes_with_their_details(self):
        # Each cause with its most frequent details, in every form and from
        # the store as from the journal; a journal without details keeps
        # the table as it was.
        read_err = "Error during read from /dev/ttyUSB0"
        check = "Error: the file is no PAD file."
        fails = ([(read_err, "Input/output error")] * 3 + [(read_err, "Device or resource busy"),
                                                            (read_err, None)]
                 + [(check, d) for d in ("too short", "checksum", "checksum", "size field",
                                         "format code <9>")])
        a = self.write("a.jsonl", "".join(
            rec(t(m), "failed", station="s1", attempt="%032x" % (m + 1), error=e, error_detail=d)
            for m, (e, d) in enumerate(fails)) + rec(t(20), station="s1", error_detail="ignored"))
        j, _ = self.report_json(a)
        by_cause = {c["cause"]: c for c in j["causes"]}
        self.assertEqual(by_cause[read_err]["details"],
                         [{"detail": "Input/output error", "count": 3},
                          {"detail": "Device or resource busy", "count": 1}])
        self.assertEqual([d["detail"] for d in by_cause[check]["details"]],
                         ["checksum", "format code <9>", "size field"])
        self.assertEqual((by_cause[check]["other_details"], by_cause[check]["other_details_count"]),
                         (1, 1))
        db = self.path("line.sqlite")
        self.assertEqual(self.report_json("--db", db, a)[0]["causes"], j["causes"])
        self.assertEqual(self.report_json("--db", db)[0]["causes"], j["causes"])
        # The text under each cause, one detail a line with its count.
        text = self.run_report(a).stdout
        self.assertRegex(text, r"\nCauses\n  Cause +Count +Share +Running\n  " + re.escape(read_err)
                         + r" +5 +50\.0% +50\.0%\n    Input/output error +3\n"
                         r"    Device or resource busy +1\n  " + re.escape(check)
                         + r" +5 +50\.0% +100\.0%\n    checksum +2\n    format code <9> +1\n"
                         r"    size field +1\n    1 other +1\n\n")
        html = self.path("r.html")
        self.assertEqual(self.run_report("--html", html, a).returncode, 0)
        page = read(html)
        self.assertIn('<th class="t">Details</th>', page)
        self.assertIn('<td class="t">checksum (2), format code &lt;9&gt; (1), size field (1),'
                      ' 1 other (1)</td>', page)
        plain = self.write("b.jsonl", rec(t(0), "failed", error="Time out "))
        self.run_report("--html", html, plain)
        self.assertNotIn("Details", read(html))

    def test_since_until_station(self):
        a = self.write("a.jsonl", "".join(rec(t(m), station="s%d" % (m % 2)) for m in range(10))
                       + rec("2026-12-09T00:00:00.000Z", station="s0"))
        j, _ = self.report_json("--since", t(2), "--until", t(5), a)
        self.assertEqual(j["records"], 4)
        j, _ = self.report_json("--since", "2026-12-08", "--until", "2026-12-08", a)
        self.assertEqual(j["records"], 10)
        j, _ = self.report_json("--station", "s1", "--station", "s0", "--until", "2026-12-08T03:03Z", a)
        self.assertEqual(j["records"], 4)
        j, _ = self.report_json("--station", "s1", a)
        self.assertEqual([s["station"] for s in j["stations"]], ["s1"])

    def test_bad_input_and_exit_codes(self):
        good = rec(t(0), station="s1")
        a = self.write("a.jsonl", "not json\n" + good + "[1,2]\n" + '{"time":5,"result":"ok"}\n'
                       + good.replace("s1", "s2")[:-1].encode().decode() + "\n")
        with open(a, "ab") as f:
            f.write(b'{"time":"2026-12-08T03:00:00.000Z","result":"ok","file":"\xff"}\n')
            f.write(good[:40].encode())  # cut off mid-line
        j, p = self.report_json(a)
        self.assertEqual((j["records"], j["skipped_lines"]), (2, 5))
        self.assertIn("skipped 5 lines", p.stderr)
        # A journal that cannot be read ends the run, named.
        p = self.run_report(a, self.path("missing.jsonl"))
        self.assertEqual(p.returncode, 1)
        self.assertIn("missing.jsonl", p.stderr)
        self.assertEqual(p.stdout, "")
        # Nothing to report on.
        p = self.run_report(self.write("bad.jsonl", "junk\n"))
        self.assertEqual(p.returncode, 1)
        p = self.run_report("--since", "2027-01-01", a)
        self.assertEqual(p.returncode, 1)
        for args in ([], ["--since", "soon", a], ["--bogus", a], ["--html"]):
            p = self.run_report(*args)
            self.assertEqual(p.returncode, 2, args)
            self.assertIn("usage: update-report", p.stderr)

    def test_journals_that_are_no_regular_files(self):
        # In a folder only regular files are read, the others named and
        # never opened (a FIFO would block with the store locked); named on
        # the command line a FIFO is read as a stream, in a store's run too.
        os.mkdir(self.path("dir"))
        self.write("dir/a.jsonl", rec(t(0), station="s1", attempt="01" * 16))
        os.mkfifo(self.path("dir/fifo.jsonl"))
        os.mkdir(self.path("dir/sub.jsonl"))
        os.symlink("/dev/zero", self.path("dir/zero.jsonl"))
        os.symlink(self.path("dir/a.jsonl"), self.path("dir/link.jsonl"))
        fifo = self.path("named.fifo")
        os.mkfifo(fifo)
        body = "".join(rec(t(m), station="s2", attempt="%032x" % (m + 100)) for m in range(5))

        def feed():
            with open(fifo, "w") as f:
                f.write(body)

        for args, records in (([self.path("dir")], 1), (["--db", self.path("s.db"), self.path("dir")], 1),
                              (["--db", self.path("s.db"), fifo], 6)):
            writer = threading.Thread(target=feed, daemon=True) if fifo in args else None
            if writer:
                writer.start()
            j, p = self.report_json(*args)
            if writer:
                writer.join()
            self.assertEqual((j["records"], j["skipped_lines"]), (records, 0), args)
            if fifo not in args:
                for name in ("fifo.jsonl", "sub.jsonl", "zero.jsonl"):
                    self.assertIn("skipped %s: not a regular file" % self.path("dir/" + name), p.stderr)

    def test_memory_bounded_by_the_longest_line(self):
        # 150 MB without a newline, then a record: skipped and counted, in a
        # fixed buffer.
        p = subprocess.Popen([BIN, "--json", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)

        def feed():
            chunk = b"x" * (1 << 20)
            for _ in range(150):
                p.stdin.write(chunk)
            p.stdin.write(b"\n" + rec(t(0)).encode())
            p.stdin.close()

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        out = p.stdout.read()
        p.stderr.read()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        writer.join()
        self.assertEqual(p.returncode, 0)
        j = json.loads(out)
        self.assertEqual((j["records"], j["skipped_lines"]), (1, 1))
        self.assertLess(usage.ru_maxrss, 100 * 1024)  # kB

    def test_store_keeps_a_records_first_import(self):
        # The same attempt in two journals, and twice in one: the first one
        # read is the one counted, by the store as without one.
        db = self.path("line.sqlite")
        a = "aa" * 16
        j1 = self.write("j1.jsonl", rec(t(0), station="s1", attempt=a))
        j2 = self.write("j2.jsonl", rec(t(1), "failed", station="s1", attempt=a)
                        + rec(t(2), station="s1", attempt="bb" * 16)
                        + rec(t(3), "failed", station="s1", attempt="bb" * 16))
        for args, counts in (([j1, j2], (2, 2, 0)), (["--db", db, j1], (1, 1, 0)),
                             (["--db", db, j2], (2, 2, 0)), (["--db", db], (2, 2, 0))):
            j, _ = self.report_json(*args)
            self.assertEqual((j["records"], j["totals"]["ok"], j["totals"]["failed"]), counts, args)

    def test_store_reads_a_journal_rewritten_in_place_from_its_start(self):
        # copytruncate: the same file, emptied and written anew, longer than
        # before; its first line is no longer the one the store saw.
        db = self.path("line.sqlite")
        j1 = self.write("line.jsonl", "".join(rec(t(m), station="s1", attempt="%032x" % (m + 1))
                                              for m in range(3)))
        self.assertEqual(self.report_json("--db", db, j1)[0]["records"], 3)
        with open(j1, "r+") as f:
            f.truncate(0)
            f.write("".join(rec(t(m, 30), station="s2", attempt="%032x" % (m + 50)) for m in range(5)))
        j, p = self.report_json("--db", db, j1)
        self.assertEqual((j["records"], j["skipped_lines"]), (8, 0), p.stderr)

    def test_units_and_a_postgresql_store(self):
        # Two stations; SN2 fails on one and is good on the other, SN3 fails
        # twice and is good, SN4 is never good; the last record names no unit.
        j1 = self.write("s1.jsonl", unit_rec(t(0), "SN1", station="s1", attempt="%032x" % 1)
                        + unit_rec(t(1), "SN2", "failed", station="s1", attempt="%032x" % 2)
                        + unit_rec(t(2), "SN3", "failed", station="s1", attempt="%032x" % 3)
                        + unit_rec(t(4), "SN3", station="s1", attempt="%032x" % 5)
                        + rec(t(6), station="s1", attempt="%032x" % 7))
        j2 = self.write("s2.jsonl", unit_rec(t(3), "SN3", "failed", station="s2", attempt="%032x" % 4)
                        + unit_rec(t(2), "SN2", station="s2", attempt="%032x" % 8)
                        + unit_rec(t(5), "SN4", "failed", station="s2", attempt="%032x" % 6))
        j, _ = self.report_json(j1, j2)
        self.assertEqual(j["units"], {
            "units": 4, "first_pass": 1, "first_pass_yield": 0.25, "final_good": 3,
            "final_yield": 0.75, "retested": 2, "retests": 3,
            "most_attempts": [{"unit": "SN3", "attempts": 3, "ok": 1, "failed": 2, "last": "ok"},
                              {"unit": "SN2", "attempts": 2, "ok": 1, "failed": 1, "last": "ok"}]})
        text = self.run_report(j1, j2).stdout
        self.assertIn("Units     4: first pass yield 25.0% (1), final yield 75.0% (3)\n", text)
        self.assertRegex(text, r"Units needing most attempts\n  Unit +Attempts +Ok +Failed +Last\n"
                               r"  SN3 +3 +1 +2 +ok\n")
        html = self.path("r.html")
        self.assertEqual(self.run_report("--html", html, j1, j2).returncode, 0)
        self.assertIn('<section id="units">', read(html))
        # Records without units: no trace of them.
        j0 = self.write("none.jsonl", rec(t(0)))
        j, _ = self.report_json(j0)
        self.assertNotIn("units", j)
        self.assertNotIn("Units", self.run_report(j0).stdout)

        # The same journals into PostgreSQL and into SQLite: the same report,
        # from the import and from the store alone.
        pg = self.path("pg")
        os.mkdir(pg)
        os.chmod(self.dir, 0o755)  # as root the server runs as nobody, who must reach it
        server = os.path.join(SRC, "tools", "pg-test-server.sh")
        p = subprocess.run([server, "start", pg], capture_output=True, text=True, timeout=300)
        if p.returncode == 77:
            self.skipTest("PostgreSQL's server programs are not installed")
        self.assertEqual(p.returncode, 0, p.stderr)
        try:
            url = p.stdout.strip()
            db = self.path("line.sqlite")
            for args in ([j1], [j2, j1], []):
                over_pg, _ = self.report_json("--db", url, *args)
                over_sqlite, _ = self.report_json("--db", db, *args)
                self.assertEqual(over_pg, over_sqlite, args)
            self.assertEqual(over_pg["records"], 8)
            for name, store in (("pg.html", url), ("sqlite.html", db)):
                self.assertEqual(self.run_report("--db", store, "--html", self.path(name)).returncode, 0)
            self.assertEqual(read(self.path("pg.html")), read(self.path("sqlite.html")))
        finally:
            subprocess.run([server, "stop", pg], capture_output=True, timeout=300)

    def test_text_fits_100_columns(self):
        long_cause = "ERROR: " + "very long box line " * 10
        a = self.write("a.jsonl", rec(t(0), station="a-station-with-a-long-name-" * 3, port="/dev/serial/by-path/" + "x" * 60)
                       + rec(t(1), "failed", station="s", box_error=long_cause)
                       + rec(t(2), "failed", station="s", box_error="ERROR: \x1b[2J\r\nwiped"))
        p = self.run_report(a)
        self.assertEqual(p.returncode, 0, p.stderr)
        for line in p.stdout.splitlines():
            self.assertLessEqual(len(line), 100, line)
        for title in ("Stations", "Ports", "Causes", "Box versions", "Files", "Hours"):
            self.assertIn("\n" + title + "\n", p.stdout)
        self.assertIn("ERROR: very long box line", p.stdout)
        # A box's control characters as the tool shows them; no line breaks.
        self.assertIn("ERROR: ^[[2J  wiped", p.stdout)
        self.assertNotIn("\x1b", p.stdout)

    def store_rows(self, db):
        c = sqlite3.connect(db)
        try:
            return c.execute("select count(*) from records").fetchone()[0]
        finally:
            c.close()

    def test_store_imports_only_what_is_new(self):
        db = self.path("line.sqlite")
        lines = [rec(t(m), station="s1", attempt="%032x" % (m + 1)) for m in range(6)]
        j1 = self.write("line.jsonl", "".join(lines[:3]))
        j, _ = self.report_json("--db", db, j1)
        self.assertEqual(j["records"], 3)
        self.assertEqual(self.store_rows(db), 3)
        # Damage an imported line in place: read on from where the last import
        # stopped, the second import never sees it.
        text = read(j1)
        second = text.splitlines(True)[1]
        self.write("line.jsonl", text.replace(second, "x" * (len(second) - 1) + "\n"))
        self.write("line.jsonl", "".join(lines[3:5]), "a")
        j, p = self.report_json("--db", db, j1)
        self.assertEqual((j["records"], j["skipped_lines"]), (5, 0), p.stderr)
        self.assertEqual(self.store_rows(db), 5)
        # Again, nothing new; then the store alone.
        j, _ = self.report_json("--db", db, j1)
        self.assertEqual(j["records"], 5)
        j, _ = self.report_json("--db", db)
        self.assertEqual(j["records"], 5)
        # Rotated: the old file moves away, a new one takes the name; the new
        # one is read from its start, the moved one from where it was.
        os.rename(j1, j1 + ".1")
        self.write("line.jsonl", lines[5] + rec(t(20), station="s2"))
        j, p = self.report_json("--db", db, j1, j1 + ".1")
        self.assertEqual((j["records"], j["skipped_lines"]), (7, 0), p.stderr)
        # A copy under another name is read whole, and adds nothing.
        shutil.copy(j1 + ".1", self.path("copy.jsonl"))
        j, p = self.report_json("--db", db, self.path("copy.jsonl"))
        self.assertEqual((j["records"], j["skipped_lines"]), (7, 1))
        self.assertEqual(self.store_rows(db), 7)
        c = sqlite3.connect(db)
        self.assertEqual(c.execute("pragma journal_mode").fetchone()[0], "wal")
        c.close()

    def test_store_refused_and_left_as_it_was(self):
        j1 = self.write("line.jsonl", rec(t(0), station="s1") + rec(t(1), station="s1"))
        # Not SQLite at all.
        other = self.write("other.sqlite", "this is a text file\n" * 100)
        before = digest(other)
        p = self.run_report("--db", other, j1)
        self.assertEqual(p.returncode, 1)
        self.assertIn("not an SQLite file", p.stderr)
        self.assertEqual(digest(other), before)
        # A newer schema.
        newer = self.path("newer.sqlite")
        c = sqlite3.connect(newer)
        c.execute("pragma user_version=99")
        c.close()
        before = digest(newer)
        p = self.run_report("--db", newer, j1)
        self.assertEqual(p.returncode, 1)
        self.assertIn("newer", p.stderr)
        self.assertEqual(digest(newer), before)
        # Damaged: a real store with its pages overwritten.
        db = self.path("line.sqlite")
        big = "".join(rec(t(m % 60, m // 60 % 60), station="s%d" % (m % 5), attempt="%032x" % m)
                      for m in range(3000))
        self.write("big.jsonl", big)
        self.assertEqual(self.run_report("--db", db, self.path("big.jsonl")).returncode, 0)
        with open(db, "r+b") as f:
            size = f.seek(0, 2)
            f.seek(4096 * 3)
            f.write(os.urandom(size - 4096 * 4))
        before = digest(db)
        p = self.run_report("--db", db, j1)
        self.assertEqual(p.returncode, 1, p.stdout)
        self.assertIn(db, p.stderr)
        self.assertEqual(digest(db), before)

    def test_store_upgrades_an_older_schema(self):
        # Stores of versions 1 and 2, one record in each: upgraded in place,
        # the old record kept and counted beside the new, whose every field
        # and whole line are kept.
        v1 = ("create table records(id integer primary key, key blob not null unique,"
              " time text not null, station text not null, port text not null,"
              " result text not null, cause text, seconds real not null, box_version text not null,"
              " file_version text not null, file_checksum text not null);"
              "create table journals(identity text primary key, path text not null,"
              " first_line blob not null, offset integer not null, imported text not null);"
              "insert into records values(1, x'000000000000000000000000000000ff',"
              " '2026-12-07T01:00:00.000Z', 'old', '2', 'ok', null, 9, '22.0', '22.0', '0001');")
        new = json.loads(rec(t(0), "failed", station="s1", attempt="ab" * 16, error="Time out "))
        new.update({"unit": "SN1", "operator": "kim", "image_sha256": "e3" * 32, "image_size": 1061,
                    "software_version": "3.3.0", "error_detail": "Device or resource busy",
                    "signature": "ok", "extra": {"x": [1]}})
        line = json.dumps(new, separators=(",", ":"))
        for version, script in ((1, v1 + "pragma user_version=1;"),
                                (2, v1 + "create index records_time on records(time);"
                                 "pragma user_version=2;")):
            db = self.path("old%d.sqlite" % version)
            c = sqlite3.connect(db)
            c.executescript(script)
            c.close()
            j, _ = self.report_json("--db", db, self.write("a.jsonl", line + "\n"))
            self.assertEqual(j["records"], 2, version)
            c = sqlite3.connect(db)
            c.row_factory = sqlite3.Row
            self.assertEqual(c.execute("pragma user_version").fetchone()[0], 3)
            self.assertEqual(c.execute("select count(*) from sqlite_master where name in"
                                       " ('records_time', 'stations')").fetchone()[0], 2)
            row = dict(c.execute("select * from records where station='s1'").fetchone())
            c.close()
            self.assertEqual(json.loads(row["line"]), new)
            for field in ("tool", "mode", "file", "bytes_sent", "error", "box_error", "unit",
                          "operator", "image_sha256", "image_size", "software_version",
                          "error_detail", "signature", "file_size", "exit_code", "attempt"):
                self.assertEqual(row[field], new[field], field)
            self.assertEqual(row["cause"], "Time out ")

    def test_store_locked_past_5_s(self):
        db = self.path("line.sqlite")
        j1 = self.write("line.jsonl", rec(t(0), station="s1"))
        self.assertEqual(self.run_report("--db", db, j1).returncode, 0)
        c = sqlite3.connect(db, isolation_level=None)
        c.execute("begin exclusive")
        before = digest(db)
        started = time.monotonic()
        p = self.run_report("--db", db, j1)
        took = time.monotonic() - started
        c.execute("rollback")
        c.close()
        self.assertEqual(p.returncode, 1)
        self.assertIn("locked", p.stderr)
        self.assertGreaterEqual(took, 4.9)
        self.assertEqual(digest(db), before)

    @unittest.skipUnless(CHROMIUM, "chromium not installed")
    def test_html_in_chromium(self):
        # A shift of three stations of four slots: new software from 05:00,
        # some boxes of an older bootloader, and slot 2 of line3 failing
        # for most of an hour.
        import random
        rnd = random.Random(7)
        stations = ["line1", "line2", "line3"]
        causes = [("Error code (WF): 0x 20000007", "ERROR: bad flash id"),
                  ("Error code (WF): 0x 20000007", "ERROR: erase of sector 12 failed"),
                  ("Error during read from COM2", None), ("Time out ", None)]
        text = ""
        n = 0
        for h in range(3, 7):
            for m in range(0, 60, 3):
                for si, st in enumerate(stations):
                    for port in range(1, 5):
                        n += 1
                        r = rnd.random()
                        streak = st == "line3" and port == 2 and h == 5 and m < 45
                        result = "failed" if streak or r < 0.04 + 0.02 * si else (
                            "stopped" if r > 0.995 else "ok")
                        error, box_error = causes[0] if streak else causes[rnd.randrange(4)]
                        line = rec(t(m, port * 7 + si, h), result, station=st, port=port, error=error,
                                   box_error=box_error, attempt="%032x" % n,
                                   seconds=round(13 + rnd.random() * 4, 3),
                                   box_version="22.4" if rnd.random() < 0.1 else "23.0")
                        if h >= 5:
                            line = line.replace('"0002179a"', '"0057b1ae"').replace(
                                '"file_version":"23.0"', '"file_version":"23.1"')
                        text += line
        j1 = self.write("line.jsonl", text)
        page = self.path("report.html")
        p = self.run_report("--html", page, j1)
        self.assertEqual(p.returncode, 0, p.stderr)
        html = read(page)
        # Self-contained: nothing to fetch.
        self.assertNotRegex(html, r"(?i)<script|<link|@import|url\(|src=")

        def chromium(*args):
            profile = tempfile.mkdtemp(dir=self.dir)
            cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--no-first-run", "--user-data-dir=" + profile, *args, "file://" + page]
            return subprocess.run(cmd, capture_output=True, text=True, timeout=120)

        dom = chromium("--dump-dom").stdout
        for chart in ("hours-chart", "pareto-chart", "grid-chart"):
            m = re.search(r'<svg id="%s".*?</svg>' % chart, dom, re.S)
            self.assertTrue(m, chart)
            self.assertIn("<rect", m.group(0))
        grid = re.search(r'<svg id="grid-chart".*?</svg>', dom, re.S).group(0)
        for st in stations:
            self.assertEqual(len(re.findall(r'data-station="%s".*?</g>' % st, grid, re.S)), 1, st)
        self.assertIn('class="streak"', grid)  # line3's port 2 failed a whole hour
        pdf = self.path("report.pdf")
        chromium("--print-to-pdf=" + pdf, "--no-pdf-header-footer")
        with open(pdf, "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"%PDF"))
        self.assertGreaterEqual(len(re.findall(rb"/Type\s*/Page[^s]", data)), 1)
        # A4 from the page's print styles (Chromium's own default is Letter).
        boxes = re.findall(rb"/MediaBox\s*\[0 0 ([\d.]+) ([\d.]+)\]", data)
        self.assertTrue(boxes)
        for w, h in boxes:
            self.assertAlmostEqual(float(w), 595.3, delta=1)
            self.assertAlmostEqual(float(h), 841.9, delta=1)
        if shutil.which("file"):
            self.assertIn("PDF document", subprocess.run(["file", pdf], capture_output=True, text=True).stdout)
        shot = self.path("report.png")
        chromium("--hide-scrollbars", "--window-size=1000,1400", "--screenshot=" + shot)
        with open(shot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        keep = os.environ.get("UPDATE_REPORT_EXAMPLE")
        if keep:
            shutil.copy(shot, os.path.join(keep, "report.png"))
            shutil.copy(j1, os.path.join(keep, "line.jsonl"))
            with open(os.path.join(keep, "report.txt"), "w") as f:
                f.write(self.run_report(j1).stdout)

    def test_html_escapes_what_the_journal_holds(self):
        j1 = self.write("line.jsonl", rec(t(0), "failed", station="a<b&c", box_error="ERROR: <script>"))
        page = self.path("report.html")
        self.assertEqual(self.run_report("--html", page, j1).returncode, 0)
        html = read(page)
        self.assertIn("a&lt;b&amp;c", html)
        self.assertIn("ERROR: &lt;script&gt;", html)
        self.assertNotIn("a<b", html)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
