#!/usr/bin/python3
"""Loopback stand-in for the relay service and the bridge server.

Bridge side: a WebSocket server that accepts GET <base>/vci/ws?station=<id>
with the configured Basic credentials, one connection per station.
Relay side: a TCP server that takes the "QELH" handshake, cuts the stream into
request packets by their 16-byte header, hands each one unchanged to the
station's bridge connection and returns the answer on the same TCP
connection, one request at a time.
Control side: a line protocol on TCP (one command line in, one reply line
out) through which tests make the servers misbehave the way real ones can.

Everything listens on 127.0.0.1 only. Port 0 picks a free port; once all
three listen, one line "READY relay=<port> bridge=<port> control=<port>" goes
to stdout. Traffic is logged to stderr (or --log).
"""

import argparse
import asyncio
import base64
import http
import logging
import socket
import ssl
import struct
import sys
import urllib.parse

import websockets
import websockets.legacy.server
from websockets.frames import Opcode

HOST = "127.0.0.1"
REQUEST_HEADER_BYTES = 16
MAX_REQUEST_BYTES = 16 + 0x2000000
HANDSHAKE_MAGIC = b"QELH"
log = logging.getLogger("standin")


def preview(data):
    head = data[:32].hex()
    return f"{len(data)} bytes {head}{'...' if len(data) > 32 else ''}"


class Station:
    """One bridge connection and the answers that arrive on it."""

    def __init__(self, name, socket):
        self.name = name
        self.socket = socket
        self.replies = asyncio.Queue()
        self.exchange = asyncio.Lock()
        self.closed = asyncio.Event()
        self.close_code = None


