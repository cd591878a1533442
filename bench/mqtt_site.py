#!/usr/bin/python3
"""A site, simulated on this machine: one broker (Debian's mosquitto), SERVICES
orva-service processes with TERMINALS simulated terminals each, all publishing
to the broker, and one consumer subscribed to +/+/stable (every service's
topic_prefix is one level here: pc01 .. pcNN).

Measures, over SECONDS after WARMUP seconds:
  - the delay from a scale's StabVes to the consumer, p50/p99/max. The start
    is the service's decode that raised it (the service's --poll-log line,
    written at the end of that decode, in microseconds; so a few tens of
    microseconds late) and, as a cross-check, the message's own "at" stamp
    (milliseconds, truncated: up to 1 ms early);
  - CPU of the broker, of all services together and per service, as a share
    of one core;
  - messages per second into and out of the broker (its $SYS counters);
  - that the consumer saw every settled weight the services counted
    (their /metrics), each once.

  bench/mqtt_site.py [--build DIR] [--services 10] [--terminals 10]
                     [--seconds 60] [--warmup 10] [--events on|off]

Targets: delay p99 <= 20 ms with 100 scales; no settled weight lost.
Runs with /usr/bin/python3 (Debian's python3-paho-mqtt)."""
import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import paho.mqtt.client as mqtt

CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime


def percentile(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    k = min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))
    return s[k]


def stable_counts(http_port):
    text = urllib.request.urlopen(f"http://127.0.0.1:{http_port}/metrics", timeout=5).read().decode()
    return {m.group(1): int(m.group(2))
            for m in re.finditer(r'orva_stable_weights_total\{scale="([^"]+)"\} (\d+)', text)}


