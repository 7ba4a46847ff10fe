"""dtucfg.exe under Wine on a COM port mapped to the simulated unit: the port
is listed, read and write go through it, a profile goes on the wire exactly
as the form's Set sends it after loading the same file, and a unit read as a
profile is the file the form saves after reading it; several ports at once,
and the production line's report; what came with the found frame is no
command's answer; a simulated unit's record file named as Windows names files;
a station of a line shared through a database, reaching it through Wine's
odbc32."""

import csv
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import (ROOT, Session, SimulatedUnit, kill_wineserver, private_prefix, win_dir, wine,
                     wine_env)
from test_cli_commands import DTUCFG

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from scratch_pg import ROLES, ScratchPostgres  # noqa: E402

WRITE_PREFIX = bytes([0x7B, 0x91, 0x00])
PROFILE = ("[DTU NET]\r\nprotocol=UDP\r\nIP=wine.example.com\r\nPORT=7001\r\nBT=90\r\n"
           "ID=7B 92 0a 41\r\nACODE=ff\r\nSnum=13800000000\r\nMTIME=200\r\nMSTIME=5\r\n"
           "Mode=2\r\nDMode=0\r\nRMode=2\r\nAPN=internet\r\nIDC_SMS_Alarm1=door open\r\n"
           "[DTU COM]\r\nbaud=9600\r\nData=7\r\nStop=2\r\nParity=2\r\n"
           "[DTU IO]\r\nI3=1\r\nI4=2\r\nO1=1\r\n")


def dtucfg_exe(prefix, cwd, *args):
    """Runs the build's dtucfg.exe; returns (exit code, stdout bytes, stderr text)."""
    try:
        p = subprocess.run([wine(), os.path.join(win_dir(), "dtucfg.exe"), *args], cwd=cwd,
                           env=wine_env(prefix), stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=120, check=False)
    except subprocess.TimeoutExpired as e:
        # What it said before it hung is what tells why.
        raise AssertionError("dtucfg.exe %s did not end: %r %r" % (args, e.stdout, e.stderr))
    return p.returncode, p.stdout, p.stderr.decode("utf-8", "replace")


