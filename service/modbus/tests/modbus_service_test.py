"""orva-service's Modbus TCP face read by real clients (mbpoll, pymodbus)
against simulated terminals on pseudo-terminals, and held to its bounds by
clients that misbehave on purpose (raw sockets)."""
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

from pymodbus.client import ModbusTcpClient

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests", "service"))
from service_harness import TOOLS, Workspace, free_port, wait_for  # noqa: E402

MBPOLL = os.environ.get("ORVA_MBPOLL", "mbpoll")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def request(tid, unit, function, address, count):
    return struct.pack(">HHHBBHH", tid, 0, 6, unit, function, address, count)


def read_answer(sock):
    """One whole answer: (transaction, unit, PDU)."""
    head = b""
    while len(head) < 6:
        chunk = sock.recv(6 - len(head))
        if not chunk:
            raise ConnectionError("closed")
        head += chunk
    tid, _, length = struct.unpack(">HHH", head)
    body = b""
    while len(body) < length:
        chunk = sock.recv(length - len(body))
        if not chunk:
            raise ConnectionError("closed")
        body += chunk
    return tid, body[0], body[1:]


def registers(sock, unit=1, function=4, address=0, count=17, tid=1):
    sock.sendall(request(tid, unit, function, address, count))
    _, _, pdu = read_answer(sock)
    if pdu[0] & 0x80:
        raise AssertionError("exception %d" % pdu[1])
    return list(struct.unpack(">%dH" % (pdu[1] // 2), pdu[2:]))


def closed_by_peer(sock, timeout):
    """Whether the service closes the connection within timeout."""
    sock.settimeout(timeout)
    try:
        while True:
            if not sock.recv(4096):
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def f32(words, low=False):
    hi, lo = (words[1], words[0]) if low else (words[0], words[1])
    return struct.unpack(">f", struct.pack(">HH", hi, lo))[0]


def u32(words, low=False):
    hi, lo = (words[1], words[0]) if low else (words[0], words[1])
    return (hi << 16) | lo


def config(modbus_port, scales, modbus_lines=""):
    return f"[service]\nlisten = 127.0.0.1:0\n[modbus]\nlisten = 127.0.0.1:{modbus_port}\n{modbus_lines}{scales}"


class Readings(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")
        self.raw = self.ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "0.01")
        self.mport = free_port()
        self.scales = (f"[bay-1]\nport = {self.bay.link}\nMinFixVes = 50\n"
                       f"[bay_2]\nport = {self.raw.link}\nDecPoint = 2\nmodbus_decimals = 2\n"
                       f"[gone]\nport = {self.ws.dir}/unplugged\nmodbus_unit = 9\n")
        self.service = self.ws.service(config(self.mport, self.scales))
        wait_for(lambda: "serving" in self.service.log(), 5)  # and SIGHUP reloads

    def tearDown(self):
        self.ws.close()

    def client(self):
        c = ModbusTcpClient("127.0.0.1", port=self.mport, timeout=5)
        self.assertTrue(c.connect())
        self.addCleanup(c.close)
        return c

    def settled(self, unit=1):
        c = self.client()
        return wait_for(lambda: (lambda r: r if r[5] & 2 else None)(c.read_input_registers(0, 17, slave=unit).registers), 10)

    def test_mbpoll_reads_what_the_terminal_sends(self):
        self.settled()
        run = lambda *a: subprocess.run([MBPOLL, "-m", "tcp", *a, "-1", "127.0.0.1", "-p", str(self.mport)],
                                        capture_output=True, text=True, timeout=20)
        # The PLC's read of the whole map: 17 input registers from reference 1.
        out = run("-a", "1", "-t", "3", "-r", "1", "-c", "17")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        values = {int(k): int(v) for k, v in re.findall(r"^\[(\d+)\]:\s+(-?\d+)", out.stdout, re.M)}
        self.assertEqual(len(values), 17, out.stdout)
        words = [values[i] & 0xFFFF for i in range(1, 18)]
        self.assertEqual(f32(words[0:2]), 12.5)
        self.assertEqual(u32(words[2:4]), 12500)
        self.assertEqual(words[4], 3)
        self.assertEqual(words[6], ord("B"))
        self.assertEqual(words[13], 0)  # port open
        # The same as a float, high word first, from the holding registers.
        out = run("-a", "1", "-t", "4:float", "-B", "-r", "1", "-c", "1")
        self.assertRegex(out.stdout, r"\[1\]:\s+12\.5\b")
        # The raw-digit terminal on unit 2, two decimals; the discrete inputs.
        out = run("-a", "2", "-t", "3:int", "-B", "-r", "3", "-c", "1")
        self.assertRegex(out.stdout, r"\[3\]:\s+1\b", out.stdout)
        out = run("-a", "1", "-t", "1", "-r", "1", "-c", "4")
        self.assertEqual(re.findall(r"^\[\d\]:\s+(\d)", out.stdout, re.M), ["1", "1", "1", "0"], out.stdout)

    def test_both_word_orders_and_a_reload_that_moves_units(self):
        big = self.settled()
        self.assertEqual(f32(big[0:2]), 12.5)
        self.assertEqual(u32(big[15:17]) < 2000, True)
        # The HTTP API names each scale's unit (the dashboard shows it).
        units = {s["id"]: s.get("modbus_unit") for s in self.service.request("/api/scales")[2]}
        self.assertEqual(units, {"bay-1": 1, "bay_2": 2, "gone": 9})
        write(self.service.config, config(self.mport, self.scales.replace("[bay-1]\n", "[bay-1]\nmodbus_unit = 5\n"),
                                          "word_order = little\n"))
        self.service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reloaded" in self.service.log(), 5)
        c = self.client()
        low = c.read_input_registers(0, 17, slave=5).registers
        self.assertEqual(f32(low[0:2], low=True), 12.5)
        self.assertEqual(u32(low[2:4], low=True), 12500)
        self.assertEqual(low[0], big[1])
        self.assertEqual(u32(low[11:13], low=True), u32(big[11:13]))
        # Unit 1 holds no scale now.
        self.assertEqual(c.read_input_registers(0, 1, slave=1).exception_code, 0x0A)
        self.assertEqual(self.service.scale("bay-1")["modbus_unit"], 5)

    def test_an_offline_scale_says_why_and_no_write_lands(self):
        c = self.client()
        gone = c.read_holding_registers(0, 17, slave=9).registers
        self.assertEqual(gone[13], 2)  # no_device
        self.assertEqual(gone[5] & (1 | 4 | 64), 64)  # not valid, port not open, stale
        self.assertEqual(u32(gone[15:17]), 0xFFFFFFFF)
        self.assertEqual(c.read_discrete_inputs(0, 4, slave=9).bits[:4], [False, False, False, True])
        self.settled()
        before = c.read_holding_registers(0, 17, slave=1).registers
        self.assertEqual(c.write_register(4, 6, slave=1).exception_code, 1)
        self.assertEqual(c.write_registers(0, [0, 0], slave=1).exception_code, 1)
        self.assertEqual(c.write_coil(0, True, slave=1).exception_code, 1)
        self.assertEqual(c.read_coils(0, 1, slave=1).exception_code, 1)
        self.assertEqual(c.read_holding_registers(15, 3, slave=1).exception_code, 2)
        self.assertEqual(c.read_input_registers(0, 126, slave=1).exception_code, 3)
        self.assertEqual(c.read_input_registers(0, 1, slave=3).exception_code, 0x0A)
        after = c.read_holding_registers(0, 17, slave=1).registers
        self.assertEqual(after[4], before[4])
        self.assertEqual(f32(after[0:2]), 12.5)
        # A terminal that stops answering: its registers go stale, then recover.
        self.bay.command("unplug")
        wait_for(lambda: c.read_input_registers(5, 1, slave=1).registers[0] & 64, 10)
        self.bay.command("replug")
        wait_for(lambda: not c.read_input_registers(5, 1, slave=1).registers[0] & 64, 15)

    def test_a_settled_weight_counts_once(self):
        first = self.settled()
        count = u32(first[11:13])
        self.assertGreaterEqual(count, 1)
        self.assertEqual(f32(first[7:9]), 12.5)
        self.bay.command("weight 0", "hold 3", "weight 20.5")
        c = self.client()
        seen = []
        # Follow the count while the new load settles, then for ten decodes more.
        settled_at = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            r = c.read_input_registers(0, 17, slave=1).registers
            seen.append(u32(r[11:13]))
            if settled_at is None and u32(r[11:13]) != count:
                settled_at = r[14]
                self.assertEqual(f32(r[7:9]), 20.5)
            if settled_at is not None and (r[14] - settled_at) % 65536 >= 10:
                break
            time.sleep(0.03)
        self.assertIsNotNone(settled_at, "no new settled weight")
        self.assertEqual(sorted(set(seen)), [count, count + 1], seen)
        self.assertEqual(seen[-1], count + 1)
        # The service's own seq for it is the same number.
        stable = self.service.request("/api/scales/bay-1/stable?timeout_ms=1000")[2]
        self.assertEqual(stable.get("seq"), count + 1)

    def test_adding_or_removing_the_section_waits_for_a_restart(self):
        # Removed: the face serves as it did, and the log says why.
        write(self.service.config, "[service]\nlisten = 127.0.0.1:0\n" + self.scales)
        self.service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reloaded" in self.service.log(), 5)
        self.assertIn("[modbus] the section is gone; Modbus TCP serves as it did until a restart", self.service.log())
        self.assertEqual(self.client().read_input_registers(13, 1, slave=9).registers, [2])
        # Added to a service that started without it: nothing listens yet.
        folder = os.path.join(self.ws.dir, "other")
        os.makedirs(folder)
        other = self.ws.service("[service]\nlisten = 127.0.0.1:0\n" + self.scales.replace("bay", "other"), directory=folder)
        wait_for(lambda: "serving" in other.log(), 5)
        port = free_port()
        write(other.config, config(port, self.scales.replace("bay", "other")))
        other.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "the [modbus] section is new; it takes a restart" in other.log(), 5)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()

    def test_a_wrong_section_is_refused_at_start_and_at_reload(self):
        # At a reload: refused with the line, the running units stay.
        bad = self.scales.replace("modbus_unit = 9\n", "modbus_unit = 2\n")
        write(self.service.config, config(self.mport, bad))
        self.service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reload refused" in self.service.log(), 5)
        line = 4 + bad.splitlines().index("modbus_unit = 2") + 1
        self.assertIn("scales.ini:%d: scales [bay_2] and [gone] are both on Modbus unit 2" % line, self.service.log())
        self.assertEqual(self.client().read_input_registers(13, 1, slave=9).registers, [2])
        # At a start: nothing runs.
        path = os.path.join(self.ws.dir, "bad.ini")
        for text, expected in ((config(free_port(), self.scales, "max_clients = none\n"), "bad.ini:5: max_clients must be"),
                               (config(free_port(), self.scales + "modbus_decimals = 9\n"),
                                "modbus_decimals must be a number of decimals, 0 to 6")):
            write(path, text)
            run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", path], capture_output=True, text=True,
                                 timeout=20)
            self.assertNotEqual(run.returncode, 0)
            self.assertIn(expected, run.stderr)
        # A port another program holds: the start fails and says so.
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            write(path, config(taken.getsockname()[1], self.scales))
            run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", path], capture_output=True, text=True,
                                 timeout=20)
        self.assertEqual(run.returncode, 1)
        self.assertIn("[modbus]: cannot listen on 127.0.0.1:", run.stderr)


