"""The whole production line on real time: four stations of two simulated units
each sharing one batch in a private PostgreSQL, against one file-mode line
with the same eight ports and the same number of rows.

An operator replaces each unit as soon as the line has printed its result,
in one of two ways (--replace):
  adapter  the adapter is pulled out: its pty closes and the link to it goes;
           the next unit is plugged in at once, on a new pty behind the same
           link. The line sees the port go and opens it again.
  cable    the unit goes silent on a pty that stays; the line waits until it
           has been silent 2 s; the next unit is plugged 2.3 s after the
           result, as an operator who waits for the line would.
Each wall time runs from the start of the line's processes to the exit of the
last one; creating the batch (and writing the CSV) is outside it, and so is
starting the units.

    python3 tests/bench/line_db_bench.py [--rows 48] [--replace adapter|cable|both]

DTUCFG and DTU_SIM_UNIT name the programs; by default those of build/native.
"""

import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from harness import SimulatedUnit, _end  # noqa: E402
from scratch_pg import ScratchPostgres  # noqa: E402

DTUCFG = os.environ.get("DTUCFG", os.path.join(ROOT, "build", "native", "dtucfg"))
PROFILE = "[DTU NET]\r\nIP=10.0.0.5\r\nBT=30\r\nNOT=40\r\n"
RESULT = re.compile(r"^(\S+): row (\d+) ([a-z-]+)")
PORTS = 8
STATIONS = 4
CABLE_WAIT = 2.3
TIMEOUT = 600


class Bench:
    def __init__(self, work, rows, replace, pg, first_id):
        self.work = os.path.join(work, replace)
        os.mkdir(self.work)
        self.rows = rows
        self.replace = replace
        self.pg = pg
        self.profile = os.path.join(work, "p.ini")
        with open(self.profile, "w", newline="", encoding="ascii") as f:
            f.write(PROFILE)
        self.first_id = first_id

    def units_csv(self, name):
        """A CSV of fresh IDs: no two batches in the database share one."""
        path = os.path.join(self.work, name + ".csv")
        with open(path, "w", encoding="ascii") as f:
            f.write("ID\n")
            for n in range(self.first_id, self.first_id + self.rows):
                f.write("7B %02X %02X\n" % (n >> 8, n & 0xFF))
        self.first_id += self.rows
        return path

    def start_units(self, name):
        units = []
        for i in range(PORTS):
            link = os.path.join(self.work, "%s-port%d" % (name, i)) \
                if self.replace == "adapter" else None
            units.append(SimulatedUnit(link=link))
        return units

    def run(self, commands, units):
        """Runs the line's processes, replacing each unit once its result is
        out, until every process has ended. Returns the wall time and the
        result lines."""
        by_port = {u.link or u.path: u for u in units}
        lines = queue.Queue()
        processes = []
        start = time.monotonic()
        for command in commands:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True)
            processes.append(process)
            threading.Thread(target=_read, args=(process.stdout, lines), daemon=True).start()
        errors = [[] for _ in processes]
        for process, kept in zip(processes, errors):
            threading.Thread(target=lambda p=process, k=kept: k.extend(p.stderr),
                             daemon=True).start()
        results = []
        plug_at = {}
        try:
            while any(p.poll() is None for p in processes):
                if time.monotonic() - start > TIMEOUT:
                    raise RuntimeError("the line did not end in %d s" % TIMEOUT)
                try:
                    line = lines.get(timeout=0.02)
                except queue.Empty:
                    line = None
                match = RESULT.match(line or "")
                if match and match.group(1) in by_port:
                    results.append(match.groups())
                    unit = by_port[match.group(1)]
                    unit.unplug()
                    if unit.link:
                        unit.plug()
                    else:
                        plug_at[id(unit)] = (unit, time.monotonic() + CABLE_WAIT)
                for key, (unit, when) in list(plug_at.items()):
                    if time.monotonic() >= when:
                        del plug_at[key]
                        unit.plug()
            wall = time.monotonic() - start
        finally:
            for process in processes:
                _end(process)
        while not lines.empty():
            match = RESULT.match(lines.get())
            if match:
                results.append(match.groups())
        for process, kept in zip(processes, errors):
            if process.returncode != 0:
                raise RuntimeError("%s ended with %s: %s" % (
                    " ".join(process.args[:3]), process.returncode, "".join(kept)))
        return wall, results

    def check(self, results, what):
        ok = sorted(int(row) for _, row, result in results if result == "ok")
        if ok != list(range(1, self.rows + 1)):
            raise RuntimeError("%s: rows written ok are %s, not 1..%d once each"
                               % (what, ok, self.rows))
        return len(results) - len(ok)

    def file_line(self):
        units = self.start_units("file")
        try:
            command = [DTUCFG, "line", self.profile, "--units", self.units_csv("file"),
                       "--report", os.path.join(self.work, "file-report.csv")]
            for unit in units:
                command += ["--port", unit.link or unit.path]
            wall, results = self.run([command], units)
        finally:
            for unit in units:
                unit.stop()
        return wall, self.check(results, "file line")

    def db_line(self, batch):
        created = time.monotonic()
        subprocess.run([DTUCFG, "batch", "create", batch, self.profile, "--units",
                        self.units_csv(batch), "--db", self.pg.connection_string("owner")],
                       check=True, stdout=subprocess.DEVNULL)
        created = time.monotonic() - created
        units = self.start_units(batch)
        per_station = PORTS // STATIONS
        try:
            commands = []
            for s in range(STATIONS):
                command = [DTUCFG, "line", "--batch", batch, "--station", "%s-st%d" % (batch, s),
                           "--db", self.pg.connection_string("station")]
                for unit in units[s * per_station:(s + 1) * per_station]:
                    command += ["--port", unit.link or unit.path]
                commands.append(command)
            wall, results = self.run(commands, units)
        finally:
            for unit in units:
                unit.stop()
        status = json.loads(subprocess.run(
            [DTUCFG, "batch", "status", batch, "--json", "--db",
             self.pg.connection_string("supervisor")],
            check=True, stdout=subprocess.PIPE, text=True).stdout)
        if (status["done"], status["free"], status["in_doubt"]) != (self.rows, 0, 0):
            raise RuntimeError("batch %s ended as %s" % (batch, status))
        return wall, self.check(results, "stations"), created