class CliUnderWineTest(unittest.TestCase):
    def test_ports_read_write_and_the_forms_set(self):
        unit = SimulatedUnit()
        self.addCleanup(unit.stop)
        other = SimulatedUnit()
        self.addCleanup(other.stop)
        with Session(ports={"COM3": unit.path, "COM4": other.path}, ini=PROFILE) as s:
            def dtucfg(*args):
                return dtucfg_exe(s.prefix, s.workdir, *args)

            code, out, err = dtucfg("ports")
            self.assertEqual(code, 0, err)
            self.assertIn(b"COM3\t", out)

            code, out, err = dtucfg("read", "--port", "com3")
            self.assertEqual(code, 0, err)
            self.assertIn(b"\r\nIP=factory.example.com\r\n", out)

            code, out, err = dtucfg("write", "--port", "COM3", "DTU.ini", "--set", "Parity=0")
            self.assertEqual(code, 2)
            self.assertIn("数据位为7位,必须开启奇偶校验位!", err)

            code, out, err = dtucfg("write", "--port", "COM3", "DTU.ini")
            self.assertEqual((code, out), (0, b"written and verified\n"), err)
            from_cli = unit.received().split(WRITE_PREFIX)[-1][:601]
            code, ini_from_cli, err = dtucfg("read", "--port", "COM3")
            self.assertEqual(code, 0, err)

            # The form loaded the same file at start; its Set must send the same.
            s.select("IDC_PC_COM", 2)
            s.click("IDC_OPEN")
            s.sync()
            s.click("IDC_SEARCH")
            self.assertEqual(s.wait_box(15)[0]["text"], "Find DTU")
            s.press_ok(s.wait_box(1)[0])
            s.sync()
            s.click("IDC_SET")
            box = s.wait_box(15)[0]
            self.assertEqual(box["text"], "SUCESS")
            s.press_ok(box)
            self.assertEqual(unit.received().count(WRITE_PREFIX), 2)
            from_form = unit.received().split(WRITE_PREFIX)[-1][:601]
            self.assertEqual(len(from_cli), 601)
            self.assertEqual(from_cli, from_form)
            self.assertEqual(from_cli[-1], 0x7C)

            # Read into the form and saved as a first close saves it: the same
            # bytes as dtucfg's profile of that unit.
            s.click("IDC_READ")
            box = s.wait_box(15)[0]
            self.assertEqual(box["text"], "Read successfully!")
            s.press_ok(box)
            s.sync()
            os.remove(s.ini_path)
            s.close()
            self.assertEqual(s.wait_exit(), 0)
            with open(s.ini_path, "rb") as f:
                self.assertEqual(f.read(), ini_from_cli)

            # Two ports at once, then the production line and its report.
            with open(os.path.join(s.workdir, "units.csv"), "w", encoding="ascii") as f:
                f.write("ID\n7B 01\n7B 02\n")
            code, out, err = dtucfg("write", "DTU.ini", "--units", "units.csv",
                                    "--port", "COM3", "--port", "COM4")
            self.assertEqual(out, b"COM3: written and verified (row 1)\n"
                                  b"COM4: written and verified (row 2)\n", err)
            # Rows of their own: units that already hold a row of the line's
            # CSV would be refused, whichever port claimed first.
            with open(os.path.join(s.workdir, "line.csv"), "w", encoding="ascii") as f:
                f.write("ID\n7B 03\n7B 04\n")
            code, out, err = dtucfg("line", "DTU.ini", "--units", "line.csv",
                                    "--report", "r.csv", "--port", "COM3", "--port", "COM4")
            self.assertEqual(code, 0, err)
            self.assertIn(b"units done: 2; failures: none; rows left: 0", out)
            with open(os.path.join(s.workdir, "r.csv"), newline="", encoding="ascii") as f:
                report = {r["port"]: r for r in csv.DictReader(f)}
            for port, sim in (("COM3", unit), ("COM4", other)):
                self.assertEqual(report[port]["result"], "ok")
                self.assertEqual(report[port]["record_sha256"],
                                 hashlib.sha256(sim.record()).hexdigest())
                self.assertRegex(report[port]["time"], r"T\d\d:\d\d:\d\d[+-]\d\d:\d\d$")

    def test_what_came_with_the_found_frame(self):
        units = {"COM3": SimulatedUnit("--search-only", "--after-found", "7B 92 00 00 7C"),
                 "COM4": SimulatedUnit("--after-found", "31 32 33 34 35 7B"),
                 "COM5": SimulatedUnit("--found", "7B 90")}
        for unit in units.values():
            self.addCleanup(unit.stop)
        root = tempfile.mkdtemp(prefix="dtu-e2e-")
        self.addCleanup(shutil.rmtree, root, True)
        prefix = os.path.join(root, "prefix")
        self.addCleanup(kill_wineserver, prefix)
        private_prefix(prefix, {port: unit.path for port, unit in units.items()})

        def dtucfg(*args):
            return dtucfg_exe(prefix, root, *args)

        # A stale acknowledgement is not the restart's; stray bytes in before
        # the request do not fail the read; the marker alone finds the unit.
        code, out, err = dtucfg("restart", "--port", "COM3", "--timeout", "1")
        self.assertEqual((code, out), (5, b""), err)
        self.assertIn("no acknowledgement", err)
        code, out, err = dtucfg("read", "--port", "COM4", "--format", "raw")
        self.assertEqual((code, out), (0, units["COM4"].record()), err)
        code, out, err = dtucfg("search", "--port", "COM5", "--timeout", "1")
        self.assertEqual((code, out), (0, b"Find DTU\n"), err)