class Bounds(unittest.TestCase):
    """The service on one scale, its Modbus face with low limits."""

    def setUp(self):
        self.ws = Workspace()
        self.bay = self.ws.simulator("bay1", "--weight", "7.25")
        self.mport = free_port()
        self.service = self.ws.service(config(self.mport, f"[bay-1]\nport = {self.bay.link}\n",
                                              "max_clients = 3\nidle_timeout_ms = 3000\n"))
        wait_for(lambda: "serving" in self.service.log(), 5)  # and SIGHUP reloads

    def tearDown(self):
        self.ws.close()

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.mport), timeout=10)
        self.addCleanup(s.close)
        return s

    def closed(self, reason):
        """How many connections the service closed for that reason (/metrics)."""
        text = self.service.request("/metrics")[2]
        return int(re.search(r'^orva_modbus_closed_total\{reason="%s"\} (\d+)$' % reason, text, re.M).group(1))

    def decodes(self, sock):
        return registers(sock, address=14, count=1)[0]

    def test_one_client_more_than_max_clients_is_closed_at_once(self):
        held = [self.connect() for _ in range(3)]
        for s in held:
            self.assertEqual(len(registers(s)), 17)
        extra = self.connect()
        self.assertTrue(closed_by_peer(extra, 5))
        self.assertEqual(self.closed("max_clients"), 1)
        held.pop().close()
        again = wait_for(lambda: (lambda s: s if self.try_read(s) else None)(self.connect()), 5)
        self.assertEqual(len(registers(again)), 17)

    def try_read(self, sock):
        try:
            return len(registers(sock)) == 17
        except (ConnectionError, OSError):
            return False

    def test_bad_headers_close_the_connection(self):
        for frame in (struct.pack(">HHHBBHH", 1, 1, 6, 1, 4, 0, 1),  # protocol id 1
                      struct.pack(">HHHB", 1, 0, 0, 1),  # length 0
                      struct.pack(">HHHB", 1, 0, 255, 1) + b"\0" * 254):  # length over 254
            s = self.connect()
            s.sendall(frame)
            self.assertTrue(closed_by_peer(s, 5), frame)
        self.assertEqual(self.closed("bad_header"), 3)
        # The face still serves.
        self.assertEqual(len(registers(self.connect())), 17)

    def test_a_request_must_arrive_whole_within_2_s(self):
        s = self.connect()
        registers(s)
        start = time.monotonic()
        s.sendall(request(2, 1, 4, 0, 17)[:9])
        self.assertTrue(closed_by_peer(s, 10))
        self.assertGreater(time.monotonic() - start, 1.5)
        self.assertEqual((self.closed("request_timeout"), self.closed("idle")), (1, 0))

    def test_a_trickling_client_stalls_no_poll(self):
        watcher = self.connect()
        wait_for(lambda: registers(watcher, address=5, count=1)[0] & 1, 10)
        trickler = self.connect()
        frame = request(7, 1, 3, 0, 17)
        before = self.decodes(watcher)
        done = threading.Event()
        def trickle():
            for b in frame:
                trickler.sendall(bytes([b]))
                time.sleep(0.13)
            done.set()
        threading.Thread(target=trickle, daemon=True).start()
        # While it trickles, the scale keeps being polled and decoded, and
        # another client is answered.
        during = []
        while not done.is_set():
            during.append(self.decodes(watcher))
            time.sleep(0.05)
        self.assertGreaterEqual((during[-1] - before) % 65536, 2, during)
        tid, unit, pdu = read_answer(trickler)
        self.assertEqual((tid, unit, pdu[0], pdu[1]), (7, 1, 3, 34))

    def test_a_client_that_reads_no_answers_is_closed(self):
        def rss():
            with open("/proc/%d/status" % self.service.process.pid) as f:
                return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
        start = rss()
        # Requests sent ahead are answered, in their order.
        ahead = self.connect()
        ahead.sendall(b"".join(request(t, 1, 4, 0, 17) for t in range(200)))
        self.assertEqual([read_answer(ahead)[0] for _ in range(200)], list(range(200)))
        s = self.connect()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(2)
        batch = request(1, 1, 3, 0, 17) * 1000
        closed = False
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not closed:
            try:
                s.sendall(batch)
            except socket.timeout:
                # The service stopped taking requests: it must close the client soon.
                closed = closed_by_peer(s, 10)
                break
            except (ConnectionResetError, BrokenPipeError):
                closed = True
        self.assertTrue(closed, "the client that reads nothing is still connected")
        wait_for(lambda: self.closed("unread_answers") == 1, 5)
        self.assertLess(rss() - start, 20 * 1024, "the service's memory grew by more than 20 MiB")
        self.assertEqual(len(registers(self.connect())), 17)

    def test_allow_from_closes_other_addresses_at_once_and_at_a_reload(self):
        held = self.connect()
        registers(held)
        with open(self.service.config) as f:
            text = f.read()
        write(self.service.config, text.replace("max_clients = 3\n", "max_clients = 3\nallow_from = 10.0.0.0/8, fd00::/8\n"))
        self.service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reloaded" in self.service.log(), 5)
        # The client already connected is closed, a new one too.
        self.assertTrue(closed_by_peer(held, 5))
        self.assertTrue(closed_by_peer(self.connect(), 5))
        self.assertEqual(self.closed("not_allowed"), 2)
        write(self.service.config, text.replace("max_clients = 3\n", "max_clients = 3\nallow_from = 10.0.0.0/8, 127.0.0.1\n"))
        self.service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: self.service.log().count("reloaded") == 2, 5)
        self.assertEqual(len(registers(self.connect())), 17)

    def test_random_requests_are_each_answered(self):
        # Well-framed requests of any function, unit and length: each gets
        # an answer of its own transaction (data or an exception), in order.
        rng = random.Random(24)
        s = self.connect()
        for tid in range(1500):
            unit = rng.choice((0, 1, 255, rng.randrange(256)))
            pdu = bytes([rng.choice((2, 3, 4, 43, rng.randrange(256)))]) + rng.randbytes(rng.randrange(0, 252))
            s.sendall(struct.pack(">HHHB", tid, 0, 1 + len(pdu), unit) + pdu)
            got, answered_unit, answer = read_answer(s)
            self.assertEqual((got, answered_unit), (tid, unit))
            self.assertIn(answer[0] & 0x7F, (pdu[0] & 0x7F,))
        self.assertIsNone(self.service.process.poll())
        self.assertEqual(len(registers(s)), 17)

    def test_idle_clients_are_closed(self):
        s = self.connect()
        registers(s)
        start = time.monotonic()
        self.assertTrue(closed_by_peer(s, 10))
        self.assertGreater(time.monotonic() - start, 2.0)
        self.assertEqual(self.closed("idle"), 1)