def _read(stream, lines):
    for line in stream:
        lines.put(line.rstrip("\n"))


def load():
    with open("/proc/loadavg", encoding="ascii") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=48)
    parser.add_argument("--replace", choices=("adapter", "cable", "both"), default="both")
    args = parser.parse_args()
    # Stopped from outside, it still ends its units, lines and server.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = tempfile.mkdtemp(prefix="dtu-linebench-")
    try:
        with ScratchPostgres(os.path.join(work, "pg")) as pg:
            pg.watch(os.getpid())  # and the server goes even if this is killed
            ways = ("adapter", "cable") if args.replace == "both" else (args.replace,)
            for n, replace in enumerate(ways):
                bench = Bench(work, args.rows, replace, pg, 1 + 2 * n * args.rows)
                print("load average before: %s" % load())
                file_wall, file_failed = bench.file_line()
                db_wall, db_failed, created = bench.db_line("bench_" + replace)
                print("%s replaced, %d rows, %d ports:" % (replace, args.rows, PORTS))
                print("  file line, 1 process of %d ports: %.2f s (%d failed attempts)"
                      % (PORTS, file_wall, file_failed))
                print("  database, %d stations of %d ports: %.2f s (%d failed attempts; "
                      "batch create %.2f s, not counted)"
                      % (STATIONS, PORTS // STATIONS, db_wall, db_failed, created))
                print("  ratio: %.2f (target at most 1.5)" % (db_wall / file_wall))
                print("load average after: %s" % load())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
