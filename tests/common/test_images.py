"""What the built deliverables say of themselves, read from the files without
running them, so that it is checked also where the host cannot run the build:
machine and optional-header kind, DLL or GUI program, Pellith's fourteen exports
with their ordinals, imports from system libraries only, and the manifest's
architecture.

usage: test_images.py PELLITH_DLL QUORVANE_EXE   (QEL_PE_MACHINE and
QEL_PE_MAGIC name the build's target, as ctest sets them)
"""
import os
import struct
import sys
import unittest

EXPORTS = [
    "PassThruClose", "PassThruConnect", "PassThruDisconnect", "PassThruGetLastError", "PassThruIoctl",
    "PassThruOpen", "PassThruReadMsgs", "PassThruReadVersion", "PassThruSetProgrammingVoltage",
    "PassThruStartMsgFilter", "PassThruStartPeriodicMsg", "PassThruStopMsgFilter", "PassThruStopPeriodicMsg",
    "PassThruWriteMsgs",
]
PELLITH_IMPORTS = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "WS2_32.DLL"}
QUORVANE_IMPORTS = {"ADVAPI32.DLL", "COMCTL32.DLL", "CRYPT32.DLL", "GDI32.DLL", "IPHLPAPI.DLL", "KERNEL32.DLL",
                    "MSVCRT.DLL", "USER32.DLL", "WINHTTP.DLL", "WS2_32.DLL"}
IMAGE_FILE_DLL = 0x2000
SUBSYSTEM_WINDOWS_GUI = 2
PE32_PLUS = 0x020B
MANIFEST_ARCHITECTURES = {0x014C: b"x86", 0x8664: b"amd64"}


class PeFile:
    """The headers, exports and imports of a PE file, read with no loader."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = self.u32(0x3C)
        if self.data[:2] != b"MZ" or self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        self.magic = self.u16(optional)
        self.subsystem = self.u16(optional + 68)
        directories = optional + (112 if self.magic == PE32_PLUS else 96)
        self.export_rva, self.import_rva = self.u32(directories), self.u32(directories + 8)
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * i + 8) for i in range(sections)]

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        for virtual_size, address, _, raw in self.sections:
            if address <= rva < address + virtual_size:
                return rva - address + raw
        raise ValueError(f"address {rva:#x} outside every section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def exports(self):
        """(name, ordinal) of each exported name, in the order of the name table."""
        directory = self.offset(self.export_rva)
        base, _, names, _, name_table, ordinal_table = struct.unpack_from("<IIIIII", self.data, directory + 16)
        return [(self.text(self.u32(self.offset(name_table) + 4 * i)),
                 base + self.u16(self.offset(ordinal_table) + 2 * i)) for i in range(names)]

    def imports(self):
        names, descriptor = [], self.offset(self.import_rva)
        while name_rva := self.u32(descriptor + 12):
            names.append(self.text(name_rva).upper())
            descriptor += 20
        return names


class ImagesTest(unittest.TestCase):
    machine = int(os.environ["QEL_PE_MACHINE"], 16)
    magic = int(os.environ["QEL_PE_MAGIC"], 16)

    def test_pellith(self):
        image = PeFile(PELLITH)
        self.assertEqual((image.machine, image.magic), (self.machine, self.magic))
        self.assertTrue(image.characteristics & IMAGE_FILE_DLL)
        self.assertEqual(image.exports(), [(name, i + 1) for i, name in enumerate(EXPORTS)])
        self.assertTrue(image.imports())
        self.assertLessEqual(set(image.imports()), PELLITH_IMPORTS)

    def test_quorvane(self):
        image = PeFile(QUORVANE)
        self.assertEqual((image.machine, image.magic), (self.machine, self.magic))
        self.assertFalse(image.characteristics & IMAGE_FILE_DLL)
        self.assertEqual(image.subsystem, SUBSYSTEM_WINDOWS_GUI)
        self.assertLessEqual(set(image.imports()), QUORVANE_IMPORTS)
        # The program itself and the Common Controls it asks for.
        own = MANIFEST_ARCHITECTURES[self.machine]
        self.assertEqual(image.data.count(b'processorArchitecture="' + own + b'"'), 2)
        self.assertEqual(image.data.count(b"processorArchitecture="), 2)


if __name__ == "__main__":
    PELLITH, QUORVANE = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1])
