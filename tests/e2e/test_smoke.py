"""The form as the real program shows it under Wine: caption, lists, buttons,
typing limits, keys, Clear and closing."""

import glob
import os
import unittest

from harness import Session

LISTS = {
    "IDC_PC_COM": ["COM%d" % n for n in range(1, 12)],
    "IDC_BAUD": ["1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"],
    "IDC_DATA_BITS": ["7", "8"],
    "IDC_STOP_BITS": ["0.5", "1", "1.5", "2"],
    "IDC_PARITY": ["None", "Odd", "Even"],
    "IDC_PROTOCOL": ["TCP", "UDP"],
    "IDC_INPUT3": ["No Alarm", "High Alarm", "Low Alarm"],
    "IDC_INPUT4": ["No Alarm", "High Alarm", "Low Alarm"],
    "IDC_DEBUG_INFO": ["No", "Yes", "Detail"],
    "IDC_DATA_MODE": ["Transparent", "Protocol"],
    "IDC_OUTPUT1": ["Low Level", "High Level"],
    "IDC_OUTPUT2": ["Low Level", "High Level"],
    "IDC_WORK_MODE": ["Always-on", "Avaken", "GPRS Dial-up"],
}

CLEARED_EDITS = [
    "IDC_MASTER_IP", "IDC_MASTER_PORT", "IDC_HEARTBEAT_TIME", "IDC_RECONNECT_INTERVAL",
    "IDC_RECONNECT_TIMES", "IDC_NO_RESPONSE_TIME", "IDC_REG_PACKAGE", "IDC_HEARTBEAT_PACKAGE",
    "IDC_MIN_INTERVAL", "IDC_PACKET_LENGTH", "IDC_CENTER_PHONE1", "IDC_CENTER_PHONE2",
    "IDC_STANDBY_IP", "IDC_STANDBY_PORT", "IDC_APN", "IDC_GPRS_USER", "IDC_GPRS_PASSWORD",
    "IDC_SMS_Alarm1", "IDC_SMS_Alarm2",
]
BLANKED_LISTS = [name for name in LISTS if name != "IDC_PC_COM"]

BUTTONS_ENABLED = {"IDC_OPEN": True, "IDC_CLEAR": True, "IDC_SEARCH": False, "IDC_READ": False,
                   "IDC_SET": False, "IDC_RESTART": False, "IDC_FACTORY_RESET": False}
CAPTIONS = {"IDC_OPEN": "OPEN", "IDC_SEARCH": "SEARCH", "IDC_READ": "Read", "IDC_SET": "Set",
            "IDC_RESTART": "Restart", "IDC_CLEAR": "Clear", "IDC_FACTORY_RESET": "Factory Reset"}


