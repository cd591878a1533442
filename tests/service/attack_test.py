"""orva-service against hostile and careless clients, on loopback: each test
is one way a client on the factory network could stall the scales, make the
service hold memory, lock other clients out, or be read by a page of another
site. Every test is bounded in time; limits are configured small where that
keeps a test quick."""
import http.client
import os
import re
import json
import resource
import socket
import stat
import struct
import subprocess
import sys
import threading
import time
import unittest

import websocket

sys.path.insert(0, os.path.dirname(__file__))
from service_harness import TOOLS, Workspace, next_event, wait_for  # noqa: E402

TOKEN = "t0ken-for-tests"
MEMORY_LIMIT_MIB = 64


def config(bay, orva2, extra=""):
    return f"""[service]
listen = 127.0.0.1:0
token = {TOKEN}
allow_origin = http://till.test
{extra}
[bay-1]
port = {bay.link}
MinFixVes = 50

[bay_2]
port = {orva2.link}
DecPoint = 2
"""


def status_of(head):
    return int(head.split(b" ", 2)[1])


class Client:
    """A raw connection that reads answers one at a time, keeping what
    follows an answer for the next."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def __getattr__(self, name):
        return getattr(self.sock, name)

    def recv(self, n):
        if self.buffer:
            out, self.buffer = self.buffer, b""
            return out
        return self.sock.recv(n)

    def response(self, timeout=5):
        """(status, {lower-case header: value}, body) of the next answer."""
        self.sock.settimeout(timeout)
        data = self.recv(65536)
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed before an answer: %r" % data)
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(b":")
            headers[k.strip().lower().decode()] = v.strip().decode()
        length = int(headers.get("content-length", "0"))
        while len(rest) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            rest += chunk
        self.buffer = rest[length:]
        return status_of(lines[0]), headers, rest[:length]


def closed_within(sock, seconds):
    """Whether the service closes the connection (end of file or reset)
    within the time, reading and dropping what it still sends."""
    sock.settimeout(0.2)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            continue
        except (ConnectionResetError, BrokenPipeError):
            return True
    return False


def memory_mib(service, key="VmHWM"):
    """The service's peak (VmHWM) or current (VmRSS) resident memory."""
    with open("/proc/%d/status" % service.process.pid) as f:
        return int(re.search(r"%s:\s+(\d+) kB" % key, f.read()).group(1)) / 1024


def cpu_seconds(service):
    with open("/proc/%d/stat" % service.process.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def polls(service, scale="bay-1"):
    text = service.request("/metrics")[2]
    return int(re.search(r'orva_polls_total\{scale="%s"\} (\d+)' % scale, text).group(1))


def connect(service, timeout=5):
    return Client(socket.create_connection(("127.0.0.1", service.port), timeout=timeout))


def get(path, host="127.0.0.1", extra=b""):
    return b"GET " + path.encode() + b" HTTP/1.1\r\nHost: " + host.encode() + b"\r\n" + extra + b"\r\n"


def send_in_background(sock, chunks):
    """Sends until the service stops taking bytes or closes; the count sent."""
    sent = [0]

    def run():
        try:
            for c in chunks:
                sock.sendall(c)
                sent[0] += len(c)
        except OSError:
            pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, sent


def ws_handshake(service, extra=b""):
    s = connect(service)
    s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" % service.port + extra + b"\r\n")
    data = b""
    while b"\r\n\r\n" not in data:
        data += s.recv(4096)
    return s, status_of(data)


def ws_frame_head(opcode, length, fin=True):
    first = (0x80 if fin else 0) | opcode
    if length < 126:
        return struct.pack("!BB", first, 0x80 | length) + b"\0\0\0\0"
    if length < 65536:
        return struct.pack("!BBH", first, 0x80 | 126, length) + b"\0\0\0\0"
    return struct.pack("!BBQ", first, 0x80 | 127, length) + b"\0\0\0\0"  # mask key 0: payload as is


class Attack(unittest.TestCase):
    extra_config = ""

    def setUp(self):
        self.ws = Workspace()
        # Closed even when the service does not start (tearDown would not run).
        self.addCleanup(self.ws.close)
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")
        self.orva2 = self.ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "0.01")
        self.service = self.ws.service(config(self.bay, self.orva2, self.extra_config))
        wait_for(lambda: self.service.scale("bay-1").get("stable"), 10)

    def assertMemoryHeld(self):
        self.assertLess(memory_mib(self.service), MEMORY_LIMIT_MIB, "peak resident memory")

    def assertStillPolling(self):
        before = polls(self.service)
        time.sleep(1.0)
        self.assertGreaterEqual(polls(self.service) - before, 2, "the scales keep polling")


