"""Saved settings: what the form shows for each kind of stored value, and
what a Connect writes, the protected password included."""
import unittest

from harness import (GuiTestCase, HKCU_SETTINGS, J2534, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_SZ,
                     SETTINGS_KEY, ID_CONNECT, ID_MODE, ID_PASSWORD, ID_REMEMBER, ID_SERVER, ID_STATION,
                     ID_USERNAME, ID_VCI, pe_image, sz)

DEFAULT_URL = "https://bridge.tarnwick.com"


class LoadTest(GuiTestCase):
    def form(self):
        return dict(server=self.text(ID_SERVER), user=self.text(ID_USERNAME), password=self.text(ID_PASSWORD),
                    station=self.text(ID_STATION), mode=self.items(ID_MODE)[0],
                    remember=self.state(ID_REMEMBER)["checked"])

    def test_stored_values_and_their_fallbacks(self):
        dword = lambda v: v.to_bytes(4, "little")  # noqa: E731
        cases = [
            ("no key", {}, dict(server=DEFAULT_URL, user="", password="", station="QEL-VIRTUAL-VCI", mode=0,
                                remember=0)),
            ("expanded, cut at a zero, terminator only, zero bytes",
             {"ServerUrl": (REG_EXPAND_SZ, sz(r"%SystemRoot%\bridge")),
              "Username": (REG_SZ, sz("mech\0hidden")),
              "StationId": (REG_SZ, b"\0\0"),
              "VciMode": (REG_SZ, b""),
              "RememberPassword": (REG_SZ, sz("1"))},
             dict(server=r"C:\windows\bridge", user="mech", password="", station="", mode=0, remember=0)),
            ("other types fall back; exact J2534 label; damaged password blob",
             {"ServerUrl": (REG_SZ, b""),
              "Username": (REG_DWORD, dword(7)),
              "StationId": (REG_SZ, sz("BAY-9")),
              "VciMode": (REG_SZ, sz(J2534)),
              "RememberPassword": (REG_DWORD, dword(5)),
              "ProtectedPassword": (REG_BINARY, bytes(range(40)))},
             dict(server=DEFAULT_URL, user="", password="", station="BAY-9", mode=1, remember=1)),
            ("label in other letter case; box checked without a blob",
             {"VciMode": (REG_SZ, sz(J2534.lower())),
              "RememberPassword": (REG_DWORD, dword(1))},
             dict(server=DEFAULT_URL, user="", password="", station="QEL-VIRTUAL-VCI", mode=0, remember=1)),
            ("a value without its terminator",
             {"Username": (REG_SZ, "abc".encode("utf-16-le")),
              "VciMode": (REG_SZ, sz(J2534 + " "))},
             dict(server=DEFAULT_URL, user="abc", password="", station="QEL-VIRTUAL-VCI", mode=0, remember=0)),
        ]
        for title, values, expected in cases:
            with self.subTest(title):
                self.clear_registry()
                for name, (kind, data) in values.items():
                    self.reg_set("HKCU", SETTINGS_KEY, name, kind, data)
                self.start()
                self.assertEqual(self.form(), expected)
                self.close_window()


class SaveTest(GuiTestCase):
    def saved(self, name):
        return self.reg_get(*HKCU_SETTINGS, name)

    def connect_once(self):
        self.assertEqual(self.click(ID_CONNECT), "done")
        self.wait_idle()

    def test_connect_saves_the_form_and_the_protected_password(self):
        library = self.write_file("bench.dll", pe_image())
        self.register("Bench", library, name="Bench Box")
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.start()
        self.fill(server="http://127.0.0.1:1/", user="mechanic", password="pässwörd", station="BAY_2.b")
        self.click(ID_REMEMBER)
        self.connect_once()

        for name, text in (("ServerUrl", "http://127.0.0.1:1/"), ("Username", "mechanic"),
                           ("StationId", "BAY_2.b"), ("VciMode", J2534), ("SelectedDll", library)):
            self.assertEqual(self.saved(name), (REG_SZ, sz(text)), name)
        self.assertEqual(self.saved("RememberPassword"), (REG_DWORD, (1).to_bytes(4, "little")))
        kind, blob = self.saved("ProtectedPassword")
        self.assertEqual(kind, REG_BINARY)
        plain, description = self.driver.fields("unprotect", blob.hex())
        self.assertEqual(bytes.fromhex(plain), sz("pässwörd"))
        self.assertEqual(description, "Tarnwick Remote VCI")
        self.close_window()

        # The next start shows it all again, the library reselected whatever its letter case.
        self.reg_set("HKCU", SETTINGS_KEY, "SelectedDll", REG_SZ, sz(library.upper()))
        self.start()
        self.assertEqual(self.text(ID_PASSWORD), "pässwörd")
        self.assertEqual(self.state(ID_REMEMBER)["checked"], 1)
        self.assertEqual(self.items(ID_MODE)[0], 1)
        self.assertEqual(self.items(ID_VCI), (0, ["Bench Box [J2534 Passthru.04.04]"]))

        # Clearing the box removes the blob; the next start shows neither.
        self.click(ID_REMEMBER)
        self.connect_once()
        self.assertIsNone(self.saved("ProtectedPassword"))
        self.assertEqual(self.saved("RememberPassword"), (REG_DWORD, (0).to_bytes(4, "little")))
        self.close_window()
        self.start()
        self.assertEqual(self.text(ID_PASSWORD), "")
        self.assertEqual(self.state(ID_REMEMBER)["checked"], 0)

    def test_refused_form_saves_nothing(self):
        self.register("Bench", self.write_file("bench.dll", pe_image()), name="Bench Box")
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.start()
        self.fill(password="")
        self.assertEqual(self.click(ID_CONNECT), "msgbox")
        self.message_box()
        self.assertIsNone(self.saved("ServerUrl"))
        self.assertIsNone(self.saved("RememberPassword"))


if __name__ == "__main__":
    unittest.main()
