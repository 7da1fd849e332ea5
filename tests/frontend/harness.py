"""Runs the real Quorvane.exe under Wine on an Xvfb display of its own and
drives it through QuorvaneDriver.exe, the way a user meets the window.

Paths come from the environment that ctest sets: QEL_QUORVANE, QEL_DRIVER,
QEL_WINE_RUN and QEL_GUI_PREFIX (the Wine prefix kept for these tests).
"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "common"))
from xdisplay import XDisplay

# The build's Wine loader (ctest sets it): the 64-bit build names wine64.
WINE = os.environ.get("QEL_WINE", "wine")
SETTINGS_KEY = r"Software\Tarnwick\RemoteVCIClient"
PASSTHRU_KEY = r"SOFTWARE\PassThruSupport.04.04"
HKCU_SETTINGS = ("HKCU", SETTINGS_KEY)
J2534 = "J2534 Passthru.04.04"
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4

ID_SERVER, ID_USERNAME, ID_PASSWORD, ID_STATION, ID_MODE, ID_VCI = 100, 101, 102, 103, 104, 105
ID_SCAN, ID_REMEMBER, ID_CONNECT, ID_DISCONNECT, ID_STATUS, ID_LOG = 106, 107, 108, 109, 110, 111
ID_TITLE, ID_HELP = 900, 908


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def sz(text):
    """REG_SZ bytes of a text, with its terminating zero."""
    return (text + "\0").encode("utf-16-le")


# What an image of the build under test says of itself (x86 and PE32 for the
# product, AMD64 and PE32+ for the 64-bit build), and what the other build's says.
X86, AMD64, PE32, PE32_PLUS = 0x014C, 0x8664, 0x010B, 0x020B
OWN_MACHINE, OWN_MAGIC = int(os.environ["QEL_PE_MACHINE"], 16), int(os.environ["QEL_PE_MAGIC"], 16)
OTHER_MACHINE, OTHER_MAGIC = (AMD64, PE32_PLUS) if OWN_MACHINE == X86 else (X86, PE32)
MANIFEST_ARCHITECTURE = {X86: "x86", AMD64: "amd64"}[OWN_MACHINE]


def pe_image(machine=OWN_MACHINE, magic=OWN_MAGIC, size=1024):
    """A file that starts like a PE image for the given machine and optional-header magic."""
    data = bytearray(size)
    data[0:2] = b"MZ"
    struct.pack_into("<i", data, 60, 128)
    data[128:132] = b"PE\0\0"
    struct.pack_into("<H", data, 132, machine)
    struct.pack_into("<H", data, 152, magic)
    return bytes(data)


class DriverError(Exception):
    pass


class Driver:
    """The long-running test driver: one command line in, one answer line out."""

    def __init__(self, env):
        self.process = subprocess.Popen(
            [os.environ["QEL_WINE_RUN"], os.environ["QEL_DRIVER"]], env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def __call__(self, *fields):
        line = "\t".join(str(f) for f in fields) + "\n"
        self.process.stdin.write(line.encode("utf-8"))
        self.process.stdin.flush()
        answer = self.process.stdout.readline().decode("utf-8").rstrip("\r\n")
        if not answer:
            raise DriverError("driver ended")
        status, _, rest = answer.partition("\t")
        if status != "ok":
            raise DriverError(f"{fields[0]}: {rest}")
        return rest

    def fields(self, *fields):
        return [unescape(f) for f in self(*fields).split("\t")]

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass
        self.process.wait(timeout=30)
        self.process.stdin.close()
        self.process.stdout.close()


class GuiTestCase(unittest.TestCase):
    """One display, one Wine server and one driver per test module; one
    Quorvane process per test, started with the registry the test prepared."""

    @classmethod
    def setUpClass(cls):
        # Each clean-up also runs when a later step of the set-up fails.
        cls.display = XDisplay()
        cls.addClassCleanup(cls.display.close)
        cls.prefix = os.environ["QEL_GUI_PREFIX"]
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEARCH="win64", WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=cls.display.name)
        cls.stop_wine()
        cls.addClassCleanup(cls.stop_wine)
        cls.driver = Driver(cls.env)
        cls.addClassCleanup(cls.driver.close)
        cls.drive_c = os.path.join(cls.prefix, "drive_c")
        cls.files = os.path.join(cls.drive_c, "qel-gui")
        os.makedirs(cls.files, exist_ok=True)

    @classmethod
    def stop_wine(cls):
        """Ends the Wine server of the prefix, saving its registry, and every
        process it runs; one left from an earlier run would hold an old display."""
        subprocess.run(["wineserver", "-k"], env=cls.env, check=False, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=cls.env, check=False, stderr=subprocess.DEVNULL)

    def setUp(self):
        self.quorvane = None
        self.clear_registry()

    def tearDown(self):
        if self.quorvane and self.quorvane.poll() is None:
            try:
                self.driver("close")
                self.quorvane.wait(timeout=30)
            except (DriverError, subprocess.TimeoutExpired):
                self.quorvane.kill()
        # Whatever the test saw, a display that died under it is its failure.
        self.display.check()

    # --- registry and files ---
    def clear_registry(self):
        self.driver("regdel", "HKCU", "32", SETTINGS_KEY)
        for root in ("HKLM", "HKCU"):
            for view in ("32", "64"):
                self.driver("regdel", root, view, PASSTHRU_KEY)

    def reg_set(self, root, key, name, kind, data, view="32"):
        self.driver("regset", root, view, key, name, kind, data.hex())

    def reg_get(self, root, key, name, view="32"):
        """(type, bytes) of a value, or None when the key or value is missing."""
        answer = self.driver("regget", root, view, key, name)
        if answer in ("nokey", "novalue"):
            return None
        kind, data = answer.split("\t")
        return int(kind), bytes.fromhex(data)

    def register(self, subkey, library, name=None, root="HKLM", view="32", device_name=None):
        key = PASSTHRU_KEY + "\\" + subkey
        self.reg_set(root, key, "FunctionLibrary", REG_SZ, sz(library), view)
        if name is not None:
            self.reg_set(root, key, "Name", REG_SZ, sz(name), view)
        if device_name is not None:
            self.reg_set(root, key, "DeviceName", REG_SZ, sz(device_name), view)

    def write_file(self, relative, data):
        """Writes a file under C:\\qel-gui and returns its Windows path."""
        path = os.path.join(self.files, *relative.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return "C:\\qel-gui\\" + relative

    # --- the program ---
    def start(self, cwd=None):
        with tempfile.TemporaryFile() as errors:
            self.quorvane = subprocess.Popen(
                [WINE, os.environ["QEL_QUORVANE"]], env=dict(self.env, WINEDEBUG="err+all"),
                cwd=cwd or self.files, stdout=subprocess.DEVNULL, stderr=errors)
            if self.wait_for_startup():
                return
            if self.quorvane.poll() is None:
                self.quorvane.kill()
            self.quorvane.wait(timeout=30)
            errors.seek(0)
            output = errors.read().decode(errors="replace")[-2000:]
        self.display.check()
        self.fail(f"start-up not finished on {self.display.name}, exit code {self.quorvane.returncode}:\n{output}")

    def wait_for_startup(self):
        """True once the log holds the start-up lines; False when Quorvane ended first."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.quorvane.poll() is None:
            self.display.check()
            try:
                self.driver("attach", 2000)
                # The log holds the start-up lines once WM_CREATE has run.
                self.driver("waitlog", "SDconnect fixed targets", 2000)
                return True
            except DriverError:
                pass
        return False

    def close_window(self):
        self.driver("close")
        return self.quorvane.wait(timeout=60)

    def text(self, control_id):
        return unescape(self.driver("text", control_id))

    def log_lines(self):
        return [line for line in self.text(ID_LOG).split("\r\n") if line]

    def log_texts(self):
        """The log lines without their time stamps, after checking the stamps' form."""
        texts = []
        for line in self.log_lines():
            self.assertRegex(line, r"^\[\d\d:\d\d:\d\d\] ")
            texts.append(line[11:])
        return texts

    def state(self, control_id):
        enabled, cls, style, exstyle, x, y, w, h, check = self.driver.fields("state", control_id)
        return dict(enabled=enabled == "1", cls=cls, style=int(style, 16), exstyle=int(exstyle, 16),
                    rect=(int(x), int(y), int(w), int(h)), checked=int(check))

    def items(self, control_id):
        fields = self.driver.fields("items", control_id)
        return int(fields[0]), fields[1:]

    def click(self, control_id):
        return self.driver("click", control_id)

    def message_box(self):
        caption, text, buttons = self.driver.fields("msgbox", 10000)
        return caption, text, int(buttons)

    def fill(self, server="http://127.0.0.1:1/", user="mechanic", password="secret", station="BAY-1"):
        for control_id, value in ((ID_SERVER, server), (ID_USERNAME, user), (ID_PASSWORD, password),
                                  (ID_STATION, station)):
            self.driver("settext", control_id, value)

    def wait_idle(self, timeout_ms=30000):
        self.driver("waitstate", ID_CONNECT, 1, timeout_ms)


