"""What an operator does with the service on a first day, each as it went
wrong once: a property write on a full disk, a file edited by hand while the
service runs, kill -HUP, devices the service cannot use, writes that would
break a scale, files that must not start, one settled load asked for three
times. Real processes throughout: orva-service, simulated terminals on
pseudo-terminals, a small tmpfs for the full disk."""
import fcntl
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt
import websocket

sys.path.insert(0, os.path.dirname(__file__))
from service_harness import TOOLS, Workspace, free_port, next_event, wait_for  # noqa: E402

TOKEN = "first-token"


def auth(token=TOKEN):
    return {"Authorization": "Bearer " + token, "Content-Type": "application/json"}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def temporaries(directory):
    return [n for n in os.listdir(directory) if n.startswith(".scales.ini.")]


class FullDisk(unittest.TestCase):
    """A full disk under the configuration: a tmpfs of 64 KiB filled up, or,
    where nothing can be mounted, write() and fsync() failing with ENOSPC
    through a preloaded library."""

    def setUp(self):
        self.ws = Workspace()
        self.disk = tempfile.mkdtemp(prefix="orva-full-disk-")
        self.mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.disk],
                                      capture_output=True).returncode == 0
        self.flag = os.path.join(self.ws.dir, "disk-is-full")
        self.env = None
        if not self.mounted:
            preload = os.environ.get("ORVA_FULL_DISK_PRELOAD")
            self.assertTrue(preload and os.path.exists(preload), "cannot mount a tmpfs, and no fault injection library")
            self.env = dict(os.environ, LD_PRELOAD=preload, ORVA_FULL_DISK_UNDER=os.path.realpath(self.disk),
                            ORVA_FULL_DISK_WHILE=self.flag)
        print("full disk by", "a 64 KiB tmpfs" if self.mounted else "LD_PRELOAD fault injection", file=sys.stderr)

    def tearDown(self):
        self.ws.close()
        if self.mounted:
            subprocess.run(["umount", self.disk], check=False)
        shutil.rmtree(self.disk, ignore_errors=True)

    def fill(self):
        if not self.mounted:
            write(self.flag, "")
            return
        fd = os.open(os.path.join(self.disk, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(fd, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(fd)

    def empty(self):
        for path in (self.flag, os.path.join(self.disk, "filler")):
            if os.path.exists(path):
                os.remove(path)

    def test_a_write_on_a_full_disk_fails_and_keeps_the_file(self):
        bay = self.ws.simulator("bay1", "--weight", "5")
        config = f"# bay one\n[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n\n[bay-1]\nport = {bay.link}\nMinFixVes = 50\n"
        # A temporary file of a save that was killed half-way: gone at the start.
        write(os.path.join(self.disk, ".scales.ini.orva-saving.Xy12Zq"), "half a file")
        # The operator's own, one of them with six characters like a temporary's.
        for own in (".scales.ini.keep", ".scales.ini.backup"):
            write(os.path.join(self.disk, own), "not one of ours")
        s = self.ws.service(config, directory=self.disk, env=self.env)
        self.assertEqual(sorted(temporaries(self.disk)), [".scales.ini.backup", ".scales.ini.keep"])
        for own in (".scales.ini.keep", ".scales.ini.backup"):
            os.remove(os.path.join(self.disk, own))
        before = read(s.config)

        self.fill()
        status, _, reply = s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 77}, auth())
        self.assertEqual(status, 507, reply)
        self.assertIn("No space left on device", reply["error"])
        self.assertEqual(read(s.config), before)
        self.assertEqual(temporaries(self.disk), [])
        # Not written means not in force either.
        self.assertEqual(s.request("/api/scales/bay-1/properties")[2]["MinFixVes"], 50)
        self.assertRegex(s.log(), r"refused a property write on bay-1 from 127\.0\.0\.1: not written: .*No space left")

        self.empty()
        status, _, reply = s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 77}, auth())
        self.assertEqual((status, reply.get("saved")), (200, True), reply)
        self.assertIn(b"MinFixVes = 77\n", read(s.config))
        s.stop()
        again = self.ws.service(read(s.config).decode(), directory=self.disk, env=self.env)
        self.assertEqual([x["id"] for x in again.request("/api/scales")[2]], ["bay-1"])