class KeepAlive(Attack):
    def test_a_stable_wait_leaves_its_connection_usable(self):
        # Timed out (504) and answered by a settled weight (200): either way
        # the next request on the same connection is answered.
        for path, status in (("/api/scales/bay_2/stable?timeout_ms=300", 504),
                             ("/api/scales/bay-1/stable?timeout_ms=3000", 200)):
            with self.subTest(path=path):
                c = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=3)
                c.request("GET", path)
                reply = c.getresponse()
                self.assertEqual(reply.status, status)
                reply.read()
                c.request("GET", "/api/scales")
                reply = c.getresponse()
                self.assertEqual(reply.status, 200)
                reply.read()
                c.request("HEAD", path)
                reply = c.getresponse()
                self.assertEqual(reply.status, status)
                self.assertEqual(reply.read(), b"")  # HEAD: announced, not sent
                c.close()

    def test_pipelined_answers_keep_their_order(self):
        s = connect(self.service)
        s.sendall(get("/api/scales/bay_2/stable?timeout_ms=300") + get("/metrics") + get("/api/scales/bay-1"))
        self.assertEqual(s.response()[0], 504)
        s2_status, head, body = s.response()
        self.assertEqual((s2_status, head["content-type"].startswith("text/plain")), (200, True))
        status, head, body = s.response()
        self.assertEqual((status, b'"id":"bay-1"' in body), (200, True))
        # A burst far over what the service buffers is answered whole, in
        # order; an upgrade to anything but a WebSocket is answered as asked.
        burst = [get("/api/scales/bay_2/stable?timeout_ms=0"), get("/api/scales/bay-1")] * 1500
        s.sendall(b"".join(burst) + get("/metrics", extra=b"Upgrade: h2c\r\nConnection: Upgrade\r\n"))
        statuses = [s.response()[0] for _ in burst]
        self.assertEqual(statuses, [504, 200] * 1500)
        self.assertEqual(s.response()[0], 200)
        s.close()

    def test_unread_pipelined_answers_do_not_pile_up(self):
        # 26 MiB of pipelined requests whose answers are never read: the
        # service reads the next only when the last answer is written, so
        # what is not taken waits in the kernel's buffers (a few MiB on
        # loopback), not in the service.
        s = connect(self.service)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        thread, sent = send_in_background(s, [get("/") * 1000] * 1000)
        time.sleep(2)
        self.assertLess(sent[0], 16 * 1024 * 1024, "the service stopped taking requests it cannot answer")
        self.assertMemoryHeld()
        self.assertStillPolling()
        self.assertEqual(self.service.request("/api/scales")[0], 200)  # others are served
        s.close()


