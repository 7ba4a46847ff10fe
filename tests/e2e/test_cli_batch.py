"""dtucfg line shared by stations through a batch in a scratch PostgreSQL,
natively against simulated units on ptys that an operator keeps replacing: a
station killed in the middle of a write, the database stopped under the
stations, and what a batch refuses. No output of any command holds a password."""

import csv
import hashlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

from harness import ROOT, _end
from test_cli_commands import DTUCFG, WRITE_PREFIX, CliTest
from test_cli_fleet import registration

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from scratch_pg import ROLES, ScratchPostgres  # noqa: E402

PG = ScratchPostgres()
PROFILE = "[DTU NET]\r\nIP=10.0.0.5\r\nBT=30\r\nNOT=40\r\n"
WRONG_PASSWORD = "wr;ong}pw"
# Each password, and what is left of it after a ';' or a '}' cut it short.
SECRETS = [piece for password in [pw for _, pw in ROLES.values()] + [WRONG_PASSWORD]
           for piece in [password] + re.split(r"[;}]", password) if len(piece) >= 5]
THREE = {"s1": 2, "s2": 2, "s3": 2}
RESULT = re.compile(
    r"^(\S+): (?:row (\d+) )?(ok|mismatch|no-ack|refused|lost|interrupted|taken-back)\b")


def setUpModule():
    PG.start()


def tearDownModule():
    PG.stop()


def ids(first_byte, count=24):
    return ["%02X %02X" % (first_byte, n) for n in range(1, count + 1)]


