"""The OPEN/CLOSE button over Wine's serial ports: a pty stands in for the
unit's line, unmapped ports fail to open."""

import os
import pty
import termios
import tty
import unittest

from harness import Session


def make_pty():
    master, slave = pty.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


class OpenClose(unittest.TestCase):
    def setUp(self):
        self.master, self.slave, self.path = make_pty()

    def tearDown(self):
        os.close(self.master)
        os.close(self.slave)

    def press(self, s, control):
        self.assertTrue(s.click(control))
        s.sync()

    def test_open_configure_close_and_reopen(self):
        with Session(ports={"COM3": self.path}) as s:
            s.select("IDC_PC_COM", 2)
            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM Opened")
            self.assertEqual(s.text("IDC_OPEN"), "CLOSE")
            self.assertTrue(s.enabled("IDC_SEARCH"))
            # The line runs at 115200 8N1 whatever the unit's own settings say.
            attrs = termios.tcgetattr(self.slave)
            self.assertEqual(attrs[4], termios.B115200)
            self.assertEqual(attrs[2] & termios.CSIZE, termios.CS8)
            self.assertFalse(attrs[2] & termios.PARENB)
            self.assertFalse(attrs[2] & termios.CSTOPB)

            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM Closed")
            self.assertEqual(s.text("IDC_OPEN"), "OPEN")
            self.assertFalse(s.enabled("IDC_SEARCH"))

            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM Opened")
            s.close()
            self.assertEqual(s.wait_exit(), 0)

    def test_unmapped_port_fails_and_the_next_press_closes_nothing(self):
        with Session(ports={"COM3": self.path}) as s:
            s.select("IDC_PC_COM", 1)  # COM2 leads nowhere
            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM FAIL")
            self.assertEqual(s.text("IDC_OPEN"), "CLOSE")
            self.assertFalse(s.enabled("IDC_SEARCH"))
            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM FAIL")
            self.assertEqual(s.text("IDC_OPEN"), "OPEN")
            s.close()
            self.assertEqual(s.wait_exit(), 0)

    def test_com10_opens_through_the_device_namespace(self):
        with Session(ports={"COM10": self.path}) as s:
            s.select("IDC_PC_COM", 9)
            self.press(s, "IDC_OPEN")
            self.assertEqual(s.text("IDC_STATUS"), "COM Opened")
            self.assertTrue(s.enabled("IDC_SEARCH"))
            s.close()
            self.assertEqual(s.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
