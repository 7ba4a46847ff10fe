"""dtucfg natively against the simulated unit on a pty: every command, its
exit codes, refused input that sends nothing, and units that misbehave."""

import json
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

from harness import ROOT, SimulatedUnit, _end

DTUCFG = os.environ.get("DTUCFG", os.path.join(ROOT, "build", "native", "dtucfg"))
FACTORY_IP = "factory.example.com"
WRITE_PREFIX = bytes([0x7B, 0x91, 0x00])
DATA_BITS_CHINESE = "数据位为7位,必须开启奇偶校验位!"
PACKET_LENGTH_CHINESE = "最大包长位数错误"


def dtucfg(*args, timeout=60):
    """Runs dtucfg; returns (exit code, stdout bytes, stderr text)."""
    p = subprocess.run([DTUCFG, *args], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=timeout, check=False)
    return p.returncode, p.stdout, p.stderr.decode("utf-8")


def text_at(record, offset, size=30):
    return record[offset:offset + size].split(b"\0")[0].decode("latin-1")


def ini_value(text, key):
    return re.search(rb"\r\n" + key.encode() + rb"=([^\r\n]*)\r\n", text).group(1).decode()


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dtucfg-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def unit(self, *options, link=None):
        unit = SimulatedUnit(*options, link=link)
        self.addCleanup(unit.stop)
        return unit

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))
        return self.path(name)

    def read_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def expect(self, result, code, stdout=None, stderr=None):
        self.assertEqual(result[0], code, result)
        if stdout is not None:
            self.assertEqual(result[1], stdout, result)
        if stderr is not None:
            self.assertIn(stderr, result[2])