class Standin:
    def __init__(self, args):
        self.args = args
        self.stations = {}
        self.last_close_code = {}
        self.release = asyncio.Event()
        self.redirect_hits = 0
        self.redirect_target = None
        self.reset_controls()
        self.upgrades = []
        self.relay_writers = set()
        self.station_changed = asyncio.Condition()

    def reset_controls(self):
        self.reject_status = 0
        self.upgrade_delay_ms = 0
        self.fragments = 1
        self.reply_delay_ms = 0
        self.relay_drops = 0
        self.redirect_status = 0
        self.release.set()

    # ----- bridge side -------------------------------------------------

    def expected_path(self):
        base = self.args.base_path.rstrip("/")
        return base + "/vci/ws"

    async def process_request(self, path, headers):
        self.upgrades.append((path, headers))
        log.info("upgrade GET %s auth=%s version=%s agent=%s", path,
                 "yes" if "Authorization" in headers else "no",
                 headers.get("X-QEL-Client-Version"), headers.get("User-Agent"))
        if not self.release.is_set():
            log.info("upgrade held unanswered")
            await self.release.wait()
        if self.upgrade_delay_ms:
            await asyncio.sleep(self.upgrade_delay_ms / 1000)
        if self.reject_status:
            return self.reply(self.reject_status)
        if self.redirect_status:
            target = f"http://{HOST}:{self.redirect_target}{path}"
            return self.reply(self.redirect_status, [("Location", target)])
        url = urllib.parse.urlsplit(path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        if url.path != self.expected_path() or "station" not in query:
            return self.reply(404)
        if headers.get("Authorization") != self.expected_authorization():
            return self.reply(401, [("WWW-Authenticate", 'Basic realm="vci"')])
        station = query["station"][0]
        if self.args.station and station not in self.args.station:
            return self.reply(403)
        if station in self.stations:
            return self.reply(409)
        return None

    def reply(self, status, headers=()):
        log.info("upgrade answered %d", status)
        return http.HTTPStatus(status), list(headers), b""

    def expected_authorization(self):
        pair = f"{self.args.user}:{self.args.password}".encode()
        return "Basic " + base64.b64encode(pair).decode()

    async def bridge_connection(self, socket, path):
        name = urllib.parse.parse_qs(urllib.parse.urlsplit(path).query)["station"][0]
        station = Station(name, socket)
        async with self.station_changed:
            self.stations[name] = station
            self.station_changed.notify_all()
        log.info("bridge %r connected", name)
        try:
            async for message in socket:
                if isinstance(message, str):
                    log.info("bridge %r sent text %r", name, message)
                    continue
                log.info("bridge %r answered %s", name, preview(message))
                await station.replies.put(message)
        except websockets.ConnectionClosed:
            pass
        finally:
            station.close_code = socket.close_code
            self.last_close_code[name] = socket.close_code
            station.closed.set()
            async with self.station_changed:
                if self.stations.get(name) is station:
                    del self.stations[name]
                self.station_changed.notify_all()
            log.info("bridge %r closed with code %s", name, socket.close_code)

    async def send_request(self, station, packet):
        """Sends one request the way the current controls say."""
        log.info("to bridge %r: %s", station.name, preview(packet))
        if self.fragments <= 1:
            await station.socket.send(packet)
            return
        count = self.fragments
        size = -(-len(packet) // count) if packet else 0
        parts = [packet[i * size:(i + 1) * size] for i in range(count)] if size else [b""] * count
        for index, part in enumerate(parts):
            last = index == len(parts) - 1
            opcode = Opcode.BINARY if index == 0 else Opcode.CONT
            await station.socket.write_frame(last, opcode, part)

    async def exchange(self, station, packet, timeout):
        async with station.exchange:
            await self.send_request(station, packet)
            return await self.next_reply(station, timeout)

    async def next_reply(self, station, timeout):
        reply = asyncio.ensure_future(station.replies.get())
        closed = asyncio.ensure_future(station.closed.wait())
        done, _ = await asyncio.wait({reply, closed}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
        closed.cancel()
        if reply in done:
            return reply.result()
        reply.cancel()
        if closed in done:
            raise ConnectionError(f"station {station.name} closed with code {station.close_code}")
        raise asyncio.TimeoutError(f"no answer from station {station.name}")

    async def find_station(self, name, timeout):
        async def present():
            async with self.station_changed:
                await self.station_changed.wait_for(lambda: name in self.stations)
            return self.stations[name]
        return await asyncio.wait_for(present(), timeout)

    async def redirect_connection(self, reader, writer):
        """The place a redirect names: it only counts who comes."""
        self.redirect_hits += 1
        log.info("redirect target: connection from %s", writer.get_extra_info("peername"))
        writer.close()

    async def redirect_port(self):
        if self.redirect_target is None:
            server = await asyncio.start_server(self.redirect_connection, HOST, 0)
            self.redirect_target = server.sockets[0].getsockname()[1]
        return self.redirect_target

    # ----- relay side --------------------------------------------------

    async def relay_connection(self, reader, writer):
        self.relay_writers.add(writer)
        peer = writer.get_extra_info("peername")
        try:
            head = await reader.readexactly(8)
            magic, version, length = struct.unpack("<4sHH", head)
            if magic != HANDSHAKE_MAGIC or version != 1:
                log.info("relay %s: bad handshake %s", peer, head.hex())
                return
            name = (await reader.readexactly(length)).decode("utf-8", "replace")
            log.info("relay %s: handshake for station %r", peer, name)
            while True:
                header = await reader.readexactly(REQUEST_HEADER_BYTES)
                (payload_length,) = struct.unpack_from("<I", header, 12)
                if payload_length > MAX_REQUEST_BYTES - REQUEST_HEADER_BYTES:
                    log.info("relay %s: payload length %d too large", peer, payload_length)
                    return
                packet = header + await reader.readexactly(payload_length)
                log.info("relay %s: request %s", peer, preview(packet))
                if self.relay_drops > 0:
                    self.relay_drops -= 1
                    log.info("relay %s: dropping the connection as told", peer)
                    return
                station = self.stations.get(name)
                if station is None:
                    log.info("relay %s: station %r is not connected", peer, name)
                    return
                try:
                    answer = await self.exchange(station, packet, self.args.reply_timeout)
                except (asyncio.TimeoutError, ConnectionError):
                    log.info("relay %s: no answer from station %r", peer, name)
                    return
                if self.reply_delay_ms:
                    await asyncio.sleep(self.reply_delay_ms / 1000)
                log.info("relay %s: response %s", peer, preview(answer))
                writer.write(answer)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            self.relay_writers.discard(writer)
            writer.close()
            log.info("relay %s: closed", peer)

    # ----- control side ------------------------------------------------

    async def control_connection(self, reader, writer):
        try:
            while line := await reader.readline():
                words = line.decode().rstrip("\r\n").split(" ")
                try:
                    answer = await self.command(words[0], words[1:])
                    reply = "ok" + (" " + answer if answer else "")
                except Exception as error:  # every failure goes back to the test
                    reply = f"error {type(error).__name__} {error}".strip()
                log.info("control %s -> %s", " ".join(words)[:80], reply[:80])
                writer.write((reply + "\n").encode())
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    async def command(self, name, args):
        if name == "reject":  # reject <status>: answer upgrades with it; 0 accepts again
            self.reject_status = int(args[0])
        elif name == "upgrade-delay":  # upgrade-delay <ms>: hold each upgrade answer this long
            self.upgrade_delay_ms = int(args[0])
        elif name == "redirect":  # redirect <status>: send upgrades to a second listener; 0 stops
            await self.redirect_port()
            self.redirect_status = int(args[0])
        elif name == "redirect-hits":  # connections the second listener has seen
            return str(self.redirect_hits)
        elif name == "silent":  # take each upgrade request and answer nothing, until release or reset
            self.release.clear()
        elif name == "release":  # held upgrades go on as the other controls say
            self.release.set()
        elif name == "fragments":  # fragments <count>: split each request into frames
            self.fragments = int(args[0])
        elif name == "delay":  # delay <ms>: hold each relay response this long
            self.reply_delay_ms = int(args[0])
        elif name == "relay-drop":  # relay-drop <n>: drop the next n relay requests
            self.relay_drops = int(args[0])
        elif name == "relay-close-all":  # drop every open relay TCP connection
            for writer in list(self.relay_writers):
                writer.transport.abort()
        elif name == "upgrades":  # number of upgrade requests seen so far
            return str(len(self.upgrades))
        elif name == "authorization-seen":  # did any upgrade carry Authorization
            return "yes" if any("Authorization" in h for _, h in self.upgrades) else "no"
        elif name == "path":  # path and query of the last upgrade
            return self.upgrades[-1][0]
        elif name == "header":  # header <name>: its value in the last upgrade
            return self.upgrades[-1][1].get(args[0], "")
        elif name == "wait-connected":  # wait-connected <station> <ms>
            await self.find_station(args[0], int(args[1]) / 1000)
        elif name == "wait-closed":  # wait-closed <station> <ms>: the code its last connection closed with
            station = self.stations.get(args[0])
            if station is not None:
                await asyncio.wait_for(station.closed.wait(), int(args[1]) / 1000)
            return str(self.last_close_code.get(args[0]))
        elif name == "send":  # send <station> <hex> [ms]: one request, answers the reply in hex
            station = await self.find_station(args[0], 5)
            timeout = int(args[2]) / 1000 if len(args) > 2 else self.args.reply_timeout
            return (await self.exchange(station, bytes.fromhex(args[1]), timeout)).hex()
        elif name == "send-size":  # send-size <station> <hex header> <total> [ms]: zero-filled
            station = await self.find_station(args[0], 5)
            packet = bytearray(int(args[2]))
            header = bytes.fromhex(args[1])
            packet[:len(header)] = header
            timeout = int(args[3]) / 1000 if len(args) > 3 else self.args.reply_timeout
            return (await self.exchange(station, bytes(packet), timeout)).hex()
        elif name == "recv":  # recv <station> <ms>: an answer nobody asked for, in hex, or "none"
            station = await self.find_station(args[0], 5)
            try:
                return (await self.next_reply(station, int(args[1]) / 1000)).hex()
            except asyncio.TimeoutError:
                return "none"
        elif name == "text":  # text <station> <text>: one text message
            station = await self.find_station(args[0], 5)
            await station.socket.send(" ".join(args[1:]))
        elif name == "close":  # close <station> [code]: send a close frame
            station = await self.find_station(args[0], 5)
            code = int(args[1]) if len(args) > 1 else 1000
            asyncio.get_running_loop().create_task(station.socket.close(code))
        elif name == "deaf":  # deaf <station>: read nothing more from it, so its close is never answered
            station = await self.find_station(args[0], 5)
            station.socket.transport.pause_reading()
        elif name == "drop":  # drop <station>: reset the TCP connection, no close frame
            station = await self.find_station(args[0], 5)
            raw = station.socket.transport.get_extra_info("socket")
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            station.socket.transport.abort()
        elif name == "reset":  # every control back to normal behaviour
            self.reset_controls()
        else:
            raise ValueError(f"unknown command {name}")
        return ""

    # ----- start-up ----------------------------------------------------

    async def serve(self):
        tls = None
        if self.args.tls_cert:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(self.args.tls_cert, self.args.tls_key)
        bridge = await websockets.serve(
            self.bridge_connection, HOST, self.args.bridge_port, ssl=tls,
            process_request=self.process_request, max_size=MAX_REQUEST_BYTES,
            ping_interval=None, compression=None)
        relay = await asyncio.start_server(self.relay_connection, HOST, self.args.relay_port)
        control = await asyncio.start_server(self.control_connection, HOST, self.args.control_port)
        ports = [s.sockets[0].getsockname()[1] for s in (relay, bridge, control)]
        print("READY relay=%d bridge=%d control=%d" % tuple(ports), flush=True)
        log.info("listening: relay %d, bridge %d%s, control %d", ports[0], ports[1],
                 " (TLS)" if tls else "", ports[2])
        await asyncio.Event().wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--relay-port", type=int, default=28434, help="relay TCP port (0: any free)")
    parser.add_argument("--bridge-port", type=int, default=8080, help="bridge WebSocket port (0: any free)")
    parser.add_argument("--control-port", type=int, default=0, help="control port (0: any free)")
    parser.add_argument("--base-path", default="", help="path in front of /vci/ws")
    parser.add_argument("--user", default="user", help="Basic user name")
    parser.add_argument("--password", default="password", help="Basic password")
    parser.add_argument("--station", action="append", help="accepted station (repeat; default: any)")
    parser.add_argument("--reply-timeout", type=float, default=120, help="seconds to wait for an answer")
    parser.add_argument("--tls-cert", help="serve the bridge over TLS with this PEM certificate")
    parser.add_argument("--tls-key", help="private key of --tls-cert")
    parser.add_argument("--log", help="log file instead of stderr")
    args = parser.parse_args()
    logging.basicConfig(filename=args.log, level=logging.INFO,
                        format="%(asctime)s.%(msecs)03d %(message)s", datefmt="%H:%M:%S")
    logging.getLogger("websockets").setLevel(logging.WARNING)
    try:
        asyncio.run(Standin(args).serve())
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
