"""Discovery of the installed J2534 libraries, with real files made here and
registrations in both roots and both registry views."""
import unittest

from harness import (GuiTestCase, J2534, PASSTHRU_KEY, REG_DWORD, REG_SZ, SETTINGS_KEY, ID_LOG, ID_MODE,
                     ID_SCAN, ID_VCI, OTHER_MACHINE, OTHER_MAGIC, pe_image, sz)


class DiscoveryTest(GuiTestCase):
    def prepare(self):
        f = self.write_file
        self.paths = dict(
            bench=f("bench.dll", pe_image()),
            zulu=f("Zulu\\zulu.dll", pe_image()),
            rel=f("rel.dll", pe_image()),
            subkey=f("subkey.dll", pe_image()),
            device=f("device.dll", pe_image()),
            das=f("dasfolder\\alpha.dll", pe_image()),
            xentry=f("xk.dll", pe_image()),
        )
        self.register("Bench", '"' + self.paths["bench"] + '"', name="bench box")
        # The same file under the current user, in other letter case: HKLM's entry stays.
        self.register("BenchAgain", self.paths["bench"].upper(), name="Duplicate", root="HKCU")
        self.register("Zulu", self.paths["zulu"], name="Zulu", root="HKCU")
        # Relative to the program's current directory, C:\qel-gui.
        self.register("Relative", "rel.dll", name="Relative One")
        self.register("SubkeyName", self.paths["subkey"], name="")
        self.register("NoName", self.paths["device"], device_name="Device Named")
        self.reg_set("HKLM", PASSTHRU_KEY + "\\NoName", "Name", REG_SZ, b"")
        self.register("Das", self.paths["das"], name="Alpha")
        self.register("Xentry", self.paths["xentry"], name="XENTRY Kit")
        # Left out: other machines, the other optional-header kind, short and missing
        # files, Pellith, no library, and a registration in the 64-bit view only.
        self.register("OtherBuild", f("other-build.dll", pe_image(machine=OTHER_MACHINE, magic=OTHER_MAGIC)),
                      name="Other build")
        self.register("OtherMagic", f("other-magic.dll", pe_image(magic=OTHER_MAGIC)), name="Other magic")
        self.register("Arm", f("arm.dll", pe_image(machine=0x01C4)), name="Arm")
        self.register("Short", f("short.dll", pe_image()[:63]), name="Short")
        self.register("NotPe", f("text.dll", b"MZ" + b"x" * 200), name="Not PE")
        self.register("Missing", "C:\\qel-gui\\missing.dll", name="Missing")
        self.register("Proxy", f("other\\PELLITH.DLL", pe_image()), name="Proxy")
        self.register("View64", f("view64.dll", pe_image()), name="View64", view="64")
        self.reg_set("HKLM", PASSTHRU_KEY + "\\Empty", "Name", REG_SZ, sz("No Library"))
        self.reg_set("HKLM", PASSTHRU_KEY + "\\Typed", "FunctionLibrary", REG_DWORD, b"\1\0\0\0")

    def test_usable_libraries_split_by_type(self):
        self.prepare()
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.reg_set("HKCU", SETTINGS_KEY, "SelectedDll", REG_SZ, sz(self.paths["zulu"].lower()))
        self.start()
        label = " [" + J2534 + "]"
        j2534 = ["bench box", "Device Named", "Relative One", "SubkeyName", "Zulu"]
        self.assertEqual(self.items(ID_VCI), (4, [n + label for n in j2534]))
        self.assertEqual(self.log_texts()[0], J2534 + " scan found 5 usable 32-bit VCI DLL(s).")

        # A rescan keeps the selected library; so does nothing else change.
        self.driver("select", ID_VCI, 2)
        self.driver("clickn", ID_SCAN, 1)
        self.assertEqual(self.items(ID_VCI)[0], 2)
        self.assertEqual(self.log_texts()[-1], J2534 + " scan found 5 usable 32-bit VCI DLL(s).")

        # The other type lists exactly the remaining libraries; its first one is selected.
        self.driver("select", ID_MODE, 0)
        self.assertEqual(self.items(ID_VCI), (0, ["Alpha [SDconnect]", "XENTRY Kit [SDconnect]"]))
        self.assertEqual(self.log_texts()[-1], "SDconnect scan found 2 usable 32-bit VCI DLL(s).")

    def test_a_device_or_pipe_is_left_out_like_a_missing_file(self):
        # Anything the user runs can register such a path under HKCU; reading
        # the pipe, which nobody ever writes, would never return.
        self.driver("pipe", "qel-gui-held")
        bench = self.write_file("bench.dll", pe_image())
        self.register("Held", "\\\\.\\pipe\\qel-gui-held", name="Held Pipe", root="HKCU")
        self.register("Bench", bench, name="bench box", root="HKCU")
        self.register("Missing", "C:\\qel-gui\\missing.dll", name="Missing", root="HKCU")
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.start()
        self.assertEqual(self.items(ID_VCI), (0, ["bench box [" + J2534 + "]"]))
        self.assertEqual(self.log_texts()[0], J2534 + " scan found 1 usable 32-bit VCI DLL(s).")

    def test_nothing_registered(self):
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.start()
        self.assertEqual(self.items(ID_VCI), (-1, []))
        self.assertEqual(self.text(ID_LOG).split("\r\n")[0][11:],
                         J2534 + " scan found 0 usable 32-bit VCI DLL(s).")


if __name__ == "__main__":
    unittest.main()
