#!/usr/bin/python3
"""The poll cadence of orva-service with a large fleet and many WebSocket
clients reading everything: 1,000 simulated terminals (orva-sim-fleet), first
with no client, then with 256 clients on /api/live that follow every scale
and read all they are sent (raw sockets, one epoll loop in this process).

  bench/service_live_load.py [--build build] [--scales 1000] [--clients 256] [--seconds 30]

Reported per phase: the poll-period deviation from 400 ms over every scale
(p50, p99, max, from the service's own poll log), the service's CPU (share of
one core), its resident memory, and what the clients received (messages and
MiB per second, in all). Targets: p99 <= 10 ms and CPU under half a core with
the clients. Not part of the tests: it takes a few minutes."""
import argparse
import base64
import os
import resource
import selectors
import shutil
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_fleet import cpu_seconds, percentile, start_fleet, start_service, status, stop  # noqa: E402


def now_us():
    return time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000


class Readers(threading.Thread):
    """Many WebSocket clients that read everything and count it."""

    def __init__(self, port, count):
        super().__init__(daemon=True)
        self.selector = selectors.DefaultSelector()
        self.bytes = self.frames = 0
        self.running = True
        self.sockets = []
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port))
            key = base64.b64encode(os.urandom(16))
            s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      b"Sec-WebSocket-Key: " + key + b"\r\nSec-WebSocket-Version: 13\r\n\r\n")
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(4096)
            if not head.startswith(b"HTTP/1.1 101"):
                raise SystemExit("a client was refused: %r" % head[:80])
            s.setblocking(False)
            self.selector.register(s, selectors.EVENT_READ)
            self.sockets.append(s)

    def run(self):
        while self.running:
            for key, _ in self.selector.select(0.5):
                try:
                    chunk = key.fileobj.recv(1 << 18)
                except BlockingIOError:
                    continue
                if not chunk:
                    self.selector.unregister(key.fileobj)
                    continue
                self.bytes += len(chunk)
                # Server frames are unmasked: a text frame starts 0x81.
                self.frames += chunk.count(b"\x81\x7e") + chunk.count(b"\x81\x7f")

    def close(self):
        self.running = False
        self.join()
        for s in self.sockets:
            s.close()


def phase(polls_log, start, end):
    polls = {}
    with open(polls_log) as f:
        for line in f:
            kind, scale, at = line.split()
            if kind == "P":
                polls.setdefault(scale, []).append(int(at))
    deviations = []
    for times in polls.values():
        inside = [t for t in times if start <= t <= end]
        deviations += [abs((b - a) / 1000 - 400) for a, b in zip(inside, inside[1:])]
    return deviations


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--scales", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=256)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--warmup", type=float, default=10)
    parser.add_argument("--keep", action="store_true", help="keep the work folder (the poll log) and name it")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    tools = os.path.join(args.build, "tools")
    work = tempfile.mkdtemp(prefix="orva-live-load-")
    processes = []
    try:
        fleet = start_fleet(tools, os.path.join(work, "svc"), args.scales)
        processes.append(fleet)
        poll_log = os.path.join(work, "polls.log")
        service, port = start_service(tools, work, "service",
                                      [os.path.join(work, "svc", "tty%d" % i) for i in range(args.scales)],
                                      ["--poll-log", poll_log], "max_websocket_clients_per_address = 1000\n"
                                      "max_websocket_clients = %d\n" % args.clients)
        processes.append(service)
        time.sleep(args.warmup)
        rows = []

        def measure(name, readers=None):
            start, cpu0, t0 = now_us(), cpu_seconds(service.pid), time.monotonic()
            bytes0, frames0 = (readers.bytes, readers.frames) if readers else (0, 0)
            time.sleep(args.seconds)
            elapsed = time.monotonic() - t0
            cpu = (cpu_seconds(service.pid) - cpu0) / elapsed
            end = now_us()
            got = ((readers.bytes - bytes0) / elapsed / 2**20, (readers.frames - frames0) / elapsed) if readers else (0, 0)
            rows.append((name, start, end, cpu, status(service.pid, "VmRSS") / 1024, got))

        measure("no client")
        readers = Readers(port, args.clients)
        readers.start()
        time.sleep(3)
        measure("%d clients reading every scale" % args.clients, readers)
        readers.close()
        hwm = status(service.pid, "VmHWM") / 1024
        stop(service)
        stop(fleet)
        print("%d scales, poll period 400 ms; deviation over every scale from the service's poll log" % args.scales)
        print("| phase | p50 | p99 | max | CPU (one core) | resident | clients received |")
        print("|---|---|---|---|---|---|---|")
        if args.keep:
            with open(os.path.join(work, "phases.txt"), "w") as f:
                for name, start, end, *_ in rows:
                    f.write("%d %d %s\n" % (start, end, name))
        for name, start, end, cpu, rss, (mib, frames) in rows:
            d = phase(poll_log, start, end)
            print("| %s | %.2f ms | %.2f ms | %.2f ms | %.1f %% | %.1f MiB | %s |" % (
                name, percentile(d, 50), percentile(d, 99), max(d) if d else float("nan"), 100 * cpu, rss,
                "%.1f MiB/s, about %.0f messages/s" % (mib, frames) if mib else "-"))
        print("peak resident memory %.1f MiB; load average %s" % (hwm, open("/proc/loadavg").read().split()[:3]))
    finally:
        for p in processes:
            stop(p)
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
