"""The line's promise under everyday faults, with a scratch PostgreSQL set up
as the README says and simulated units on ptys: a unit taken away or a line
stopped while its write is unanswered, a unit that keeps its ID but reads
back otherwise, a row released or a name taken over while its station is cut
off, a lock or a stalled network, a password changed, and each thing a
station's login must not do. Both ledgers where the point is both's."""

import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from test_cli_batch import PG, WRITE_PREFIX, BatchTest, StationRun, ids
from test_cli_commands import DTUCFG
from test_cli_fleet import registration

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from relay import Relay  # noqa: E402
from scratch_pg import ROLES  # noqa: E402

# Short limits keep the waits short; the lease is the server's own 20 s.
QUICK = ("--db-timeout", "2")
LEASE_S = 20


def setUpModule():
    PG.start()


def tearDownModule():
    PG.stop()


class FaultTest(BatchTest):
    def setUp(self):
        super().setUp()
        self.runs = []

    def station(self, batch, name, ports, db=None, extra=QUICK):
        """A station of its own name in this test: a name a test before left
        held by a killed run stays taken until its lease lapses."""
        name = "%s.%s" % (batch, name)
        run = StationRun(batch, name, ports, self.path("%s.log" % name), db=db, extra=extra)
        self.runs.append(run)
        self.addCleanup(self.end, run)
        return run

    def end(self, run):
        if run.process.poll() is None:
            run.process.send_signal(signal.SIGKILL)
            run.process.wait()
        run.ended()
        self.printed += [line.encode() for line in run.out + run.err]

    def until(self, condition, what, timeout=60):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out waiting for %s: %s" % (
                what, [(run.name, run.out[-3:], run.err[-3:]) for run in self.runs]))
            time.sleep(0.05)

    def said(self, run, text):
        return any(text in line for line in run.out + run.err)

    def writes(self, unit):
        return unit.received().count(WRITE_PREFIX)

    def interrupt(self, run, within=3):
        """Ctrl-C; the station must be gone within a few seconds."""
        run.process.send_signal(signal.SIGINT)
        try:
            run.process.wait(timeout=within)
        except subprocess.TimeoutExpired:
            self.fail("the station did not end within %s s of Ctrl-C: %s" % (within, run.err))
        run.ended()
        return run.process.returncode

    def row(self, batch, row):
        return PG.psql("SELECT state, station, port FROM dtucfg_row WHERE batch = '%s' AND "
                       "row_no = %d" % (batch, row)).strip()

    def relay(self):
        relay = Relay(PG.port)
        self.addCleanup(relay.close)
        return relay, PG.connection_string("station", port=relay.port)


