"""The README's walkthrough of a batch on several stations, run as it stands:
its SQL and pg_hba.conf lines by the scratch server, and each block marked for
this file against simulated units on by-id/usb-X links, the operator swapping
every unit a line is done with. What is printed is compared line by line,
times and digests masked; the stations' lines, which share out the rows as
they race, as sets with the row masked, and their units' rows in full."""

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

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from scratch_pg import README, ROLES, ScratchPostgres  # noqa: E402

PG = ScratchPostgres()
MARK = "<!-- tests/e2e/test_cli_readme_stations.py runs this block -->"
HBA_MARK = "<!-- tests/e2e/test_cli_readme_stations.py puts these lines in its server's pg_hba.conf"
PROMPT = re.compile(r"^([\w-]*)\$ (.*)$")
MASKS = [(re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00"), "TIME"),
         (re.compile(r"\b[0-9a-f]{64}\b"), "SHA256"),
         # How the two stations share out the rows is the race's.
         (re.compile(r"^station (bench-\d): \d+ done"), r"station \1: N done")]
ROW = [(re.compile(r"row \d+ ok: ID=[^,]*, Snum=\d+"), "row N ok"),
       (re.compile(r"units done: \d+(.*left in batch \S+: )\d+"), r"units done: N\1N")]
# The report's rows in time order, whose station and port are the race's.
REPORT = [(re.compile(r"^TIME,bench-\d,by-id/usb-\w,"), "TIME,STATION,PORT,")]
UNIT_ROW = re.compile(r": (row \d+ ok: .*)$")


def setUpModule():
    """The server admits the README's logins by its pg_hba.conf lines alone,
    loopback standing for the stations' network."""
    PG.start()
    with open(README, encoding="utf-8") as f:
        after = f.read().split(HBA_MARK, 1)[1].split("\n")[2:]
    lines = [line.strip() for line in after[:after.index("")]]
    with open(os.path.join(PG.data_dir, "pg_hba.conf"), "w", encoding="ascii") as f:
        f.write("local all all trust\n")
        f.write("".join(line.replace("10.1.0.0/16", "127.0.0.1/32") + "\n" for line in lines))
    PG.psql("SELECT pg_reload_conf()")


def tearDownModule():
    PG.stop()


def readme_blocks():
    """Each marked block as a list of (prompt, command, lines printed)."""
    with open(README, encoding="utf-8") as f:
        parts = f.read().split(MARK)[1:]
    blocks = []
    for part in parts:
        steps = []
        for line in part.lstrip("\n").split("\n"):
            if not line.startswith("    "):
                if line:
                    break
                continue
            found = PROMPT.match(line[4:])
            if found:
                steps.append((found.group(1), found.group(2), []))
            else:
                steps[-1][2].append(line[4:])
        blocks.append(steps)
    return blocks


def mask(lines, masks=MASKS):
    for pattern, text in masks:
        lines = [pattern.sub(text, line) for line in lines]
    return lines


class Station:
    """A `dtucfg line` started from the README, its output read as it comes."""

    def __init__(self, command, env, cwd):
        self.process = subprocess.Popen(["bash", "-c", "exec " + command], cwd=cwd, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.lines, self.seen = [], 0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in iter(self.process.stdout.readline, b""):
            self.lines.append(line.decode("utf-8", "replace").rstrip("\n"))

    def ended(self):
        if self.process.poll() is None:
            return False
        self.reader.join(timeout=5)
        return True

    def take(self, count):
        """The next count lines it printed (all that are left once it ended)."""
        taken = self.lines[self.seen:self.seen + count] if count else self.lines[self.seen:]
        self.seen += len(taken)
        return taken


class ReadmeStationsTest(CliTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("bin"))
        os.symlink(DTUCFG, self.path("bin/dtucfg"))
        self.env = dict(os.environ, PATH=self.path("bin") + os.pathsep + os.environ["PATH"])
        self.units = {"by-id/usb-" + x: self.unit(link=self.path("by-id/usb-" + x))
                      for x in "ABCD"}
        self.handled = dict.fromkeys(self.units, 0)
        self.stations = {}
        self.code = None
        self.addCleanup(lambda: [_end(s.process) for s in self.stations.values()])

    def run_env(self, prompt):
        role = "supervisor" if prompt == "" else "station"
        return dict(self.env, DTUCFG_DB=PG.connection_string(role))

    def serve(self, done, timeout=90):
        """Swaps each unit a line told of, once the line saw it gone, until done()."""
        out = {}
        deadline = time.monotonic() + timeout
        while not done():
            self.assertLess(time.monotonic(), deadline, [s.lines for s in self.stations.values()])
            lines = [line for s in self.stations.values() for line in s.lines]
            for port, unit in self.units.items():
                told = sum(line.startswith(port + ": row ") for line in lines)
                gone = sum(line.startswith("dtucfg: %s: waiting for the port" % port)
                           for line in lines)
                if port not in out and told > self.handled[port]:
                    self.handled[port] = told
                    unit.unplug()
                    out[port] = (gone, time.monotonic())
                elif port in out and (gone > out[port][0] or time.monotonic() > out[port][1] + 3):
                    unit.plug()
                    del out[port]
            time.sleep(0.05)
        for port in out:
            self.units[port].plug()

    def kill_mid_write(self):
        """bench-2 killed while writing row 1 of lot-0413, its unit taken away."""
        port = "by-id/usb-C"
        self.units[port].unplug()
        unit = self.units[port] = self.unit("--delay-ms", "500", link=self.path(port))
        run = Station("dtucfg line --batch lot-0413 --station bench-2 --port " + port,
                      self.run_env("bench-2"), self.dir)
        self.serve(lambda: WRITE_PREFIX in unit.received() or run.ended())
        run.process.send_signal(signal.SIGKILL)
        run.process.wait()
        unit.unplug()

    def start_station(self, prompt, command):
        """A line, started again while its name's lease is still live."""
        deadline = time.monotonic() + 30
        while True:
            station = Station(command, self.run_env(prompt), self.dir)
            # Unserved meanwhile, so that it has a row on each port before the next starts.
            started = time.monotonic()
            while not station.ended() and time.monotonic() < started + 1.5:
                time.sleep(0.05)
            if not (station.ended() and "is running already" in "".join(station.lines)):
                return station
            self.assertLess(time.monotonic(), deadline, station.lines)
            time.sleep(0.5)

    def settle(self, started):
        """Serves the lines started until each has printed what the README
        shows, or ended if it shows their tally; then compares."""
        self.serve(lambda: all(s.ended() if "units done" in e[-1] else len(s.lines) >= len(e)
                               for s, e in started))
        for station, expected in started:
            ended = station.ended()
            if ended:
                self.code = station.process.returncode
            printed = station.take(0 if ended else len(expected))
            self.assertEqual(set(mask(printed, MASKS + ROW)), set(mask(expected, MASKS + ROW)),
                             printed)
        rows = lambda lines: sorted(m.group(1) for m in map(UNIT_ROW.search, lines) if m)
        self.assertEqual(rows(line for s, _ in started for line in s.lines),
                         rows(line for _, e in started for line in e))
        started.clear()

    def test_the_walkthrough_runs_as_written(self):
        blocks = readme_blocks()
        self.assertGreaterEqual(len(blocks), 7)
        for steps in blocks:
            started = []
            for prompt, command, expected in steps:
                if command.startswith("dtucfg line "):
                    self.stations[prompt] = self.start_station(prompt, command)
                    started.append((self.stations[prompt], expected))
                    continue
                if started:
                    self.settle(started)
                if command == "dtucfg batch status lot-0413":
                    self.kill_mid_write()
                if command == "echo $?":
                    self.assertEqual([str(self.code)], expected, command)
                elif command == "^C":
                    station = self.stations[prompt]
                    station.process.send_signal(signal.SIGINT)
                    self.serve(station.ended)
                    self.code = station.process.returncode
                    self.assertEqual(mask(station.take(0)), expected, command)
                elif re.match(r"\w+='", command):
                    name, value = command.split("=", 1)
                    user = re.search(r"Uid=(\w+)", value).group(1)
                    self.env[name] = PG.connection_string(
                        [role for role, (u, _) in ROLES.items() if u == user][0])
                else:
                    if command.startswith("cat ") and not os.path.exists(self.path(command[4:])):
                        self.write_file(command[4:], "".join(e + "\n" for e in expected))
                    p = subprocess.run(["bash", "-c", command], cwd=self.dir,
                                       env=self.run_env(prompt), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       timeout=60, check=False)
                    self.code = p.returncode
                    printed, expected = mask(p.stdout.decode().splitlines()), mask(expected)
                    if expected and expected[0].startswith("time,station,"):
                        printed, expected = (sorted(mask(printed, REPORT)),
                                             sorted(mask(expected, REPORT)))
                    self.assertEqual(printed, expected, command)
            if started:
                self.settle(started)

if __name__ == "__main__":
    unittest.main()
