#!/usr/bin/python3
"""The poll cadence of orva-service under attack: 100 simulated terminals,
first left alone, then while the worst attacks run one after another from
loopback (a 500 MiB WebSocket message, a flood of pipelined requests whose
answers are never read, a 200 MiB chunked body, a slowloris of 1,000
connections). Reported per phase: the poll-period deviation from 400 ms
(p50, p99, max over every scale, from the service's own poll log) and the
service's resident memory (the most sampled every 100 ms, and its peak).
Beside the quiet phase, the pyserial peer polls a fleet of its own, for CPU
side by side.

  bench/service_attacks.py [--build build] [--scales 100] [--quiet 30] [--attack 10]

Targets: p99 <= 10 ms and resident memory <= 64 MiB in every phase; the
service's CPU at most half the peer's. Not part of the tests."""
import argparse
import os
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_fleet import find_peer, percentile, start_fleet, start_service, status, stop  # noqa: E402


class Sampler(threading.Thread):
    """The service's resident memory every 100 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.samples, self.running = pid, [], True

    def run(self):
        while self.running:
            self.samples.append((time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000, status(self.pid, "VmRSS")))
            time.sleep(0.1)

    def most(self, start, end):
        inside = [kb for at, kb in self.samples if start <= at <= end]
        return max(inside) / 1024 if inside else float("nan")


def cpu_ns(pid):
    """CPU time in nanoseconds, exactly (stat counts only clock ticks)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def now_us():
    return time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000


def pump(sock, chunks, seconds):
    """Sends until the service stops taking bytes, closes, or time is up."""
    sock.settimeout(0.5)
    end = time.monotonic() + seconds
    sent = 0
    try:
        for c in chunks:
            view = memoryview(c)
            while view and time.monotonic() < end:
                try:
                    n = sock.send(view)
                except socket.timeout:
                    continue
                view = view[n:]
                sent += n
            if time.monotonic() >= end:
                break
    except OSError:
        pass
    return sent


def huge_websocket_message(port, seconds):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    s.recv(4096)
    head = struct.pack("!BBQ", 0x81, 0x80 | 127, 500 * 1024 * 1024) + b"\0\0\0\0"
    sent = pump(s, [head] + [b" " * 65536] * 8000, seconds)
    s.close()
    return "sent %.1f MiB of a 500 MiB message" % (sent / 2**20)


def pipelining_flood(port, seconds):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sent = pump(s, [b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 2000] * 10000, seconds)
    s.close()
    return "sent %.1f MiB of pipelined GET / never read" % (sent / 2**20)


def chunked_body(port, seconds):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"PUT /api/scales/s0/properties HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n")
    sent = pump(s, [b"10000\r\n" + b" " * 65536 + b"\r\n"] * 3200, seconds)
    s.close()
    return "sent %.1f MiB of a 200 MiB chunked body" % (sent / 2**20)