class HandEdits(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_a_file_edited_while_the_service_runs_keeps_the_edits(self):
        bay1 = self.ws.simulator("bay1", "--weight", "5")
        bay2 = self.ws.simulator("bay2", "--weight", "6")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n\n[bay-1]\nport = {bay1.link}\n")
        # The operator adds a scale, rotates the token and raises a limit by hand.
        edited = (read(s.config).decode().replace(TOKEN, "second-token\nmax_connections = 500")
                  + f"\n# added by hand\n[bay-2]\nport = {bay2.link}\n")
        write(s.config, edited)
        status, _, reply = s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 60}, auth())
        self.assertEqual((status, reply.get("saved")), (200, True), reply)
        self.assertEqual(read(s.config).decode(),
                         edited.replace(f"port = {bay1.link}\n", f"port = {bay1.link}\nMinFixVes = 60\n"))
        self.assertIn("was changed since it was read", s.log())

        # The edits come into force with a reload: the new token, the new scale.
        s.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reloaded" in s.log(), 5)
        # bay-1 runs what the file says (its write was saved): not rebuilt.
        self.assertIn("added bay-2; removed none; reconfigured none; the token changed", s.log())
        # The limit edited by hand was never in force, though the write saved the file with it.
        self.assertIn("the connection limits in [service] changed; they take a restart", s.log())
        self.assertEqual(s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 61}, auth())[0], 401)
        self.assertEqual(s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 61}, auth("second-token"))[0], 200)
        wait_for(lambda: s.scale("bay-2").get("online"), 10)

        # An edit that leaves the file unusable (bay-1's section gone) is not
        # overwritten by a write to bay-1: refused, the file as the operator left it.
        broken = read(s.config).decode().replace("[bay-1]", "[bay-9]").replace(f"port = {bay1.link}\n", "")
        write(s.config, broken)
        status, _, reply = s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 62}, auth("second-token"))
        self.assertEqual(status, 500, reply)
        self.assertIn("would be refused at the next start", reply["error"])
        self.assertEqual(read(s.config).decode(), broken)
        self.assertEqual(s.request("/api/scales/bay-1/properties")[2]["MinFixVes"], 61)


