#!/usr/bin/env python3
"""A consumer as a site's systems would run one: subscribes to the given
topic filters on a broker and prints one JSON line per message:
{"topic", "payload", "retain", "qos", "recv_ns"} (recv_ns: CLOCK_REALTIME
in nanoseconds when the message arrived). Prints {"subscribed": true} once
the broker has confirmed the subscription. Ends when standard input closes
or after --seconds. With --client-id the session is persistent: the broker
keeps QoS 1 messages for it while it is away."""
import argparse
import json
import sys
import threading
import time

import paho.mqtt.client as mqtt


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--qos", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=120.0)
    ap.add_argument("--client-id", default="")
    ap.add_argument("--username")
    ap.add_argument("--password")
    ap.add_argument("filters", nargs="+")
    args = ap.parse_args()

    out_lock = threading.Lock()

    def emit(obj):
        with out_lock:
            sys.stdout.write(json.dumps(obj) + "\n")
            sys.stdout.flush()

    def on_connect(client, userdata, flags, rc):
        if rc != 0:
            emit({"refused": rc})
            return
        client.subscribe([(f, args.qos) for f in args.filters])

    def on_subscribe(client, userdata, mid, granted):
        emit({"subscribed": True})

    def on_message(client, userdata, msg):
        now = time.time_ns()
        emit({"topic": msg.topic, "payload": msg.payload.decode("utf-8", "replace"),
              "retain": bool(msg.retain), "qos": msg.qos, "recv_ns": now})

    client = mqtt.Client(client_id=args.client_id, clean_session=not args.client_id)
    if args.username:
        client.username_pw_set(args.username, args.password)
    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    client.connect_async("127.0.0.1", args.port, keepalive=10)
    client.loop_start()

    def stdin_watch():
        sys.stdin.read()
    watcher = threading.Thread(target=stdin_watch, daemon=True)
    watcher.start()
    watcher.join(args.seconds)
    client.loop_stop()


if __name__ == "__main__":
    main()