class Consumer:
    """The site's one consumer, plus the broker's $SYS counters."""

    def __init__(self, port):
        self.messages = []  # (topic, payload bytes, recv_ns)
        self.sys = {}
        self.subscribed = threading.Event()
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id="site-consumer", clean_session=True)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(
            [("+/+/stable", 1), ("$SYS/broker/publish/messages/+", 0)])
        self.client.on_subscribe = lambda c, u, mid, granted: self.subscribed.set()
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port, keepalive=30)
        self.client.loop_start()

    def on_message(self, client, userdata, msg):
        now = time.time_ns()
        if msg.topic.startswith("$SYS/"):
            self.sys[msg.topic.rsplit("/", 1)[1]] = (int(msg.payload), now)
            return
        with self.lock:
            self.messages.append((msg.topic, msg.payload, now))

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--services", type=int, default=10)
    ap.add_argument("--terminals", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--warmup", type=float, default=10)
    ap.add_argument("--events", choices=["on", "off"], default="on")
    ap.add_argument("--broker-nodelay", choices=["on", "off"], default="on",
                    help="the broker's set_tcp_nodelay (off: Mosquitto's default)")
    args = ap.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    service_bin = os.path.join(root, args.build, "tools", "orva-service")
    if not os.access(service_bin, os.X_OK):
        sys.exit(f"mqtt_site: {service_bin} is not built")
    work = tempfile.mkdtemp(prefix="orva-site-")
    procs = []

    def cleanup():
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
    try:
        broker_port = free_port()
        with open(f"{work}/mosquitto.conf", "w") as f:
            f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\nsys_interval 1\n"
                    "persistence false\nlog_dest none\n")
            # Without it, a message that follows another to the same consumer
            # within the consumer's delayed acknowledgement waits for it
            # (Nagle's algorithm): up to 40 ms on Linux.
            f.write(f"set_tcp_nodelay {'true' if args.broker_nodelay == 'on' else 'false'}\n")
        broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", f"{work}/mosquitto.conf"])
        procs.append(broker)
        if not wait_port(broker_port):
            sys.exit("mqtt_site: the broker did not start")
        consumer = Consumer(broker_port)
        if not consumer.subscribed.wait(10):
            sys.exit("mqtt_site: the consumer did not subscribe")

        services = []  # (name, process, http port, poll log)
        for n in range(1, args.services + 1):
            name = f"pc{n:02d}"
            ini = f"{work}/{name}.ini"
            with open(ini, "w") as f:
                f.write(f"[service]\nlisten = 127.0.0.1:0\n\n[mqtt]\nurl = mqtt://127.0.0.1:{broker_port}\n"
                        f"client_id = {name}\ntopic_prefix = {name}\nevents = {args.events}\n")
            log = f"{work}/{name}.poll"
            p = subprocess.Popen([service_bin, "--config", ini, "--simulate", str(args.terminals), "--poll-log", log],
                                 stdout=subprocess.PIPE, stderr=open(f"{work}/{name}.err", "w"), text=True)
            procs.append(p)
            line = p.stdout.readline()
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
            if not m:
                sys.exit(f"mqtt_site: {name} did not start: {line!r}; see {work}/{name}.err")
            services.append((name, p, int(m.group(1)), log))

        time.sleep(args.warmup)
        t0 = time.time_ns()
        cpu0 = {p.pid: cpu_seconds(p.pid) for p in procs}
        sys0 = dict(consumer.sys)
        time.sleep(args.seconds)
        t1 = time.time_ns()
        cpu1 = {p.pid: cpu_seconds(p.pid) for p in procs}
        sys1 = dict(consumer.sys)

        # Completeness: every settled weight counted by a service has come, once.
        before = {name: stable_counts(port) for name, _, port, _ in services}
        time.sleep(2)
        after = {name: stable_counts(port) for name, _, port, _ in services}
        with consumer.lock:
            messages = list(consumer.messages)
        seen, duplicates = {}, 0
        for topic, payload, _ in messages:
            key = tuple(topic.split("/")[:2])
            bucket = seen.setdefault(key, set())
            if payload in bucket:
                duplicates += 1
            bucket.add(payload)
        lost = 0
        for name, counts in before.items():
            for scale, n in counts.items():
                got = len(seen.get((name, scale), ()))
                if got < n:
                    lost += n - got
                if got > after[name][scale]:
                    print(f"  {name}/{scale}: {got} received but only {after[name][scale]} counted", file=sys.stderr)
    finally:
        cleanup()
        try:
            consumer.stop()
        except Exception:
            pass

    # Delays: the decode that raised each StabVes, from the poll logs.
    decodes = {}  # (service, scale index) -> sorted decode times, microseconds
    for name, _, _, log in services:
        with open(log) as f:
            for line in f:
                kind, index, us = line.split()
                if kind == "D":
                    decodes.setdefault((name, int(index)), []).append(int(us))
    import bisect
    import json
    from datetime import datetime
    by_decode, by_stamp = [], []
    for topic, payload, recv_ns in messages:
        if recv_ns < t0 or recv_ns > t1:
            continue
        name, scale = topic.split("/")[:2]
        at = json.loads(payload)["at"]
        at_us = int(datetime.fromisoformat(at.replace("Z", "+00:00")).timestamp() * 1_000_000)
        by_stamp.append((recv_ns / 1000 - at_us) / 1000)
        times = decodes.get((name, int(scale.split("-")[1]) - 1), [])
        i = bisect.bisect_left(times, at_us)  # the first decode that ended at or after the stamp
        if i < len(times):
            by_decode.append((recv_ns / 1000 - times[i]) / 1000)

    span = (t1 - t0) / 1e9
    broker_cpu = (cpu1[broker.pid] - cpu0[broker.pid]) / span * 100
    service_cpu = [(cpu1[p.pid] - cpu0[p.pid]) / span * 100 for _, p, _, _ in services]
    scales = args.services * args.terminals

    def rate(key):
        if key in sys0 and key in sys1 and sys1[key][1] > sys0[key][1]:
            return (sys1[key][0] - sys0[key][0]) / ((sys1[key][1] - sys0[key][1]) / 1e9)
        return float("nan")

    print(f"site: 1 broker, {args.services} services x {args.terminals} simulated terminals = {scales} scales, "
          f"events {args.events}, broker set_tcp_nodelay {args.broker_nodelay}, "
          f"{span:.0f} s measured after {args.warmup:.0f} s")
    print(f"settled weights received in the window: {len(by_decode)} "
          f"({len(by_decode) / span:.1f}/s); counted by the services in all: "
          f"{sum(sum(c.values()) for c in before.values())}; lost: {lost}; duplicates: {duplicates}")
    print(f"delay StabVes -> consumer, from the decode: p50 {percentile(by_decode, 50):.2f} ms, "
          f"p99 {percentile(by_decode, 99):.2f} ms, max {max(by_decode, default=float('nan')):.2f} ms")
    print(f"delay from the message's 'at' stamp (ms, truncated): p50 {percentile(by_stamp, 50):.2f} ms, "
          f"p99 {percentile(by_stamp, 99):.2f} ms")
    print(f"CPU, share of one core: broker {broker_cpu:.2f} %, services {sum(service_cpu):.2f} % in all "
          f"({statistics.mean(service_cpu):.2f} % each, {sum(service_cpu) / scales:.3f} % per scale)")
    print(f"broker messages/s: in {rate('received'):.0f}, out {rate('sent'):.0f} "
          f"($SYS publish counters, the consumer's own $SYS messages included)")
    return 0 if lost == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