class RecordFileUnderWineTest(unittest.TestCase):
    def test_a_file_named_without_a_drive_is_kept_before_success_is_told(self):
        root = tempfile.mkdtemp(prefix="dtu-e2e-")
        self.addCleanup(shutil.rmtree, root, True)
        prefix = os.path.join(root, "prefix")
        self.addCleanup(kill_wineserver, prefix)
        private_prefix(prefix)
        with open(os.path.join(root, "p.ini"), "w", encoding="ascii") as f:
            f.write("[DTU NET]\r\nIP=10.0.0.5\r\n")
        # As Windows resolves them: against the current folder, and a Unix
        # path against the current drive, which Wine maps to /.
        for n, name in enumerate(("bare.bin", "./dot.bin", os.path.join(root, "unix.bin"))):
            with self.subTest(name):
                ip = "10.0.0.%d" % (n + 1)
                for _ in range(2):  # made at the first write, replaced at the second
                    self.assertEqual(dtucfg_exe(prefix, root, "write", "--port", "sim:" + name,
                                                "p.ini", "--set", "IP=" + ip)[:2],
                                     (0, b"written and verified\n"))
                with open(os.path.join(root, name), "rb") as f:
                    self.assertIn(ip.encode() + b"\0", f.read())
        # An --out file is replaced the same way.
        code, _, err = dtucfg_exe(prefix, root, "read", "--port", "sim:bare.bin", "--out", "p.ini")
        self.assertEqual(code, 0, err)
        with open(os.path.join(root, "p.ini"), "rb") as f:
            self.assertIn(b"\r\nIP=10.0.0.1\r\n", f.read())


class BatchUnderWineTest(unittest.TestCase):
    def test_a_station_reaches_the_database_through_odbc32(self):
        pg = ScratchPostgres().start()
        self.addCleanup(pg.stop)
        unit = SimulatedUnit()
        self.addCleanup(unit.stop)
        root = tempfile.mkdtemp(prefix="dtu-e2e-")
        self.addCleanup(shutil.rmtree, root, True)
        prefix = os.path.join(root, "prefix")
        self.addCleanup(kill_wineserver, prefix)
        private_prefix(prefix, {"COM3": unit.path})
        for name, text in (("p.ini", "[DTU NET]\r\nIP=10.0.0.5\r\n"), ("u.csv", "ID\n7B 01\n")):
            with open(os.path.join(root, name), "w", encoding="ascii") as f:
                f.write(text)
        created = subprocess.run([DTUCFG, "batch", "create", "w", "p.ini", "--units", "u.csv",
                                  "--db", pg.connection_string("owner")], cwd=root,
                                 capture_output=True, timeout=60, check=False)
        self.assertEqual(created.returncode, 0, created.stderr)

        printed = []

        def dtucfg(*args, role="station"):
            code, out, err = dtucfg_exe(prefix, root, *args, "--db",
                                        pg.connection_string(role))
            printed.extend((out, err.encode()))
            return code, out, err

        # The line ends by itself once the batch's one row is written.
        code, out, err = dtucfg("line", "--batch", "w", "--station", "wine", "--port", "COM3")
        self.assertEqual((code, out.decode().splitlines()), (0, [
            "COM3: row 1 ok: ID=7B 01", "units done: 1; failures: none; rows left in batch w: 0"]),
                         err)
        self.assertEqual(unit.record()[180:182], b"\x7b\x01")
        self.assertEqual(pg.psql("SELECT station, port, result, record_sha256 FROM dtucfg_result"),
                         "wine|COM3|ok|%s\n" % hashlib.sha256(unit.record()).hexdigest())

        code, out, err = dtucfg("batch", "status", "w", "--json", role="supervisor")
        self.assertEqual(code, 0, err)
        status = json.loads(out)
        self.assertEqual((status["free"], status["done"], status["stations"][0]["station"]),
                         (0, 1, "wine"))
        # A returns desk on Windows reads the views with a reporter's login.
        code, out, err = dtucfg("trace", "--port", "COM3", "--json", role="reporter")
        self.assertEqual(code, 0, err)
        trace = json.loads(out)
        self.assertEqual((trace["status"], trace["origin"]["batch"], trace["origin"]["port"]),
                         ("provisioned", "w", "COM3"))
        code, out, err = dtucfg("batch", "serve", "w", role="reporter")
        self.assertEqual((code, out), (2, b""), err)
        self.assertIn("batch serve runs in the Linux build of dtucfg only", err)
        for _, password in ROLES.values():
            self.assertNotIn(password.encode(), b"".join(printed))


if __name__ == "__main__":
    unittest.main()