def slowloris(port, seconds, count=1000):
    held = []
    for _ in range(count):
        try:
            c = socket.create_connection(("127.0.0.1", port), timeout=2)
            c.sendall(b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            held.append(c)
        except OSError:
            break
    end = time.monotonic() + seconds
    alive = len(held)
    while time.monotonic() < end:
        alive = 0
        for c in held:
            try:
                c.send(b"X: y\r\n")
                alive += 1
            except OSError:
                pass
        time.sleep(1)
    for c in held:
        c.close()
    return "%d connections, %d still open at the end" % (len(held), alive)


def phase_figures(polls, start, end):
    """The deviations of every poll period inside the phase, and when (s
    into the phase) the worst one ended."""
    deviations, worst = [], (0, 0)
    for times in polls.values():
        inside = [t for t in times if start <= t <= end]
        for a, b in zip(inside, inside[1:]):
            d = abs((b - a) / 1000 - 400)
            deviations.append(d)
            worst = max(worst, (d, (b - start) / 1e6))
    return deviations, worst[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    parser.add_argument("--scales", type=int, default=100)
    parser.add_argument("--quiet", type=float, default=30)
    parser.add_argument("--attack", type=float, default=10, help="seconds of each attack")
    parser.add_argument("--no-peer", action="store_true")
    args = parser.parse_args()
    # The slowloris's 1,000 sockets need more than a usual soft limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else 65536, hard))
    tools = os.path.join(os.path.abspath(args.build), "tools")
    work = tempfile.mkdtemp(prefix="orva-service-attacks-")
    processes = []
    try:
        n = args.scales
        fleet = start_fleet(tools, os.path.join(work, "svc"), n)
        processes.append(fleet)
        poll_log = os.path.join(work, "polls.log")
        # Every attack comes from one address; with its default share (32
        # connections) the slowloris would be turned away at once, so it may
        # hold as many as it likes, up to the overall limit.
        service, port = start_service(tools, work, "service", [os.path.join(work, "svc", "tty%d" % i) for i in range(n)],
                                      ["--poll-log", poll_log], "max_connections_per_address = 5000\n")
        processes.append(service)
        sampler = Sampler(service.pid)
        sampler.start()
        time.sleep(5)  # start-up is not polling

        phases = []
        peer = peer_fleet = None
        if not args.no_peer:
            peer_fleet = start_fleet(tools, os.path.join(work, "peer"), n)
            processes.append(peer_fleet)
            peer = subprocess.Popen([sys.executable, find_peer(), os.path.join(work, "peer"), str(n), str(args.quiet + 5)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(peer)
            time.sleep(2)
        start, t0 = now_us(), time.monotonic()
        s_cpu0 = cpu_ns(service.pid)
        p_cpu0 = cpu_ns(peer.pid) if peer else 0
        time.sleep(args.quiet)
        elapsed = time.monotonic() - t0
        s_share = (cpu_ns(service.pid) - s_cpu0) / 1e9 / elapsed
        p_share = (cpu_ns(peer.pid) - p_cpu0) / 1e9 / elapsed if peer else float("nan")
        phases.append(("no attack", start, now_us(), ""))
        if peer:
            stop(peer)
            stop(peer_fleet)

        for name, attack in (("500 MiB WebSocket message", huge_websocket_message),
                             ("pipelining flood, answers unread", pipelining_flood),
                             ("200 MiB chunked body", chunked_body),
                             ("slowloris, 1,000 connections", slowloris)):
            # Again and again until its time is up: a refused attacker comes back.
            start = now_us()
            end = time.monotonic() + args.attack
            notes = []
            while time.monotonic() < end:
                notes.append(attack(port, end - time.monotonic()))
            phases.append((name, start, now_us(), "%d time(s); the last %s" % (len(notes), notes[-1])))
            time.sleep(1)
        sampler.running = False
        sampler.join()
        peak = status(service.pid, "VmHWM") / 1024
        stop(service)
        stop(fleet)

        polls = {}
        with open(poll_log) as f:
            for line in f:
                kind, scale, at = line.split()
                if kind == "P":
                    polls.setdefault(scale, []).append(int(at))
        print("scales: %d; each attack %.0f s, one after another, from 127.0.0.1" % (n, args.attack))
        print("%-34s %8s %8s %8s %7s %10s" % ("phase", "p50 ms", "p99 ms", "max ms", "at s", "RSS MiB"))
        for name, start, end, note in phases:
            d, at = phase_figures(polls, start, end)
            print("%-34s %8.2f %8.2f %8.2f %7.1f %10.1f   %s" % (name, percentile(d, 50), percentile(d, 99),
                                                                max(d) if d else float("nan"), at,
                                                                sampler.most(start, end), note))
        print("service peak resident memory (VmHWM): %.1f MiB" % peak)
        print("CPU while no attack: service %.2f %% of one core, peer %.2f %% (service/peer = %.2f)"
              % (s_share * 100, p_share * 100, s_share / p_share if peer else float("nan")))
    finally:
        for p in reversed(processes):
            stop(p)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
