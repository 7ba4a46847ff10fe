"""The settings file under the real program: defaults on a first start, the
file a close writes, a pre-seeded file shown, values kept across runs."""

import os
import unittest

from harness import Session

DEFAULT_TEXTS = {
    "IDC_MASTER_IP": "dtu.example.com", "IDC_MASTER_PORT": "6000", "IDC_HEARTBEAT_TIME": "60",
    "IDC_RECONNECT_INTERVAL": "60", "IDC_NO_RESPONSE_TIME": "20", "IDC_REG_PACKAGE": "20",
    "IDC_HEARTBEAT_PACKAGE": "20", "IDC_CENTER_PHONE1": "10000000000",
    "IDC_CENTER_PHONE2": "10000000000", "IDC_STANDBY_IP": "dtu.example.com",
    "IDC_STANDBY_PORT": "9997", "IDC_PACKET_LENGTH": "1024", "IDC_MIN_INTERVAL": "2",
    "IDC_RECONNECT_TIMES": "20", "IDC_APN": "cmnet", "IDC_GPRS_USER": "",
    "IDC_GPRS_PASSWORD": "", "IDC_SMS_Alarm1": "", "IDC_SMS_Alarm2": "",
}
DEFAULT_LISTS = {
    "IDC_PROTOCOL": "TCP", "IDC_BAUD": "115200", "IDC_DATA_BITS": "8", "IDC_STOP_BITS": "1",
    "IDC_PARITY": "None", "IDC_INPUT3": "No Alarm", "IDC_INPUT4": "No Alarm",
    "IDC_OUTPUT1": "Low Level", "IDC_OUTPUT2": "Low Level", "IDC_DEBUG_INFO": "No",
    "IDC_DATA_MODE": "Protocol", "IDC_WORK_MODE": "Always-on", "IDC_PC_COM": "COM1",
}

FIRST_SAVE = """[DTU NET]
protocol=TCP
IP=dtu.example.com
PORT=6000
BT=60
RCT=60
NOT=20
ID=20
ACODE=20
Snum=10000000000
Snum2=10000000000
bIP=dtu.example.com
bPORT=9997
LEN=1024
MSTIME=2
MTIME=20
Mode=0
DMode=1
RMode=0
APN=cmnet
GPRSNAME=
GPRSCODE=
IDC_SMS_Alarm1=
IDC_SMS_Alarm2=
[DTU COM]
baud=115200
Data=8
Stop=1
Parity=0
[DTU IO]
I3=0
I4=0
O1=0
O2=0
"""


def raw_ini(session):
    with open(session.ini_path, "rb") as f:
        return f.read()


class FirstStart(unittest.TestCase):
    def test_defaults_shown_and_first_close_writes_every_key_in_order(self):
        with Session() as s:
            for name, text in {**DEFAULT_TEXTS, **DEFAULT_LISTS}.items():
                with self.subTest(name):
                    self.assertEqual(s.text(name), text)
            self.assertFalse(os.path.exists(s.ini_path))
            s.close()
            self.assertEqual(s.wait_exit(), 0)
            self.assertEqual(raw_ini(s), FIRST_SAVE.replace("\n", "\r\n").encode("ascii"))


class SeededFile(unittest.TestCase):
    def test_seeded_values_are_shown_and_unknown_lines_kept(self):
        seed = ("; notes\n[DTU COM]\nbaud=4800\nStop=2\n[dtu net]\nprotocol=UDP\nIP=10.0.0.1\n"
                "Mode=2\nRMode=1\nDMode=0\nSnum=" + "5" * 40 + "\nkeep=me\n[DTU IO]\nI4=9\n")
        with Session(ini=seed) as s:
            self.assertEqual(s.text("IDC_BAUD"), "4800")
            self.assertEqual(s.text("IDC_STOP_BITS"), "2")
            self.assertEqual(s.text("IDC_PROTOCOL"), "UDP")
            self.assertEqual(s.text("IDC_MASTER_IP"), "10.0.0.1")
            self.assertEqual(s.text("IDC_DEBUG_INFO"), "Detail")
            self.assertEqual(s.text("IDC_WORK_MODE"), "Avaken")
            self.assertEqual(s.text("IDC_DATA_MODE"), "Transparent")
            # Loaded whole although the box lets the user type only 11.
            self.assertEqual(s.text("IDC_CENTER_PHONE1"), "5" * 40)
            # A value that matches no entry blanks the list.
            self.assertEqual(s.selection("IDC_INPUT4"), -1)
            self.assertEqual(s.text("IDC_INPUT4"), "")
            self.assertEqual(s.text("IDC_APN"), "cmnet")
            s.close()
            self.assertEqual(s.wait_exit(), 0)
            lines = s.read_ini().splitlines()
        self.assertEqual(lines[:4], ["; notes", "[DTU COM]", "baud=4800", "Stop=2"])
        self.assertIn("Snum=" + "5" * 12, lines)
        self.assertIn("keep=me", lines)
        self.assertIn("Mode=2", lines)
        # Blanked by the unknown value, saved as the first entry.
        self.assertIn("I4=0", lines)
        self.assertEqual(lines.count("[DTU NET]") + lines.count("[dtu net]"), 1)


class AcrossRuns(unittest.TestCase):
    def test_values_survive_a_close_and_a_start(self):
        texts = {"IDC_MASTER_IP": "master.example.org", "IDC_MASTER_PORT": "5002",
                 "IDC_REG_PACKAGE": "7B 92 0A", "IDC_CENTER_PHONE2": "10000000009",
                 "IDC_GPRS_PASSWORD": "p=ss", "IDC_SMS_Alarm2": "Door open"}
        lists = {"IDC_PROTOCOL": 1, "IDC_BAUD": 0, "IDC_DATA_BITS": 0, "IDC_PARITY": 2,
                 "IDC_INPUT3": 2, "IDC_OUTPUT2": 1, "IDC_DEBUG_INFO": 2, "IDC_WORK_MODE": 2}
        with Session() as s:
            for name, text in texts.items():
                s.set_text(name, text)
            for name, index in lists.items():
                s.select(name, index)
            s.select("IDC_PC_COM", 3)
            # A line break in a text would split its line and let the rest
            # override a real key: it is saved as a blank.
            s.set_text("IDC_APN", "cm\r\nIP=evil")
            s.close()
            self.assertEqual(s.wait_exit(), 0)
            saved = s.read_ini()
        self.assertIn("\nAPN=cm  IP=evil\n", saved)
        with Session(ini=saved) as s:
            self.assertEqual(s.text("IDC_APN"), "cm  IP=evil")
            for name, text in texts.items():
                with self.subTest(name):
                    self.assertEqual(s.text(name), text)
            for name, index in lists.items():
                with self.subTest(name):
                    self.assertEqual(s.selection(name), index)
            self.assertEqual(s.text("IDC_PC_COM"), "COM1")
            s.close()
            self.assertEqual(s.wait_exit(), 0)
            # A second close of unchanged values leaves the file as it was.
            self.assertEqual(s.read_ini(), saved)


if __name__ == "__main__":
    unittest.main()
