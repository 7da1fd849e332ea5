"""Start-up of Quorvane as a user meets it: the window, its controls, the
layout, the first log lines and the program file's resources."""
import os
import re
import unittest

from harness import (DriverError, GuiTestCase, ID_REMEMBER, ID_LOG, ID_SCAN, ID_SERVER, ID_VCI, ID_DISCONNECT,
                     MANIFEST_ARCHITECTURE)

WS_CHILD, WS_VISIBLE, WS_VSCROLL, WS_HSCROLL = 0x40000000, 0x10000000, 0x00200000, 0x00100000
WS_DISABLED = 0x08000000
VK_TAB, VK_RETURN = 0x09, 0x0D
WS_EX_CLIENTEDGE = 0x200
ES_AUTOHSCROLL, ES_PASSWORD, ES_MULTILINE, ES_AUTOVSCROLL, ES_READONLY = 0x80, 0x20, 0x4, 0x40, 0x800
CBS_DROPDOWNLIST, BS_AUTOCHECKBOX, BS_DEFPUSHBUTTON = 0x3, 0x3, 0x1

HELP = "Connect your local SDconnect or J2534 Passthru.04.04 VCI to the server Corvell session."
# id, class, style bits besides WS_CHILD | WS_VISIBLE, text at start-up (defaults, no key).
CONTROLS = [
    (900, "Static", 0, "Falkmere"),
    (908, "Static", 0, HELP),
    (901, "Static", 0, "Server URL"),
    (902, "Static", 0, "Username"),
    (903, "Static", 0, "Password"),
    (904, "Static", 0, "Station"),
    (905, "Static", 0, "VCI Type"),
    (906, "Static", 0, "Physical VCI"),
    (907, "Static", 0, "Status"),
    (100, "Edit", ES_AUTOHSCROLL, "https://bridge.tarnwick.com"),
    (101, "Edit", ES_AUTOHSCROLL, ""),
    (102, "Edit", ES_AUTOHSCROLL | ES_PASSWORD, ""),
    (103, "Edit", ES_AUTOHSCROLL, "QEL-VIRTUAL-VCI"),
    (104, "ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL, None),
    (105, "ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL, None),
    (106, "Button", 0, "Scan Registry"),
    (107, "Button", BS_AUTOCHECKBOX, "Remember password"),
    (108, "Button", BS_DEFPUSHBUTTON, "Connect"),
    (109, "Button", 0, "Disconnect"),
    (110, "Static", 0, "Not connected"),
    (111, "Edit", ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_HSCROLL, None),
]

STARTUP_LINES = [
    "GUI bridge ready. Enter your Corvell username/password, select the local VCI, then click Connect.",
    "Only 32-bit J2534 registry entries and PE32 DLLs are shown; the remote proxy DLL is excluded.",
    "SDconnect fixed targets: LAN 172.29.127.122 (priority 1) | Wi-Fi 192.168.2.199 (priority 2).",
]


def expected_layout(w, h):
    full, field, vci = max(w - 32, 10), max(w - 157, 10), max(w - 282, 10)
    rects = {900: (16, 14, full, 32), 908: (16, 48, full, 30)}
    for row in range(6):
        rects[901 + row] = (16, 89 + 32 * row, 117, 22)
    for row, control_id in enumerate((100, 101, 102, 103, 104)):
        rects[control_id] = (141, 84 + 32 * row, field, 26)
    rects.update({105: (141, 244, vci, 26), 106: (w - 133, 244, 117, 26), 107: (141, 276, 170, 24),
                  108: (321, 276, 95, 28), 109: (423, 276, 95, 28), 907: (16, 318, 117, 22),
                  110: (141, 318, field, 22), 111: (16, 346, full, h - 362)})
    return rects


class StartupTest(GuiTestCase):
    def assert_layout(self, w, h):
        for control_id, (x, y, cw, ch) in expected_layout(w, h).items():
            rx, ry, rw, rh = self.state(control_id)["rect"]
            self.assertEqual((rx, ry, rw), (x, y, cw), control_id)
            # A drop-down list sizes its own field, and Wine keeps a negative height at 0.
            if control_id not in (104, 105):
                self.assertEqual(rh, max(ch, 0), control_id)

    def test_window_controls_and_first_log_lines(self):
        self.start()
        self.assertEqual(self.text(0), "Falkmere")
        window = self.state(0)
        self.assertEqual(window["cls"], "QELRemoteVciClientWindow")
        self.assertEqual(window["rect"][2:], (920, 700))
        for control_id, cls, style, text in CONTROLS:
            with self.subTest(control=control_id):
                state = self.state(control_id)
                self.assertEqual(state["cls"], cls)
                self.assertEqual(state["style"] & 0xFFFF0000 & ~(WS_VSCROLL | WS_HSCROLL | WS_DISABLED),
                                 WS_CHILD | WS_VISIBLE)
                # The combo box hands its scroll bar to its own drop-down list.
                shown = WS_VSCROLL | WS_HSCROLL if cls != "ComboBox" else 0
                self.assertEqual(state["style"] & (0xFFFF | shown), style & (0xFFFF | shown))
                self.assertEqual(state["exstyle"] & WS_EX_CLIENTEDGE, WS_EX_CLIENTEDGE if cls == "Edit" else 0)
                self.assertEqual(state["enabled"], control_id != 109)
                if text is not None:
                    self.assertEqual(self.text(control_id), text)
        self.assertEqual(self.items(104), (0, ["SDconnect", "J2534 Passthru.04.04"]))
        self.assertEqual(self.items(105), (-1, []))
        self.assertEqual(self.state(107)["checked"], 0)

        self.assertEqual(self.log_texts(),
                         ["SDconnect scan found 0 usable 32-bit VCI DLL(s)."] + STARTUP_LINES)

        w, h = (int(v) for v in self.driver.fields("client")[:2])
        self.assert_layout(w, h)
        self.driver("resize", 300, 400)
        self.assertEqual([int(v) for v in self.driver.fields("client")[:2]], [300, 400])
        self.assert_layout(300, 400)
        self.assertEqual(self.state(ID_VCI)["rect"][2], 18)
        self.assertEqual(self.state(ID_LOG)["rect"][2:], (268, 38))
        # Wine keeps a top-level window at its minimum tracking width (a client
        # about 104 wide), so the narrowest reachable form shows the floors of
        # the field widths and a Scan Registry button left of the window.
        self.driver("resize", 40, 300)
        w, h = (int(v) for v in self.driver.fields("client")[:2])
        self.assertLess(w, 143)
        self.assertEqual(h, 300)
        self.assert_layout(w, h)
        self.assertEqual(self.state(ID_SERVER)["rect"][2], 10)
        self.assertEqual(self.state(ID_SCAN)["rect"][0], w - 133)

    def test_disconnect_while_idle_and_close_exit_code(self):
        self.start()
        before = self.log_lines()
        # A disabled button ignores a click; the command itself does nothing without a client.
        self.driver("clickn", ID_DISCONNECT, 1)
        self.assertEqual(self.log_lines(), before)
        self.assertEqual(self.close_window(), 0)

    def test_enter_and_tab_do_nothing(self):
        self.start()
        before = self.log_lines()
        # With no interface listed, a Connect would show its warning at once.
        self.driver("key", ID_SERVER, VK_RETURN)
        self.click(ID_REMEMBER)
        self.assertEqual(self.driver("focus"), str(ID_REMEMBER))
        self.driver("key", ID_REMEMBER, VK_TAB)
        self.driver("key", ID_REMEMBER, VK_TAB)
        with self.assertRaises(DriverError):
            self.driver("msgbox", 1000)
        self.assertEqual(self.driver("focus"), str(ID_REMEMBER))
        self.assertEqual(self.log_lines(), before)

    def test_log_keeps_every_line_past_the_edit_default_limit(self):
        self.start()
        # Each scan adds one 61-character line: 800 of them pass the edit control's
        # default limit of about 32K characters.
        self.driver("clickn", ID_SCAN, 800)
        lines = self.log_texts()
        self.assertEqual(len(lines), 804)
        self.assertEqual(lines[-1], "SDconnect scan found 0 usable 32-bit VCI DLL(s).")
        self.assertGreater(len(self.text(ID_LOG)), 48000)


class ResourcesTest(GuiTestCase):
    def test_icon_manifest_and_version_block(self):
        exe = "Z:" + os.environ["QEL_QUORVANE"].replace("/", "\\")
        icons, manifest = self.driver("resources", exe).split("\\n", 1)
        self.assertEqual(icons.split("\\t"),
                         ["6", "16:32:png", "32:32:png", "48:32:png", "64:32:png", "128:32:png", "256:32:png"])
        manifest = re.sub(r"\s+", " ", manifest.replace("\\r", "").replace("\\n", " ").replace("\\t", " "))
        for fragment in (
                f'version="1.0.0.0" processorArchitecture="{MANIFEST_ARCHITECTURE}" name="Tarnwick.RemoteVciClient" '
                'type="win32"',
                "<description>Falkmere x86</description>",
                'level="asInvoker" uiAccess="false"',
                'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" '
                f'processorArchitecture="{MANIFEST_ARCHITECTURE}" '
                'publicKeyToken="6595b64144ccf1df" language="*"',
                'Id="{4f476546-937d-4f8a-82c7-c8a468619e78}"',
                'Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"'):
            self.assertIn(fragment, manifest)
        fields = self.driver.fields("version", exe)
        self.assertEqual(fields[0], "10000.0.10000.0.1")  # 1.0.0.0 twice, VFT_APP
        self.assertEqual(fields[1:], [
            "translation=409,4b0", "CompanyName=Tarnwick", "FileDescription=Falkmere GUI x86",
            "FileVersion=1.0.0.0", "InternalName=Quorvane.exe", "OriginalFilename=Quorvane.exe",
            "ProductName=Falkmere", "ProductVersion=1.0.0.0"])


if __name__ == "__main__":
    unittest.main()
