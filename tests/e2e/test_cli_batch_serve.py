"""dtucfg batch serve: its page in Debian's chromium (driven by playwright-core
from tests/e2e/web) shows what batch status --json says, follows a line as it
writes units, and tells of a database outage and the recovery; plain HTTP
requests find that it answers only its own address, only GET, and with a
token only, when it listens beyond loopback."""

import http.client
import json
import os
import re
import signal
import subprocess
import threading
import time
import unittest

from harness import ROOT, _end
from test_cli_batch import PG, BatchTest, Line, ids
from test_cli_commands import DTUCFG

WEB = os.path.join(ROOT, "tests", "e2e", "web")
# The role that reads the figures.
READER = "reporter"


def setUpModule():
    PG.start()


def tearDownModule():
    PG.stop()


def still(batch):
    """A batch's JSON without the figures that move with the clock."""
    batch = dict(batch, stations=[{k: v for k, v in s.items() if k != "silent_seconds"}
                                  for s in batch["stations"]])
    del batch["read_at"]
    return batch


class Serve:
    """One `dtucfg batch serve`, started on a port the system picks."""

    def __init__(self, test, *args, listen="127.0.0.1:0"):
        self.test = test
        self.process = subprocess.Popen(
            [DTUCFG, "batch", "serve", *args, "--listen", listen, "--db",
             PG.connection_string(READER)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        test.addCleanup(self.end)
        self.first = self.process.stdout.readline().decode()
        self.err = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        found = re.search(r"at (http://([^/]+)(/\S*))", self.first)
        test.assertTrue(found, (self.first, self.process.poll()))
        self.url, self.host, self.path = found.groups()

    def _read(self):
        for line in iter(self.process.stderr.readline, b""):
            self.err.append(line.decode())

    def said(self, text):
        return sum(line.count(text) for line in list(self.err))

    def request(self, method="GET", path=None, host=None):
        """(status, headers, body) of one plain request."""
        address, port = self.host.rsplit(":", 1)
        connection = http.client.HTTPConnection(address, int(port), timeout=10)
        try:
            connection.putrequest(method, path or self.path, skip_host=True)
            connection.putheader("Host", host or self.host)
            connection.endheaders()
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def end(self):
        _end(self.process)
        self.reader.join(timeout=5)
        self.test.printed += [self.first.encode()] + [line.encode() for line in self.err]


class Browser:
    """tests/e2e/web/page.mjs: Debian's chromium, one command at a time."""

    def __init__(self, test):
        # scripts/deps.sh installs chromium, node and tests/e2e/web's packages.
        self.process = subprocess.Popen(["node", os.path.join(WEB, "page.mjs")], cwd=WEB,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        test.addCleanup(_end, self.process)

    def ask(self, **command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError("the browser ended: " + self.process.stderr.read())
        return json.loads(line)


class ServePageTest(BatchTest):
    def status(self, batch):
        code, out, err = self.dtucfg("batch", "status", batch, "--json", role=READER)
        self.assertEqual(code, 0, err)
        return json.loads(out)

    def shown(self, browser, line, condition, what, timeout=30):
        """The page's figures once condition holds of them."""
        deadline = time.monotonic() + timeout
        while True:
            answer = browser.ask(read=True)
            self.assertEqual(answer.get("problems"), [], answer)
            if condition(answer["page"]):
                return answer["page"]
            self.assertLess(time.monotonic(), deadline, "the page never showed %s: %s"
                            % (what, answer["page"]))
            if line:
                line.step()
            time.sleep(0.2)

    def check_same(self, page, status):
        """The page's numbers are batch status's."""
        shown = page["batches"][0]
        self.assertEqual((shown["batch"], int(shown["done"]), int(shown["rows"])),
                         (status["batch"], status["done"], status["rows"]))
        self.assertEqual(int(shown["per_hour"]), round(status["units_per_hour"]))
        self.assertEqual([(s["station"], int(s["done"]), int(s["failed"])) for s in shown["stations"]],
                         [(s["station"], s["done"], s["failed"]) for s in status["stations"]])
        self.assertEqual([int(r["row"]) for r in shown["in_doubt_rows"]],
                         [r["row"] for r in status["in_doubt_rows"]])

    def test_the_page_follows_the_line_and_the_database(self):
        batch_ids = ids(0x6A, 6)
        self.assertEqual(self.create("wall", "ID\n" + "\n".join(batch_ids) + "\n")[0], 0)
        serve = Serve(self, "wall")
        self.assertIn("Pwd=***", serve.first)
        browser = Browser(self)
        self.assertEqual(browser.ask(open=serve.url)["status"], 200)
        page = self.shown(browser, None, lambda p: p["batches"] and p["status"] == "ok",
                          "the batch")
        self.check_same(page, self.status("wall"))
        self.assertEqual(page["batches"][0]["left"], "no rate yet")

        # Each station writes the unit on its port, and no new one is put on
        # until line.finish().
        line = Line(self, "wall", {"bench-a": 1, "bench-b": 1})
        page = self.shown(browser, None, lambda p: p["batches"][0]["done"] == "2", "2 done")
        self.assertEqual(line.count(), 2)
        # While nothing changes the page is left as it is: two reads of the
        # figures later, nothing was put on it again.
        renders = page["renders"]
        time.sleep(3.5)
        self.assertEqual(browser.ask(read=True)["page"]["renders"], renders)
        # The JSON URL gives what batch status --json prints, but for the
        # figures that move with the clock.
        self.assertEqual(still(json.loads(serve.request(path="/data.json")[2])["batches"][0]),
                         still(self.status("wall")))
        self.check_same(page, self.status("wall"))
        self.assertEqual(sorted(s["last_result"] for s in page["batches"][0]["stations"]),
                         ["ok", "ok"])
        self.assertEqual({s["yield"] for s in page["batches"][0]["stations"]}, {"100.0 %"})
        self.assertEqual({s["silent"] for s in page["batches"][0]["stations"]}, {""})
        self.assertNotEqual(page["batches"][0]["left"], "no rate yet")
        shot = os.environ.get("DTU_SERVE_SHOT") or self.path("serve.png")
        self.assertEqual(browser.ask(shot=shot), {"ok": True})

        PG.crash()
        try:
            page = self.shown(browser, None, lambda p: p["status"] == "waiting", "the outage")
            self.assertEqual(page["state"], "Waiting for the database")
            self.assertIn("last good figures of", page["when"])
            self.assertEqual(page["batches"][0]["done"], "2")
        finally:
            PG.restart()
        self.shown(browser, None, lambda p: p["status"] == "ok", "the database back")
        self.assertEqual(serve.said("waiting for the database"), 1, serve.err)
        self.assertEqual(serve.said("the database answers again"), 1, serve.err)

        line.finish()
        page = self.shown(browser, line, lambda p: p["batches"][0]["done"] == "6", "6 done")
        self.check_same(page, self.status("wall"))

        # What the supervisor must see across the room, as a line can leave
        # it: a row in doubt, a held row with its failure, stations gone silent.
        PG.psql("UPDATE dtucfg_row SET state = 'claimed', claim_key = 'k' WHERE batch = 'wall' "
                "AND row_no = 5",
                "UPDATE dtucfg_row SET state = 'held' WHERE batch = 'wall' AND row_no = 6",
                "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
                "record_sha256) SELECT 'f6', batch, row_no, station, port, 'mismatch', "
                "record_sha256 FROM dtucfg_row WHERE batch = 'wall' AND row_no = 6",
                "UPDATE dtucfg_result SET at = at - INTERVAL '1 minute' WHERE batch = 'wall'")
        page = self.shown(browser, None, lambda p: p["batches"][0]["held_rows"], "a held row")
        status = self.status("wall")
        self.check_same(page, status)
        shown = page["batches"][0]
        self.assertEqual([(int(r["row"]), r["station"], r["port"]) for r in shown["held_rows"]],
                         [(r["row"], r["station"], r["port"]) for r in status["held_rows"]])
        self.assertEqual([r["row"] for r in status["in_doubt_rows"]], [5])
        self.assertEqual([(c["cause"], int(c["units"])) for c in shown["failures"]],
                         [("mismatch", 1)])
        self.assertTrue(all(s["silent"] for s in shown["stations"]), shown["stations"])

        serve.process.send_signal(signal.SIGINT)
        self.assertEqual(serve.process.wait(timeout=5), 130)


class ServeSafetyTest(BatchTest):
    def test_only_its_own_address_only_get_and_the_token_beyond_loopback(self):
        self.assertEqual(self.create("safe", "ID\n6B 01\n")[0], 0)
        serve = Serve(self)
        status, headers, body = serve.request(path="/data.json")
        self.assertEqual(status, 200, body)
        # Every open batch, another test's among them when it left one open.
        self.assertIn("safe", [b["batch"] for b in json.loads(body)["batches"]])
        self.assertEqual(headers["Cache-Control"], "no-store")
        self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
        self.assertEqual(headers["Referrer-Policy"], "no-referrer")
        self.assertIn("default-src 'none'", headers["Content-Security-Policy"])
        self.assertNotIn("Access-Control-Allow-Origin", headers)
        port = serve.host.rsplit(":", 1)[1]
        self.assertEqual(serve.request(path="/", host="localhost:" + port)[0], 200)
        for method, path, host, code in (("GET", "/data.json", "rebound.example:" + port, 421),
                                         ("GET", "/", None, 200),
                                         ("HEAD", "/data.json", None, 200),
                                         ("GET", "/data.json", "127.0.0.1:1", 421),
                                         ("POST", "/data.json", None, 405),
                                         ("DELETE", "/", None, 405),
                                         ("GET", "/etc/passwd", None, 404),
                                         ("GET", "/../", None, 404)):
            with self.subTest(method=method, path=path, host=host):
                status, _, body = serve.request(method, path, host)
                self.assertEqual(status, code, body)
                if code != 200:
                    self.assertNotIn(b"safe", body)

        # Beyond loopback: the token printed at start, and nothing without it.
        wide = Serve(self, listen="127.0.0.2:0")
        token = re.search(r"\?token=([0-9a-f]{32})$", wide.path)
        self.assertTrue(token, wide.first)
        for path in ("/", "/data.json", "/data.json?token=", "/data.json?token=" + "0" * 32,
                     "/data.json?token=" + token.group(1)[:-1]):
            with self.subTest(path=path):
                status, _, body = wide.request(path=path)
                self.assertEqual(status, 403, body)
                self.assertNotIn(b"safe", body)
        status, _, body = wide.request(path="/data.json?token=" + token.group(1))
        self.assertEqual(status, 200, body)
        self.assertIn("safe", [b["batch"] for b in json.loads(body)["batches"]])
        self.assertEqual(wide.request(path=wide.path)[0], 200)

        code, _, err = self.dtucfg("batch", "serve", "--listen", "0.0.0.0:8080",
                                   role=READER)
        self.assertEqual(code, 2, err)
        code, _, err = self.dtucfg("batch", "serve", "nothing-such", "--listen", "127.0.0.1:0",
                                   role=READER)
        self.assertEqual(code, 2, err)
        self.assertIn("there is no batch nothing-such", err)


if __name__ == "__main__":
    unittest.main()