class CommandsTest(CliTest):
    def test_every_command_and_the_round_trip(self):
        unit = self.unit()
        port = ["--port", unit.path]
        self.expect(dtucfg("search", *port), 0, b"Find DTU\n")

        self.expect(dtucfg("read", *port, "--out", self.path("a.ini")), 0, b"Read successfully!\n")
        first = self.read_file("a.ini")
        self.assertTrue(first.startswith(b"[DTU NET]\r\nprotocol=TCP\r\nIP=" + FACTORY_IP.encode()))
        self.assertEqual(os.listdir(self.dir), ["a.ini"])

        # Edit one key, override another, write with verification.
        edited = first.replace(FACTORY_IP.encode(), b"10.0.0.5")
        self.write_file("b.ini", edited)
        self.expect(dtucfg("write", *port, self.path("b.ini"), "--set", 'id=7b 92 0A',
                           "--set", "I3=2"), 0, b"written and verified\n")
        record = unit.record()
        self.assertEqual(text_at(record, 30), "10.0.0.5")
        self.assertEqual(record[180:183] + record[209:210], bytes([0x7B, 0x92, 0x0A, 3]))
        self.assertEqual(record[370], 0)  # "Low Alarm" is code 0
        written = unit.received().split(WRITE_PREFIX)[1][:601]
        self.assertEqual(written, record + b"\x7c")

        # read, write, read: the same file again.
        self.expect(dtucfg("read", *port, "--out", self.path("c.ini")), 0)
        self.expect(dtucfg("write", *port, self.path("c.ini")), 0, b"written and verified\n")
        self.expect(dtucfg("read", *port, "--out", self.path("d.ini")), 0)
        self.assertEqual(self.read_file("c.ini"), self.read_file("d.ini"))
        self.assertEqual(ini_value(self.read_file("c.ini"), "ID"), "7B 92 0A")

        code, out, _ = dtucfg("read", *port, "--format", "json")
        self.assertEqual(code, 0)
        data = json.loads(out)
        self.assertEqual(list(data), ["port", "settings", "record"])
        self.assertEqual(data["port"], unit.path)
        self.assertEqual(list(data["settings"]), ["DTU NET", "DTU COM", "DTU IO"])
        self.assertEqual(data["settings"]["DTU NET"]["IP"], "10.0.0.5")
        self.assertEqual(data["settings"]["DTU IO"], {"I3": "2", "I4": "0", "O1": "0", "O2": "0"})
        self.assertEqual(data["record"], unit.record().hex())

        self.expect(dtucfg("diff", *port, self.path("c.ini")), 0, b"same\n")
        self.expect(dtucfg("diff", *port, self.path("c.ini"), "--set", "BT=90", "--set",
                           "baud=9600"), 1, b'BT: unit "60", profile "90"\n'
                    b'baud: unit "115200", profile "9600"\n')
        code, out, _ = dtucfg("diff", *port, self.path("a.ini"), "--json")
        self.assertEqual(code, 1)
        self.assertEqual(json.loads(out), {"same": False, "differences": [
            {"key": "IP", "unit": "10.0.0.5", "profile": FACTORY_IP},
            {"key": "ID", "unit": "7B 92 0A ", "profile": "20 "},
            {"key": "I3", "unit": "2", "profile": "0"}]})

        # A record file backs the unit up and restores it unchanged.
        self.expect(dtucfg("read", *port, "--format", "raw", "--out", self.path("u.bin")), 0)
        self.assertEqual(self.read_file("u.bin"), unit.record())
        self.expect(dtucfg("restart", *port), 0, b"Reboot successfully!\n")
        self.expect(dtucfg("factory-reset", *port, "--yes"), 0, b"SUCESS\n")
        self.assertEqual(text_at(unit.record(), 30), FACTORY_IP)
        self.expect(dtucfg("write", *port, "--raw", self.path("u.bin")), 0,
                    b"written and verified\n")
        self.assertEqual(unit.record(), self.read_file("u.bin"))

    def test_refused_input_sends_nothing(self):
        unit = self.unit()
        port = ["--port", unit.path]
        profile = self.write_file("p.ini", "[DTU NET]\r\nIP=1.2.3.4\r\n")
        cases = [
            (["write", profile, "--set", "NOPE=1"], "unknown key \"NOPE\"; the keys are: protocol IP"),
            (["write", profile, "--set", "baud=300"], "baud takes 1200, 2400, 4800"),
            (["diff", profile, "--set", "protocol=udp"], "protocol takes TCP, UDP"),
            (["write", profile, "--set", "Data=7"], DATA_BITS_CHINESE),
            (["write", profile, "--set", "LEN=10240"], PACKET_LENGTH_CHINESE),
            (["write", self.write_file("g.ini", b"[DTU NET]\x00\x01\x02")], "holds NUL bytes"),
            (["write", self.write_file("n.txt", "just text\n")], "has no [DTU NET]"),
            (["write", self.path("missing.ini")], "cannot read it"),
            (["write", "--raw", self.write_file("s.bin", bytes(599))], "exactly 600 bytes"),
            (["write", "--raw", self.write_file("r.bin", bytes(600)), "--set", "IP=x"],
             "--set works on profiles"),
            (["read", "--out", os.path.join(self.dir, "no", "x.ini")], "cannot write it"),
            (["read", "--format", "xml"], "xml"),
            (["search", "--log", os.path.join(self.dir, "no", "x.log")], "cannot write the log"),
            (["factory-reset"], "needs --yes"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.expect(dtucfg(args[0], *port, *args[1:]), 2, stderr=message)
        self.assertEqual(unit.received(), b"")
        # The data-bits refusal in English too, and nothing left of the --out attempt.
        self.assertIn("7 data bits", dtucfg("write", *port, profile, "--set", "Data=7")[2])
        self.assertEqual(sorted(os.listdir(self.dir)), ["g.ini", "n.txt", "p.ini", "r.bin",
                                                        "s.bin"])

    def test_profiles_as_the_form_takes_them(self):
        unit = self.unit()
        port = ["--port", unit.path]
        # Empty: every default. Unknown keys only warn.
        self.expect(dtucfg("write", *port, self.write_file("e.ini", "")), 0)
        self.assertEqual(text_at(unit.record(), 30), "dtu.example.com")
        strange = self.write_file("w.ini", "[DTU NET]\r\nFUTURE=1\r\nbaud=9600\r\n[Other]\r\nx=1\r\n")
        code, _, err = dtucfg("write", *port, strange)
        self.assertEqual(code, 0, err)
        self.assertIn("unknown key FUTURE in [DTU NET] is ignored", err)
        self.assertIn("baud in [DTU NET] is ignored; it belongs in [DTU COM]", err)
        self.assertNotIn("Other", err)

        # A unit text holding a line break stays on its line in the profile.
        record = bytearray(unit.record())
        record[390:420] = b"cm\r\nIP=evil".ljust(30, b"\0")
        broken = self.unit("--record", self.write_file("cr.bin", bytes(record)))
        code, out, _ = dtucfg("read", "--port", broken.path)
        self.assertEqual(code, 0)
        self.assertIn(b"\r\nAPN=cm  IP=evil\r\n", out)
        self.assertEqual(out.count(b"\r\nIP="), 1)

    def test_show_works_offline(self):
        profile = self.write_file("p.ini", "[DTU NET]\r\nBT=400\r\nMTIME=200\r\nID=7B XY\r\n")
        code, out, err = dtucfg("show", profile, "--set", "LEN=100")
        self.assertEqual(code, 0, err)
        table = out.decode("latin-1")
        self.assertRegex(table, r"Heartbeat Time\(0-300s\) +400 +! \"400\" is outside 0-300")
        self.assertRegex(table, r"Reconnect Times\(0-127\) +72 +! given as \"200\", written as \"72\"")
        self.assertRegex(table, r"Length of Packet\(256-1024Byte\) +100 +! \"100\" is outside")
        self.assertRegex(table, r"Registration Package +7B +! given as \"7B XY\"")
        self.assertEqual(len(table.splitlines()), 31)

        # A record file shows as it is; its ini is what read would give.
        sim = self.path("unit.bin")
        self.expect(dtucfg("read", "--port", "sim:" + sim, "--out", self.path("r.ini")), 0)
        self.expect(dtucfg("show", sim, "--format", "ini"), 0, self.read_file("r.ini"))
        self.assertIn(b"Master Server IP                    " + FACTORY_IP.encode(),
                      dtucfg("show", sim)[1])

    def test_out_replaces_only_files(self):
        private = self.write_file("private.ini", "old")
        os.chmod(private, 0o600)
        os.symlink(private, self.path("link.ini"))
        self.expect(dtucfg("read", "--port", "sim", "--out", self.path("link.ini")), 0)
        self.assertTrue(os.path.islink(self.path("link.ini")))
        self.assertEqual(os.stat(private).st_mode & 0o777, 0o600)
        self.assertTrue(self.read_file("private.ini").startswith(b"[DTU NET]"))
        # A pipe (or a device) is written into, never replaced.
        fifo = self.path("pipe")
        os.mkfifo(fifo)
        reader = subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE)
        self.addCleanup(_end, reader)
        self.expect(dtucfg("read", "--port", "sim", "--out", fifo), 0)
        self.assertTrue(reader.communicate(timeout=10)[0].startswith(b"[DTU NET]"))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))

    def test_simulated_unit_in_the_program(self):
        sim = "sim:" + self.path("unit.bin")
        profile = self.write_file("p.ini", "[DTU NET]\r\nIP=kept.example.com\r\n")
        self.expect(dtucfg("write", "--port", sim, profile), 0, b"written and verified\n")
        self.assertEqual(len(self.read_file("unit.bin")), 600)
        self.expect(dtucfg("diff", "--port", sim, profile), 0, b"same\n")
        self.expect(dtucfg("factory-reset", "--port", sim, "--yes"), 0, b"SUCESS\n")
        self.expect(dtucfg("diff", "--port", "sim", profile), 1)

        # A record that cannot be kept is no success, and says so only once.
        def no_file_may_grow():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))

        p = subprocess.run([DTUCFG, "write", "--port", sim, profile], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, check=False,
                           preexec_fn=no_file_may_grow)
        self.assertEqual((p.returncode, p.stdout), (4, b""), p.stderr)
        self.assertEqual(p.stderr.count(b"cannot keep the simulated unit's record"), 1, p.stderr)