def wait_until(test, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not test():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class StandIn:
    """The loopback relay/bridge stand-in, with its control line protocol."""

    def __init__(self, user, password):
        import socket
        standin = os.path.join(os.environ["QEL_STANDIN_DIR"], "relay_bridge.py")
        self.process = subprocess.Popen(
            ["/usr/bin/python3", standin, "--relay-port", "0", "--bridge-port", "0", "--control-port", "0",
             "--user", user, "--password", password, "--reply-timeout", "20",
             "--log", os.devnull], stdout=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline().split()
        if not ready or ready[0] != "READY":
            raise RuntimeError("stand-in did not start")
        ports = dict(word.split("=") for word in ready[1:])
        self.bridge_url = f"http://127.0.0.1:{ports['bridge']}/"
        self.control_port = int(ports["control"])
        self.control = socket.create_connection(("127.0.0.1", self.control_port))
        self.reader = self.control.makefile("r")

    def __call__(self, *words):
        self.control.sendall((" ".join(str(w) for w in words) + "\n").encode())
        answer = self.reader.readline().rstrip("\n")
        if not answer.startswith("ok"):
            raise RuntimeError(f"stand-in: {answer}")
        return answer[3:]

    def send_later(self, station, packet, timeout_ms):
        """Sends one request on a control line of its own, so that this one
        stays free while the request runs; the thread's answer list gets the
        stand-in's answer line."""
        import socket
        import threading

        def exchange():
            with socket.create_connection(("127.0.0.1", self.control_port)) as line:
                line.sendall(f"send {station} {packet.hex()} {timeout_ms}\n".encode())
                thread.answer.append(line.makefile("r").readline().rstrip("\n"))

        thread = threading.Thread(target=exchange, daemon=True)
        thread.answer = []
        thread.start()
        return thread

    def close(self):
        self.control.close()
        self.process.terminate()
        self.process.wait(timeout=10)


def request_packet(operation, request_id, payload=b""):
    return b"QEL1" + struct.pack("<HHII", 1, operation, request_id, len(payload)) + payload


def parse_response(data):
    magic, version, operation, request_id, status, length = struct.unpack("<4sHHIiI", data[:20])
    return dict(magic=magic, version=version, operation=operation, request_id=request_id, status=status,
                payload=data[20:20 + length])
