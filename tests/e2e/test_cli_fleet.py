"""dtucfg for fleets, natively against simulated units on ptys: several ports
at once, per-unit values from a CSV, and the production line with its report."""

import csv
import hashlib
import os
import signal
import subprocess
import time
import unittest

from harness import _end
from test_cli_commands import DTUCFG, WRITE_PREFIX, CliTest, dtucfg


def registration(record):
    """The registration package a record holds, as bytes."""
    return record[180:180 + record[209]]


def ids(count, start=1):
    return ["7B %02X" % n for n in range(start, start + count)]


class FleetTest(CliTest):
    def profile(self):
        return self.write_file("p.ini", "[DTU NET]\r\nIP=10.0.0.5\r\nBT=30\r\nNOT=40\r\n")

    def report(self, name="report.csv"):
        if not os.path.exists(self.path(name)):
            return []
        with open(self.path(name), newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))

    def line(self, units, ports, report="report.csv"):
        args = [DTUCFG, "line", self.profile(), "--units", units, "--report", self.path(report)]
        for port in ports:
            args += ["--port", port]
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(_end, process)
        return process

    def until(self, condition, timeout=30):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out")
            time.sleep(0.05)


class SeveralPortsTest(FleetTest):
    def test_eight_units_at_once_each_with_its_row_and_one_that_fails(self):
        units = [self.unit() for _ in range(8)]
        # A real CSV: byte-order mark, CRLF, a quoted comma, a quoted quote.
        rows = "".join('%s,"a,""%d"""\r\n' % (i, n) for n, i in enumerate(ids(8)))
        table = self.write_file("units.csv", ("\ufeffID,APN\r\n" + rows).encode())
        ports = [a for u in units for a in ("--port", u.path)]
        code, out, err = dtucfg("write", self.profile(), "--units", table, *ports)
        self.assertEqual(code, 0, err)
        self.assertEqual(out.decode().splitlines(),
                         ["%s: written and verified (row %d)" % (u.path, n + 1)
                          for n, u in enumerate(units)])
        for n, unit in enumerate(units):
            record = unit.record()
            self.assertEqual(registration(record), bytes([0x7B, n + 1]))
            self.assertEqual(record[390:390 + 6], b'a,"%d"\0' % n)

        # One silent unit among them: the others are written, the run says so.
        silent = self.unit("--silent")
        table = self.write_file("ports.csv", "port,ID\n%s,7B 20\n%s,7B 21\n%s,7B 22\n" % (
            units[0].path, silent.path, units[1].path))
        code, out, _ = dtucfg("write", self.profile(), "--units", table, "--timeout", "0.5")
        self.assertEqual(code, 3)
        lines = out.decode().splitlines()
        self.assertEqual(lines[0], units[0].path + ": written and verified (row 1)")
        self.assertTrue(lines[1].startswith(silent.path + ": failed: no unit answered"))
        self.assertEqual(lines[2], units[1].path + ": written and verified (row 3)")
        self.assertEqual(registration(units[1].record()), bytes([0x7B, 0x22]))

        # A file per port, then both back to the factory with one answer.
        two = ["--port", units[0].path, "--port", units[1].path]
        code, out, err = dtucfg("read", *two, "--out", self.path("unit-{port}.ini"))
        self.assertEqual(code, 0, err)
        for unit in units[:2]:
            with open(self.path("unit-%s.ini" % unit.path.replace("/", "_")), "rb") as f:
                self.assertIn(b"\r\nID=%s\r\n" % registration(unit.record()).hex(" ").upper()
                              .encode(), f.read())
        code, out, _ = dtucfg("factory-reset", "--yes", *two)
        self.assertEqual((code, out), (0, ("%s: SUCESS\n%s: SUCESS\n" % (
            units[0].path, units[1].path)).encode()))
        self.assertEqual(units[0].record(), self.unit().record())

    def test_each_port_starts_with_its_verdict_then_its_own_lines(self):
        good, stubborn = self.unit(), self.unit("--ignore-writes")
        ports = ["--port", stubborn.path, "--port", good.path]
        code, out, _ = dtucfg("write", self.profile(), *ports)
        self.assertEqual(code, 1)
        written = out.decode().splitlines()
        self.assertEqual(written[0], stubborn.path + ": verification failed: 4 field(s) differ")
        self.assertEqual(written[5:], [good.path + ": written and verified"])
        self.assertEqual(written[1], stubborn.path + ': IP: unit "factory.example.com", '
                         'written "10.0.0.5"')

        code, out, _ = dtucfg("diff", self.profile(), *ports)
        self.assertEqual(code, 1)
        self.assertEqual(out.decode().splitlines(),
                         [stubborn.path + ": 4 field(s) differ"]
                         + [l.replace('", written "', '", profile "') for l in written[1:5]]
                         + [good.path + ": same"])

    def test_bad_rows_refuse_the_whole_run_before_anything_is_sent(self):
        units = [self.unit(), self.unit()]
        ports = [a for u in units for a in ("--port", u.path)]
        cases = [
            ("ID\n7B 92\n7b92\n", "row 2: ID is the same as row 1's"),
            ("ID,Snum\n01,5\n02,5\n", "row 2: Snum is the same as row 1's", "--unique", "Snum"),
            ("ID\n01\n7B 9\n", 'row 2: ID (Registration Package): given as "7B 9"'),
            ("ID,Colour\n01,red\n02,blue\n", 'unknown key "Colour"'),
            ("ID,Data\n01,8\n02,7\n", "row 2: refused: with 7 data bits"),
            ("ID,APN\n01,x\n02\n", "row 2: 1 fields, the header has 2"),
            ('ID,APN\n01,x\n02,"y\n', "line 3: quoted field not closed"),
            ("ID\n01\n02\n03\n", "3 row(s) for 2 port(s)"),
            ("ID\n01\n02\n", "give no other --port with it", "--port", "all"),
            ("ID\n01\n02\n", "this port is given twice", "--port", units[0].path),
        ]
        for text, message, *extra in cases:
            with self.subTest(text=text):
                table = self.write_file("units.csv", text)
                code, out, err = dtucfg("write", self.profile(), "--units", table, *ports,
                                        *extra)
                self.assertEqual((code, out), (2, b""), err)
                self.assertIn(message, err)
        for unit in units:
            self.assertEqual(unit.received(), b"")