class StationRun:
    """One `dtucfg line --batch` process, its output read as it comes."""

    def __init__(self, batch, name, ports, log, db=None, extra=()):
        self.name, self.ports = name, ports
        args = [DTUCFG, "--log", log, "line", "--batch", batch, "--station", name, *extra]
        for port in ports:
            args += ["--port", port]
        self.process = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=dict(os.environ, DTUCFG_DB=db or PG.connection_string("station")))
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._read, args=(stream, lines), daemon=True)
                        for stream, lines in ((self.process.stdout, self.out),
                                              (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _read(stream, lines):
        for line in iter(stream.readline, b""):
            lines.append(line.decode("utf-8", "replace"))

    def ended(self):
        """Whether it has exited and all it printed has been read."""
        if self.process.poll() is None:
            return False
        for reader in self.readers:
            reader.join(timeout=5)
        return True

    def said(self, text):
        return sum(line.count(text) for line in list(self.err))

    def results(self):
        """(station, port, row, result) of each unit it told of."""
        found = (RESULT.match(line) for line in list(self.out))
        return [(self.name,) + m.groups("") for m in found if m]


class Line:
    """Stations serving a batch, each on ports of its own (stations maps a
    name to its number of ports), and the operator who replaces every unit
    the line is done with."""

    def __init__(self, test, batch, stations, slow=(), start=True):
        self.test, self.batch = test, batch
        self.units = {}
        self.handled = {}
        self.ports = {}
        self.runs = []
        self.written = []  # the record of every unit taken away after it was written
        for name, count in stations.items():
            self.ports[name] = [test.path("port%d" % (len(self.units) + n)) for n in range(count)]
            for port in self.ports[name]:
                options = ("--delay-ms", "200") if name in slow else ()
                self.units[port] = test.unit(*options, link=port)
                self.handled[port] = 0
        self.factory = registration(next(iter(self.units.values())).record())
        test.addCleanup(self.stop)
        if start:
            for name in stations:
                self.start(name)

    def start(self, name):
        run = StationRun(self.batch, name, self.ports[name], self.test.path("%s.log" % name))
        self.runs.append(run)
        return run

    def restart(self, run, timeout=35):
        """The same station again, once its name is free; returns the new run."""
        deadline = time.monotonic() + timeout
        while True:
            again = self.start(run.name)
            self.until(lambda: again.ended() or again.said("was being written on"),
                       "the restarted station to take up its row in doubt")
            if not again.ended() or again.process.returncode != 2:
                return again
            self.test.assertLess(time.monotonic(), deadline, "the name stays taken")
            time.sleep(0.5)

    def current(self):
        """The last run of each station."""
        return list({run.name: run for run in self.runs}.values())

    def results(self):
        return [r for run in self.runs for r in run.results()]

    def count(self, result="ok"):
        return sum(r[3] == result for r in self.results())

    def step(self):
        """A unit the line told of is taken away and a new one plugged in."""
        told = {}
        for _, port, _, _ in self.results():
            told[port] = told.get(port, 0) + 1
        for port, unit in self.units.items():
            if told.get(port, 0) > self.handled[port]:
                self.handled[port] = told[port]
                record = unit.record()
                if registration(record) != self.factory:
                    self.written.append(record)
                unit.unplug()
                unit.plug()

    def until(self, condition, what, timeout=60):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                stations = [(r.name, r.process.poll(), r.err[-3:]) for r in self.runs]
                self.test.fail("timed out waiting for %s; %d units ok; the stations: %s"
                               % (what, self.count(), stations))
            self.step()
            time.sleep(0.05)

    def finish(self):
        """Serves units until every station has ended; then the units still in."""
        self.until(lambda: all(run.ended() for run in self.runs), "the stations to end")
        self.step()
        for unit in self.units.values():
            if registration(unit.record()) != self.factory:
                self.written.append(unit.record())

    def stop(self):
        for run in self.runs:
            _end(run.process)
            run.ended()
            self.test.printed += [line.encode() for line in run.out + run.err]
        for name in self.ports:
            if os.path.exists(self.test.path(name + ".log")):
                self.test.printed.append(self.test.read_file(name + ".log"))


class BatchTest(CliTest):
    def setUp(self):
        super().setUp()
        self.printed = []  # every byte any command printed or wrote
        self.addCleanup(self.check_no_password)
        self.addCleanup(self.check_tallies)
        self.write_file("p.ini", PROFILE)

    def check_tallies(self):
        """Whatever the test did, the server's running tallies, which the
        reporting views read, still agree with the rows and results."""
        try:
            if PG.psql("SELECT to_regclass('dtucfg_row_tally') IS NOT NULL").strip() != "t":
                return
        except (RuntimeError, subprocess.SubprocessError):
            return  # the test left the server stopped
        pairs = [("SELECT batch, '', 'rows', COUNT(*) FROM dtucfg_row GROUP BY batch UNION ALL "
                  "SELECT batch, COALESCE(station, ''), state, COUNT(*) FROM dtucfg_row WHERE "
                  "state <> 'free' GROUP BY 1, 2, 3",
                  "SELECT batch, station, state, units FROM dtucfg_row_tally WHERE units <> 0"),
                 ("SELECT batch, station, result, COUNT(*), MAX(id) FROM dtucfg_result "
                  "GROUP BY 1, 2, 3",
                  "SELECT batch, station, result, units, last_id FROM dtucfg_result_tally")]
        for truth, tally in pairs:
            self.assertEqual(sorted(PG.psql(truth).splitlines()),
                             sorted(PG.psql(tally).splitlines()))

    def check_no_password(self):
        printed = b"".join(self.printed)
        self.assertTrue(printed)
        for secret in SECRETS:
            self.assertNotIn(secret.encode(), printed)

    def dtucfg(self, *args, role="station", env=None):
        """Runs dtucfg, on the database as role unless role is None; returns
        (exit code, stdout, stderr) as text."""
        db = ["--db", PG.connection_string(role)] if role else []
        p = subprocess.run([DTUCFG, *args, *db], stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60, check=False, env=dict(os.environ, **(env or {})))
        self.printed += [p.stdout, p.stderr]
        return p.returncode, p.stdout.decode(), p.stderr.decode()

    def create(self, batch, table):
        return self.dtucfg("batch", "create", batch, self.path("p.ini"), "--units",
                           self.write_file(batch + ".csv", table), role="owner")

    def report(self, batch):
        code, out, err = self.dtucfg("batch", "report", batch, "--out", self.path("r.csv"),
                                     role="supervisor")
        self.assertEqual(code, 0, err)
        self.printed.append(self.read_file("r.csv"))
        return list(csv.DictReader(io.StringIO(self.read_file("r.csv").decode())))

    def check_done(self, line, batch, batch_ids):
        """Every row used once, by every means of looking; every unit written
        holds its own row's record."""
        for run in line.current():
            self.assertEqual(run.process.returncode, 0, "".join(run.err))
        code, out, err = self.dtucfg("batch", "status", batch, "--json", role="supervisor")
        self.assertEqual(code, 0, err)
        status = json.loads(out)
        count = len(batch_ids)
        self.assertEqual([status[k] for k in ("rows", "free", "in_doubt", "done", "void")],
                         [count, 0, 0, count, 0])
        self.assertEqual(sum(s["done"] for s in status["stations"]), count)
        self.assertEqual(status["in_doubt_rows"], [])

        report = self.report(batch)
        self.assertEqual(sorted((r["station"], r["port"], r["row"], r["result"]) for r in report),
                         sorted(line.results()))
        sha = dict(pair.split("|") for pair in PG.psql(
            "SELECT row_no, record_sha256 FROM dtucfg_row WHERE batch = '%s'" % batch).split())
        ok = [r for r in report if r["result"] == "ok"]
        self.assertEqual(sorted(int(r["row"]) for r in ok), list(range(1, count + 1)))
        for r in ok:
            self.assertEqual((r["ID"], r["record_sha256"]),
                             (batch_ids[int(r["row"]) - 1], sha[r["row"]]))
        self.assertEqual(PG.psql(
            "SELECT state, COUNT(*) FROM dtucfg_row WHERE batch = '%s' GROUP BY state;"
            "SELECT COUNT(DISTINCT row_no) FROM dtucfg_result WHERE batch = '%s' AND "
            "result = 'ok'" % (batch, batch)).split(), ["done|%d" % count, str(count)])

        self.assertEqual(sorted(registration(r) for r in line.written),
                         sorted(bytes.fromhex(i) for i in batch_ids))
        for record in line.written:
            row = batch_ids.index(registration(record).hex(" ").upper()) + 1
            self.assertEqual(hashlib.sha256(record).hexdigest(), sha[str(row)])


class SharedLineTest(BatchTest):
    def test_a_station_killed_mid_write_starts_again_and_loses_nothing(self):
        batch_ids = ids(0x7B)
        self.assertEqual(self.create("b1", "ID\n" + "\n".join(batch_ids) + "\n")[0], 0)
        # s3's units answer slowly, so that a kill falls inside a write; it
        # starts first, so that it has a row before the others take them all.
        line = Line(self, "b1", THREE, slow=("s3",), start=False)
        s3 = line.start("s3")
        writes = lambda: sum(line.units[p].received().count(WRITE_PREFIX) for p in s3.ports)
        line.until(lambda: writes() > 0, "a write on s3")
        line.start("s1")
        line.start("s2")
        s3.process.send_signal(signal.SIGKILL)
        s3.process.wait()
        line.restart(s3)
        line.finish()
        self.check_done(line, "b1", batch_ids)

    def test_stations_wait_for_the_database_and_go_on(self):
        batch_ids = ids(0x7C)
        self.assertEqual(self.create("b2", "ID\n" + "\n".join(batch_ids) + "\n")[0], 0)
        line = Line(self, "b2", THREE)
        line.until(lambda: line.count() >= 6, "6 units")
        PG.crash()
        try:
            line.until(lambda: all(run.said("waiting for the database") for run in line.runs),
                       "every station to notice")
        finally:
            PG.restart()
        line.finish()
        for run in line.runs:
            self.assertEqual(run.said("waiting for the database"), 1, run.err)
            self.assertEqual(run.said("the database is back"), 1, run.err)
        self.check_done(line, "b2", batch_ids)


class BatchInputTest(BatchTest):
    def test_a_station_name_serves_one_line_at_a_time(self):
        self.assertEqual(self.create("one", "ID\n7A 01\n")[0], 0)
        line = Line(self, "one", {"dup": 1, "other": 1}, start=False)
        line.units[line.ports["dup"][0]].unplug()  # its adapter is out
        line.start("dup")
        line.until(lambda: PG.psql("SELECT name FROM dtucfg_station WHERE name = 'dup'"),
                   "the name to be taken")
        spare = self.unit()
        code, _, err = self.dtucfg("line", "--batch", "one", "--station", "dup", "--port",
                                   spare.path)
        self.assertEqual(code, 2, err)
        self.assertIn("station dup is running already", err)
        self.assertEqual(spare.received(), b"")
        # Another station writes the one row: dup sees the batch done without
        # a port, and its name is free again at once.
        line.start("other")
        line.finish()
        line.start("dup")
        line.finish()
        self.assertEqual([r.process.returncode for r in line.runs], [0, 0, 0])

    def test_values_with_quotes_and_sql_come_back_exactly(self):
        apns = ["x');DROP TABLE dtucfg_row;--", 'say "hi"']
        batch = "q'b\";--"
        code, _, err = self.create(batch, 'ID,APN\n7D 01,"x\');DROP TABLE dtucfg_row;--"\n'
                                          '7D 02,"say ""hi"""\n')
        self.assertEqual(code, 0, err)
        line = Line(self, batch, {"o'st;--": 1})
        line.finish()
        self.assertEqual(line.runs[0].process.returncode, 0, line.runs[0].err)
        apn = lambda record: record[390:420].split(b"\0")[0].decode()
        self.assertEqual(sorted((registration(r), apn(r)) for r in line.written),
                         [(b"\x7d\x01", apns[0]), (b"\x7d\x02", apns[1])])
        report = self.report(batch)
        self.assertEqual([(r["station"], r["result"], r["APN"]) for r in report],
                         [("o'st;--", "ok", apns[0]), ("o'st;--", "ok", apns[1])])

    def test_a_clash_with_an_older_batch_stores_nothing(self):
        self.assertEqual(self.create("old", "ID\n7E 91\n7E 92\n")[0], 0)
        tables = ("SELECT (SELECT COUNT(*) FROM dtucfg_batch), (SELECT COUNT(*) FROM dtucfg_row),"
                  " (SELECT COUNT(*) FROM dtucfg_unique)")
        before = PG.psql(tables)
        code, out, err = self.create("new", "ID\n7E 01\n7E 02\n7e92\n")
        self.assertEqual((code, out), (2, ""), err)
        self.assertIn("row 3: ID must be unique, and row 2 of batch old has it", err)
        code, _, err = self.create("old", "ID\n7E 03\n")
        self.assertEqual(code, 2, err)
        self.assertEqual(PG.psql(tables), before)
        code, _, err = self.dtucfg("batch", "status", "new", role="supervisor")
        self.assertEqual(code, 2, err)

    def test_a_refused_login_is_told_without_the_password(self):
        self.assertEqual(self.create("pw", "ID\n7F 01\n")[0], 0)
        unit = self.unit()
        wrong = PG.connection_string("station", password=WRONG_PASSWORD)
        for command in (["batch", "status", "pw"],
                        ["line", "--batch", "pw", "--station", "x", "--port", unit.path]):
            with self.subTest(command=command[0]):
                code, out, err = self.dtucfg(*command, "--db", wrong, role=None)
                self.assertEqual((code, out), (4, ""), err)
                self.assertIn("Uid=%s" % ROLES["station"][0], err)
                self.assertIn("password authentication failed", err)
        self.assertEqual(unit.received(), b"")
        # The right password for a server that is not there, from the environment.
        closed = re.sub(r"Port=\d+", "Port=1", PG.connection_string("owner"))
        code, _, err = self.dtucfg("batch", "report", "pw", role=None, env={"DTUCFG_DB": closed})
        self.assertEqual(code, 4, err)
        self.assertIn("Uid=%s" % ROLES["owner"][0], err)


if __name__ == "__main__":
    unittest.main()
