"""orva-service driven by real clients against simulated terminals on
pseudo-terminals: HTTP (urllib), the WebSocket event stream (the Debian
websocket module), a terminal behind a TCP serial server (socat)."""
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

import websocket

sys.path.insert(0, os.path.dirname(__file__))
from service_harness import Workspace, free_port, next_event, wait_for  # noqa: E402

RFC3339_MS = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
TOKEN = "t0ken-for-tests"


def two_scale_config(ws, bay, orva2, extra_service=""):
    return f"""# two scales for the tests
[service]
listen = 127.0.0.1:0
token = {TOKEN}
allow_origin = http://till.test
# every test client comes from 127.0.0.1: one address to the per-address limits
max_connections_per_address = 300
max_websocket_clients_per_address = 300
{extra_service}
[bay-1]
port = {bay.link}
MinFixVes = 50

; the second one reports raw digits
[bay_2]
port = {orva2.link}
DecPoint = 2
"""


class HttpApi(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")
        self.orva2 = self.ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "0.01")
        self.service = self.ws.service(two_scale_config(self.ws, self.bay, self.orva2))

    def tearDown(self):
        self.ws.close()

    def test_states_of_every_scale(self):
        s = self.service
        wait_for(lambda: s.scale("bay-1").get("stable"), 10)
        status, head, scales = s.request("/api/scales")
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("application/json"))
        self.assertEqual([x["id"] for x in scales], ["bay-1", "bay_2"])
        bay = scales[0]
        for key in ("id", "port", "online", "weight", "stable", "VesTerminal", "TipTerminal", "StatusTerminal",
                    "UnitWeight", "flags", "updated"):
            self.assertIn(key, bay)
        self.assertNotIn("modbus_unit", bay, "only while the service serves Modbus TCP")
        self.assertEqual(bay["port"], self.bay.link)
        self.assertIs(bay["online"], True)
        self.assertEqual(bay["weight"], 12.5)
        self.assertIs(bay["stable"], True)
        self.assertEqual(bay["VesTerminal"], " 12.5")
        self.assertEqual(bay["TipTerminal"], "ORVA-1")
        self.assertEqual(bay["UnitWeight"], "kg")
        self.assertEqual(bay["StatusTerminal"], "B")  # VesOk: the stability lamps are lit
        self.assertEqual(bay["flags"], {"VesNul": False, "VesOk": True, "VesTara": False, "VesMax": False})
        self.assertRegex(bay["updated"], RFC3339_MS)
        two = wait_for(lambda: (lambda x: x if x["weight"] == 0.01 else None)(s.scale("bay_2")), 5)
        self.assertEqual(two["TipTerminal"], "ORVA-2")
        self.assertIs(two["stable"], False)  # below MinFixVes: never settled
        # One scale alone is the same object.
        one = s.scale("bay_2")
        self.assertEqual(set(one), set(bay))

    def test_weight_is_null_while_the_panel_shows_xxxx(self):
        s = self.service
        wait_for(lambda: s.scale("bay-1")["online"], 5)
        self.bay.command("garbage 1000")
        state = wait_for(lambda: (lambda x: x if x["weight"] is None else None)(s.scale("bay-1")), 5)
        self.assertIs(state["stable"], False)
        self.assertEqual(state["TipTerminal"], "unknown")
        wait_for(lambda: not s.scale("bay-1")["online"], 5)

    def test_stable_waits_for_the_next_settled_weight(self):
        s = self.service
        wait_for(lambda: s.scale("bay-1")["stable"], 10)
        start = time.monotonic()
        status, _, body = s.request("/api/scales/bay-1/stable?timeout_ms=5000")
        self.assertEqual(status, 200)
        self.assertLess(time.monotonic() - start, 1.0, "a settled scale answers at once")
        self.assertEqual(body["weight"], 12.5)
        self.assertEqual(body["unit"], "kg")
        self.assertRegex(body["at"], RFC3339_MS)
        # A new load: the answer is the next settled weight, not the old one.
        self.bay.command("weight 0", "hold 3", "weight 20.5")
        wait_for(lambda: not s.scale("bay-1")["stable"], 5)
        status, _, body = s.request("/api/scales/bay-1/stable?timeout_ms=15000", timeout=20)
        self.assertEqual((status, body["weight"]), (200, 20.5))
        # A scale that never settles times out.
        start = time.monotonic()
        status, _, body = s.request("/api/scales/bay_2/stable?timeout_ms=400")
        self.assertEqual((status, body), (504, {"error": "timeout"}))
        self.assertGreaterEqual(time.monotonic() - start, 0.35)

    def test_many_waiting_requests_cost_nothing_while_they_wait(self):
        s = self.service
        waiting = []
        for _ in range(200):
            c = socket.create_connection(("127.0.0.1", s.port))
            c.sendall(b"GET /api/scales/bay_2/stable?timeout_ms=20000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            waiting.append(c)
        wait_for(lambda: "orva_waiting_requests 200" in s.request("/metrics")[2], 10)
        # The scales keep polling meanwhile.
        polls = s.request("/metrics")[2]
        before = int(re.search(r'orva_polls_total\{scale="bay-1"\} (\d+)', polls).group(1))
        time.sleep(1.0)
        after = int(re.search(r'orva_polls_total\{scale="bay-1"\} (\d+)', s.request("/metrics")[2]).group(1))
        self.assertGreaterEqual(after - before, 2)
        for c in waiting[:100]:
            c.close()  # clients that give up stop waiting
        wait_for(lambda: "orva_waiting_requests 100" in s.request("/metrics")[2], 5)
        # One decimal less: the raw 000001 reads 0.1, above MinFixVes, and settles.
        s.request("/api/scales/bay_2/properties", "PUT", {"DecPoint": 1}, {"Authorization": "Bearer " + TOKEN})
        for c in waiting[100:]:
            c.settimeout(10)
            reply = c.recv(4096)
            self.assertIn(b" 200 ", reply)
            self.assertIn(b'"weight":0.1', reply)
            c.close()
        self.assertIn("orva_waiting_requests 0", s.request("/metrics")[2])

    def test_refusals_say_what_was_wrong(self):
        s = self.service
        cases = [
            ("/nowhere", "GET", None, {}, 404, "no such resource"),
            ("/api/scales/bay-9", "GET", None, {}, 404, "no scale"),
            ("/api/scales/bay-9/stable", "GET", None, {}, 404, "no scale"),
            ("/api/scales", "POST", b"{}", {}, 405, "not allowed"),
            ("/api/scales/bay-1", "DELETE", None, {}, 405, "not allowed"),
            ("/api/scales/bay-1/stable?timeout_ms=60001", "GET", None, {}, 400, "timeout_ms"),
            ("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 60}, {}, 401, "Bearer"),
            ("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 60}, {"Authorization": "Bearer nope"}, 401, "wrong token"),
            ("/api/scales/bay-1/properties", "PUT", b"{not json", {"Authorization": "Bearer " + TOKEN}, 400, "not JSON"),
            ("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 1e6}, {"Authorization": "Bearer " + TOKEN}, 400, "MinFixVes"),
            ("/api/scales/bay-1/properties", "PUT", {"TipTerminal": "x"}, {"Authorization": "Bearer " + TOKEN}, 400, "TipTerminal"),
            ("/api/scales/bay-1/properties", "PUT", b"{" + b" " * 70000 + b"}", {"Authorization": "Bearer " + TOKEN}, 413, "64 KiB"),
            ("/api/live", "GET", None, {}, 426, "WebSocket"),
        ]
        for path, method, body, headers, status, text in cases:
            with self.subTest(path=path, method=method, status=status):
                got, head, reply = s.request(path, method, body, headers)
                self.assertEqual(got, status)
                self.assertIsInstance(reply, dict)
                self.assertIn(text, reply["error"])
        # Refusals are logged too, one line per client address per 10 s.
        self.assertEqual(len(re.findall("refused a property write", s.log())), 1, s.log())
        # A body announced over the limit is refused before it is sent.
        c = socket.create_connection(("127.0.0.1", s.port), timeout=5)
        c.sendall(b"PUT /api/scales/bay-1/properties HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\n")
        self.assertTrue(c.recv(4096).startswith(b"HTTP/1.1 413 "))
        c.close()
        self.assertEqual(s.request("/api/scales")[0], 200)

    def test_property_writes_reach_the_control_and_the_file(self):
        s = self.service
        auth = {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"}
        status, _, props = s.request("/api/scales/bay_2/properties")
        self.assertEqual(status, 200)
        self.assertEqual(props["DecPoint"], 2)
        self.assertEqual(props["ComSetting"], "9600,n,8,1")
        self.assertEqual(len(props), 8)
        status, _, reply = s.request("/api/scales/bay_2/properties", "PUT",
                                     {"DecPoint": 1, "MinFixVes": 5, "ComSetting": "19200,n,8,1"}, auth)
        self.assertEqual(status, 200, reply)
        self.assertEqual((reply["DecPoint"], reply["MinFixVes"], reply["saved"]), (1, 5, True))
        # DecPoint 1: the raw 000001 now reads 0.1; MinFixVes 5 lets it settle.
        wait_for(lambda: s.scale("bay_2")["weight"] == 0.1, 5)
        wait_for(lambda: s.scale("bay_2")["stable"], 5)
        # The new settings went through the control's reconfiguration.
        wait_for(lambda: 'orva_reconfigurations_total{scale="bay_2"} 1' in s.request("/metrics")[2], 5)
        self.assertIn("сом порт: 19200,n,8,1", s.log())
        self.assertRegex(s.log(), r"\[bay_2\] properties written by 127\.0\.0\.1: .*DecPoint=1")
        with open(s.config) as f:
            text = f.read()
        self.assertIn("; the second one reports raw digits\n[bay_2]\n", text)
        self.assertIn("DecPoint = 1\n", text)
        self.assertIn("MinFixVes = 5\n", text)
        self.assertIn("ComSetting = 19200,n,8,1\n", text)
        self.assertEqual(text.count("DecPoint"), 1)
        self.assertIn("[bay-1]\nport = %s\nMinFixVes = 50\n" % self.bay.link, text)

    def test_cors_for_listed_origins_only(self):
        s = self.service
        _, head, _ = s.request("/api/scales", headers={"Origin": "http://till.test"})
        self.assertEqual(head.get("Access-Control-Allow-Origin"), "http://till.test")
        _, head, _ = s.request("/api/scales", headers={"Origin": "http://elsewhere.test"})
        self.assertNotIn("Access-Control-Allow-Origin", head)
        status, head, _ = s.request("/api/scales/bay-1/properties", "OPTIONS",
                                    headers={"Origin": "http://till.test", "Access-Control-Request-Method": "PUT"})
        self.assertEqual(status, 204)
        self.assertIn("PUT", head["Access-Control-Allow-Methods"])
        self.assertIn("Authorization", head["Access-Control-Allow-Headers"])

    def test_metrics_in_prometheus_text_format(self):
        s = self.service
        wait_for(lambda: s.scale("bay-1")["stable"], 10)
        status, head, text = s.request("/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(head["Content-Type"].startswith("text/plain"))
        for family in ("orva_polls_total", "orva_decodes_total", "orva_unrecognised_total", "orva_stable_weights_total",
                       "orva_reconfigurations_total", "orva_port_failures_total", "orva_online"):
            self.assertIn("# TYPE " + family, text)
            for scale in ("bay-1", "bay_2"):
                self.assertRegex(text, r'%s\{scale="%s"\} \d+\n' % (family, scale))
        self.assertRegex(text, r'orva_stable_weights_total\{scale="bay-1"\} [1-9]')
        self.assertRegex(text, r'orva_online\{scale="bay-1"\} 1')
        self.assertRegex(text, r'orva_port_failures_total\{scale="bay-1"\} 0')
        self.assertIn("orva_websocket_clients 0", text)
        for line in text.splitlines():
            self.assertRegex(line, r'^(# (HELP|TYPE) \w+ .+|\w+(\{scale="[\w-]+"\})? \d+)$')


def receive_json(client, timeout=5.0):
    return next_event(client, timeout)


def close_code(client, timeout=5.0):
    client.settimeout(timeout)
    while True:
        opcode, data = client.recv_data(control_frame=True)
        if opcode == websocket.ABNF.OPCODE_CLOSE:
            return struct.unpack("!H", data[:2])[0] if len(data) >= 2 else None


class LiveEvents(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.bay = self.ws.simulator("bay1", "--weight", "0")
        self.orva2 = self.ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "1.25")
        self.service = self.ws.service(two_scale_config(self.ws, self.bay, self.orva2))
        self.url = "ws://127.0.0.1:%d/api/live" % self.service.port

    def tearDown(self):
        self.ws.close()

    def test_every_event_of_every_scale(self):
        client = websocket.create_connection(self.url, timeout=5)
        self.bay.command("weight 7.5")
        seen = {}
        end = time.monotonic() + 10
        while time.monotonic() < end and not {("bay-1", "StabVes"), ("bay_2", "Decode"), ("bay-1", "VesStatus")} <= set(seen):
            e = receive_json(client)
            self.assertIn(e["scale"], ("bay-1", "bay_2"))
            self.assertIsInstance(e["t_ms"], int)
            seen.setdefault((e["scale"], e["event"]), e)
        self.assertEqual(seen[("bay-1", "ChangeVes")]["VesChange"], 7.5)
        self.assertEqual(seen[("bay-1", "StabVes")]["VesBrutoNVT"], 7.5)
        decode = seen[("bay_2", "Decode")]
        for key in ("Frame1", "Label2", "Label3", "Shape1", "Shape2", "VesTerminal", "TipTerminal", "StatusTerminal", "UnitWeight"):
            self.assertIn(key, decode)
        # A property write is an event too.
        self.service.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 70},
                             {"Authorization": "Bearer " + TOKEN})
        end = time.monotonic() + 5
        while time.monotonic() < end:
            e = receive_json(client)
            if e["event"] == "PropertyChanged":
                self.assertEqual((e["scale"], e["name"]), ("bay-1", "MinFixVes"))
                break
        else:
            self.fail("no PropertyChanged event")
        client.close()

    def test_a_client_narrows_the_stream(self):
        client = websocket.create_connection(self.url, timeout=5)
        client.send(json.dumps({"subscribe": ["bay_2"]}))
        while (e := receive_json(client)).get("subscribed") is None:
            pass
        self.assertEqual(e, {"subscribed": ["bay_2"]})
        for _ in range(4):  # a steady scale's Decode comes once a second
            self.assertEqual(receive_json(client)["scale"], "bay_2")
        client.send(json.dumps({"subscribe": ["nope"]}))
        while "error" not in (e := receive_json(client)):
            pass
        self.assertIn("nope", e["error"])
        client.send("not json")
        while "error" not in (e := receive_json(client)):
            pass
        client.close()

    def test_client_limit_and_paths(self):
        with self.assertRaises(websocket.WebSocketBadStatusException) as refused:
            websocket.create_connection("ws://127.0.0.1:%d/api/other" % self.service.port, timeout=5)
        self.assertEqual(refused.exception.status_code, 404)
        clients = [websocket.create_connection(self.url, timeout=5) for _ in range(256)]
        wait_for(lambda: "orva_websocket_clients 256" in self.service.request("/metrics")[2], 10)
        # Refused before the handshake, not queued.
        with self.assertRaises(websocket.WebSocketBadStatusException) as refused:
            websocket.create_connection(self.url, timeout=5)
        self.assertEqual(refused.exception.status_code, 503)
        self.assertIn("orva_websocket_refused_total 1", self.service.request("/metrics")[2])
        receive_json(clients[-1])  # the admitted ones keep receiving
        for c in clients[:10]:
            c.close()
        wait_for(lambda: "orva_websocket_clients 246" in self.service.request("/metrics")[2], 10)
        for c in clients[10:]:
            c.close()


    def test_clients_that_vanish_while_events_flow(self):
        # Peers that reset their connections in the middle of the stream: the
        # service notices while writing to them and goes on serving the rest.
        follower = websocket.create_connection(self.url, timeout=5)
        for _ in range(5):
            gone = []
            for _ in range(20):
                c = socket.create_connection(("127.0.0.1", self.service.port))
                c.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
                gone.append(c)
            time.sleep(0.5)
            for c in gone:
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                c.close()
        time.sleep(1)
        self.assertIsNone(self.service.process.poll(), "the service ended")
        self.assertEqual(self.service.request("/api/scales")[0], 200)
        receive_json(follower)
        wait_for(lambda: "orva_websocket_clients 1\n" in self.service.request("/metrics")[2], 5)
        follower.close()


class SlowClient(unittest.TestCase):
    def test_a_client_that_stops_reading_is_dropped(self):
        # A hundred simulated terminals give a steady stream of events; a
        # client that never reads is dropped once 1 MiB waits for it, and a
        # client that reads goes on receiving.
        ws = Workspace()
        try:
            service = ws.service("[service]\nlisten = 127.0.0.1:0\n", extra=["--simulate", "100"])
            reader = websocket.create_connection("ws://127.0.0.1:%d/api/live" % service.port, timeout=5)
            stuck = socket.socket()
            stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stuck.connect(("127.0.0.1", service.port))
            stuck.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            end = time.monotonic() + 50
            while "orva_websocket_dropped_total 1" not in service.request("/metrics")[2]:
                self.assertLess(time.monotonic(), end, "the stuck client was never dropped")
                for _ in range(5):  # the reader keeps up meanwhile
                    reader.recv()
            self.assertIn("dropped WebSocket client 127.0.0.1: it stopped reading", service.log())
            self.assertIn("orva_websocket_clients 1\n", service.request("/metrics")[2])
            self.assertEqual(receive_json(reader)["event"] in
                             ("Decode", "ChangeVes", "StabVes", "VesStatus"), True)
            reader.close()
            stuck.close()
        finally:
            ws.close()


class Devices(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_unplugged_terminal_goes_offline_and_comes_back(self):
        bay = self.ws.simulator("bay1", "--weight", "3.5")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[bay-1]\nport = {bay.link}\n")
        wait_for(lambda: s.scale("bay-1")["online"], 5)
        bay.command("unplug")
        state = wait_for(lambda: (lambda x: x if not x["online"] else None)(s.scale("bay-1")), 5)
        self.assertIsNone(state["weight"])
        bay.command("replug")
        wait_for(lambda: s.scale("bay-1")["online"], 8)
        self.assertEqual(s.scale("bay-1")["weight"], 3.5)
        self.assertRegex(s.request("/metrics")[2], r'orva_port_failures_total\{scale="bay-1"\} [1-9]')

    def test_terminal_behind_a_tcp_serial_server(self):
        bay = self.ws.simulator("bay1", "--weight", "42.5")
        port = free_port()

        def serial_server():
            # Like a serial server, it takes a new connection whenever the last one went.
            p = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
                                  "FILE:%s,raw,echo=0" % bay.device], stderr=subprocess.DEVNULL,
                                 start_new_session=True)
            def listening():
                # Read from the kernel's table: a probing connection would be
                # served by socat too, and its child would read the terminal.
                with open("/proc/net/tcp") as table:
                    return any(f[1].endswith(":%04X" % port) and f[3] == "0A"
                               for f in (line.split() for line in table.readlines()[1:]))
            wait_for(listening, 5)
            return p

        server = serial_server()
        try:
            s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n"
                                f"[yard]\nport = tcp://127.0.0.1:{port}\nComSetting = 19200,n,8,1\n")
            try:
                state = wait_for(lambda: (lambda x: x if x["weight"] == 42.5 else None)(s.scale("yard")), 10)
            except AssertionError:
                raise AssertionError("no weight over TCP: %s\n%s" % (s.scale("yard"), s.log()))
            self.assertTrue(state["online"])
            # The settings text is kept, and the log says once that it cannot reach the remote line.
            wait_for(lambda: s.request("/api/scales/yard/properties")[2]["ComSetting"] == "19200,n,8,1", 5)
            self.assertEqual(s.log().count("a network serial server's line is set on the server"), 1)
            # A lost connection is an unplugged device: offline, then back once the server is.
            os.killpg(server.pid, signal.SIGTERM)
            server.wait()
            wait_for(lambda: not s.scale("yard")["online"], 6)
            server = serial_server()
            wait_for(lambda: s.scale("yard")["online"], 10)
            self.assertRegex(s.request("/metrics")[2], r'orva_port_failures_total\{scale="yard"\} [1-9]')
        finally:
            os.killpg(server.pid, signal.SIGTERM)
            server.wait()

    def test_a_bad_configuration_starts_nothing(self):
        bay = self.ws.simulator("bay1", "--weight", "1")
        path = os.path.join(self.ws.dir, "bad.ini")
        with open(path, "w") as f:
            f.write(f"[bay-1]\nport = {bay.link}\n\n[bay 2]\nport = /dev/null\n")
        run = subprocess.run([os.path.join(os.environ.get("ORVA_TOOLS_DIR", "build/tools"), "orva-service"),
                              "--config", path], capture_output=True, text=True, timeout=10)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, "")
        self.assertIn("bad.ini:4: scale id \"bay 2\"", run.stderr)
        # The first scale's terminal was never asked anything.
        bay.command("quit")
        self.assertEqual(bay.process.wait(5), 0)

    def test_writes_that_must_not_reach_the_file(self):
        bay = self.ws.simulator("bay1", "--weight", "7.5")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n[bay-1]\nport = {bay.link}\n",
                            extra=("--simulate", "1"))
        auth = {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"}
        with open(s.config) as f:
            before = f.read()
        writable = ("MinFixVes", "DecPoint", "ComSetting", "ComNumber")
        props_before = {k: s.request("/api/scales/bay-1/properties")[2][k] for k in writable}
        # A simulated scale has no section in the file: its writes are in force, not saved.
        status, _, reply = s.request("/api/scales/sim-1/properties", "PUT", {"MinFixVes": 9, "DecPoint": 1}, auth)
        self.assertEqual(status, 200, reply)
        self.assertEqual((reply["MinFixVes"], reply["saved"]), (9, False))
        self.assertEqual(s.request("/api/scales/sim-1/properties")[2]["MinFixVes"], 9)
        # Settings the port would refuse at the next poll are refused now, as a
        # whole: the DecPoint beside them is not written either.
        for text, why in (("9600,x,8,1", "is not line settings"), ("9600 n 8 1", "is not line settings"),
                          ("12345,n,8,1", "no terminal driver here takes 12345 baud"),
                          ("9600,n,8,1.5", "1.5 stop bits")):
            status, _, reply = s.request("/api/scales/bay-1/properties", "PUT",
                                         {"DecPoint": 3, "ComSetting": text}, auth)
            self.assertEqual(status, 400, text)
            self.assertIn(why, reply["error"])
        props = s.request("/api/scales/bay-1/properties")[2]
        self.assertEqual({k: props[k] for k in writable}, props_before)
        # The first refusal is logged; the rest of the burst from that address is counted.
        self.assertRegex(s.log(), r"refused a property write on bay-1 from 127\.0\.0\.1: ComSetting \"9600,x,8,1\"")
        with open(s.config) as f:
            self.assertEqual(f.read(), before)
        # Settings a terminal takes are saved, and the control reconfigures.
        status, _, reply = s.request("/api/scales/bay-1/properties", "PUT", {"ComSetting": "19200,n,8,1"}, auth)
        self.assertEqual((status, reply["saved"]), (200, True))
        wait_for(lambda: 'orva_reconfigurations_total{scale="bay-1"} 1' in s.request("/metrics")[2], 5)
        with open(s.config) as f:
            after = f.read()
        self.assertIn("ComSetting = 19200,n,8,1\n", after)
        self.assertNotIn("sim-1", after)
        # The next start takes the file.
        s.stop()
        again = self.ws.service(after)
        wait_for(lambda: again.scale("bay-1")["online"], 5)


if __name__ == "__main__":
    unittest.main()
