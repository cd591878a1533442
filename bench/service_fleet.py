#!/usr/bin/python3
"""Measures orva-service with many simulated terminals, side by side with the
pyserial peer (one Python loop polling as many terminals with the same cycle).

  bench/service_fleet.py [--build build] [--scales 100] [--seconds 60] [--own-timers]

Two fleets of simulated terminals run on pseudo-terminals (orva-sim-fleet),
one polled by the service, one by the peer, at the same time. Reported:
CPU of each (share of one core, seconds per hour, per scale), voluntary
context switches (wake-ups) per second, the service's resident memory with all
scales and with one (so the cost of each added scale), the poll-period
deviation of every scale (from the service's own poll log) and the latency
from the start of a decode to a WebSocket client (receive time on the same
clock). Not part of the tests: it takes a few minutes."""
import argparse
import bisect
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime


def status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def start_fleet(tools, directory, count, log=None):
    os.makedirs(directory, exist_ok=True)
    fleet = subprocess.Popen([os.path.join(tools, "orva-sim-fleet"), directory, str(count), *([log] if log else [])],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if not fleet.stdout.readline().startswith("ready"):
        raise SystemExit("the terminal fleet did not start")
    return fleet


def start_service(tools, work, name, ports, extra=(), service_lines=""):
    config = os.path.join(work, name + ".ini")
    with open(config, "w") as f:
        f.write("[service]\nlisten = 127.0.0.1:0\n" + service_lines)
        for i, port in enumerate(ports):
            f.write("[s%d]\nport = %s\n" % (i, port))
    wrap = os.environ.get("ORVA_BENCH_WRAP", "").split()
    service = subprocess.Popen([*wrap, os.path.join(tools, "orva-service"), "--config", config, *extra],
                               stdout=subprocess.PIPE, stderr=open(os.path.join(work, name + ".log"), "w"), text=True)
    line = service.stdout.readline()
    while wrap and line and not line.startswith("listening"):
        line = service.stdout.readline()
    match = re.match(r"listening on http://127\.0\.0\.1:(\d+)/", line)
    if not match:
        raise SystemExit("the service did not start; see %s.log" % name)
    return service, int(match.group(1))


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def find_peer():
    for candidate in (os.path.join(HERE, "..", "..", "shared", "bench", "peer_fleet.py"),
                      os.path.join(HERE, "..", "..", "..", "shared", "bench", "peer_fleet.py"),
                      "/work/shared/bench/peer_fleet.py"):
        if os.path.exists(candidate):
            return os.path.abspath(candidate)
    raise SystemExit("peer_fleet.py not found (../shared/bench next to the clone)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--scales", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--warmup", type=float, default=5)
    parser.add_argument("--latency-seconds", type=float, default=20)
    parser.add_argument("--own-timers", action="store_true", help="one Qt timer per control timer")
    parser.add_argument("--no-peer", action="store_true")
    args = parser.parse_args()
    tools = os.path.join(os.path.abspath(args.build), "tools")
    work = tempfile.mkdtemp(prefix="orva-service-bench-")
    processes = []
    try:
        # Memory of a service with one scale, for the cost of each added one.
        fleet_one = start_fleet(tools, os.path.join(work, "one"), 1)
        processes.append(fleet_one)
        single, _ = start_service(tools, work, "single", [os.path.join(work, "one", "tty0")])
        time.sleep(3)
        rss_one = status(single.pid, "VmRSS")
        stop(single)
        stop(fleet_one)

        n = args.scales
        svc_fleet = start_fleet(tools, os.path.join(work, "svc"), n, os.path.join(work, "svc-answers.log"))
        processes.append(svc_fleet)
        peer_fleet = None
        if not args.no_peer:
            peer_fleet = start_fleet(tools, os.path.join(work, "peer"), n, os.path.join(work, "peer-answers.log"))
            processes.append(peer_fleet)
        poll_log = os.path.join(work, "polls.log")
        extra = ["--poll-log", poll_log] + (["--own-timers"] if args.own_timers else [])
        service, port = start_service(tools, work, "service", [os.path.join(work, "svc", "tty%d" % i) for i in range(n)], extra)
        processes.append(service)
        peer = None
        if not args.no_peer:
            peer = subprocess.Popen([sys.executable, find_peer(), os.path.join(work, "peer"), str(n),
                                     str(args.warmup + args.seconds + args.latency_seconds + 10)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(peer)

        received = []  # (scale index, receive time in microseconds)
        stop_client = threading.Event()

        def client():
            # A bare WebSocket reader: each chunk is stamped as recv() returns
            # it, so the figure is when the bytes reached the client, not how
            # fast a client library parses them.
            import base64
            import socket
            sock = socket.create_connection(("127.0.0.1", port))
            key = base64.b64encode(os.urandom(16)).decode()
            sock.sendall(("GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % key).encode())
            buffer = b""
            while b"\r\n\r\n" not in buffer:
                buffer += sock.recv(4096)
            buffer = buffer.split(b"\r\n\r\n", 1)[1]
            sock.settimeout(0.5)
            # A message holds the events of an interval, each ending in its scale.
            pattern = re.compile(rb'"event":"Decode".*?"scale":"s(\d+)"')
            while not stop_client.is_set():
                try:
                    chunk = sock.recv(1 << 16)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                at = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
                buffer += chunk
                while len(buffer) >= 2:
                    length, offset = buffer[1] & 0x7F, 2
                    if length == 126:
                        if len(buffer) < 4:
                            break
                        length, offset = int.from_bytes(buffer[2:4], "big"), 4
                    elif length == 127:
                        if len(buffer) < 10:
                            break
                        length, offset = int.from_bytes(buffer[2:10], "big"), 10
                    if len(buffer) < offset + length:
                        break
                    for match in pattern.finditer(buffer[offset:offset + length]):
                        received.append((int(match.group(1)), at))
                    buffer = buffer[offset + length:]
            sock.close()

        time.sleep(args.warmup)
        poll_start_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
        t0 = time.monotonic()
        s_cpu0, s_sw0 = cpu_seconds(service.pid), status(service.pid, "voluntary_ctxt_switches")
        if peer:
            p_cpu0, p_sw0 = cpu_seconds(peer.pid), status(peer.pid, "voluntary_ctxt_switches")
        time.sleep(args.seconds)
        elapsed = time.monotonic() - t0
        s_cpu = cpu_seconds(service.pid) - s_cpu0
        s_sw = status(service.pid, "voluntary_ctxt_switches") - s_sw0
        if peer:
            p_cpu = cpu_seconds(peer.pid) - p_cpu0
            p_sw = status(peer.pid, "voluntary_ctxt_switches") - p_sw0
        poll_end_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
        rss = status(service.pid, "VmRSS")
        # Then a WebSocket client follows every event, for the latency.
        reader = threading.Thread(target=client)
        reader.start()
        time.sleep(1)
        window_start_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
        t1 = time.monotonic()
        s_cpu1 = cpu_seconds(service.pid)
        time.sleep(args.latency_seconds)
        live_share = (cpu_seconds(service.pid) - s_cpu1) / (time.monotonic() - t1)
        window_end_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
        import urllib.request
        metrics = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5).read().decode()
        online = len(re.findall(r'^orva_online\{scale="s\d+"\} 1$', metrics, re.M))
        stop_client.set()
        reader.join()
        stop(service)
        stop(svc_fleet)
        if peer_fleet:
            stop(peer_fleet)
        if service.returncode != 0:
            print("the service ended with status %d; see %s" % (service.returncode, os.path.join(work, "service.log")))

        polls, decodes, sent = {}, {}, []
        with open(poll_log) as f:
            for line in f:
                kind, scale, at = line.split()
                if kind == "W":
                    sent.append((int(scale[1:]), int(at)))
                else:
                    (polls if kind == "P" else decodes).setdefault(int(scale), []).append(int(at))
        deviations, worst_p99 = [], 0.0
        for scale, times in polls.items():
            inside = [t for t in times if poll_start_us <= t <= poll_end_us]
            devs = [abs((b - a) / 1000 - 400) for a, b in zip(inside, inside[1:])]
            deviations += devs
            worst_p99 = max(worst_p99, percentile(devs, 99))
        def terminal_side(path):
            # Period deviation as the terminals see it: the time between two
            # answers of one terminal, each one reply delay after its request.
            answers = {}
            with open(path) as f:
                for line in f:
                    parts = line.split()
                    if len(parts) == 2:
                        answers.setdefault(int(parts[0]), []).append(int(parts[1]))
            devs = []
            for times in answers.values():
                inside = [t for t in times if poll_start_us <= t <= poll_end_us]
                devs += [abs((b - a) / 1000 - 400) for a, b in zip(inside, inside[1:])]
            return devs

        svc_side = terminal_side(os.path.join(work, "svc-answers.log"))
        peer_side = terminal_side(os.path.join(work, "peer-answers.log")) if peer_fleet else []
        def since_decode(events):
            out = []
            for scale, at in events:
                if not window_start_us <= at <= window_end_us:
                    continue
                times = decodes.get(scale, [])
                k = bisect.bisect_right(times, at) - 1
                if k >= 0:
                    out.append((at - times[k]) / 1000)
            return out

        handed = since_decode(sent)
        latencies = []
        for scale, at in received:
            if not window_start_us <= at <= window_end_us:
                continue
            times = decodes.get(scale, [])
            k = bisect.bisect_right(times, at) - 1
            if k >= 0:
                latencies.append((at - times[k]) / 1000)
                if os.environ.get("ORVA_BENCH_DEBUG") and latencies[-1] > 50:
                    print("late", scale, at, times[max(0, k - 1):k + 2], at - window_end_us)

        share = s_cpu / elapsed
        print("scales: %d, window %.0f s, %s" % (n, elapsed, "own Qt timer per control timer" if args.own_timers else "shared wake-ups"))
        print("service CPU: %.2f %% of one core = %.1f s per hour, %.3f s per hour per scale; %.0f wake-ups/s"
              % (share * 100, share * 3600, share * 3600 / n, s_sw / elapsed))
        print("service CPU with a WebSocket client following every event: %.2f %% of one core" % (live_share * 100))
        if peer:
            print("peer CPU:    %.2f %% of one core = %.1f s per hour; %.0f wake-ups/s"
                  % (p_cpu / elapsed * 100, p_cpu / elapsed * 3600, p_sw / elapsed))
        print("service RSS: %.1f MiB with %d scales, %.1f MiB with 1, %.0f KiB per added scale"
              % (rss / 1024, n, rss_one / 1024, (rss - rss_one) / max(1, n - 1)))
        print("poll period deviation from 400 ms: median %.2f ms, p99 %.2f ms, worst scale's p99 %.2f ms (%d periods)"
              % (statistics.median(deviations), percentile(deviations, 99), worst_p99, len(deviations)))
        print("seen from the terminals (answer to answer, no client): service median %.2f ms, p99 %.2f ms;"
              " peer median %.2f ms, p99 %.2f ms" % (statistics.median(svc_side) if svc_side else float("nan"),
                                                     percentile(svc_side, 99),
                                                     statistics.median(peer_side) if peer_side else float("nan"),
                                                     percentile(peer_side, 99)))
        print("decode -> handed to the client's socket: p50 %.2f ms, p99 %.2f ms (%d events)"
              % (percentile(handed, 50), percentile(handed, 99), len(handed)))
        print("decode -> WebSocket client: p50 %.2f ms, p99 %.2f ms (%d events)"
              % (percentile(latencies, 50), percentile(latencies, 99), len(latencies)))
        print("online at the end: %d of %d" % (online, n))
    finally:
        for p in reversed(processes):
            stop(p)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
