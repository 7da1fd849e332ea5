"""Connect and Disconnect as a user does them, against the loopback
relay/bridge stand-in, with the simulated VCI registered as the interface."""
import os
import shutil
import struct
import subprocess
import time
import unittest

from harness import (GuiTestCase, J2534, REG_SZ, SETTINGS_KEY, StandIn, ID_CONNECT, ID_DISCONNECT, ID_LOG,
                     ID_MODE, ID_PASSWORD, ID_REMEMBER, ID_SCAN, ID_SERVER, ID_STATION, ID_STATUS, ID_USERNAME,
                     ID_VCI, parse_response, request_packet, sz, wait_until)

SELECT_WARNING = "Select an installed 32-bit physical J2534 VCI."
FORM_WARNING = "Enter the HTTPS server URL, username, password, and a valid 3-64 character station name."
WM_BRIDGE_LOG, WM_BRIDGE_FINISHED = 0x8001, 0x8003
FORM = (ID_SERVER, ID_USERNAME, ID_PASSWORD, ID_STATION, ID_MODE, ID_VCI, ID_SCAN, ID_REMEMBER)
OPEN, CONNECT, READ_MSGS = 1, 3, 5
CAN = 5
TRACE = "simvci-trace.txt"


class ConnectionTest(GuiTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.standin = StandIn("mech", "bench")
        # The simulated VCI runs inside Quorvane: its trace shows when the
        # library came and went and which calls returned.
        cls.env = dict(cls.env, QEL_SIMVCI_TRACE="C:\\qel-gui\\" + TRACE)

    @classmethod
    def tearDownClass(cls):
        cls.standin.close()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.standin("reset")
        self.library = self.write_file("sim\\SimVci.dll", open(os.environ["QEL_SIMVCI"], "rb").read())
        self.trace_path = os.path.join(self.files, TRACE)
        if os.path.exists(self.trace_path):
            os.remove(self.trace_path)

    def trace(self):
        if not os.path.exists(self.trace_path):
            return []
        with open(self.trace_path) as trace:
            return trace.read().splitlines()

    def call(self, station, operation, request_id, payload=b""):
        """One request through the stand-in to the connected Quorvane; its reply."""
        packet = request_packet(operation, request_id, payload)
        reply = parse_response(bytes.fromhex(self.standin("send", station, packet.hex(), 20000)))
        self.assertEqual((reply["operation"], reply["request_id"]), (operation, request_id))
        return reply

    def start_j2534(self, registered=True):
        if registered:
            self.register("Sim", self.library, name="Sim Bench")
        self.reg_set("HKCU", SETTINGS_KEY, "VciMode", REG_SZ, sz(J2534))
        self.start()

    def assert_form(self, connected):
        self.assertEqual(self.state(ID_CONNECT)["enabled"], not connected)
        self.assertEqual(self.state(ID_DISCONNECT)["enabled"], connected)
        for control_id in FORM:
            self.assertEqual(self.state(control_id)["enabled"], not connected, control_id)
        self.assertEqual(self.state(ID_LOG)["enabled"], True)
        self.assertEqual(self.text(ID_STATUS), "Connected / waiting for Vyr" if connected else "Not connected")

    def new_log(self, before):
        return self.log_texts()[len(before):]

    def connect(self, user="mech", password="bench", station="BAY-1"):
        self.fill(server=self.standin.bridge_url, user=user, password=password, station=station)
        self.assertEqual(self.click(ID_CONNECT), "done")

    def test_warnings_save_and_log_nothing(self):
        self.start_j2534(registered=False)
        before = self.log_texts()
        self.fill(password="")
        # The interface is checked first, whatever else the form holds.
        self.assertEqual(self.click(ID_CONNECT), "msgbox")
        self.assertEqual(self.message_box(), ("Falkmere", SELECT_WARNING, 1))
        self.close_window()

        self.start_j2534()
        before = self.log_texts()
        refused = [dict(server=""), dict(user=""), dict(password=""), dict(station="ab"),
                   dict(station="a" * 65), dict(station="BAY 1"), dict(station="BAY/1"), dict(station="BAY:1")]
        for fields in refused:
            with self.subTest(fields):
                self.fill(**fields)
                self.assertEqual(self.click(ID_CONNECT), "msgbox")
                self.assertEqual(self.message_box(), ("Falkmere", FORM_WARNING, 1))
                self.assertEqual(self.log_texts(), before)
                self.assert_form(connected=False)
        self.assertIsNone(self.reg_get("HKCU", SETTINGS_KEY, "ServerUrl"))

        # Accepted stations start a connection; a one-letter URL then fails in the worker.
        for station in ("abc", "a" * 64, "Bay-1.x_Y", "Ünïcode9"):
            with self.subTest(station=station):
                mark = self.log_texts()
                self.fill(server="x", station=station)
                self.assertEqual(self.click(ID_CONNECT), "done")
                self.wait_idle()
                lines = self.new_log(mark)
                self.assertEqual(lines[0], "Opening " + J2534 + ": Sim Bench")
                self.assertTrue(lines[1].startswith("Connection error: "), lines)
                self.assertEqual(lines[-1], "Disconnected.")
                self.assert_form(connected=False)

    def test_connect_serve_and_disconnect_twice(self):
        self.start_j2534()
        before = self.log_texts()
        self.connect()
        self.assert_form(connected=True)
        self.standin("wait-connected", "BAY-1", 20000)
        self.driver("waitlog", "Waiting for Vyr Corvell requests", 20000)
        lines = self.new_log(before)
        self.assertEqual(lines[0], "Opening " + J2534 + ": Sim Bench")

        # A request reaches the simulated VCI through the selected library.
        reply = parse_response(bytes.fromhex(self.standin("send", "BAY-1", request_packet(1, 77).hex(), 20000)))
        self.assertEqual((reply["magic"], reply["operation"], reply["request_id"], reply["status"]),
                         (b"QELR", 1, 77, 0))
        self.assertEqual(len(reply["payload"]), 4)
        shot = os.environ.get("QEL_SCREENSHOT")
        if shot:
            subprocess.run(["import", "-window", "root", shot], env=self.env, check=True)

        self.driver("postclicks", ID_DISCONNECT, 2)
        self.wait_idle()
        lines = self.new_log(before)
        self.assertEqual(lines.count("Disconnect requested."), 2)
        self.assertLess(lines.index("Disconnect requested."), lines.index("Disconnected."))
        self.assertEqual(lines[-1], "Disconnected.")
        self.assertEqual(self.standin("wait-closed", "BAY-1", 10000), "1000")
        self.assert_form(connected=False)

    def test_server_close_then_reconnect_then_close_window(self):
        self.start_j2534()
        self.connect()
        self.standin("wait-connected", "BAY-1", 20000)
        before = self.log_texts()
        self.standin("close", "BAY-1")
        self.wait_idle()
        self.assertEqual(self.new_log(before)[-1], "Disconnected.")
        self.assert_form(connected=False)

        # A fresh connection after the end; then the window is closed while it runs.
        upgrades = int(self.standin("upgrades"))
        self.assertEqual(self.click(ID_CONNECT), "done")
        self.standin("wait-connected", "BAY-1", 20000)
        self.assertEqual(int(self.standin("upgrades")), upgrades + 1)
        self.assert_form(connected=True)
        self.assertEqual(self.close_window(), 0)
        self.assertEqual(self.standin("wait-closed", "BAY-1", 10000), "1000")

    def test_refused_login_returns_to_idle(self):
        self.start_j2534()
        before = self.log_texts()
        self.connect(password="wrong")
        self.wait_idle()
        lines = self.new_log(before)
        self.assertEqual(lines[0], "Opening " + J2534 + ": Sim Bench")
        self.assertTrue(any(line.startswith("Connection error: ") for line in lines), lines)
        self.assertEqual(lines[-1], "Disconnected.")
        self.assert_form(connected=False)

    def answers_at_once(self):
        """Milliseconds the window takes to answer a message; a test failure after one second."""
        try:
            return int(self.driver("ping", 1000))
        except Exception as error:
            self.fail(f"the window did not answer within a second: {error}")

    def assert_forged_messages_change_nothing(self, connected):
        # Another program can post the worker's message numbers with any values.
        before = self.log_texts()
        for message, lparam in ((WM_BRIDGE_LOG, 0), (WM_BRIDGE_LOG, 0x12345678), (WM_BRIDGE_LOG, 2**32 - 16),
                                (WM_BRIDGE_FINISHED, 0), (WM_BRIDGE_FINISHED, 0x12345678)):
            self.driver("post", 0, message, 0, lparam)
        self.answers_at_once()
        self.assertIsNone(self.quorvane.poll())
        self.assertEqual(self.log_texts(), before)
        self.assert_form(connected=connected)

    def test_messages_from_other_programs_change_nothing(self):
        self.start_j2534()
        self.assert_forged_messages_change_nothing(connected=False)
        self.connect()
        self.standin("wait-connected", "BAY-1", 20000)
        self.driver("waitlog", "Waiting for Vyr Corvell requests", 20000)
        self.assert_forged_messages_change_nothing(connected=True)

        # The connection they met still serves and ends as usual.
        reply = parse_response(bytes.fromhex(self.standin("send", "BAY-1", request_packet(1, 5).hex(), 20000)))
        self.assertEqual((reply["request_id"], reply["status"]), (5, 0))
        before = self.log_texts()
        self.click(ID_DISCONNECT)
        self.wait_idle()
        self.assertEqual(self.new_log(before), ["Disconnect requested.", "Disconnected."])

    def test_disconnect_and_close_while_the_server_never_answers_the_handshake(self):
        self.start_j2534()
        before = self.log_texts()
        upgrades = int(self.standin("upgrades"))
        self.standin("silent")
        self.connect(station="HELD-1")
        self.assertTrue(wait_until(lambda: int(self.standin("upgrades")) > upgrades), "no upgrade request seen")

        # Posted, so that the driver itself never waits for the window.
        self.driver("postclicks", ID_DISCONNECT, 1)
        self.driver("waitlog", "Disconnect requested.", 5000)
        self.answers_at_once()
        self.wait_idle(10000)
        self.answers_at_once()
        self.assertEqual(self.new_log(before), ["Opening " + J2534 + ": Sim Bench", "Disconnect requested.",
                                                "Disconnected."])
        self.assert_form(connected=False)

        # The given-up handshake, answered late, leaves no trace in the log, and
        # a new connection runs as usual.
        self.standin("release")
        self.assertTrue(wait_until(lambda: self.standin("wait-closed", "HELD-1", 5000) != "None"),
                        "the late handshake never ended")
        self.assertEqual(self.standin("wait-closed", "HELD-1", 5000), "1000")
        self.connect(station="BAY-2")
        self.driver("waitlog", "station 'BAY-2'", 20000)
        self.click(ID_DISCONNECT)
        self.wait_idle()
        opening = "Opening " + J2534 + ": Sim Bench"
        self.assertEqual(self.new_log(before), [opening, "Disconnect requested.", "Disconnected.", opening,
                                                "Authenticated. Waiting for Vyr Corvell requests for station 'BAY-2'.",
                                                "Disconnect requested.", "Disconnected."])

        # Closing the window during such a handshake ends the program at once.
        self.standin("silent")
        upgrades = int(self.standin("upgrades"))
        self.connect(station="HELD-2")
        self.assertTrue(wait_until(lambda: int(self.standin("upgrades")) > upgrades), "no upgrade request seen")
        self.driver("close")
        self.assertEqual(self.quorvane.wait(timeout=15), 0)

    def test_disconnect_and_close_while_the_server_never_answers_the_close(self):
        self.start_j2534()
        before = self.log_texts()
        self.connect(station="DEAF-1")
        self.driver("waitlog", "station 'DEAF-1'", 20000)
        self.assertEqual(self.call("DEAF-1", OPEN, 1)["status"], 0)
        self.standin("deaf", "DEAF-1")
        self.driver("postclicks", ID_DISCONNECT, 1)
        self.driver("waitlog", "Disconnect requested.", 5000)
        self.answers_at_once()
        self.wait_idle(10000)
        self.assertEqual(self.new_log(before), ["Opening " + J2534 + ": Sim Bench",
                                                "Authenticated. Waiting for Vyr Corvell requests for station 'DEAF-1'.",
                                                "Disconnect requested.", "Disconnected."])
        self.assert_form(connected=False)
        # The given-up connection took the library, and the device left open
        # in it, along: the next connection opens the device on a fresh load.
        self.assertEqual(self.trace()[-1], "detach (FreeLibrary)")
        self.connect(station="BAY-4")
        self.driver("waitlog", "station 'BAY-4'", 20000)
        self.assertEqual(self.call("BAY-4", OPEN, 1)["status"], 0)
        self.assertEqual(self.trace().count("attach"), 2)
        self.assertEqual(self.close_window(), 0)

    def test_closing_waits_for_the_running_vendor_call(self):
        self.start_j2534()
        self.connect()
        self.driver("waitlog", "Waiting for Vyr Corvell requests", 20000)
        device = self.call("BAY-1", OPEN, 1)
        self.assertEqual(device["status"], 0)
        channel = self.call("BAY-1", CONNECT, 2, device["payload"] + struct.pack("<III", CAN, 0, 500000))
        self.assertEqual(channel["status"], 0)
        # A read that waits 8 s in the vendor for a message that never comes.
        self.standin.send_later("BAY-1", request_packet(READ_MSGS, 3, channel["payload"] + struct.pack("<II", 1, 8000)),
                                30000)
        self.assertTrue(wait_until(lambda: "PassThruReadMsgs begins" in self.trace()), "the read never reached the VCI")
        before = self.log_texts()
        self.driver("close")
        self.driver("close")
        self.answers_at_once()
        # Past the time after which a stopped worker outside a vendor call is given up.
        time.sleep(3)
        self.assertIsNone(self.quorvane.poll(), "Quorvane ended during the vendor call")
        self.answers_at_once()
        self.assertEqual(self.new_log(before), ["Closing after the running J2534 call returns."])
        self.assertEqual(self.quorvane.wait(timeout=30), 0)
        trace = self.trace()
        self.assertIn("PassThruReadMsgs returns", trace)
        self.assertEqual(trace[-1], "detach (FreeLibrary)")

    def test_disconnect_during_the_handshake_closes_the_connection_it_opens(self):
        self.start_j2534()
        before = self.log_texts()
        upgrades = int(self.standin("upgrades"))
        self.standin("upgrade-delay", 1000)
        self.connect(station="SLOW-1")
        self.assertTrue(wait_until(lambda: int(self.standin("upgrades")) > upgrades), "no upgrade request seen")
        self.driver("postclicks", ID_DISCONNECT, 1)
        self.wait_idle(10000)
        self.assertTrue(wait_until(lambda: self.standin("wait-closed", "SLOW-1", 5000) != "None"),
                        "the handshake never ended")
        self.assertEqual(self.standin("wait-closed", "SLOW-1", 5000), "1000")
        self.assertEqual(self.new_log(before), ["Opening " + J2534 + ": Sim Bench", "Disconnect requested.",
                                                "Disconnected."])


if __name__ == "__main__":
    unittest.main()
