"""Running orva-service and simulated terminals for the service tests.

Everything listens on 127.0.0.1 on free ports and lives in a temporary
directory; every process started here is stopped by the harness."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

TOOLS = os.environ.get("ORVA_TOOLS_DIR", "build/tools")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, step=0.05):
    """Polls predicate until it returns something true, or fails."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("condition not met within %.1f s" % timeout)
        time.sleep(step)


class Simulator:
    """orva-sim on a pseudo-terminal behind a fixed link path; commands go to
    its standard input (weight W, unplug, replug ...)."""

    def __init__(self, link, *args):
        self.link = link
        self.process = subprocess.Popen(
            [os.path.join(TOOLS, "orva-sim"), "--link", link, "--script", "-", "--delay", "20", *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.device = self.process.stdout.readline().strip()

    def command(self, *lines):
        for line in lines:
            self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            try:
                pipe.close()
            except OSError:
                pass


class Service:
    """orva-service on a configuration file; the first line it prints names
    its address."""

    def __init__(self, config_text, directory, extra=(), env=None, preexec_fn=None, log_directory=None, ssl_context=None):
        self.config = os.path.join(directory, "scales.ini")
        with open(self.config, "w") as f:
            f.write(config_text)
        self.stderr_path = os.path.join(log_directory or directory, "service.log")
        self.stderr = open(self.stderr_path, "w")
        self.process = subprocess.Popen(
            [os.path.join(TOOLS, "orva-service"), "--config", self.config, *extra],
            stdout=subprocess.PIPE, stderr=self.stderr, text=True, env=env, preexec_fn=preexec_fn)
        line = self.process.stdout.readline()
        match = re.match(r"listening on (https?)://127\.0\.0\.1:(\d+)/", line)
        if not match:
            self.stop()
            raise AssertionError("the service did not start: %r\n%s" % (line, self.log()))
        self.port = int(match.group(2))
        self.base = "%s://127.0.0.1:%d" % (match.group(1), self.port)
        self.context = ssl_context  # an HTTPS service's clients trust what it trusts

    def log(self):
        self.stderr.flush()
        with open(self.stderr_path) as f:
            return f.read()

    def request(self, path, method="GET", body=None, headers=None, timeout=10):
        """(status, headers, parsed JSON or text)."""
        data = body if body is None or isinstance(body, bytes) else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=timeout, context=self.context) as reply:
                status, head, raw = reply.status, dict(reply.headers), reply.read()
        except urllib.error.HTTPError as error:
            status, head, raw = error.code, dict(error.headers), error.read()
        kind = head.get("Content-Type", "")
        return status, head, json.loads(raw) if kind.startswith("application/json") and raw else raw.decode()

    def scale(self, scale_id):
        return self.request("/api/scales/" + scale_id)[2]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.stderr.close()


class Workspace:
    """A temporary directory, the simulators and services started in it."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="orva-service-test-")
        self.processes = []

    def simulator(self, name, *args):
        sim = Simulator(os.path.join(self.dir, name), *args)
        self.processes.append(sim)
        return sim

    def service(self, config_text, extra=(), directory=None, **options):
        service = Service(config_text, directory or self.dir, extra, log_directory=self.dir, **options)
        self.processes.append(service)
        return service

    def close(self):
        for p in reversed(self.processes):
            p.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


_unread_events = {}


def next_event(client, timeout=None):
    """The next event or reply of an /api/live client: the service sends the
    events of an interval as one array, replies as single objects."""
    waiting = _unread_events.setdefault(id(client), [])
    while not waiting:
        if timeout is not None:
            client.settimeout(timeout)
        data = json.loads(client.recv())
        waiting.extend(data if isinstance(data, list) else [data])
    return waiting.pop(0)