class Bodies(Attack):
    def test_a_huge_chunked_body_is_refused_as_it_arrives(self):
        s = connect(self.service)
        s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                  TOKEN.encode() + b"\r\nTransfer-Encoding: chunked\r\n\r\n")
        chunk = b"10000\r\n" + b" " * 65536 + b"\r\n"
        thread, sent = send_in_background(s, [chunk] * 3200)  # 200 MiB
        status, head, body = s.response(timeout=10)
        self.assertEqual(status, 413)
        self.assertIn(b"64 KiB", body)
        self.assertTrue(closed_within(s, 5))
        self.assertLess(sent[0], 20 * 1024 * 1024, "the body was not read whole")
        self.assertMemoryHeld()

    def test_an_announced_body_is_refused_wherever_its_length_stands(self):
        auth = b"Authorization: Bearer " + TOKEN.encode() + b"\r\n"
        filler = b"".join(b"X-Filler-%d: %s\r\n" % (i, b"f" * 150) for i in range(90))  # 14 KiB
        heads = {
            "length first": b"Content-Length: 209715200\r\n" + filler,
            "length after 14 KiB of headers": filler + b"Content-Length: 209715200\r\n",
        }
        for name, headers in heads.items():
            with self.subTest(name):
                s = connect(self.service)
                s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + headers)
                time.sleep(0.1)  # the blank line in a segment of its own
                s.sendall(b"\r\n")
                self.assertEqual(s.response()[0], 413)  # before any byte of the body
                self.assertTrue(closed_within(s, 5))
        # Over the head limit (17 KiB of headers): refused as such, never read on.
        s = connect(self.service)
        s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\n" + filler + filler[:3000] +
                  b"Content-Length: 209715200\r\n\r\n")
        self.assertEqual(s.response()[0], 431)
        self.assertMemoryHeld()

    def test_an_endless_header_line_is_refused(self):
        s = connect(self.service)
        thread, sent = send_in_background(s, [b"GET /" + b"a" * 65536] + [b"a" * 65536] * 4800)  # 300 MiB
        status, head, body = s.response(timeout=10)
        self.assertEqual(status, 431)
        self.assertTrue(closed_within(s, 5))
        self.assertLess(sent[0], 20 * 1024 * 1024)
        self.assertMemoryHeld()

    def test_ambiguous_framing_is_refused_and_nothing_is_written(self):
        auth = b"Authorization: Bearer " + TOKEN.encode() + b"\r\n"
        body = b'{"MinFixVes": 7}'
        requests = {
            "two lengths": b"Content-Length: %d\r\nContent-Length: 3\r\n\r\n" % len(body) + body,
            "length and chunked": b"Content-Length: %d\r\nTransfer-Encoding: chunked\r\n\r\n" % len(body) + body,
            "a bad chunk size": b"Transfer-Encoding: chunked\r\n\r\n1x\r\n" + body + b"\r\n0\r\n\r\n",
            "a short chunk": b"Transfer-Encoding: chunked\r\n\r\n2\r\n" + body + b"\r\n0\r\n\r\n",
        }
        for name, rest in requests.items():
            with self.subTest(name):
                s = connect(self.service)
                s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + rest)
                self.assertEqual(s.response()[0], 400)
                self.assertTrue(closed_within(s, 5))
        self.assertEqual(self.service.request("/api/scales/bay-1/properties")[2]["MinFixVes"], 50)

    def test_many_headers_are_refused_not_cut(self):
        s = connect(self.service)
        many = b"".join(b"X-%d: v\r\n" % i for i in range(120))
        s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\n" + many +
                  b"Authorization: Bearer " + TOKEN.encode() + b"\r\nContent-Length: 16\r\n\r\n{\"MinFixVes\": 7}")
        self.assertEqual(s.response()[0], 431)
        self.assertEqual(self.service.request("/api/scales/bay-1/properties")[2]["MinFixVes"], 50)


class Timeouts(Attack):
    extra_config = "header_timeout_ms = 600\nidle_timeout_ms = 900\n"

    def test_idle_and_stalled_connections_are_closed(self):
        idle = connect(self.service)
        stalled = connect(self.service)
        stalled.sendall(b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ")
        kept = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=3)
        kept.request("GET", "/api/scales")
        kept.getresponse().read()
        start = time.monotonic()
        self.assertEqual(stalled.response()[0], 408)
        self.assertTrue(closed_within(stalled, 3))
        self.assertTrue(closed_within(idle, 3))
        self.assertLess(time.monotonic() - start, 3)
        # The keep-alive connection, idle since its answer, is closed too.
        self.assertTrue(closed_within(kept.sock, 3))

    def test_a_slow_body_is_cut_off(self):
        s = connect(self.service)
        # With the token: a write without it is refused at its head.
        s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n"
                  b"Authorization: Bearer " + TOKEN.encode() + b"\r\n\r\n{")
        end = time.monotonic() + 3
        status = None
        try:
            while time.monotonic() < end and status is None:
                s.sendall(b" ")
                s.settimeout(0.1)
                try:
                    status = status_of(s.recv(4096))
                except socket.timeout:
                    pass
        except OSError:
            pass
        self.assertEqual(status, 408)


