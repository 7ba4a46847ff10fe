"""dtucfg trace at a returns desk: a unit written by a line found by its ID,
in a batch of a scratch PostgreSQL or in a single-station line's report, as
provisioned, changed since, or unknown."""

import json
import os
import subprocess
import unittest

from harness import _end
from test_cli_batch import PG, BatchTest, Line
from test_cli_commands import DTUCFG

UNKNOWN = 6  # no batch, or no row of the report, has the unit's ID


def setUpModule():
    PG.start()


def tearDownModule():
    PG.stop()


class TraceTest(BatchTest):
    def trace(self, *args, role=None):
        code, out, err = self.dtucfg("trace", *args, role=role)
        return code, (json.loads(out) if "--json" in args and out else out), err

    def test_a_batch_unit_as_provisioned_then_changed_then_unknown(self):
        # The CSV's ID is in lower case: trace compares the bytes the unit got.
        code, _, err = self.create("t1", "ID,Snum\n71 0a,13800000001\n")
        self.assertEqual(code, 0, err)
        line = Line(self, "t1", {"desk": 1})
        line.finish()
        self.assertEqual(line.runs[0].process.returncode, 0, line.runs[0].err)
        self.write_file("unit.bin", line.written[0])
        port = ["--port", "sim:" + self.path("unit.bin")]

        code, out, err = self.trace(*port, "--json", role="reporter")
        self.assertEqual(code, 0, err)
        self.assertEqual((out["status"], out["identity"], out["settings"]),
                         ("provisioned", [], []))
        origin = out["origin"]
        self.assertEqual({k: origin[k] for k in ("batch", "row", "station", "port", "result")},
                         {"batch": "t1", "row": 1, "station": "desk",
                          "port": line.ports["desk"][0], "result": "ok"})
        self.assertRegex(origin["time"], r"^\d{4}-\d\d-\d\dT")

        # Someone in the field changes the server's address.
        self.assertEqual(self.dtucfg("read", *port, "--out", self.path("u.ini"), role=None)[0], 0)
        code, _, err = self.dtucfg("write", *port, self.path("u.ini"), "--set", "IP=10.9.9.9",
                                   role=None)
        self.assertEqual(code, 0, err)
        code, out, err = self.trace(*port, role="reporter")
        self.assertEqual(code, 1, err)
        self.assertEqual(out.splitlines()[1:], [
            "changed since: 0 identity field(s), 1 setting(s)",
            'setting IP: unit "10.9.9.9", given "10.0.0.5"'])
        # The same from the record saved at the desk.
        self.assertEqual(self.dtucfg("read", *port, "--format", "raw", "--out",
                                     self.path("saved.bin"), role=None)[0], 0)
        code, out, err = self.trace("--record", self.path("saved.bin"), "--json", role="reporter")
        self.assertEqual(code, 1, err)
        self.assertEqual((out["status"], out["identity"], out["settings"]),
                         ("changed", [], [{"field": "IP", "given": "10.0.0.5",
                                           "now": "10.9.9.9"}]))

        code, _, err = self.dtucfg("write", *port, self.path("u.ini"), "--set", "ID=71 99",
                                   role=None)
        self.assertEqual(code, 0, err)
        code, out, err = self.trace(*port, "--json", role="reporter")
        self.assertEqual(code, UNKNOWN, err)
        self.assertEqual((out["status"], out["origin"]), ("unknown", None))

    def test_a_unit_of_a_line_on_one_pc_by_its_report(self):
        unit = self.unit()
        units = self.write_file("units.csv", "ID,APN\n72 0a,apn.one\n")
        line = subprocess.Popen([DTUCFG, "line", self.path("p.ini"), "--units", units,
                                 "--report", self.path("report.csv"), "--port", unit.path],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(_end, line)
        out, err = line.communicate(timeout=30)
        self.printed += [out, err]
        self.assertEqual(line.returncode, 0, err)
        report = ["--report", self.path("report.csv")]

        code, out, err = self.trace("--port", unit.path, *report, "--profile", self.path("p.ini"),
                                    "--json")
        self.assertEqual(code, 0, err)
        self.assertEqual(out["status"], "provisioned")
        self.assertEqual({k: out["origin"][k] for k in ("batch", "report", "row", "port", "result")},
                         {"batch": None, "report": self.path("report.csv"), "row": 1,
                          "port": unit.path, "result": "ok"})

        # Another profile than the line's cannot say what the unit was given.
        code, _, err = self.trace("--port", unit.path, *report, "--profile", self.path("p.ini"),
                                  "--set", "BT=31")
        self.assertEqual(code, 2, err)
        self.assertIn("give the profile and --set values of that line", err)

        spare = self.unit()
        code, _, err = self.trace("--port", spare.path, *report)
        self.assertEqual(code, 2, err)
        self.assertEqual(spare.received(), b"")
        code, out, err = self.trace("--port", spare.path, *report, "--profile", self.path("p.ini"))
        self.assertEqual(code, UNKNOWN, err)
        self.assertTrue(out.startswith("unknown: no row of %s has the ID" % report[1]), out)


if __name__ == "__main__":
    unittest.main()
