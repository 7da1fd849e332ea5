#!/usr/bin/python3
"""The whole road on one machine: a diagnostic application's PassThru call
goes through Pellith, the loopback relay/bridge stand-in and Quorvane to the
simulated VCI, and its answer comes back.

usage: road.py <case>

Cases: demo, bench, session, relay-drop, late-reply, ws-close, long-read,
resend, refused-open, load.

Every case gets a Wine prefix of its own (a copy of one initialised prefix,
so it has its own wineserver and registry), an Xvfb display of its own, a
stand-in on free loopback ports, and a Quorvane window connected through the
GUI test driver with the simulated VCI registered as an installed J2534
interface. Everything started is stopped again, whatever happens.

The build products come from the environment: QEL_QUORVANE, QEL_DRIVER,
QEL_PELLITH, QEL_SIMVCI, QEL_ROAD_BIN (folder of the road's own clients),
QEL_STANDIN (the stand-in script), QEL_ROAD_WORK (a folder for prefixes,
logs and screenshots) and, for the benchmark, QEL_ROAD_ECHO (the native echo
server).
"""

import fcntl
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "common"))
from xdisplay import XDisplay, XDisplayError

# The build's Wine loader: the 64-bit build names wine64.
WINE = os.environ.get("QEL_WINE", "wine")
STATION = "BAY-7"
USER = "mechanic"
PASSWORD = "torque-42"
VCI_NAME = "Falkmere Simulated VCI"
VCI_FOLDER = ("Program Files (x86)", "Falkmere Simulated VCI")
J2534_LABEL = "J2534 Passthru.04.04"

ID_SERVER, ID_USERNAME, ID_PASSWORD, ID_STATION, ID_MODE, ID_VCI = 100, 101, 102, 103, 104, 105
ID_CONNECT, ID_DISCONNECT, ID_STATUS, ID_LOG = 108, 109, 110, 111
REG_SZ, REG_DWORD = 1, 4

AUTHENTICATED = f"Authenticated. Waiting for Vyr Corvell requests for station '{STATION}'."
# Stand-in log lines: a request as read from Pellith and one handed to the bridge.
RELAY_REQUEST = re.compile(r"relay \S+ \S+: request \d+ bytes ([0-9a-f.]+)")
TO_BRIDGE = re.compile(r"to bridge '[^']*': \d+ bytes ([0-9a-f.]+)")


def say(text):
    print(f"[road] {text}", flush=True)


class Failed(Exception):
    pass


def expect(condition, text):
    if not condition:
        raise Failed(text)


def wine_env(prefix, display=None):
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if display:
        env["DISPLAY"] = display
    return env