class Connections(Attack):
    def test_one_address_holds_at_most_its_share(self):
        # One kept-alive connection looks on, so no other comes and goes.
        watcher = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=5)

        def metric(name):
            watcher.request("GET", "/metrics")
            return int(re.search(r"(?m)^%s (\d+)" % name, watcher.getresponse().read().decode()).group(1))

        wait_for(lambda: metric("orva_http_connections") == 1, 5)
        held = [connect(self.service) for _ in range(31)]
        wait_for(lambda: metric("orva_http_connections") == 32, 5)
        extra = connect(self.service)
        self.assertEqual(extra.response()[0], 503)
        self.assertEqual(metric("orva_http_turned_away_total"), 1)
        for c in held[:5]:
            c.close()
        wait_for(lambda: metric("orva_http_connections") == 27, 5)
        self.assertEqual(self.service.request("/api/scales")[0], 200)
        for c in held[5:]:
            c.close()
        watcher.close()
        self.assertEqual(self.service.log().count("turned away a connection"), 1, "once per address per 10 s")

    def test_a_thousand_idle_connections_under_a_low_descriptor_limit(self):
        # The packaged unit's old limit (1024 descriptors, hard and soft), one
        # address allowed everything: the service keeps its connections within
        # the descriptors and makes room for a newcomer, without spinning.
        ws = Workspace()
        try:
            bay = ws.simulator("bay1", "--weight", "12.5")
            orva2 = ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "0.01")
            service = ws.service(
                config(bay, orva2, "max_connections_per_address = 5000\n"),
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024)))
            self.assertRegex(service.log(), r"may use 1024 file descriptors")
            # This test's own 1,100 sockets need more than a usual soft limit.
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            if hard == resource.RLIM_INFINITY or hard > 4096:
                hard = 4096
            if soft < hard:
                resource.setrlimit(resource.RLIMIT_NOFILE, (hard, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
            held = []
            for _ in range(1100):
                held.append(socket.create_connection(("127.0.0.1", service.port), timeout=5))
            time.sleep(0.5)
            before = cpu_seconds(service)
            time.sleep(1.0)
            self.assertLess(cpu_seconds(service) - before, 0.3, "the service does not spin")
            self.assertEqual(service.request("/api/scales", timeout=3)[0], 200)
            for c in held:
                c.close()
        finally:
            ws.close()


class WebSockets(Attack):

    def test_a_huge_message_is_refused_at_its_frame_head(self):
        for name, head in (("500 MiB text frame", ws_frame_head(1, 500 * 1024 * 1024)),
                           ("20 MiB subscribe list", ws_frame_head(1, 20 * 1024 * 1024))):
            with self.subTest(name):
                s, status = ws_handshake(self.service)
                self.assertEqual(status, 101)
                thread, sent = send_in_background(s, [head] + [b'{"subscribe":["bay-1",' + b" " * 65500] * 8000)
                self.assertTrue(closed_within(s, 5))
                self.assertLess(sent[0], 64 * 1024 * 1024)
                self.assertMemoryHeld()
                self.assertStillPolling()

    def test_a_message_in_many_small_frames_is_refused_too(self):
        s, status = ws_handshake(self.service)
        self.assertEqual(status, 101)
        piece = b" " * 1024
        s.sendall(ws_frame_head(1, len(piece), fin=False) + piece)
        for _ in range(8):
            try:
                s.sendall(ws_frame_head(0, len(piece), fin=False) + piece)
            except OSError:
                break
        self.assertTrue(closed_within(s, 5))

    def test_a_subscription_names_at_most_the_scales(self):
        c = websocket.create_connection("ws://127.0.0.1:%d/api/live" % self.service.port, timeout=5)
        c.send('{"subscribe": ["bay-1", "bay_2", "bay-1"]}')
        while True:
            reply = c.recv()
            if '"error"' in reply or '"subscribed"' in reply:
                break
        self.assertIn("at most", reply)
        c.close()

    def test_one_address_holds_at_most_16_clients(self):
        held = []
        for _ in range(16):
            s, status = ws_handshake(self.service)
            self.assertEqual(status, 101)
            held.append(s)
        s, status = ws_handshake(self.service)
        self.assertEqual(status, 503)
        self.assertEqual(self.service.request("/api/scales")[0], 200)
        for c in held:
            c.close()

    def test_a_malformed_handshake_is_answered_and_closed(self):
        for name, headers, status in (("no key", b"Sec-WebSocket-Version: 13\r\n", 400),
                                      ("version 8", b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                                    b"Sec-WebSocket-Version: 8\r\n", 426)):
            with self.subTest(name):
                s = connect(self.service)
                s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                          b"Connection: Upgrade\r\n" + headers + b"\r\n")
                self.assertEqual(s.response()[0], status)
                self.assertTrue(closed_within(s, 5))
        s, status = ws_handshake(self.service)
        self.assertEqual(status, 101)
        s.close()

    def test_origins_of_other_sites_cannot_read_the_scales(self):
        port = self.service.port
        cases = [("http://evil.example", 403), ("null", 403), ("http://till.test", 101),
                 ("http://127.0.0.1:%d" % port, 101), (None, 101)]
        for origin, status in cases:
            with self.subTest(origin=origin):
                s, got = ws_handshake(self.service, b"" if origin is None else b"Origin: " + origin.encode() + b"\r\n")
                self.assertEqual(got, status)
                s.close()


class WebSocketPings(Attack):
    extra_config = "websocket_ping_ms = 500\n"

    def test_clients_that_answer_no_ping_are_closed(self):
        silent, status = ws_handshake(self.service)  # never reads, never answers
        reader = websocket.create_connection("ws://127.0.0.1:%d/api/live" % self.service.port, timeout=5)
        end = time.monotonic() + 4
        while time.monotonic() < end:
            reader.recv()  # answers the pings it reads
        self.assertIn("orva_websocket_clients 1\n", self.service.request("/metrics")[2])
        self.assertIn("it answered no ping twice", self.service.log())
        reader.close()
        silent.close()


class Hosts(Attack):
    def test_only_our_own_host_names_are_served(self):
        port = self.service.port
        cases = [("attacker.example", 421), ("attacker.example:%d" % port, 421), ("127.0.0.1:%d" % port, 200),
                 ("localhost:%d" % port, 200), ("LOCALHOST.", 200), ("[::1]:%d" % port, 200)]
        for host, status in cases:
            with self.subTest(host=host):
                s = connect(self.service)
                s.sendall(get("/api/scales", host))
                self.assertEqual(s.response()[0], status)
                s.close()
        # The WebSocket handshake too.
        s = connect(self.service)
        s.sendall(b"GET /api/live HTTP/1.1\r\nHost: attacker.example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        self.assertEqual(s.response()[0], 421)


class AllowedHosts(Attack):
    extra_config = "allow_host = scales.plant.test, *.never-a-wildcard.test\n"

    def test_a_listed_name_is_served(self):
        for host, status in (("scales.plant.test:%d" % self.service.port, 200), ("SCALES.plant.test", 200),
                             ("x.never-a-wildcard.test", 421), ("attacker.example", 421)):
            with self.subTest(host=host):
                s = connect(self.service)
                s.sendall(get("/api/scales", host))
                self.assertEqual(s.response()[0], status)
                s.close()


class Answers(Attack):
    def test_security_headers_and_bearer_in_any_case(self):
        for path in ("/", "/dashboard.js", "/api/scales", "/metrics", "/nowhere"):
            with self.subTest(path=path):
                status, head, _ = self.service.request(path)
                self.assertIn("default-src 'self'", head["Content-Security-Policy"])
                self.assertIn("frame-ancestors 'none'", head["Content-Security-Policy"])
                self.assertEqual(head["X-Content-Type-Options"], "nosniff")
        for scheme in ("bearer", "BEARER", "Bearer"):
            with self.subTest(scheme=scheme):
                status, _, reply = self.service.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 51},
                                                        {"Authorization": scheme + " " + TOKEN})
                self.assertEqual(status, 200, reply)

    def test_client_text_cannot_forge_a_log_line(self):
        auth = {"Authorization": "Bearer " + TOKEN}
        status, _, _ = self.service.request("/api/scales/bay-1/properties", "PUT",
                                            b'{"Min\\nFixVes 2030-01-01 forged line": 1}', auth)
        self.assertEqual(status, 400)
        log = self.service.log()
        self.assertNotRegex(log, r"(?m)^FixVes")
        self.assertIn("Min\\x0aFixVes", log)

    def test_a_flood_of_refused_writes_is_one_log_line(self):
        start_lines = len(self.service.log().splitlines())
        c = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=5)
        for _ in range(2000):
            c.request("PUT", "/api/scales/bay-1/properties", body=b'{"MinFixVes": 1}',
                      headers={"Authorization": "Bearer wrong"})
            self.assertEqual(c.getresponse().read() != b"", True)
        c.close()
        lines = self.service.log().splitlines()[start_lines:]
        self.assertLessEqual(len(lines), 2, lines)
        self.assertStillPolling()


