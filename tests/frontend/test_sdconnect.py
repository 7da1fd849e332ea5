"""Connect in SDconnect mode. Runs only inside the isolated network namespace
of run-isolated.sh, where the LAN address answers and the Wi-Fi one cannot."""
import unittest

from harness import GuiTestCase, ID_CONNECT, REG_SZ, SETTINGS_KEY, pe_image, sz


class SdconnectModeTest(GuiTestCase):
    def connect_lines(self, name):
        before = self.log_texts()
        self.fill(server="x")
        self.assertEqual(self.click(ID_CONNECT), "done")
        self.wait_idle()
        lines = self.log_texts()[len(before):]
        return lines[:lines.index("Opening SDconnect: " + name)]

    def test_provider_is_set_up_before_the_connection_opens(self):
        self.register("Kit", self.write_file("kit.dll", pe_image()), name="SDconnect Kit")
        self.start()
        setup = self.connect_lines("SDconnect Kit")
        self.assertEqual(setup[:4], [
            "SDconnect target setup: LAN 172.29.127.122 | Wi-Fi 192.168.2.199.",
            "SDconnect LAN probe 172.29.127.122: reachable.",
            "SDconnect Wi-Fi probe 192.168.2.199: no ICMP reply.",
            "SDconnect preferred target: 172.29.127.122 (LAN has priority when reachable).",
        ])
        self.assertEqual(self.reg_get("HKCU", SETTINGS_KEY, "VciMode"), (REG_SZ, sz("SDconnect")))

    def test_other_sdconnect_type_library_is_not_set_up(self):
        self.register("Pdu", self.write_file("pdu.dll", pe_image()), name="PDUAPI Box")
        self.start()
        self.assertEqual(self.connect_lines("PDUAPI Box"), [])


if __name__ == "__main__":
    unittest.main()
