#!/usr/bin/python3
"""What Modbus TCP costs the service: 100 simulated terminals in one
orva-service, measured twice on the same fleet: without Modbus, then with a
[modbus] section and a client that reads all 100 units (17 input registers
each) every 100 ms. Reported for each run: the service's CPU (share of one
core) and the poll period's deviation from 400 ms (median, p99) from the
service's own poll log; for the Modbus run also the client's round trip for
the 100 reads. Not part of the tests: it takes a few minutes.

  bench/modbus_fleet.py [--build build] [--scales 100] [--seconds 40]"""
import argparse
import os
import shutil
import socket
import statistics
import struct
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from service_fleet import cpu_seconds, percentile, start_fleet, start_service, stop  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def modbus_reader(port, units, period, stop_event, rounds, errors):
    """Every period: one request per unit in one write, then every answer."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    batch = b"".join(struct.pack(">HHHBBHH", u, 0, 6, u, 4, 0, 17) for u in range(1, units + 1))
    answer = 9 + 34
    next_at = time.monotonic()
    while not stop_event.is_set():
        start = time.monotonic()
        sock.sendall(batch)
        want, got = answer * units, 0
        while got < want:
            chunk = sock.recv(want - got)
            if not chunk:
                errors.append("closed")
                return
            got += len(chunk)
        rounds.append((time.monotonic() - start) * 1000)
        next_at += period
        time.sleep(max(0, next_at - time.monotonic()))
    sock.close()


def run(tools, work, name, ports, seconds, warmup, modbus):
    poll_log = os.path.join(work, name + "-polls.log")
    lines = ""
    mport = free_port()
    if modbus:
        lines = "[modbus]\nlisten = 127.0.0.1:%d\nmax_clients = 4\n" % mport
    service, _ = start_service(tools, work, name, ports, ["--poll-log", poll_log], lines)
    stop_event = threading.Event()
    rounds, errors = [], []
    reader = None
    try:
        time.sleep(warmup)
        if modbus:
            reader = threading.Thread(target=modbus_reader, args=(mport, len(ports), 0.1, stop_event, rounds, errors))
            reader.start()
            time.sleep(2)
        start_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
        t0, cpu0 = time.monotonic(), cpu_seconds(service.pid)
        time.sleep(seconds)
        share = (cpu_seconds(service.pid) - cpu0) / (time.monotonic() - t0)
        end_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
    finally:
        stop_event.set()
        if reader:
            reader.join()
        stop(service)
    polls = {}
    with open(poll_log) as f:
        for line in f:
            kind, scale, at = line.split()
            if kind == "P":
                polls.setdefault(int(scale), []).append(int(at))
    deviations = []
    for times in polls.values():
        inside = [t for t in times if start_us <= t <= end_us]
        deviations += [abs((b - a) / 1000 - 400) for a, b in zip(inside, inside[1:])]
    return share, deviations, rounds, errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--scales", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--warmup", type=float, default=5)
    args = parser.parse_args()
    tools = os.path.join(os.path.abspath(args.build), "tools")
    work = tempfile.mkdtemp(prefix="orva-modbus-bench-")
    fleet = None
    try:
        n = args.scales
        fleet = start_fleet(tools, os.path.join(work, "fleet"), n)
        ports = [os.path.join(work, "fleet", "tty%d" % i) for i in range(n)]
        results = {}
        for name, modbus in (("without", False), ("with", True)):
            results[name] = run(tools, work, name, ports, args.seconds, args.warmup, modbus)
        print("scales: %d, window %.0f s per run" % (n, args.seconds))
        for name in ("without", "with"):
            share, devs, rounds, errors = results[name]
            print("%-38s CPU %.2f %% of one core; poll period deviation from 400 ms: median %.2f ms, p99 %.2f ms (%d periods)"
                  % ("without Modbus:" if name == "without" else "with a client reading %d units / 100 ms:" % n,
                     share * 100, statistics.median(devs) if devs else float("nan"), percentile(devs, 99), len(devs)))
            if name == "with":
                print("  the client's 100 reads: %d rounds, round trip median %.2f ms, p99 %.2f ms%s"
                      % (len(rounds), statistics.median(rounds) if rounds else float("nan"), percentile(rounds, 99),
                         "; errors: " + ", ".join(errors) if errors else ""))
        added = results["with"][0] - results["without"][0]
        print("added by Modbus: CPU %+.2f %% of one core; poll p99 %+.2f ms"
              % (added * 100, percentile(results["with"][1], 99) - percentile(results["without"][1], 99)))
    finally:
        if fleet:
            stop(fleet)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
