"""The tool against the simulated unit on a pty mapped to COM3: search, read,
set, restart, factory reset, and a unit that stops answering."""

import unittest

from harness import Session, SimulatedUnit


def text_at(record, offset, size=30):
    return record[offset:offset + size].split(b"\0")[0].decode("latin-1")


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.unit = SimulatedUnit()
        self.addCleanup(self.unit.stop)

    def expect_box(self, s, text, caption="OK", timeout_s=15):
        boxes = s.wait_box(timeout_s)
        self.assertEqual(len(boxes), 1, boxes)
        box = boxes[0]
        self.assertEqual(box["text"], text)
        self.assertEqual(box["caption"], caption)
        self.assertFalse(box["owned"])
        s.press_ok(box)
        return box

    def open_and_find(self, s):
        s.select("IDC_PC_COM", 2)
        self.assertTrue(s.click("IDC_OPEN"))
        s.sync()
        self.assertEqual(s.text("IDC_STATUS"), "COM Opened")
        self.assertTrue(s.click("IDC_SEARCH"))
        self.expect_box(s, "Find DTU")
        s.sync()
        self.assertIn(b"DEDEDE", self.unit.received())
        self.assertEqual(s.text("IDC_SEARCH"), "SEARCH")
        for button in ("IDC_READ", "IDC_SET", "IDC_RESTART", "IDC_OPEN", "IDC_FACTORY_RESET"):
            self.assertTrue(s.enabled(button), button)

    def test_search_read_set_restart_factory_reset(self):
        with Session(ports={"COM3": self.unit.path}) as s:
            self.open_and_find(s)

            self.assertTrue(s.click("IDC_READ"))
            self.expect_box(s, "Read successfully!")
            s.sync()
            self.assertEqual(s.text("IDC_MASTER_IP"), "factory.example.com")
            self.assertEqual(s.text("IDC_STANDBY_IP"), "standby.example.com")
            self.assertEqual(s.text("IDC_REG_PACKAGE"), "20 ")

            s.set_text("IDC_MASTER_IP", "edited.example.com")
            s.set_text("IDC_REG_PACKAGE", "7B 92 0A")
            s.select("IDC_WORK_MODE", 2)
            s.select("IDC_INPUT3", 2)
            s.set_text("IDC_RECONNECT_TIMES", "200")
            self.assertTrue(s.click("IDC_SET"))
            self.expect_box(s, "SUCESS")
            record = self.unit.record()
            self.assertEqual(text_at(record, 30), "edited.example.com")
            self.assertEqual(record[180:183], bytes([0x7B, 0x92, 0x0A]))
            self.assertEqual(record[209], 3)
            self.assertEqual(record[380], 2)
            self.assertEqual(record[370], 0)  # "Low Alarm" is code 0
            self.assertEqual(record[374], 72)
            self.assertEqual(text_at(record, 0), "TCP")
            self.assertEqual(record[570:600], bytes(30))
            write = self.unit.received().split(bytes([0x7B, 0x91, 0x00]), 1)[1][:601]
            self.assertEqual(write, record + b"\x7c")

            self.assertTrue(s.click("IDC_RESTART"))
            self.expect_box(s, "Reboot successfully!")

            self.assertTrue(s.click("IDC_FACTORY_RESET"))
            self.expect_box(s, "SUCESS")
            self.assertEqual(text_at(self.unit.record(), 30), "factory.example.com")
            self.assertTrue(s.click("IDC_READ"))
            self.expect_box(s, "Read successfully!")
            s.sync()
            self.assertEqual(s.text("IDC_MASTER_IP"), "factory.example.com")
            self.assertEqual(s.text("IDC_WORK_MODE"), "Always-on")

            s.close()
            self.assertEqual(s.wait_exit(), 0)

    def test_a_unit_that_stops_answering_fails_the_read(self):
        with Session(ports={"COM3": self.unit.path}) as s:
            self.open_and_find(s)
            s.set_text("IDC_MASTER_IP", "kept.example.com")
            self.unit.toggle_silence()
            self.assertTrue(s.click("IDC_READ"))
            box = s.wait_box(20)[0]
            self.assertEqual(box["text"], "Read Failed")
            self.assertNotEqual(box["caption"], "OK")
            s.press_ok(box)
            s.sync()
            self.assertEqual(s.text("IDC_MASTER_IP"), "kept.example.com")
            s.close()
            self.assertEqual(s.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
