#!/usr/bin/python3
"""What TLS costs the service: 100 simulated terminals and 10 dashboard
clients (each a WebSocket reading every event and a keep-alive GET
/api/scales every second, as the dashboard does), once over plain HTTP and
once over HTTPS/WSS with a P-256 certificate the script makes with openssl.
Reported: the service's CPU (share of one core) in each phase, and the
poll-period deviation of every scale (from the service's poll log). Then,
over TLS, 500 clients start their handshakes at once: the deviation of the
polls during that burst.

  bench/service_tls.py [--build build] [--scales 100] [--clients 10] [--seconds 30]

Not part of the tests: it takes about two minutes."""
import argparse
import base64
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from service_fleet import cpu_seconds, percentile, start_fleet, stop  # noqa: E402


def make_pair(work):
    key, cert = os.path.join(work, "tls.key"), os.path.join(work, "tls.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-days", "2", "-subj", "/CN=bench", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    os.chmod(key, 0o600)
    return cert, key


def start_service(tools, work, name, ports, service_lines):
    config = os.path.join(work, name + ".ini")
    with open(config, "w") as f:
        f.write("[service]\nlisten = 127.0.0.1:0\nmax_connections_per_address = 1024\n"
                "max_websocket_clients_per_address = 64\n" + service_lines)
        for i, port in enumerate(ports):
            f.write("[s%d]\nport = %s\n" % (i, port))
    poll_log = os.path.join(work, name + "-polls.log")
    service = subprocess.Popen([os.path.join(tools, "orva-service"), "--config", config, "--poll-log", poll_log],
                               stdout=subprocess.PIPE, stderr=open(os.path.join(work, name + ".log"), "w"), text=True)
    match = re.match(r"listening on https?://127\.0\.0\.1:(\d+)/", service.stdout.readline())
    if not match:
        raise SystemExit("the service did not start; see %s.log" % os.path.join(work, name))
    return service, int(match.group(1)), poll_log


def connect(port, context):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    return context.wrap_socket(sock, server_hostname="127.0.0.1") if context else sock


def dashboard(port, context, stop_event, counts, index):
    """One dashboard: its WebSocket, and /api/scales every second."""
    live = connect(port, context)
    key = base64.b64encode(os.urandom(16)).decode()
    live.sendall(("GET /api/live HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (port, key)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += live.recv(4096)
    if not head.startswith(b"HTTP/1.1 101"):
        raise SystemExit("the WebSocket was refused: %r" % head[:80])
    page = connect(port, context)
    live.settimeout(0.2)
    next_refresh = time.monotonic()
    while not stop_event.is_set():
        try:
            chunk = live.recv(1 << 16)
            if not chunk:
                break
            counts[index] += len(chunk)
        except (socket.timeout, ssl.SSLWantReadError):
            pass
        if time.monotonic() >= next_refresh:
            next_refresh += 1.0
            page.sendall(b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            answer = b""
            while True:
                answer += page.recv(1 << 16)
                end = answer.find(b"\r\n\r\n")
                if end >= 0:
                    length = int(re.search(rb"Content-Length: (\d+)", answer[:end]).group(1))
                    if len(answer) >= end + 4 + length:
                        break
    live.close()
    page.close()


def deviations(poll_log, start_us, end_us, period_ms=400):
    polls = {}
    with open(poll_log) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 3:
                continue
            kind, scale, at = parts
            if kind == "P":
                polls.setdefault(scale, []).append(int(at))
    out = []
    for times in polls.values():
        inside = [t for t in times if start_us <= t <= end_us]
        out += [abs((b - a) / 1000 - period_ms) for a, b in zip(inside, inside[1:])]
    return out


def now_us():
    return time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000


def phase(tools, work, name, ports, lines, context, args):
    service, port, poll_log = start_service(tools, work, name, ports, lines)
    burst = None
    try:
        time.sleep(args.warmup)
        stop_event = threading.Event()
        counts = [0] * args.clients
        threads = [threading.Thread(target=dashboard, args=(port, context, stop_event, counts, i), daemon=True)
                   for i in range(args.clients)]
        for t in threads:
            t.start()
        time.sleep(2)
        start, c0, t0 = now_us(), cpu_seconds(service.pid), time.monotonic()
        time.sleep(args.seconds)
        share = (cpu_seconds(service.pid) - c0) / (time.monotonic() - t0)
        end = now_us()
        stop_event.set()
        for t in threads:
            t.join(5)
        if context is not None:
            burst = handshake_burst(port, context, args)
    finally:
        stop(service)  # its poll log is whole once it has stopped
    devs = deviations(poll_log, start, end)
    result = {"cpu": share, "p50": percentile(devs, 50), "p99": percentile(devs, 99), "max": max(devs or [0]),
              "bytes": sum(counts)}
    if burst:
        b_start, b_end, done = burst
        b_devs = deviations(poll_log, b_start, b_end)
        result["burst"] = {"handshakes": done, "seconds": (b_end - b_start) / 1e6, "p99": percentile(b_devs, 99),
                           "max": max(b_devs or [0])}
    return result


def handshake_burst(port, context, args):
    """500 clients start TLS at once; each finishes and closes."""
    time.sleep(2)
    done = []
    barrier = threading.Barrier(args.burst)

    def one():
        barrier.wait()
        try:
            with connect(port, context):
                done.append(1)
        except OSError:
            pass
    threads = [threading.Thread(target=one, daemon=True) for _ in range(args.burst)]
    start = now_us()
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    time.sleep(1)
    return start, now_us(), len(done)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--scales", type=int, default=100)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--warmup", type=float, default=5)
    parser.add_argument("--burst", type=int, default=500)
    parser.add_argument("--only-tls", action="store_true", help="skip the plain phase")
    args = parser.parse_args()
    tools = os.path.join(os.path.abspath(args.build), "tools")
    work = tempfile.mkdtemp(prefix="orva-service-tls-bench-")
    fleet = None
    try:
        fleet = start_fleet(tools, os.path.join(work, "fleet"), args.scales)
        ports = [os.path.join(work, "fleet", "tty%d" % i) for i in range(args.scales)]
        cert, key = make_pair(work)
        context = ssl.create_default_context(cafile=cert)
        plain = None if args.only_tls else phase(tools, work, "plain", ports, "", None, args)
        tls = phase(tools, work, "tls", ports, "tls_cert = %s\ntls_key = %s\n" % (cert, key), context, args)
        print("%d scales, %d dashboard clients, %.0f s each:" % (args.scales, args.clients, args.seconds))
        for label, r in (("plain HTTP/WS", plain), ("HTTPS/WSS", tls)):
            if r is None:
                continue
            print("  %-13s CPU %5.2f %% of a core; poll-period deviation p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
                  "%.1f MiB to the clients" % (label, 100 * r["cpu"], r["p50"], r["p99"], r["max"], r["bytes"] / 2**20))
        if plain:
            print("  TLS costs %.2f %% of a core more" % (100 * (tls["cpu"] - plain["cpu"])))
        b = tls["burst"]
        print("  %d TLS handshakes at once: %d done in %.1f s; poll-period deviation meanwhile p99 %.2f ms, max %.2f ms"
              % (args.burst, b["handshakes"], b["seconds"], b["p99"], b["max"]))
    finally:
        if fleet:
            stop(fleet)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
