#!/usr/bin/python3
"""Checks the relay/bridge stand-in itself, with a WebSocket client in the
place of Quorvane and a raw TCP client in the place of Pellith."""

import asyncio
import base64
import pathlib
import re
import socket
import struct
import subprocess
import time
import unittest

import websockets

HERE = pathlib.Path(__file__).resolve().parent


def request(operation, request_id, payload=b""):
    return b"QEL1" + struct.pack("<HHII", 1, operation, request_id, len(payload)) + payload


def response_for(packet):
    _, operation, request_id = struct.unpack_from("<HHI", packet, 4)
    return b"QELR" + struct.pack("<HHIiI", 1, operation, request_id, 0, 4) + packet[8:12]


class StandinTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.process = subprocess.Popen(
            ["/usr/bin/python3", str(HERE / "relay_bridge.py"), "--relay-port", "0", "--bridge-port", "0",
             "--control-port", "0", "--base-path", "/b/", "--user", "u", "--password", "p", "--log", "/dev/null"],
            stdout=subprocess.PIPE, text=True)
        ready = cls.process.stdout.readline().split()
        assert ready[0] == "READY", ready
        cls.ports = {k: int(v) for k, v in (w.split("=") for w in ready[1:])}
        cls.control_socket = socket.create_connection(("127.0.0.1", cls.ports["control"]), timeout=10)
        cls.control_file = cls.control_socket.makefile("rw")

    @classmethod
    def tearDownClass(cls):
        cls.control_file.close()
        cls.control_socket.close()
        cls.process.terminate()
        cls.process.wait(10)
        cls.process.stdout.close()

    def control(self, line):
        self.control_file.write(line + "\n")
        self.control_file.flush()
        return self.control_file.readline().rstrip("\n")

    def setUp(self):
        self.assertEqual(self.control("reset"), "ok")

    def url(self, station):
        return f"ws://127.0.0.1:{self.ports['bridge']}/b/vci/ws?station={station}"

    @staticmethod
    def auth(user="u", password="p"):
        return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}

    def relay(self, station, magic=b"QELH"):
        link = socket.create_connection(("127.0.0.1", self.ports["relay"]), timeout=10)
        link.sendall(magic + struct.pack("<HH", 1, len(station)) + station.encode())
        return link

    @staticmethod
    def receive(link, count):
        data = b""
        while len(data) < count:
            chunk = link.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def test_upgrade_needs_the_credentials_and_one_connection_per_station(self):
        async def scenario():
            with self.assertRaises(websockets.InvalidStatusCode) as refused:
                await websockets.connect(self.url("S1"), extra_headers=self.auth(password="wrong"))
            self.assertEqual(refused.exception.status_code, 401)
            async with websockets.connect(self.url("S1"), extra_headers=self.auth()):
                with self.assertRaises(websockets.InvalidStatusCode) as second:
                    await websockets.connect(self.url("S1"), extra_headers=self.auth())
                self.assertEqual(second.exception.status_code, 409)
            self.assertEqual(self.control("reject 503"), "ok")
            with self.assertRaises(websockets.InvalidStatusCode) as rejected:
                await websockets.connect(self.url("S1"), extra_headers=self.auth())
            self.assertEqual(rejected.exception.status_code, 503)
        asyncio.run(scenario())

    def upgrade_answer(self, station):
        """The head of the answer to a raw upgrade request, as sent."""
        with socket.create_connection(("127.0.0.1", self.ports["bridge"]), timeout=10) as link:
            link.sendall((f"GET /b/vci/ws?station={station} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          f"Authorization: {self.auth()['Authorization']}\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n").encode())
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = link.recv(4096)
                if not chunk:
                    break
                head += chunk
            return head.decode()

    def test_redirect_names_a_second_listener_that_counts_its_visitors(self):
        self.assertEqual(self.control("redirect 307"), "ok")
        head = self.upgrade_answer("S5")
        self.assertTrue(head.startswith("HTTP/1.1 307 "), head)
        location = re.search(r"\r\nLocation: (\S+)\r\n", head).group(1)
        self.assertRegex(location, r"^http://127\.0\.0\.1:\d+/b/vci/ws\?station=S5$")
        self.assertEqual(self.control("redirect-hits"), "ok 0")
        socket.create_connection(("127.0.0.1", int(location.split(":")[2].split("/")[0])), timeout=10).close()
        deadline = time.monotonic() + 5
        while self.control("redirect-hits") != "ok 1" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.control("redirect-hits"), "ok 1")

    def test_silent_holds_the_upgrade_until_release(self):
        async def scenario():
            self.assertEqual(self.control("silent"), "ok")
            held = asyncio.ensure_future(websockets.connect(self.url("S6"), extra_headers=self.auth()))
            done, _ = await asyncio.wait({held}, timeout=1.5)
            self.assertEqual(done, set())
            self.assertEqual(self.control("release"), "ok")
            bridge = await asyncio.wait_for(held, 10)
            self.assertEqual(self.control("wait-connected S6 5000"), "ok")
            await bridge.close()
        asyncio.run(scenario())

    def run_bridge(self, station, client, answer_delay=0.0):
        """Serves `client(link)` in a thread while a WebSocket answers every request."""
        seen = []

        async def scenario():
            async with websockets.connect(self.url(station), extra_headers=self.auth(), max_size=None) as bridge:
                self.control(f"wait-connected {station} 5000")
                loop = asyncio.get_running_loop()
                done = loop.run_in_executor(None, client)

                async def answer():
                    async for message in bridge:
                        seen.append(message)
                        await asyncio.sleep(answer_delay)
                        await bridge.send(response_for(message))
                answering = asyncio.ensure_future(answer())
                result = await done
                answering.cancel()
                return result
        return asyncio.run(scenario()), seen

    def test_stream_is_cut_into_packets_answered_in_order(self):
        packets = [request(15, 1), request(6, 2, b"\x01" * 70000), request(5, 3, b"abcd")]

        def client():
            with self.relay("S2") as link:
                link.sendall(b"".join(packets))  # one write: the stand-in must split it by the headers
                return [self.receive(link, 24) for _ in packets]

        answers, seen = self.run_bridge("S2", client, answer_delay=0.05)
        self.assertEqual(seen, packets)
        self.assertEqual(answers, [response_for(p) for p in packets])

    def test_fragments_and_delay_leave_the_bytes_unchanged(self):
        self.assertEqual(self.control("fragments 4"), "ok")
        self.assertEqual(self.control("delay 300"), "ok")
        packet = request(9, 7, bytes(range(256)) * 10)

        def client():
            with self.relay("S3") as link:
                start = time.monotonic()
                link.sendall(packet)
                return self.receive(link, 24), time.monotonic() - start

        (answer, took), seen = self.run_bridge("S3", client)
        self.assertEqual(seen, [packet])
        self.assertEqual(answer, response_for(packet))
        self.assertGreaterEqual(took, 0.3)

    def test_relay_drop_and_a_bad_handshake_close_the_tcp_connection(self):
        self.assertEqual(self.control("relay-drop 1"), "ok")

        def client():
            with self.relay("S4") as dropped, self.relay("S4") as again, self.relay("S4", b"XELH") as bad:
                dropped.sendall(request(15, 1))
                first = self.receive(dropped, 24)
                again.sendall(request(15, 2))
                return first, self.receive(again, 24), self.receive(bad, 1)

        (first, second, bad), seen = self.run_bridge("S4", client)
        self.assertEqual(first, b"")
        self.assertEqual(second, response_for(request(15, 2)))
        self.assertEqual(seen, [request(15, 2)])
        self.assertEqual(bad, b"")


if __name__ == "__main__":
    unittest.main()