def windows_path(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def private_prefix(work, name):
    """A fresh copy of the road's base prefix, made once and then only copied.
    The system DLL folders are hard links: nothing writes to them."""
    base = work / "wineprefix"
    work.mkdir(parents=True, exist_ok=True)
    with open(f"{base}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (base / "system.reg").exists():
            say("initialising the base Wine prefix")
            env = wine_env(base)
            made = subprocess.run([WINE, "wineboot", "-i"], env=env, timeout=180, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
            subprocess.run(["wineserver", "-w"], env=env, timeout=120, check=False)
            if made.returncode != 0:
                shutil.rmtree(base, ignore_errors=True)
                last = made.stderr.strip().splitlines()[-1:] or ["no output"]
                raise Failed(f"Wine could not make a prefix with {WINE} (exit status {made.returncode}: {last[0]}); "
                             "on a host that runs no 32-bit program choose the 64-bit build (QEL_WINDOWS_BUILDS=64)")
    target = work / name / "prefix"
    if target.exists():
        subprocess.run(["wineserver", "-k"], env=wine_env(target), check=False, stderr=subprocess.DEVNULL)
        shutil.rmtree(target)
    shared = (base / "drive_c" / "windows" / "system32", base / "drive_c" / "windows" / "syswow64")

    def copy(source, destination):
        if pathlib.Path(source).is_relative_to(shared[0]) or pathlib.Path(source).is_relative_to(shared[1]):
            os.link(source, destination)
        else:
            shutil.copy2(source, destination)

    shutil.copytree(base, target, symlinks=True, copy_function=copy)
    return target


class Standin:
    """The loopback relay/bridge stand-in with its control line."""

    def __init__(self, script, log_path):
        self.log_path = log_path
        self.process = subprocess.Popen(
            ["/usr/bin/python3", str(script), "--relay-port", "0", "--bridge-port", "0", "--control-port", "0",
             "--user", USER, "--password", PASSWORD, "--station", STATION, "--log", str(log_path)],
            stdout=subprocess.PIPE, text=True)
        readable, _, _ = select.select([self.process.stdout], [], [], 20)
        words = self.process.stdout.readline().split() if readable else []
        if not words or words[0] != "READY":
            raise RuntimeError("the stand-in did not start")
        ports = dict(word.split("=") for word in words[1:])
        self.relay_port, self.bridge_port = int(ports["relay"]), int(ports["bridge"])
        self.control_port = int(ports["control"])
        self.control = socket.create_connection(("127.0.0.1", self.control_port), timeout=30)
        self.replies = self.control.makefile("r")

    def command(self, line):
        self.control.sendall((line + "\n").encode())
        reply = self.replies.readline().rstrip("\n")
        if not reply.startswith("ok"):
            raise Failed(f"stand-in command {line!r}: {reply}")
        return reply[3:]

    def log_lines(self):
        return self.log_path.read_text().splitlines() if self.log_path.exists() else []

    def close(self):
        self.control.close()
        self.process.terminate()
        self.process.wait(timeout=10)


class Driver:
    """Quorvane's GUI test driver: one tab-separated command line in, one
    answer line out. Every answer is awaited with a time limit, so a window
    that stops responding fails the case instead of hanging it."""

    def __init__(self, exe, env):
        self.process = subprocess.Popen([WINE, str(exe)], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def __call__(self, *fields, timeout=60):
        self.process.stdin.write(("\t".join(str(f) for f in fields) + "\n").encode())
        self.process.stdin.flush()
        readable, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not readable:
            raise Failed(f"the GUI driver did not answer {fields[0]} within {timeout} s")
        answer = self.process.stdout.readline().decode().rstrip("\r\n")
        status, _, rest = answer.partition("\t")
        if status != "ok":
            raise Failed(f"GUI driver {' '.join(map(str, fields))}: {rest or 'ended'}")
        return rest

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=20)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), text)


class Road:
    """Everything of one case, started in order and stopped in reverse; stop()
    ends whatever start() got to, also after a failure half-way."""

    def __init__(self, name, timeout_ms=None, quorvane_env=None):
        self.name = name
        self.timeout_ms = timeout_ms
        self.quorvane_env = quorvane_env or {}
        self.work = pathlib.Path(os.environ["QEL_ROAD_WORK"]).resolve()
        self.bin = pathlib.Path(os.environ["QEL_ROAD_BIN"])
        self.pellith = windows_path(os.environ["QEL_PELLITH"])
        self.stops = []

    def start(self):
        started = time.monotonic()
        self.prefix = private_prefix(self.work, self.name)
        self.stops.append(self.end_prefix)
        self.display = XDisplay()
        self.stops.append(self.display.close)
        self.env = wine_env(self.prefix, self.display.name)
        say(f"Wine prefix {self.prefix}, display {self.display.name}")

        standin_log = self.work / self.name / "standin.log"
        standin_log.unlink(missing_ok=True)
        self.standin = Standin(os.environ["QEL_STANDIN"], standin_log)
        self.stops.append(self.standin.close)
        say(f"stand-in: relay port {self.standin.relay_port}, bridge port {self.standin.bridge_port}")

        self.driver = Driver(os.environ["QEL_DRIVER"], self.env)
        self.stops.append(self.driver.close)
        self.register_vci()
        self.configure_pellith()

        # Wine's error messages of the window process are kept for a failure report.
        with open(self.work / self.name / "quorvane.out", "w") as output:
            self.quorvane = subprocess.Popen([WINE, os.environ["QEL_QUORVANE"]],
                                             env=dict(self.env, WINEDEBUG="fixme-all", **self.quorvane_env),
                                             cwd=self.work,
                                             stdout=output, stderr=subprocess.STDOUT)
        self.stops.append(self.close_quorvane)
        self.driver("attach", 30000, timeout=40)
        self.driver("waitlog", "SDconnect fixed targets", 30000, timeout=40)
        self.connect()
        say(f"Quorvane connected ({time.monotonic() - started:.1f} s after start)")

    def end_prefix(self):
        """Ends every Windows process of the case, then drops its prefix."""
        env = wine_env(self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, check=False, stderr=subprocess.DEVNULL, timeout=30)
        subprocess.run(["wineserver", "-w"], env=env, check=False, stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def stop(self):
        """Raises, once everything is stopped, when the X server had ended by
        itself: whatever else the case saw, that is its failure."""
        display_error = None
        while self.stops:
            try:
                self.stops.pop()()
            except XDisplayError as error:
                display_error = error
            except Exception as error:  # the rest must still be stopped
                say(f"while stopping: {error}")
        if display_error:
            raise display_error

    def register_vci(self):
        """Installs the simulated VCI the way a vendor's installer would: its
        library in Program Files (x86), its registration in the 32-bit view."""
        folder = self.prefix.joinpath("drive_c", *VCI_FOLDER)
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(os.environ["QEL_SIMVCI"], folder / "SimVci.dll")
        library = "C:\\" + "\\".join(VCI_FOLDER) + "\\SimVci.dll"
        key = "SOFTWARE\\PassThruSupport.04.04\\FalkmereSimVci"
        self.reg_set("HKLM", key, "FunctionLibrary", REG_SZ, library)
        self.reg_set("HKLM", key, "Name", REG_SZ, VCI_NAME)

    def configure_pellith(self):
        key = "Software\\Tarnwick\\RemoteVCI"
        self.reg_set("HKCU", key, "Host", REG_SZ, "127.0.0.1")
        self.reg_set("HKCU", key, "Port", REG_DWORD, self.standin.relay_port)
        self.reg_set("HKCU", key, "StationId", REG_SZ, STATION)
        if self.timeout_ms is not None:
            self.reg_set("HKCU", key, "TimeoutMs", REG_DWORD, self.timeout_ms)

    def reg_set(self, root, key, name, kind, value):
        data = (value + "\0").encode("utf-16-le") if kind == REG_SZ else value.to_bytes(4, "little")
        self.driver("regset", root, "32", key, name, kind, data.hex())

    def connect(self):
        """Fills the form and clicks Connect, as the user at the PC would."""
        self.driver("settext", ID_SERVER, f"http://127.0.0.1:{self.standin.bridge_port}/")
        self.driver("settext", ID_USERNAME, USER)
        self.driver("settext", ID_PASSWORD, PASSWORD)
        self.driver("settext", ID_STATION, STATION)
        self.driver("select", ID_MODE, 1)
        items = [unescape(item) for item in self.driver("items", ID_VCI).split("\t")[1:]]
        wanted = f"{VCI_NAME} [{J2534_LABEL}]"
        expect(wanted in items, f"Physical VCI list {items} lacks {wanted!r}")
        self.driver("select", ID_VCI, items.index(wanted))
        before = self.log_text().count(AUTHENTICATED)
        expect(self.driver("click", ID_CONNECT) == "done", "Connect was not accepted")
        self.wait_for(lambda: self.log_text().count(AUTHENTICATED) > before, 30, "the authenticated log line")

    def close_quorvane(self):
        if self.quorvane.poll() is None:
            try:
                self.driver("close", timeout=20)
                self.quorvane.wait(timeout=30)
            except (Failed, subprocess.TimeoutExpired):
                self.quorvane.kill()
                self.quorvane.wait()

    def log_text(self):
        return unescape(self.driver("text", ID_LOG))

    def log_lines(self):
        return [line for line in self.log_text().split("\r\n") if line]

    def log_texts(self):
        """The log lines without their "[hh:mm:ss] " stamps."""
        return [line[11:] for line in self.log_lines()]

    def wait_for(self, test, seconds, what):
        deadline = time.monotonic() + seconds
        while not test():
            if time.monotonic() > deadline:
                raise Failed(f"{what} did not come within {seconds} s")
            time.sleep(0.1)

    def wait_idle(self):
        self.driver("waitstate", ID_CONNECT, 1, 30000, timeout=40)
        expect(unescape(self.driver("text", ID_STATUS)) == "Not connected", "status text back to Not connected")

    def client(self, program, *args, timeout=120):
        """Runs one of the road's Windows clients to its end; prints its output."""
        say(f"{program} {' '.join(args)}")
        result = subprocess.run([WINE, str(self.bin / program), *args], env=self.env, timeout=timeout,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        print(result.stdout, end="", flush=True)
        return result.returncode

    def start_client(self, program, *args):
        say(f"{program} {' '.join(args)} (in the background)")
        return subprocess.Popen([WINE, str(self.bin / program), *args], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display.name, "-window", "root", str(path)], check=True,
                       timeout=30)
        return path

    def show_logs(self):
        """What there is to see after a failure, at whatever step it came."""
        if hasattr(self, "quorvane"):
            print("---- Quorvane log ----")
            try:
                print("\n".join(self.log_lines()))
            except Failed as error:
                print(f"(not readable: {error})")
        output = self.work / self.name / "quorvane.out"
        if output.exists() and output.stat().st_size:
            print("---- Quorvane's own output ----\n" + output.read_text(errors="replace"))
        if hasattr(self, "standin"):
            print("---- stand-in log (last 40 lines) ----")
            print("\n".join(self.standin.log_lines()[-40:]), flush=True)

    def expect_clean_log(self):
        """No line that only a failure of the connection writes."""
        for text in self.log_texts():
            expect(not text.startswith(("Connection error: ", "WebSocket receive ended")),
                   f"unexpected log line {text!r}")


def relay_attempts(lines):
    """How often the relay read each request packet (its bytes hold the
    request id) and how often it dropped the connection after reading it."""
    attempts = {}
    last = None
    for line in lines:
        if match := RELAY_REQUEST.search(line):
            last = match.group(1)
            attempts.setdefault(last, [0, 0])[0] += 1
        elif "dropping the connection as told" in line:
            attempts[last][1] += 1
    return attempts


def case_demo(road):
    expect(road.client("sample_app.exe", road.pellith) == 0, "the sample session failed")
    shot = road.screenshot(road.work / road.name / "quorvane.png")
    print(f"Screenshot of the Quorvane window: {shot}")


def case_bench(road):
    echo = subprocess.Popen([os.environ["QEL_ROAD_ECHO"]], stdout=subprocess.PIPE, text=True)
    try:
        port = echo.stdout.readline().strip()
        expect(road.client("road_bench.exe", road.pellith, port, timeout=300) == 0, "the benchmark failed")
    finally:
        echo.kill()
        echo.wait()


def case_session(road):
    expect(road.client("sample_app.exe", road.pellith) == 0, "the sample session failed")
    texts = road.log_texts()
    expect(f"Opening {J2534_LABEL}: {VCI_NAME}" in texts, "the Opening line")
    road.expect_clean_log()


def case_relay_drop(road):
    expect(road.client("road_faults.exe", road.pellith, str(road.standin.control_port), "relay-drop") == 0,
           "the relay-drop scenario failed")
    attempts = relay_attempts(road.standin.log_lines())
    dropped = sorted((count, drops) for count, drops in attempts.values() if drops)
    say(f"packets the relay dropped (times read, times dropped): {dropped}")
    # One call answered after its resend, two calls dropped on both attempts;
    # a packet is never sent a third time.
    expect(dropped == [(2, 1), (2, 2), (2, 2)], "each dropped packet resent once with the same request id")
    expect(all(count <= 2 for count, _ in attempts.values()), "no packet sent more than twice")
    road.expect_clean_log()


def case_late_reply(road):
    expect(road.client("road_faults.exe", road.pellith, str(road.standin.control_port), "late-reply") == 0,
           "the late-reply scenario failed")
    lines = road.standin.log_lines()
    start = next(i for i, line in enumerate(lines) if "control delay 6000" in line)
    end = next(i for i, line in enumerate(lines) if "control delay 0 ->" in line)
    late = [m.group(1) for line in lines[start:end] if (m := TO_BRIDGE.search(line))]
    say(f"requests sent to the bridge while replies were late: {len(late)}")
    expect(len(late) == 4 and late[0] == late[1] and late[2] == late[3] and late[0] != late[2],
           "each late call sent twice with its own request id, and no more")
    road.expect_clean_log()


def case_ws_close(road):
    port = str(road.standin.control_port)
    expect(road.client("road_faults.exe", road.pellith, port, "call") == 0, "the call before the close failed")
    road.standin.command(f"close {STATION}")
    road.driver("waitlog", "Disconnected.", 20000, timeout=30)
    road.wait_idle()
    road.expect_clean_log()
    road.connect()
    expect(road.client("road_faults.exe", road.pellith, port, "call") == 0, "the call after reconnecting failed")


def case_long_read(road):
    reader = road.start_client("road_faults.exe", road.pellith, str(road.standin.control_port), "long-read")
    try:
        road.wait_for(lambda: any(m and m.group(1).startswith("51454c3101000500")
                                  for m in map(TO_BRIDGE.search, road.standin.log_lines())),
                      30, "the ReadMsgs request at the bridge")
        time.sleep(1)
        clicked = time.monotonic()
        expect(road.driver("click", ID_DISCONNECT) == "done", "Disconnect was not accepted")
        say(f"Disconnect clicked; the window thread took {time.monotonic() - clicked:.1f} s over it")
        # Past the time after which the window lets a hung worker go: a vendor
        # call, which ends by itself, is waited for.
        time.sleep(3)
        expect("Disconnected." not in road.log_texts(), "Disconnected. logged while the vendor call still ran")
        road.driver("waitlog", "Disconnected.", 30000, timeout=40)
        road.wait_idle()
        output, _ = reader.communicate(timeout=60)
    finally:
        if reader.poll() is None:
            reader.kill()
            reader.wait()
    print(output, end="", flush=True)
    expect(reader.returncode == 0, "the long-read scenario failed")
    texts = road.log_texts()
    expect("Disconnect requested." in texts, "the Disconnect requested line")
    road.expect_clean_log()


def case_resend(road):
    expect(road.client("road_faults.exe", road.pellith, str(road.standin.control_port), "resend") == 0,
           "the resend scenario failed")
    sent = [m.group(1) for line in road.standin.log_lines() if (m := TO_BRIDGE.search(line))]
    twice = sorted(packet[12:16] for packet in set(sent) if sent.count(packet) == 2)
    say(f"operations handed to the bridge twice: {twice}")
    # The held WriteMsgs (6) and the long ReadMsgs (5) reached Quorvane twice
    # each, with the same bytes; that the interface ran each once, the client
    # saw in its echoes and its messages.
    expect(twice == ["0500", "0600"], "the WriteMsgs and the ReadMsgs each resent once with the same request id")
    expect(all(sent.count(packet) <= 2 for packet in sent), "no packet sent more than twice")
    road.expect_clean_log()


def case_refused_open(road):
    port = str(road.standin.control_port)
    expect(road.client("road_faults.exe", road.pellith, port, "refused-open") == 0,
           "the refused-open scenario failed")
    # The tester started again: its Open is the same packet but for the id.
    expect(road.client("road_faults.exe", road.pellith, port, "call") == 0,
           "the tester started again did not reach the interface")
    opens = [m.group(1) for line in road.standin.log_lines()
             if (m := TO_BRIDGE.search(line)) and m.group(1)[12:16] == "0100"]
    say(f"Open requests handed to the bridge: {opens}")
    expect(len(opens) == 2 and opens[0] != opens[1], "each start's Open under an id of its own")
    road.expect_clean_log()


def case_load(road):
    expect(road.client("road_load.exe", road.pellith, "8", "10000", timeout=240) == 0, "the load run failed")
    lines = road.standin.log_lines()
    read = sum(1 for line in lines if RELAY_REQUEST.search(line))
    forwarded = sum(1 for line in lines if TO_BRIDGE.search(line))
    say(f"requests read by the relay: {read}, handed to the bridge: {forwarded}")
    # The threads' 10,000 calls plus the Open and the Close around them, each once.
    expect(read == forwarded == 10002, "every call carried exactly once")
    road.expect_clean_log()


CASES = {
    "demo": (case_demo, None),
    "bench": (case_bench, None),
    "session": (case_session, None),
    "relay-drop": (case_relay_drop, None),
    "late-reply": (case_late_reply, 5000),
    "ws-close": (case_ws_close, None),
    "long-read": (case_long_read, 12000),
    "resend": (case_resend, 5000),
    "refused-open": (case_refused_open, None),
    "load": (case_load, None),
}


# Environment of Quorvane, and so of the simulated VCI inside it, for the cases that need one.
QUORVANE_ENVIRONMENT = {
    "refused-open": {"QEL_SIMVCI_REFUSE_OPEN": "1"},
}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in CASES:
        sys.exit(__doc__)
    name = sys.argv[1]
    run, timeout_ms = CASES[name]
    # Being told to stop still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    started = time.monotonic()
    road = Road(name, timeout_ms, QUORVANE_ENVIRONMENT.get(name))
    try:
        try:
            road.start()
            run(road)
            print("---- Quorvane log ----\n" + "\n".join(road.log_lines()), flush=True)
        except Exception:
            road.show_logs()
            raise
        finally:
            road.stop()
    except (Failed, subprocess.TimeoutExpired, RuntimeError, OSError) as error:
        say(f"FAILED: {error}")
        return 1
    say(f"{name} passed in {time.monotonic() - started:.1f} s; every process it started has ended")
    return 0


if __name__ == "__main__":
    sys.exit(main())