class PortAndUnitTroubleTest(CliTest):
    def test_ports_that_cannot_be_used(self):
        self.expect(dtucfg("search", "--port", self.path("nothing")), 4, stderr="no such port")
        self.expect(dtucfg("search", "--port", "/dev/null"), 4, stderr="not a serial device")
        code, out, _ = dtucfg("ports", "--json")
        self.assertEqual(code, 0)
        if not any(p["vid"] for p in json.loads(out)):
            self.expect(dtucfg("search"), 2, stderr="no USB serial adapter")

        # A search held open on a silent unit: the port is busy under every
        # name until Ctrl-C releases it.
        unit = self.unit("--silent")
        os.symlink(unit.path, self.path("link"))
        holder = subprocess.Popen([DTUCFG, "search", "--port", unit.path, "--timeout", "60"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        self.addCleanup(_end, holder)
        deadline = time.monotonic() + 10
        while b"DEDEDE" not in unit.received() and time.monotonic() < deadline:
            time.sleep(0.05)
        for name in (unit.path, self.path("link")):
            self.expect(dtucfg("search", "--port", name, "--timeout", "0.2"), 4,
                        stderr="port busy")
        holder.send_signal(signal.SIGINT)
        self.assertEqual(holder.wait(timeout=10), 130)
        self.assertIn(b"interrupted", holder.stderr.read())
        self.expect(dtucfg("search", "--port", self.path("link"), "--timeout", "0.2"), 3,
                    stderr="no unit answered")

    def test_units_that_misbehave(self):
        short = ["--timeout", "0.5"]
        self.expect(dtucfg("read", "--port", self.unit("--silent").path, *short), 3)
        self.expect(dtucfg("read", "--port", self.unit("--short-read").path, *short), 5,
                    stderr="608 of 609 bytes")
        deaf = self.unit("--search-only").path
        self.expect(dtucfg("read", "--port", deaf, *short), 5, stderr="0 of 609 bytes")
        self.expect(dtucfg("restart", "--port", deaf, *short), 5, stderr="no acknowledgement")
        profile = self.write_file("p.ini", "")
        self.expect(dtucfg("write", "--port", self.unit("--unplug-on-write").path, profile), 5,
                    stderr="went away")

        # A slow unit paced like a real line answers several probes; the extra
        # found frames are dropped, and neither a read nor a verification is shifted.
        slow = self.unit("--paced", "--delay-ms", "60")
        code, out, err = dtucfg("read", "--port", slow.path, "--format", "raw")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, slow.record())
        self.assertGreater(b"".join(slow.replies()).count(bytes([0x7B, 0x90, 0, 0, 0x7C])), 1)
        self.expect(dtucfg("write", "--port", slow.path, profile), 0, b"written and verified\n")

    def test_what_came_with_the_found_frame(self):
        # An acknowledgement in before the command is not its answer.
        short = ["--timeout", "1"]
        profile = self.write_file("p.ini", "")
        for command in (["restart"], ["factory-reset", "--yes"],
                        ["write", profile, "--no-verify"]):
            stale = self.unit("--search-only", "--after-found", "7B 92 00 00 7C")
            with self.subTest(command=command[0]):
                self.expect(dtucfg(*command, "--port", stale.path, *short), 5, b"",
                            "no acknowledgement")
        # Nor are stray bytes in before the read request.
        stray = self.unit("--after-found", "31 32 33 34 35 7B")
        self.expect(dtucfg("read", "--port", stray.path, "--format", "raw"), 0, stray.record())
        # The marker finds the unit, alone or behind another byte.
        for found in ("7B 90", "41 7B 90 00 00 7C"):
            unit = self.unit("--found", found)
            with self.subTest(found=found):
                self.expect(dtucfg("search", "--port", unit.path, *short), 0, b"Find DTU\n")
                self.expect(dtucfg("read", "--port", unit.path, "--format", "raw"), 0,
                            unit.record())

    def test_log_holds_every_chunk(self):
        unit = self.unit()
        log = self.path("wire.log")
        self.expect(dtucfg("search", "--port", unit.path, "--log", log), 0)
        self.expect(dtucfg("restart", "--port", unit.path, "--log", log, "-q"), 0)
        with open(log, encoding="ascii") as f:
            lines = f.read().splitlines()
        for line in lines:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (TX|RX)( [0-9A-F]{2})+$")
        self.assertTrue(lines[0].endswith(" TX 44 45 44 45 44 45"))
        self.assertIn(" TX 7B 95 00 00 7C", "\n".join(lines))
        self.assertTrue(lines[-1].endswith(" RX 7B 92 00 00 7C"))


class ReplugTest(CliTest):
    """Units come and go on one port, as on a production line."""

    short = ["--timeout", "0.5"]

    def test_adapter_that_travels_with_the_unit(self):
        link = self.path("by-id")
        unit = self.unit(link=link)
        other = self.unit(link=self.path("by-path"))
        self.assertEqual(os.readlink(link), unit.path)
        self.expect(dtucfg("search", "--port", link, *self.short), 0, b"Find DTU\n")
        profile = self.write_file("p.ini", "[DTU NET]\r\nIP=10.0.0.5\r\n")
        self.expect(dtucfg("write", "--port", link, profile), 0)
        self.assertEqual(text_at(unit.record(), 30), "10.0.0.5")

        # A search holding the port open sees it vanish.
        unit.toggle_silence()
        probes = unit.received().count(b"DEDEDE")
        holder = subprocess.Popen([DTUCFG, "search", "--port", link, "--timeout", "30"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
        self.addCleanup(_end, holder)
        deadline = time.monotonic() + 10
        while unit.received().count(b"DEDEDE") == probes and time.monotonic() < deadline:
            time.sleep(0.05)
        unit.unplug()
        self.assertEqual(holder.wait(timeout=10), 4)
        self.assertIn(b"went away during the search", holder.stderr.read())
        self.assertFalse(os.path.lexists(link))
        self.expect(dtucfg("search", "--port", link, *self.short), 4, stderr="no such port")
        self.expect(dtucfg("search", "--port", other.path, *self.short), 0)

        # A new unit, new pty, same name; factory record, and not silent.
        self.assertEqual(unit.plug(), os.readlink(link))
        self.assertEqual(text_at(unit.record(), 30), FACTORY_IP)
        self.expect(dtucfg("read", "--port", link, "--format", "raw", *self.short), 0,
                    unit.record())
        with open(unit.log, encoding="ascii") as f:
            marks = [line.split()[1:] for line in f if line.split()[1] not in ("in", "out")]
        self.assertEqual(marks, [["unplug"], ["plug", unit.path]])
        with self.assertRaises(RuntimeError):
            unit.plug()

    def test_cable_that_stays_on_the_bench(self):
        unit = self.unit()
        port = ["--port", unit.path, *self.short]
        self.expect(dtucfg("search", *port), 0)
        unit.unplug()
        heard = unit.received()
        self.expect(dtucfg("search", *port), 3, stderr="no unit answered")
        self.assertEqual(unit.received(), heard)
        with self.assertRaises(RuntimeError):
            unit.unplug()
        self.assertEqual(unit.plug(), port[1])
        # The end of the commands leaves the unit running.
        unit.process.stdin.close()
        self.expect(dtucfg("search", *port), 0, b"Find DTU\n")


if __name__ == "__main__":
    unittest.main()