if __name__ == "__main__":
    unittest.main()


class Descriptors(unittest.TestCase):
    """Modbus clients hold descriptors too: the HTTP face's limits are fitted
    beside them, so a full Modbus face and a flood of HTTP connections under a
    low descriptor limit leave the service answering both."""

    def test_modbus_clients_count_in_the_descriptor_limit(self):
        import resource
        ws = Workspace()
        self.addCleanup(ws.close)
        bay = ws.simulator("bay1", "--weight", "7.25")
        mport = free_port()
        service = ws.service(
            config(mport, f"[bay-1]\nport = {bay.link}\n", "max_clients = 200\n").replace(
                "[service]\n", "[service]\nmax_connections_per_address = 5000\n"),
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (400, 400)))
        wait_for(lambda: "serving" in service.log(), 5)
        line = re.search(r"may use 400 file descriptors.*lowered: max_connections 1024 -> (\d+), "
                         r"max_websocket_clients 256 -> (\d+)", service.log())
        self.assertIsNotNone(line, service.log())
        # The HTTP face's connections, its WebSocket clients and the 200
        # Modbus clients (and their listener) fit beside the service's own.
        self.assertLessEqual(int(line.group(1)) + int(line.group(2)) + 200, 400 - 64, service.log())
        # This test's own 700 sockets need more than a usual soft limit.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        wanted = 4096 if hard == resource.RLIM_INFINITY else min(hard, 4096)
        if soft < wanted:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        modbus = []
        for _ in range(200):
            s = socket.create_connection(("127.0.0.1", mport), timeout=10)
            self.addCleanup(s.close)
            modbus.append(s)
        self.assertEqual(len(registers(modbus[-1])), 17)
        http = []
        for _ in range(500):
            s = socket.create_connection(("127.0.0.1", service.port), timeout=10)
            self.addCleanup(s.close)
            http.append(s)
        time.sleep(0.5)
        # A newcomer is answered (an idle connection makes room for it), and
        # every held Modbus client still reads its registers.
        self.assertEqual(service.request("/api/scales", timeout=5)[0], 200)
        for s in modbus[::20]:
            self.assertEqual(len(registers(s)), 17)
        self.assertNotIn("Too many open files", service.log())