class Reload(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def polls(self, s, scale):
        match = re.search(r'orva_polls_total\{scale="%s"\} (\d+)' % scale, s.request("/metrics")[2])
        return int(match.group(1)) if match else None

    def test_sighup_reloads_the_file_and_refuses_a_bad_one(self):
        sims = {name: self.ws.simulator(name, "--weight", "3") for name in ("a", "c", "d")}
        head = f"[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n"
        # b's terminal is unplugged: it never settles, so a till waits on it.
        s = self.ws.service(head + f"[a]\nport = {sims['a'].link}\n[b]\nport = {self.ws.dir}/unplugged\n"
                                   f"[d]\nport = {sims['d'].link}\nMinFixVes = 50\n")
        wait_for(lambda: all(s.scale(x)["online"] for x in "ad"), 10)
        waiting = queue.Queue()
        threading.Thread(target=lambda: waiting.put(s.request("/api/scales/b/stable?timeout_ms=30000", timeout=40)),
                         daemon=True).start()
        wait_for(lambda: re.search(r"\norva_waiting_requests 1\n", s.request("/metrics")[2]), 5)
        before = self.polls(s, "a")
        events = websocket.create_connection(s.base.replace("http", "ws") + "/api/live", timeout=10)
        self.addCleanup(events.close)
        events.send(json.dumps({"subscribe": ["a", "d"]}))
        wait_for(lambda: "subscribed" in next_event(events), 10, step=0)

        till = {"Host": "till.example"}
        self.assertEqual(s.request("/api/scales", headers=till)[0], 421)

        # b leaves, c comes, d changes; a stays as it is. A host name is
        # served at once; a new limit waits for a restart, and says so.
        write(s.config, head + "allow_host = till.example\nmax_connections = 500\n"
                               f"[a]\nport = {sims['a'].link}\n[c]\nport = {sims['c'].link}\n"
                               f"[d]\nport = {sims['d'].link}\nMinFixVes = 70\n")
        s.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reloaded" in s.log(), 5)
        self.assertIn("added c; removed b; reconfigured d", s.log())
        self.assertIn("the connection limits in [service] changed; they take a restart", s.log())
        self.assertEqual(s.request("/api/scales", headers=till)[0], 200)
        self.assertIsNone(s.process.poll())
        self.assertEqual([x["id"] for x in s.request("/api/scales")[2]], ["a", "c", "d"])
        self.assertEqual(s.request("/api/scales/b")[0], 404)
        # Its waiting till is told at once, not left to its timeout.
        status, _, reply = waiting.get(timeout=5)
        self.assertEqual(status, 404, reply)
        self.assertIn("removed from the configuration", reply["error"])
        self.assertEqual(s.request("/api/scales/d/properties")[2]["MinFixVes"], 70)
        wait_for(lambda: s.scale("c")["online"] and s.scale("d")["online"], 10)
        # a kept its control and its open port: its poll count went on, and
        # only d, given a new control, opened its port again.
        self.assertGreater(self.polls(s, "a"), before)
        self.assertTrue(s.scale("a")["online"])
        opened = []
        end = time.monotonic() + 1
        while time.monotonic() < end or not opened:
            e = next_event(events)
            if e.get("event") == "Port":
                opened.append((e["scale"], e["state"]))
            if time.monotonic() > end + 5:
                break
        self.assertEqual(opened, [("d", "open")])

        # A file no start would take: refused with its line, nothing changes.
        write(s.config, head + f"[a]\nport = {sims['a'].link}\nComSetting = 9600,x,8,1\n")
        s.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reload refused" in s.log(), 5)
        self.assertRegex(s.log(), r"reload refused, the running configuration stays: .*scales\.ini:6: ComSetting \"9600,x,8,1\"")
        self.assertIsNone(s.process.poll())
        self.assertEqual([x["id"] for x in s.request("/api/scales")[2]], ["a", "c", "d"])


class PortFailures(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_every_port_failure_is_explained_once(self):
        held = self.ws.simulator("held", "--weight", "1")
        loose = self.ws.simulator("loose", "--weight", "2")
        absent = os.path.join(self.ws.dir, "ttyUSB9")
        unreachable = "tcp://127.0.0.1:%d" % free_port()
        # Another program holds the terminal.
        holder = os.open(held.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, holder)
        fcntl.flock(holder, fcntl.LOCK_EX)
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[absent]\nport = {absent}\n[file]\nport = /etc/hostname\n"
                            f"[held]\nport = {held.link}\n[net]\nport = {unreachable}\n[loose]\nport = {loose.link}\n")
        events = websocket.create_connection(s.base.replace("http", "ws") + "/api/live", timeout=10)
        self.addCleanup(events.close)
        events.send(json.dumps({"subscribe": ["loose"]}))
        wait_for(lambda: s.scale("loose")["online"], 10)

        expected = {
            "absent": ("no_device", "no such device: %s does not exist" % absent),
            "file": ("not_serial", "not a serial device: /etc/hostname is a regular file"),
            "held": ("in_use", "in use by another program (it holds a lock on the device)"),
            "net": ("unreachable", "cannot connect: Connection refused"),
        }
        for scale, (state, reason) in expected.items():
            got = wait_for(lambda: (lambda x: x if x["port_state"] != "waiting" else None)(s.scale(scale)), 5)
            self.assertEqual((got["port_state"], got["reason"], got["online"]), (state, reason, False), scale)
        self.assertEqual(s.scale("loose")["port_state"], "open")
        self.assertIsNone(s.scale("loose")["reason"])

        # Unplugged, then back: a WebSocket Port event per change.
        loose.command("unplug")
        wait_for(lambda: s.scale("loose")["port_state"] not in ("open", "waiting"), 5)
        loose.command("replug")
        wait_for(lambda: s.scale("loose")["online"], 10)
        states = []
        while not states or states[-1] != "open":
            e = next_event(events)
            if e.get("event") == "Port" and e.get("scale") == "loose":
                states.append(e["state"])
                # One form everywhere: null while open, as in the API.
                if e["state"] == "open":
                    self.assertIsNone(e["reason"], e)
        self.assertEqual(states[0], "lost", states)
        self.assertEqual(len(states), len(set(states)), states)

        # Once per change, not once per poll, however long it lasts.
        time.sleep(1.5)
        log = s.log()
        for scale, (_, reason) in expected.items():
            self.assertEqual(log.count("[%s] port " % scale), 1, log)
            self.assertIn(reason, log)
        self.assertIn("[loose] port %s is open again" % loose.link, log)
        metrics = s.request("/metrics")[2]
        for state, count in (("no_device", 1), ("not_serial", 1), ("in_use", 1), ("unreachable", 1), ("open", 1)):
            self.assertRegex(metrics, r"\norva_ports_%s %d\n" % (state, count))

    def test_a_lost_connection_to_a_serial_server_is_told_once(self):
        bay = self.ws.simulator("bay", "--weight", "4")
        port = free_port()
        server = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                                   "FILE:%s,raw,echo=0" % bay.device], stderr=subprocess.DEVNULL, start_new_session=True)
        def stop_server():
            if server.poll() is None:
                os.killpg(server.pid, signal.SIGTERM)
                server.wait(5)
        self.addCleanup(stop_server)

        def listening():
            # From the kernel's table: a probing connection would be the one socat serves.
            with open("/proc/net/tcp") as table:
                return any(f[1].endswith(":%04X" % port) and f[3] == "0A"
                           for f in (line.split() for line in table.readlines()[1:]))
        wait_for(listening, 5)
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[yard]\nport = tcp://127.0.0.1:{port}\n")
        wait_for(lambda: s.scale("yard")["online"], 10)
        self.assertEqual(s.scale("yard")["port_state"], "open")
        stop_server()
        wait_for(lambda: s.scale("yard")["port_state"] == "unreachable", 10)
        time.sleep(1)
        log = s.log()
        self.assertEqual(log.count("[yard] port "), 2, log)
        self.assertIn("[yard] port tcp://127.0.0.1:%d: connection lost: the network serial server closed the connection" % port, log)
        self.assertIn("[yard] port tcp://127.0.0.1:%d: cannot connect: Connection refused" % port, log)

    def test_the_monitor_and_the_service_keep_off_each_others_device(self):
        # Both directions, with whatever user runs the tests (root included,
        # whom exclusive use and lock files do not keep out).
        first = self.ws.simulator("first", "--weight", "1")
        second = self.ws.simulator("second", "--weight", "2")
        monitor = subprocess.Popen([os.path.join(TOOLS, "orva-monitor"), "--json", "--com", "1=" + first.link],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(lambda: (monitor.poll() is None and monitor.terminate(), monitor.wait(5), monitor.stdout.close()))
        port = json.loads(monitor.stdout.readline())
        while port.get("event") != "Port":
            port = json.loads(monitor.stdout.readline())
        self.assertEqual((port["open"], port["reason"]), (True, None))
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[first]\nport = {first.link}\n[second]\nport = {second.link}\n")
        got = wait_for(lambda: (lambda x: x if x["port_state"] != "waiting" else None)(s.scale("first")), 5)
        self.assertEqual((got["port_state"], got["reason"]), ("in_use", "in use by another program (it holds a lock on the device)"))
        wait_for(lambda: s.scale("second")["online"], 10)
        run = subprocess.run([os.path.join(TOOLS, "orva-monitor"), "--json", "--cycles", "3", "--com", "1=" + second.link],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=20)
        ports = [e for e in map(json.loads, run.stdout.splitlines()) if e["event"] == "Port"]
        self.assertEqual([(e["open"], e["reason"]) for e in ports], [(False, "in use by another program")], run.stdout)
        self.assertTrue(s.scale("second")["online"])

    def test_permission_denied_names_the_owner_and_what_would_help(self):
        bay = self.ws.simulator("bay", "--weight", "1")
        device = os.path.realpath(bay.link)
        os.chmod(device, 0)
        as_nobody = None
        if os.geteuid() == 0:
            # root opens anything: the service runs as nobody here.
            os.chmod(self.ws.dir, 0o755)
            as_nobody = lambda: (os.setgid(65534), os.setuid(65534))  # noqa: E731
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[bay]\nport = {bay.link}\n", preexec_fn=as_nobody)
        got = wait_for(lambda: (lambda x: x if x["port_state"] != "waiting" else None)(s.scale("bay")), 5)
        self.assertEqual(got["port_state"], "permission_denied")
        self.assertRegex(got["reason"], r"^permission denied: %s is \w+:\w+ 0000; only root can open it" % re.escape(bay.link))


class Writes(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_a_com_number_with_no_device_or_another_scales_device_is_refused(self):
        a = self.ws.simulator("a", "--weight", "1")
        b = self.ws.simulator("b", "--weight", "2")
        spare = self.ws.simulator("spare", "--weight", "7")
        absent = os.path.join(self.ws.dir, "ttyUSB7")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n[ports]\n2 = {b.link}\n"
                            f"4 = {absent}\n5 = /etc/hostname\n6 = {spare.link}\n"
                            f"[a]\nport = {a.link}\n[b]\nport = {b.link}\nComNumber = 3\n")
        wait_for(lambda: s.scale("a")["online"] and s.scale("b")["online"], 10)
        # At start, one line per scale: id, device and number, settings, port state.
        self.assertIn("scale a: %s as port 1, 9600,n,8,1, DecPoint 1, MinFixVes 50; port state open" % a.link, s.log())
        self.assertIn("scale b: %s as port 3, 9600,n,8,1, DecPoint 1, MinFixVes 50; port state open" % b.link, s.log())
        before = read(s.config)
        props_before = s.request("/api/scales/a/properties")[2]
        ports = "1 (%s), 2 (%s), 4 (%s), 5 (/etc/hostname), 6 (%s)" % (a.link, b.link, absent, spare.link)
        for body, why in (({"ComNumber": 9}, "port 9 names no device; this scale's ports are " + ports),
                          ({"ComNumber": "2", "MinFixVes": 5}, "port 2 is %s, the device of scale b" % b.link),
                          # A [ports] device that is not there would leave the scale dark.
                          ({"ComNumber": 4}, "port 4 is %s: no such device: %s does not exist" % (absent, absent)),
                          ({"ComNumber": 5}, "port 5 is /etc/hostname: not a serial device: /etc/hostname is a regular file")):
            status, _, reply = s.request("/api/scales/a/properties", "PUT", body, auth())
            self.assertEqual(status, 400, reply)
            self.assertIn(why, reply["error"])
        self.assertEqual(read(s.config), before)
        self.assertEqual(s.request("/api/scales/a/properties")[2], props_before)
        time.sleep(0.5)
        self.assertTrue(s.scale("a")["online"])

        # A device that is there is taken; the state then names that one
        # device, in "port" and in "reason" alike.
        status, _, reply = s.request("/api/scales/a/properties", "PUT", {"ComNumber": 6}, auth())
        self.assertEqual(status, 200, reply)
        wait_for(lambda: s.scale("a")["online"] and s.scale("a")["weight"] == 7, 10)
        self.assertEqual(s.scale("a")["port"], spare.link)
        spare.command("unplug")
        got = wait_for(lambda: (lambda x: x if x["port_state"] == "no_device" else None)(s.scale("a")), 5)
        self.assertEqual((got["port"], got["reason"]), (spare.link, "no such device: %s does not exist" % spare.link))


class RefusedFiles(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_files_that_must_not_start_say_why(self):
        bay = self.ws.simulator("bay", "--weight", "1")
        cases = (
            (f"[a]\nport = {bay.link}\n[b]\nport = {bay.link}\n",
             f"scales.ini:3: scales [a] and [b] are both on {bay.link}: a terminal answers one scale"),
            (f"[a]\nport = {bay.link}\nComSetting = 9600,x,8,1\n", "scales.ini:3: ComSetting \"9600,x,8,1\" is not line settings"),
            (f"[a]\nport = {bay.link}\nComSetting = 12345,n,8,1\n",
             "scales.ini:3: ComSetting \"12345,n,8,1\" cannot be used: no terminal driver here takes 12345 baud"),
            ("[a]\nport = COM3\n", "scales.ini:2: port: \"COM3\" names no device"),
            ("[service]\nlisten = myhost.invalid:18655\n",
             "cannot listen on myhost.invalid:18655: \"myhost.invalid\" is not an address and does not resolve as a host name ("),
        )
        path = os.path.join(self.ws.dir, "scales.ini")
        for text, reason in cases:
            write(path, text)
            run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", path],
                                 capture_output=True, text=True, timeout=20)
            self.assertEqual((run.returncode, run.stdout), (1, ""), text)
            self.assertIn(reason, run.stderr)
        # A reason that quotes a file name keeps it on its one line.
        forged = os.path.join(self.ws.dir, "x\n2026-01-01T00:00:00.000Z forged")
        run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", forged],
                             capture_output=True, text=True, timeout=20)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
        self.assertIn("x\\x0a2026-01-01T00:00:00.000Z forged", run.stderr)
        # The terminal was never asked anything.
        bay.command("quit")
        self.assertEqual(bay.process.wait(5), 0)

    def test_a_fresh_file_without_scales_says_a_reload_takes_them(self):
        s = self.ws.service("[service]\nlisten = 127.0.0.1:0\n")
        wait_for(lambda: "no scale is configured" in s.log(), 5)
        self.assertIn("add a section per scale, then reload (SIGHUP: systemctl reload orva-service)", s.log())
        sim = self.ws.simulator("bay", "--weight", "3")
        write(s.config, f"[service]\nlisten = 127.0.0.1:0\n[bay]\nport = {sim.link}\n")
        s.process.send_signal(signal.SIGHUP)
        wait_for(lambda: s.scale("bay").get("online"), 10)

    def test_a_file_with_a_byte_order_mark_is_read_and_keeps_it(self):
        bay = self.ws.simulator("bay", "--weight", "1")
        s = self.ws.service(f"\ufeff[service]\nlisten = 127.0.0.1:0\ntoken = {TOKEN}\n[bay]\nport = {bay.link}\n")
        self.assertEqual(s.request("/api/scales/bay/properties", "PUT", {"DecPoint": 2}, auth())[0], 200)
        self.assertTrue(read(s.config).startswith(b"\xef\xbb\xbf[service]\n"))