class RowsInDoubtTest(FaultTest):
    def test_a_unit_taken_away_or_stopped_mid_write_keeps_its_row_on_its_port(self):
        batch_ids = ids(0x51, 3)
        self.assertEqual(self.create("d1", "ID\n" + "\n".join(batch_ids) + "\n")[0], 0)
        slow = self.unit("--delay-ms", "1500", link=self.path("slow"))
        s1 = self.station("d1", "s1", [slow.link])
        self.until(lambda: self.writes(slow), "the write")
        slow.unplug()  # while the unit's acknowledgement is awaited
        self.until(lambda: self.said(s1, "row 1 lost, in doubt: put this unit back on " +
                                     slow.link), "the row in doubt")
        self.assertEqual(registration(slow.record()), bytes.fromhex(batch_ids[0]))
        self.assertEqual(self.row("d1", 1), "claimed|%s|%s" % (s1.name, slow.link))

        # Another station takes the rest and ends; it never gets row 1.
        other = self.unit(link=self.path("other"))
        s2 = self.station("d1", "s2", [other.link])
        self.until(lambda: len(s2.results()) == 1, "s2's first unit")
        other.unplug()
        other.plug()
        self.until(s2.ended, "s2 to end")
        self.assertEqual(sorted(r[2] for r in s2.results()), ["2", "3"])

        # Put back, the unit is found holding its row: nothing is written again.
        slow.plug(again=True)
        self.until(s1.ended, "s1 to end")
        self.assertEqual(s1.results(), [(s1.name, slow.link, "1", "lost"),
                                        (s1.name, slow.link, "1", "ok")])
        self.assertEqual(self.writes(slow), 1)

        # Ctrl-C while the acknowledgement is awaited leaves the row as a kill would.
        self.assertEqual(self.create("d2", "ID\n51 11\n51 12\n")[0], 0)
        slow.unplug()
        slow.plug()
        s3 = self.station("d2", "s3", [slow.link])
        self.until(lambda: self.writes(slow) == 2, "the write")
        self.assertEqual(self.interrupt(s3), 130)
        self.assertTrue(self.said(s3, "row 1 interrupted, in doubt: put this unit back on " +
                                  slow.link), s3.out)
        self.assertEqual(self.row("d2", 1), "claimed|%s|%s" % (s3.name, slow.link))
        self.assertEqual(registration(slow.record()), b"\x51\x11")
        s4 = self.station("d2", "s4", [other.link])
        self.until(s4.ended, "s4 to end")
        self.assertEqual([r[2] for r in s4.results()], ["2"])
        again = self.station("d2", "s3", [slow.link])
        self.until(again.ended, "s3 to end")
        self.assertEqual([r[3] for r in again.results()], ["ok"])
        self.assertEqual(self.writes(slow), 2)
        self.assertEqual([(r["row"], r["result"]) for r in self.report("d2")],
                         [("1", "interrupted"), ("2", "ok"), ("1", "ok")])

    def test_a_unit_that_keeps_its_id_but_reads_back_otherwise_holds_its_row(self):
        self.assertEqual(self.create("h1", "ID\n52 01\n52 02\n52 03\n")[0], 0)
        faulty = self.unit("--garble-writes", link=self.path("faulty"))
        s1 = self.station("h1", "s1", [faulty.link])
        self.until(lambda: s1.results(), "the faulty unit's result")
        self.assertTrue(self.said(s1, "row 1 mismatch: set this unit aside"), s1.out)
        code, out, err = self.dtucfg("batch", "status", "h1", "--json", role="supervisor")
        self.assertEqual(code, 0, err)
        status = json.loads(out)
        self.assertEqual(status["held"], 1)
        self.assertEqual({k: status["held_rows"][0][k] for k in ("row", "station", "port", "why")},
                         {"row": 1, "station": s1.name, "port": faulty.link, "why": "mismatch"})
        good = self.unit(link=self.path("good"))
        s2 = self.station("h1", "s2", [good.link])
        self.until(lambda: len(s2.results()) == 1, "s2's first unit")
        good.unplug()
        good.plug()
        self.until(lambda: s1.ended() and s2.ended(), "both stations to end")
        self.assertEqual(sorted(r[2] for r in s2.results()), ["2", "3"])
        self.assertEqual(self.row("h1", 1), "held|%s|%s" % (s1.name, faulty.link))
        code, out, err = self.dtucfg("batch", "release", "h1", "--row", "1", role="supervisor")
        self.assertEqual((code, out), (0, "batch h1 row 1 released: it goes to the next unit\n"),
                         err)

    def test_a_line_on_one_pc_keeps_rows_in_doubt_and_held_across_a_restart(self):
        self.write_file("u.csv", "ID\n53 01\n53 02\n53 03\n")
        faulty = self.unit("--garble-writes", link=self.path("a"))
        slow = self.unit("--delay-ms", "1500", link=self.path("b"))
        slow.unplug()  # its adapter is out
        args = [DTUCFG, "line", self.path("p.ini"), "--units", self.path("u.csv"), "--report",
                self.path("r.csv")]
        first = subprocess.Popen(args + ["--port", faulty.link, "--port", slow.link],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        self.addCleanup(first.kill)
        self.until(lambda: os.path.exists(self.path("r.csv")) and
                   b",1,mismatch," in self.read_file("r.csv"), "row 1 on a")
        slow.plug()
        self.until(lambda: self.writes(slow), "the write on b")
        slow.unplug()
        time.sleep(1)
        first.send_signal(signal.SIGINT)
        out, err = first.communicate(timeout=10)
        self.printed += [out.encode(), err.encode()]
        self.assertEqual(first.returncode, 130, err)
        self.assertIn(faulty.link + ": row 1 mismatch: set this unit aside", out)
        self.assertIn(slow.link + ": row 2 lost, in doubt", out)
        self.assertIn("row 1 is held", out)
        self.assertIn("row 2 is in doubt", out)

        # Again, with b's unit put back and a good unit in place of the faulty one.
        slow.plug(again=True)
        good = self.unit(link=self.path("c"))
        second = subprocess.run(args + ["--port", slow.link, "--port", good.link],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=60, check=False)
        self.printed += [second.stdout.encode(), second.stderr.encode()]
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertIn("row 1 is held", second.stderr)
        self.assertEqual(sorted(line.split(":")[1] for line in second.stdout.splitlines()
                                if " ok" in line), [" row 2 ok", " row 3 ok"])
        self.assertEqual(self.writes(slow), 1)


class CutOffTest(FaultTest):
    def test_a_row_released_while_its_station_is_cut_off_is_never_recorded_ok(self):
        self.assertEqual(self.create("t1", "ID\n54 01\n54 02\n")[0], 0)
        relay, through = self.relay()
        slow = self.unit("--delay-ms", "1000", link=self.path("slow"))
        s1 = self.station("t1", "s1", [slow.link], db=through)
        self.until(lambda: self.writes(slow), "the write")
        relay.stall()
        self.until(lambda: self.said(s1, "waiting for the database"), "s1 to wait")
        # A person releases the row once s1 is no longer heard from.
        deadline = time.monotonic() + LEASE_S + 20
        while True:
            code, out, err = self.dtucfg("batch", "release", "t1", "--row", "1",
                                         role="supervisor")
            if code == 0:
                break
            self.assertIn("which is running", err)
            self.assertLess(time.monotonic(), deadline, err)
            time.sleep(1)
        relay.resume()
        self.until(lambda: s1.results(), "s1's result")
        self.assertEqual(s1.results(), [(s1.name, slow.link, "1", "taken-back")])
        self.assertTrue(self.said(s1, "set this unit aside"), s1.out)
        self.assertFalse(self.said(s1, "row 1 ok"))
        self.assertEqual([(r["row"], r["result"]) for r in self.report("t1")],
                         [("1", "taken-back")])
        self.assertEqual(self.row("t1", 1), "free||")

    def test_a_name_taken_over_while_its_station_is_cut_off_puts_no_row_on_two_units(self):
        batch_ids = ids(0x55, 3)
        self.assertEqual(self.create("n1", "ID\n" + "\n".join(batch_ids) + "\n")[0], 0)
        relay, through = self.relay()
        slow = self.unit("--delay-ms", "1000", link=self.path("slow"))
        first = self.station("n1", "s1", [slow.link], db=through)
        self.until(lambda: self.writes(slow), "the write")
        relay.stall()
        # The same name again, from another bench, once the first's lease lapsed.
        other = self.unit(link=self.path("other"))
        deadline = time.monotonic() + LEASE_S + 20
        while True:
            second = self.station("n1", "s1", [other.link])
            self.until(lambda: second.ended() or second.said("takes it over"), "the second run")
            if not second.ended():
                break
            self.assertIn("running already", "".join(second.err))
            self.assertLess(time.monotonic(), deadline)
            time.sleep(1)
        self.until(lambda: len(second.results()) == 1, "the second run's first unit")
        other.unplug()
        other.plug()
        self.until(lambda: len(second.results()) == 2, "the second run's second unit")
        relay.resume()
        self.until(first.ended, "the first run to stop")
        self.assertEqual(first.process.returncode, 5, first.err)
        self.assertTrue(self.said(first, "row 1 ok, written but not recorded"), first.out)
        self.assertTrue(self.said(first, "set this unit aside"), first.out)
        # Rows done by the second run only, each on one unit; row 1 stays in doubt.
        self.assertEqual(sorted(r[2] for r in second.results() if r[3] == "ok"), ["2", "3"])
        self.assertEqual(self.row("n1", 1), "claimed|%s|%s" % (first.name, slow.link))
        self.assertEqual(self.interrupt(second), 130)

    def test_a_lock_or_a_stalled_network_is_waited_for_and_ctrl_c_ends_it_at_once(self):
        self.assertEqual(self.create("w1", "ID\n56 01\n")[0], 0)
        locked = self.station("w1", "s1", [self.path("none")])
        self.until(lambda: self.said(locked, "waiting for the port"), "s1 to start")
        locker = subprocess.Popen(
            [os.path.join(PG.bin, "psql"), "-X", "-q", "-h", PG.socket_dir, "-p", str(PG.port),
             "-U", "postgres", "-d", "dtu_line", "-c",
             "BEGIN; LOCK TABLE dtucfg_row IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(60);"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(locker.wait)
        self.addCleanup(locker.kill)
        self.until(lambda: PG.psql("SELECT COUNT(*) FROM pg_locks WHERE mode = "
                                   "'AccessExclusiveLock' AND relation = "
                                   "'dtucfg_row'::regclass").strip() == "1", "the lock")
        self.until(lambda: self.said(locked, "waiting for the database") or locked.ended(),
                   "s1 to wait", timeout=20)
        self.assertTrue(self.said(locked, "lock timeout"), locked.err)
        self.assertEqual(self.interrupt(locked), 130)
        locker.kill()
        PG.psql("SELECT pg_terminate_backend(pid) FROM pg_locks WHERE mode = "
                "'AccessExclusiveLock' AND relation = 'dtucfg_row'::regclass")

        relay, through = self.relay()
        stalled = self.station("w1", "s2", [self.path("none")], db=through)
        self.until(lambda: self.said(stalled, "waiting for the port"), "s2 to start")
        relay.stall()
        self.until(lambda: self.said(stalled, "did not answer within 2 s"), "s2 to wait",
                   timeout=20)
        self.assertEqual(self.interrupt(stalled), 130)


class LoginTest(FaultTest):
    def test_a_password_changed_while_a_station_runs_ends_it_with_4(self):
        self.assertEqual(self.create("p1", "ID\n57 01\n")[0], 0)
        user, password = ROLES["station"]
        PG.psql("ALTER DATABASE dtu_line SET synchronous_commit = off")
        self.addCleanup(PG.psql, "ALTER DATABASE dtu_line RESET synchronous_commit")
        self.addCleanup(PG.psql, "ALTER ROLE %s PASSWORD '%s'" % (user, password.replace("'",
                                                                                           "''")))
        s1 = self.station("p1", "s1", [self.path("none")])
        self.until(lambda: self.said(s1, "waiting for the port"), "s1 to start")
        self.assertTrue(self.said(s1, "a crash of its server can hand out an ID twice"), s1.err)
        PG.psql("ALTER ROLE %s PASSWORD 'another;one'" % user,
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = '%s'"
                % user)
        self.until(s1.ended, "s1 to end")
        self.assertEqual(s1.process.returncode, 4, s1.err)
        self.assertTrue(self.said(s1, "the database refuses this login"), s1.err)
        self.assertTrue(self.said(s1, "password authentication failed"), s1.err)

    def test_a_station_login_may_do_nothing_a_station_never_does(self):
        self.assertEqual(self.create("f1", "ID\n58 01\n")[0], 0)
        forbidden = [
            "INSERT INTO dtucfg_batch (name, profile, sets, columns, unique_keys) VALUES "
            "('x', '', '', '', '')",
            "UPDATE dtucfg_row SET state = 'free' WHERE state = 'done'",
            "UPDATE dtucfg_row SET cells = '59 01'",
            "UPDATE dtucfg_result SET result = 'ok'",
            "DELETE FROM dtucfg_result",
            "UPDATE dtucfg_settle SET action = 'void'",
            "DELETE FROM dtucfg_settle",
            "SELECT dtucfg_settle('f1', 1, 'void', 'free', NULL, NULL)",
            "SELECT token FROM dtucfg_station",
        ]
        for role in ("station", "supervisor"):
            for sql in forbidden[:-2] + forbidden[-1:] if role == "supervisor" else forbidden:
                with self.subTest(role=role, sql=sql):
                    code, out = PG.psql_as(role, sql)
                    self.assertNotEqual(code, 0, out)
                    self.assertIn("permission denied", out)
        self.assertEqual(PG.psql_as("station", "SELECT state FROM dtucfg_row WHERE batch = "
                                               "'f1'")[1].strip(), "free")
        self.assertEqual(PG.psql("SELECT state FROM dtucfg_row WHERE batch = 'f1'").strip(), "free")

    def test_a_reporter_reads_every_view_and_no_table(self):
        self.assertEqual(self.create("r1", "ID\n5A 01\n5A 02\n")[0], 0)
        s1 = self.station("r1", "s1", [self.unit(link=self.path("r1u")).link])
        self.until(lambda: s1.results(), "a unit's result")
        views = PG.psql("SELECT table_name FROM information_schema.views WHERE table_name "
                        "LIKE 'dtucfg%'").split()
        tables = PG.psql("SELECT table_name FROM information_schema.tables WHERE table_name "
                         "LIKE 'dtucfg%' AND table_type = 'BASE TABLE'").split()
        self.assertGreaterEqual(len(views), 7)
        for name in views + tables:
            with self.subTest(name=name):
                code, out = PG.psql_as("reporter", "SELECT COUNT(*) FROM " + name)
                self.assertEqual(code != 0, name in tables, out)
        self.assertEqual(PG.psql_as("reporter", "SELECT dtucfg_claim('r1', 's1', '', 'p', "
                                                "'k')")[0], 1)
        status = [self.dtucfg("batch", "status", "r1", "--json", role=role)
                  for role in ("reporter", "supervisor")]
        self.assertEqual(status[0][0], 0, status[0][2])
        drop = ("read_at", "age_seconds", "silent_seconds")
        same = [re.sub(r'"(%s)": [^,}]*' % "|".join(drop), "", out) for _, out, _ in status]
        self.assertEqual(same[0], same[1])
        self.assertEqual(json.loads(status[0][1])["done"], 1)

    def test_older_tables_are_refused_until_their_owner_upgrades_them(self):
        self.assertEqual(self.create("u1", "ID\n5B 01\n")[0], 0)
        views = PG.psql("SELECT string_agg(table_name, ', ') FROM information_schema.views "
                        "WHERE table_name LIKE 'dtucfg%'").strip()
        PG.psql("DROP VIEW " + views, "DROP INDEX dtucfg_result_row",
                "DROP TABLE dtucfg_row_tally, dtucfg_result_tally",
                "UPDATE dtucfg_schema SET version = 2")
        code, _, err = self.dtucfg("batch", "status", "u1", role="supervisor")
        self.assertEqual(code, 2, err)
        self.assertIn("version 2; this dtucfg needs version 3", err)
        self.assertEqual(self.create("u2", "ID\n5B 02\n")[0], 0)
        self.assertEqual(PG.psql("SELECT version FROM dtucfg_schema").strip(), "3")
        code, out, err = self.dtucfg("batch", "status", "u1", "--json", role="reporter")
        self.assertEqual((code, json.loads(out or "{}").get("free")), (0, 1), err)

    def test_an_argument_the_parser_refuses_keeps_its_password_to_itself(self):
        code, out, err = self.dtucfg("batch", "status", "b", "--db",
                                     "Driver={x};Uid=u;Pwd={se cr", "et9}", role=None)
        self.assertEqual(code, 2, err)
        self.assertIn("not expected", err)
        self.assertNotIn("et9", err + out)
        self.assertNotIn("se cr", err + out)


if __name__ == "__main__":
    unittest.main()