class ProductionLineTest(FleetTest):
    def setUp(self):
        super().setUp()
        self.unplugged_at = {}
        self.seen = {}

    def held(self, units, plugged):
        """The registration packages of every unit the line wrote."""
        factory = registration(self.unit().record())
        present = [u.record() for u in units if id(u) not in self.unplugged_at]
        return [registration(r) for r in plugged + present if registration(r) != factory]

    def replace_units(self, units, line_process, want, plugged, stop=lambda: False):
        """Unplugs each unit once the report shows it done and plugs in a new
        one, as an operator would, until the report has `want` units done or
        the line ends. plugged collects every unit's final record."""
        seen = self.seen
        unplugged_at = self.unplugged_at
        while (sum(r["result"] == "ok" for r in self.report()) < want
               and line_process.poll() is None and not stop()):
            for unit in units:
                key = id(unit)
                if key in unplugged_at:
                    # A cable that stays needs the line to hear 2 s of silence.
                    if unit.link or time.monotonic() - unplugged_at[key] > 2.3:
                        del unplugged_at[key]
                        unit.plug()
                elif len(self.rows_of(unit)) > seen.get(key, 0):
                    seen[key] = len(self.rows_of(unit))
                    plugged.append(unit.record())
                    unit.unplug()
                    unplugged_at[key] = time.monotonic()
            time.sleep(0.05)

    def rows_of(self, unit):
        name = unit.link or unit.path
        return [r for r in self.report() if r["port"] == name]

    def test_rows_go_once_each_to_units_as_they_are_replaced(self):
        table = self.write_file("units.csv", "ID\n" + "\n".join(ids(10)) + "\n")
        units = [self.unit(link=self.path("by-id")), self.unit()]
        line = self.line(table, [self.path("by-id"), units[1].path])
        plugged = []
        self.replace_units(units, line, 10, plugged)
        out, err = line.communicate(timeout=30)
        self.assertEqual(line.returncode, 0, err)
        self.assertIn(b"units done: 10; failures: none; rows left: 0", out)
        report = self.report()
        self.assertEqual(sorted(int(r["row"]) for r in report), list(range(1, 11)))
        self.assertEqual({r["result"] for r in report}, {"ok"})
        for row in report:
            self.assertRegex(row["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
            self.assertEqual(row["ID"], ids(10)[int(row["row"]) - 1])
        # Every unit holds its own row, as the report's digests say.
        self.assertEqual(sorted(self.held(units, plugged)),
                         sorted(bytes.fromhex(i) for i in ids(10)))
        records = plugged + [u.record() for u in units]
        self.assertLessEqual({r["record_sha256"] for r in report},
                             {hashlib.sha256(r).hexdigest() for r in records})

    def test_a_killed_line_restarts_without_reusing_or_skipping_a_row(self):
        table = self.write_file("units.csv", "ID\n" + "\n".join(ids(8)) + "\n")
        # Slow units: the acknowledgement comes well after the record went out.
        units = [self.unit("--delay-ms", "150"), self.unit("--delay-ms", "150")]
        ports = [u.path for u in units]
        plugged = []
        line = self.line(table, ports)
        self.replace_units(units, line, 2, plugged)
        # Killed as soon as the next record has gone out, before its report.
        writes = lambda: sum(u.received().count(WRITE_PREFIX) for u in units)
        before = writes()
        self.replace_units(units, line, 8, plugged, stop=lambda: writes() > before)
        line.send_signal(signal.SIGKILL)
        line.wait()

        line = self.line(table, ports)
        self.replace_units(units, line, 8, plugged)
        out, err = line.communicate(timeout=30)
        self.assertEqual(line.returncode, 0, err)
        self.assertIn(b"was being written on", err)
        self.assertIn(b"rows left: 0", out)
        ok = [int(r["row"]) for r in self.report() if r["result"] == "ok"]
        self.assertEqual(sorted(ok), list(range(1, 9)))
        self.assertEqual(sorted(self.held(units, plugged)),
                         sorted(bytes.fromhex(i) for i in ids(8)))

    def test_interrupt_finishes_the_report(self):
        unit = self.unit()
        line = subprocess.Popen([DTUCFG, "line", self.profile(), "--port", unit.path,
                                 "--report", self.path("r.csv")], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(_end, line)
        self.until(lambda: len(self.report("r.csv")) == 1)
        line.send_signal(signal.SIGINT)
        out, _ = line.communicate(timeout=10)
        self.assertEqual(line.returncode, 130)
        self.assertIn(b"units done: 1; failures: none\n", out)
        (row,) = self.report("r.csv")
        self.assertEqual((row["row"], row["result"]), ("", "ok"))
        self.assertEqual(row["record_sha256"], hashlib.sha256(unit.record()).hexdigest())


if __name__ == "__main__":
    unittest.main()