class SettledIdentity(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def test_one_settled_load_has_one_time_and_number_everywhere(self):
        bay = self.ws.simulator("bay", "--weight", "0")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[bay]\nport = {bay.link}\n")
        events = websocket.create_connection(s.base.replace("http", "ws") + "/api/live", timeout=10)
        self.addCleanup(events.close)
        wait_for(lambda: s.scale("bay")["online"], 10)

        def next_settled():
            end = time.monotonic() + 10
            while time.monotonic() < end:
                e = next_event(events)
                if e.get("event") == "StabVes":
                    return e
            raise AssertionError("no settled weight within 10 s")

        bay.command("weight 25")
        settled = next_settled()
        answers = []
        for _ in range(3):
            status, _, reply = s.request("/api/scales/bay/stable?timeout_ms=0")
            self.assertEqual(status, 200, reply)
            answers.append(reply)
            time.sleep(0.4)
        self.assertEqual(answers, [{"weight": 25, "unit": "kg", "at": settled["at"], "seq": settled["seq"]}] * 3)

        # The load comes off and the next one goes on: a new weighing.
        bay.command("weight 0")
        wait_for(lambda: s.request("/api/scales/bay/stable?timeout_ms=0")[0] == 504, 5)
        bay.command("weight 40")
        again = next_settled()
        self.assertEqual(again["seq"], settled["seq"] + 1)
        self.assertGreater(again["at"], settled["at"])
        reply = s.request("/api/scales/bay/stable?timeout_ms=0")[2]
        self.assertEqual((reply["weight"], reply["at"], reply["seq"]), (40, again["at"], again["seq"]))


class Broker:
    """mosquitto on a free loopback port, and a client that collects what
    arrives on the topics it follows."""

    def __init__(self, directory):
        self.port = free_port()
        config = os.path.join(directory, "mosquitto.conf")
        write(config, f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.process = subprocess.Popen([os.environ.get("ORVA_MOSQUITTO", "mosquitto"), "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.port)) == 0
        wait_for(listening, 10)
        self.messages = queue.Queue()
        self.client = mqtt.Client()
        self.client.on_message = lambda c, u, m: self.messages.put((m.topic, m.payload))
        self.client.connect("127.0.0.1", self.port, keepalive=10)
        self.client.loop_start()

    def follow(self, topic):
        done = self.client.subscribe(topic, qos=1)
        wait_for(lambda: done[0] == mqtt.MQTT_ERR_SUCCESS, 5)
        time.sleep(0.2)  # the broker has the subscription before anything is published

    def next(self, topic, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                got, payload = self.messages.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            if got == topic:
                return payload.decode()
        raise AssertionError("nothing on %s within %d s" % (topic, timeout))

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()
        self.process.terminate()
        self.process.wait(10)


class OverTheBroker(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.broker = Broker(self.ws.dir)

    def tearDown(self):
        self.ws.close()
        self.broker.stop()

    def test_settled_weights_and_refused_writes_through_the_broker(self):
        bay = self.ws.simulator("bay", "--weight", "0")
        self.broker.follow("site/#")
        s = self.ws.service(f"[service]\nlisten = 127.0.0.1:0\n[bay]\nport = {bay.link}\nMinFixVes = 30\n"
                            f"[mqtt]\nurl = mqtt://127.0.0.1:{self.broker.port}\ntopic_prefix = site\n"
                            f"remote_writes = on\nevents = off\n")
        wait_for(lambda: s.scale("bay")["online"], 10)
        # Online on the broker: its "set" subscription is in place.
        self.assertEqual(self.broker.next("site/status"), "online")
        before = read(s.config)
        # A port number that names no device: refused, nothing changes.
        result = None
        for _ in range(3):  # in case the subscription trails the status
            self.broker.client.publish("site/bay/set", json.dumps({"ComNumber": 99}), qos=1)
            try:
                result = json.loads(self.broker.next("site/bay/set/result", timeout=5))
                break
            except AssertionError:
                pass
        self.assertEqual(result["ok"], False, result)
        self.assertIn("port 99 names no device", result["error"])
        self.assertEqual(s.request("/api/scales/bay/properties")[2]["ComNumber"], "1")
        self.assertEqual(read(s.config), before)
        # A property name made to forge a log line stays inside its own line.
        self.broker.client.publish("site/bay/set", json.dumps({"Min\n2026-01-01T00:00:00.000Z forged": 1}), qos=1)
        self.assertEqual(json.loads(self.broker.next("site/bay/set/result", timeout=5))["ok"], False)
        wait_for(lambda: "forged" in s.log(), 5)
        self.assertIn('from the broker: no property "Min\\x0a2026-01-01T00:00:00.000Z forged"', s.log())
        # And a scale id made to, in the topic (the broker takes no control
        # characters there, but a line separator a viewer may break at).
        self.broker.client.publish("site/x\u2028forged id/set", json.dumps({"MinFixVes": 1}), qos=1)
        wait_for(lambda: "forged id" in s.log(), 5)
        self.assertIn("refused a property write on x\\xe2\\x80\\xa8forged id from the broker: unknown scale", s.log())
        self.assertEqual([line for line in s.log().splitlines() if "forged" in line and "refused a property write" not in line], [])

        # One settled load: the same time and number from the broker and from /stable.
        bay.command("weight 25")
        settled = json.loads(self.broker.next("site/bay/stable"))
        reply = s.request("/api/scales/bay/stable?timeout_ms=0")[2]
        self.assertEqual(settled, reply)


if __name__ == "__main__":
    unittest.main()