class FormAtStart(unittest.TestCase):
    """Checks that leave the form as it is, on one running tool."""

    @classmethod
    def setUpClass(cls):
        cls.session = Session()
        cls.session.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def test_caption(self):
        self.assertEqual(self.session.caption(), "DTU Configuration Tool V2.3")

    @unittest.skipUnless(glob.glob("/dev/ttyS*") and os.geteuid() == 0, "nothing to mask")
    def test_the_machines_serial_ports_are_out_of_reach(self):
        # Wine gives COM256 a real port; every Wine program sees /dev/null there.
        with open("/proc/%d/mountinfo" % self.session.tool_pid(), encoding="utf-8") as f:
            masked = {line.split()[4] for line in f}
        for port in glob.glob("/dev/ttyS*"):
            self.assertIn(port, masked)

    def test_lists_hold_their_entries_in_order(self):
        for name, entries in LISTS.items():
            with self.subTest(name):
                self.assertEqual(self.session.items(name), entries)

    def test_port_list_starts_at_com1(self):
        self.assertEqual(self.session.selection("IDC_PC_COM"), 0)
        self.assertEqual(self.session.text("IDC_PC_COM"), "COM1")

    def test_every_list_shows_its_selected_entry(self):
        # Whatever the settings file chose, the visible text is that entry.
        for name, entries in LISTS.items():
            with self.subTest(name):
                index = self.session.selection(name)
                self.assertIn(index, range(len(entries)))
                self.assertEqual(self.session.text(name), entries[index])

    def test_buttons_enabled_and_captions(self):
        for name, enabled in BUTTONS_ENABLED.items():
            with self.subTest(name):
                self.assertIs(self.session.enabled(name), enabled)
                self.assertEqual(self.session.text(name), CAPTIONS[name])

    def test_disabled_button_click_is_not_delivered(self):
        self.assertFalse(self.session.click("IDC_READ"))
        self.session.sync()
        self.assertEqual(self.session.boxes(), [])

    def test_package_fields_refuse_the_88th_typed_character(self):
        for name in ("IDC_REG_PACKAGE", "IDC_HEARTBEAT_PACKAGE"):
            with self.subTest(name):
                self.session.set_text(name, "")
                self.assertEqual(self.session.type(name, "A" * 86), "A" * 86)
                self.assertEqual(self.session.type(name, "BC"), "A" * 86 + "B")

    def test_program_text_is_not_cut_by_the_typing_limit(self):
        self.session.set_text("IDC_REG_PACKAGE", "0" * 100)
        self.assertEqual(self.session.text("IDC_REG_PACKAGE"), "0" * 100)

    def test_center_phone_limits(self):
        self.session.set_text("IDC_CENTER_PHONE1", "")
        self.assertEqual(self.session.type("IDC_CENTER_PHONE1", "123456789012"), "12345678901")
        self.session.set_text("IDC_CENTER_PHONE2", "")
        self.assertEqual(self.session.type("IDC_CENTER_PHONE2", "9" * 40), "9" * 40)

    def test_enter_and_esc_do_nothing(self):
        s = self.session
        before = {name: s.selection(name) for name in LISTS}
        status = s.text("IDC_STATUS")
        # Once in a list's edit part, once in an edit box.
        for control in ("IDC_PC_COM", "IDC_APN"):
            s.focus(control)
            self.assertEqual(s.focused(), s.id(control))
            for key in ("enter", "esc"):
                with self.subTest(control=control, key=key):
                    s.key(key)
                    s.sync()
                    self.assertTrue(s.alive())
                    self.assertTrue(s.running())
                    self.assertEqual(s.boxes(), [])
        self.assertEqual({name: s.selection(name) for name in LISTS}, before)
        self.assertEqual(s.text("IDC_STATUS"), status)
        self.assertEqual(s.text("IDC_OPEN"), "OPEN")


class ClearAndClose(unittest.TestCase):
    def test_clear_blanks_the_form_then_close_exits_0(self):
        with Session() as s:
            s.select("IDC_PC_COM", 4)
            s.set_text("IDC_STATUS", "kept")
            for name in CLEARED_EDITS:
                s.set_text(name, "x1")
            self.assertTrue(s.click("IDC_CLEAR"))
            s.sync()
            for name in CLEARED_EDITS:
                with self.subTest(name):
                    self.assertEqual(s.text(name), "")
            for name in BLANKED_LISTS:
                with self.subTest(name):
                    self.assertEqual(s.selection(name), -1)
                    self.assertEqual(s.text(name), "")
                    self.assertEqual(s.items(name), LISTS[name])
            self.assertEqual(s.selection("IDC_PC_COM"), 4)
            self.assertEqual(s.text("IDC_PC_COM"), "COM5")
            self.assertEqual(s.text("IDC_STATUS"), "kept")
            self.assertEqual({n: s.enabled(n) for n in BUTTONS_ENABLED}, BUTTONS_ENABLED)
            self.assertEqual(s.boxes(), [])

            # Enter on a focused push button runs it, which shows keys reach the form.
            s.set_text("IDC_APN", "y")
            s.focus("IDC_CLEAR")
            s.key("enter")
            s.sync()
            self.assertEqual(s.text("IDC_APN"), "")

            s.close()
            self.assertEqual(s.wait_exit(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