def ws_frame(opcode, payload=b""):
    """A whole masked client frame (mask key 0: the payload as is)."""
    return ws_frame_head(opcode, len(payload)) + payload


def metric(service, name):
    return int(re.search(r"\n%s (\d+)\n" % name, "\n" + service.request("/metrics")[2]).group(1))


class WebSocketQueues(unittest.TestCase):
    def test_what_a_client_that_never_reads_makes_us_send_is_bounded(self):
        # Every byte queued for a client counts against its 1 MiB: the pongs
        # its pings ask for and the error replies its messages ask for, not
        # only the events. The client never reads a byte. No scales (a fresh
        # install): no event would ever look at its queue.
        self.ws = Workspace()
        self.addCleanup(self.ws.close)
        self.service = self.ws.service("[service]\nlisten = 127.0.0.1:0\n")
        pong = ws_frame(10, b"heartbeat")  # unsolicited, allowed by the protocol
        for name, frame in (("pings", ws_frame(9, b"p" * 125)), ("bad subscriptions", ws_frame(1, b"x" * 100))):
            with self.subTest(name):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", self.service.port))
                s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
                burst = frame * (256 * 1024 // len(frame)) + pong
                thread, sent = send_in_background(s, [burst] * 4000)  # up to 1 GiB
                end = time.monotonic() + 20
                while thread.is_alive() and time.monotonic() < end:
                    time.sleep(0.1)
                self.assertFalse(thread.is_alive(), "the client was never closed (%d bytes sent)" % sent[0])
                s.close()
                self.assertLess(memory_mib(self.service), MEMORY_LIMIT_MIB, "peak resident memory")
                self.assertIn("dropped WebSocket client 127.0.0.1: it stopped reading (1 MiB queued)", self.service.log())


class Masks(Attack):
    def test_an_unmasked_client_frame_closes_the_client(self):
        # Client frames carry a mask; one without, wherever it comes (even
        # with the handshake, or after masked ones), closes the client.
        subscribe = b'{"subscribe": ["bay-1"]}'
        unmasked = struct.pack("!BB", 0x81, len(subscribe)) + subscribe
        for name, after_handshake in (("first frame", unmasked), ("after masked ones", ws_frame(9, b"p") * 3 + unmasked),
                                      ("a ping", struct.pack("!BB", 0x89, 1) + b"p")):
            with self.subTest(name):
                s, status = ws_handshake(self.service)
                self.assertEqual(status, 101)
                s.sendall(after_handshake)
                self.assertTrue(closed_within(s, 5))
                s.close()
        s = connect(self.service)
        s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" + unmasked)
        self.assertTrue(closed_within(s, 5))
        self.assertIn("it sent an unmasked frame", self.service.log())
        self.assertEqual(metric(self.service, "orva_websocket_clients"), 0)
        # A masked client is served.
        c = websocket.create_connection("ws://127.0.0.1:%d/api/live" % self.service.port, timeout=5)
        c.send(subscribe.decode())
        while "subscribed" not in next_event(c, 5):
            pass
        c.close()


class WebSocketHeartbeats(Attack):
    extra_config = "websocket_ping_ms = 300\n"

    def test_unsolicited_pongs_do_not_answer_a_ping(self):
        # A client that reads but never answers our pings, sending pongs of
        # its own every 100 ms: it is closed as one that answers no ping.
        s, status = ws_handshake(self.service)
        self.assertEqual(status, 101)
        end = time.monotonic() + 5
        closed = False
        s.settimeout(0.1)
        while time.monotonic() < end and not closed:
            try:
                s.sendall(ws_frame(10, b"alive"))
                closed = s.recv(65536) == b""
            except socket.timeout:
                pass
            except OSError:
                closed = True
        self.assertTrue(closed, "a client that answered no ping was kept")
        self.assertIn("it answered no ping twice", self.service.log())


class LiveStream(unittest.TestCase):
    def test_events_come_as_one_message_per_interval(self):
        # A hundred simulated terminals: a client receives one array of the
        # latest events per 100 ms, not a frame per event.
        ws = Workspace()
        self.addCleanup(ws.close)
        service = ws.service("[service]\nlisten = 127.0.0.1:0\n", extra=["--simulate", "100"])
        client = websocket.create_connection("ws://127.0.0.1:%d/api/live" % service.port, timeout=5)
        self.addCleanup(client.close)
        client.recv()  # the stream has begun
        messages, events, scales = 0, 0, set()
        end = time.monotonic() + 2
        while time.monotonic() < end:
            batch = json.loads(client.recv())
            self.assertIsInstance(batch, list)
            messages += 1
            events += len(batch)
            scales.update(e["scale"] for e in batch)
            # The latest state per scale: a scale's Decode at most once.
            decodes = [e["scale"] for e in batch if e["event"] == "Decode"]
            self.assertEqual(len(decodes), len(set(decodes)))
        self.assertLessEqual(messages, 2 / 0.1 + 5)
        self.assertGreater(events, 5 * messages)
        self.assertGreater(len(scales), 50)


class Handshakes(Attack):
    def test_handshakes_the_websocket_server_would_not_take_are_answered(self):
        # Each of these passes the HTTP reader but not the WebSocket server's
        # own, which would wait for ever (bare line feeds) or close without a
        # word: answered 400 with the reason, closed, logged.
        key = b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
        cases = (
            ("bare line feeds", (b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
                                 key + b"\r\n").replace(b"\r\n", b"\n"), "lines end in CR LF"),
            ("HTTP/1.0", b"GET /api/live HTTP/1.0\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
                         key + b"\r\n", "HTTP/1.1"),
            ("no upgrade in Connection", b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                         b"Connection: keep-alive\r\n" + key + b"\r\n", "Connection: Upgrade"),
            ("a header line over 8 KiB", b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                         b"Connection: Upgrade\r\nX-Pad: " + b"p" * 9000 + b"\r\n" + key + b"\r\n", "8 KiB"),
        )
        for name, head, why in cases:
            with self.subTest(name):
                s = connect(self.service)
                s.sendall(head)
                status, _, body = s.response()
                self.assertEqual(status, 400, body)
                self.assertIn(why, json.loads(body)["error"])
                self.assertTrue(closed_within(s, 5))
        self.assertIn("refused a WebSocket client 127.0.0.1: a WebSocket handshake's lines end in CR LF", self.service.log())
        # Nothing was left holding a client's place.
        self.assertEqual(metric(self.service, "orva_websocket_clients"), 0)
        s, status = ws_handshake(self.service)
        self.assertEqual(status, 101)


class ParkedWaits(Attack):
    extra_config = "max_connections = 24\nmax_connections_per_address = 100\n"

    def test_parked_waits_do_not_lock_newcomers_out(self):
        # Every connection a wait for a settled weight that does not come,
        # each with a pipelined copy behind it: a newcomer is still served,
        # by closing the longest waiting.
        held = []
        for _ in range(24):
            try:
                c = connect(self.service)
                wait = get("/api/scales/bay_2/stable?timeout_ms=30000")
                c.sendall(wait + wait)
                held.append(c)
            except OSError:
                pass
        time.sleep(1)
        for _ in range(3):
            c = connect(self.service)
            c.sendall(get("/api/scales"))
            self.assertEqual(c.response()[0], 200)
            c.close()
        self.assertGreaterEqual(metric(self.service, "orva_http_evicted_total"), 1)
        for c in held:
            c.close()


class Eviction(Attack):
    extra_config = "max_connections = 20\nmax_connections_per_address = 100\n"

    def test_a_flood_from_one_address_does_not_evict_another_addresss_keep_alive(self):
        # A dashboard's keep-alive from 127.0.0.2, then a churn of idle
        # connections from 127.0.0.1 far over the limit: room is made from
        # the address that holds the most.
        dashboard = socket.socket()
        dashboard.bind(("127.0.0.2", 0))
        dashboard.connect(("127.0.0.1", self.service.port))
        dashboard = Client(dashboard)
        dashboard.sendall(get("/api/scales"))
        self.assertEqual(dashboard.response()[0], 200)
        flood = []
        for _ in range(60):
            flood.append(socket.create_connection(("127.0.0.1", self.service.port)))
            if len(flood) > 30:
                flood.pop(0).close()
        time.sleep(0.5)
        dashboard.sendall(get("/api/scales"))
        self.assertEqual(dashboard.response()[0], 200)
        self.assertGreater(metric(self.service, "orva_http_evicted_total"), 0)
        for c in flood:
            c.close()


class AddressLimit(Attack):
    extra_config = "max_connections_per_address = 3\n"

    def test_the_503_over_the_address_limit_carries_the_security_headers(self):
        held = [connect(self.service) for _ in range(3)]
        time.sleep(0.3)
        over = connect(self.service)
        status, head, _ = over.response()
        self.assertEqual(status, 503)
        self.assertIn("default-src 'self'", head["content-security-policy"])
        self.assertEqual((head["x-frame-options"], head["x-content-type-options"]), ("DENY", "nosniff"))
        for c in held + [over]:
            c.close()


class EarlyRefusals(Attack):
    def test_a_write_without_the_token_is_refused_before_its_body(self):
        # 1 KiB of chunk extension per byte of body: the whole body would be
        # 64 MiB on the wire. Without the token it is refused at its head.
        piece = b"1;" + b"x" * 1000 + b"\r\n{\r\n"
        for name, auth in (("no token", b""), ("wrong token", b"Authorization: Bearer wrong\r\n")):
            with self.subTest(name):
                s = connect(self.service)
                s.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                          b"Content-Type: application/json\r\n" + auth + b"\r\n")
                thread, sent = send_in_background(s, [piece * 256] * 400)  # about 100 MiB
                status, _, body = s.response(timeout=20)
                self.assertEqual(status, 401, body)
                self.assertTrue(closed_within(s, 5))
                thread.join(5)
                self.assertLess(sent[0], 8 * 1024 * 1024)
                s.close()

    def test_a_read_only_configuration_file_is_not_rewritten(self):
        before = open(self.service.config).read()
        os.chmod(self.service.config, 0o444)
        self.addCleanup(os.chmod, self.service.config, 0o644)
        status, _, reply = self.service.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 77},
                                                {"Authorization": "Bearer " + TOKEN})
        self.assertEqual(status, 403, reply)
        self.assertIn("read-only (mode 0444)", reply["error"])
        self.assertEqual(open(self.service.config).read(), before)
        self.assertEqual(stat.S_IMODE(os.stat(self.service.config).st_mode), 0o444)
        self.assertEqual(self.service.request("/api/scales/bay-1/properties")[2]["MinFixVes"], 50)

    def test_a_com_number_is_plain_decimal_digits(self):
        auth = {"Authorization": "Bearer " + TOKEN}
        before = open(self.service.config).read()
        for text in ("0.6", "&H1", "1e0", " 1", "1 ", "+1", ""):
            with self.subTest(text=text):
                status, _, reply = self.service.request("/api/scales/bay-1/properties", "PUT", {"ComNumber": text}, auth)
                self.assertEqual(status, 400, reply)
        self.assertEqual(open(self.service.config).read(), before)
        status, _, reply = self.service.request("/api/scales/bay-1/properties", "PUT", {"ComNumber": "1"}, auth)
        self.assertEqual(status, 200, reply)
        self.assertIn("ComNumber = 1\n", open(self.service.config).read())


class RefusedSettings(unittest.TestCase):
    def test_settings_that_cannot_work_are_refused_with_their_bound(self):
        ws = Workspace()
        self.addCleanup(ws.close)
        path = os.path.join(ws.dir, "scales.ini")
        for text, reason in (
                ('[service]\ntoken = "abc\\ndef"\n', "scales.ini:2: token may hold no control character"),
                ('[service]\ntoken = "abc\\tdef"\n', "scales.ini:2: token may hold no control character"),
                ("[service]\nmax_body_bytes = 200000000\n", "scales.ini:2: max_body_bytes must be a whole number from 1 to 100000000"),
                ("[service]\nmax_body_bytes = 0\n", "scales.ini:2: max_body_bytes must be a whole number from 1 to 100000000")):
            with self.subTest(text=text):
                with open(path, "w") as f:
                    f.write(text)
                run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", path],
                                     capture_output=True, text=True, timeout=20)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(reason, run.stderr)


if __name__ == "__main__":
    unittest.main()
