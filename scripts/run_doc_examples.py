#!/usr/bin/env python3
"""Runs the marked command examples of the documents against a built tree.

A code block (fenced, or indented by four spaces) runs when the line before
it (blank lines aside) is a marker:

    <!-- run -->
    <!-- run: sim=/dev/ttyUSB0@12.5 for=2 -->

A block whose lines start with "$ " is a transcript: each "$ " line is a
command (continued by a line ending in a backslash), the lines under it its
expected output (standard output and error together, in order; none shown:
not compared). Any other block is a list of commands, each of which
must succeed; a line ending in "&" runs in the background until the block
ends. The commands of a block share one shell environment (an "export" holds
for the commands after it). The output is compared line by line after the parts that change from
run to run are masked (times, "t_ms", pseudo-terminal numbers); a line of
JSON is compared as an object (keys in any order), with the values of the
time keys masked. A line "..." in the expected output stands for any lines;
a line that ends in "..." stands for any line that begins as it does.

Options of the marker:
  sim=PATH[@W]      a simulated terminal (orva-sim answering W, default 0)
                    stands where the block says PATH
  absent=PATH       PATH names a device that does not exist
  private=PATH      PATH stands for a path of the block's own (a fixed
                    path such as /tmp/scale, which another run may hold)
  service=ID[,ID]   an orva-service with these scales (each on a simulated
                    terminal answering 12.5) stands where the block says
                    localhost:8650; token=T (default 9d1c0f4e7b) is its token
  broker=HOST       Debian's Mosquitto on a free loopback port stands where
                    the block says HOST ("-h HOST" and "HOST:1883"); with
                    service=, the service publishes to it ([mqtt], remote
                    writes on)
  login=USER:PASS   the broker takes this login only (default: anonymous)
  mqtt=PREFIX       the service's topic_prefix (default site1/line2)
  install=PREFIX    the tree's "dev" component installed (cmake --install)
                    into a temporary folder that stands where the block
                    says PREFIX
  for=S             the commands run until they end by themselves or S
                    seconds have passed, then get SIGINT; they must not
                    fail before (programs that run until interrupted)
  timeout=S         the longest a command may take (default 30)

Every block runs in a temporary folder where build/, scripts/ and examples/
lead to the tree's own, with build/tools first on PATH, then the folder of
the Python running this, and Qt drawing offscreen.

    run_doc_examples.py SOURCE_DIR BUILD_DIR [FILE.md ...]

Exit status 0 when every marked block did what its document says; 1 with a
report of each that did not; 2 when a marker cannot be understood."""
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

MARKER = re.compile(r"^<!--\s*run(?::\s*(.*?))?\s*-->\s*$")
FENCE = re.compile(r"^(```|~~~)")
TIME_KEYS = {"t_ms", "time", "updated", "at"}
VOLATILE = [
    (re.compile(r"\d{4}-\d\d-\d\d[T ]\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d)?"), "<time>"),
    (re.compile(r'"t_ms":\d+'), '"t_ms":<n>'),
    (re.compile(r"/dev/pts/\d+"), "/dev/pts/<n>"),
]


class MarkerError(Exception):
    pass


class Block:
    def __init__(self, path, line, options, lines):
        self.path, self.line, self.options, self.lines = path, line, options, lines

    def where(self):
        return "%s:%d" % (self.path, self.line)


def parse_options(text, where):
    options = {"sim": [], "absent": [], "private": [], "service": [], "install": None, "token": "9d1c0f4e7b",
               "broker": None, "login": None, "mqtt": "site1/line2", "for": None, "timeout": 30.0}
    for word in shlex.split(text or ""):
        key, _, value = word.partition("=")
        if key in ("sim", "absent", "private"):
            options[key].append(value)
        elif key == "service":
            options["service"] = [v for v in value.split(",") if v]
        elif key in ("install", "broker", "mqtt"):
            options[key] = value
        elif key == "login":
            if ":" not in value:
                raise MarkerError("%s: login takes USER:PASS, not %r" % (where, value))
            options[key] = value
        elif key == "token":
            options["token"] = value
        elif key in ("for", "timeout"):
            try:
                options[key] = float(value)
            except ValueError:
                raise MarkerError("%s: %s takes seconds, not %r" % (where, key, value))
        else:
            raise MarkerError("%s: unknown option %r of the run marker" % (where, word))
        if not value:
            raise MarkerError("%s: %s needs a value" % (where, key))
    return options


def marked_blocks(path):
    """The marked blocks of one document, in order."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    blocks, i = [], 0
    fenced = None
    while i < len(lines):
        # A marker stands at the start of a line outside any code block.
        if FENCE.match(lines[i]):
            mark = FENCE.match(lines[i]).group(1)
            fenced = None if fenced == mark else (fenced or mark)
        m = MARKER.match(lines[i].rstrip()) if fenced is None else None
        if not m:
            i += 1
            continue
        where = "%s:%d" % (path, i + 1)
        options = parse_options(m.group(1), where)
        i += 1
        while i < len(lines) and not lines[i].strip():
            i += 1
        start = i
        body = []
        if i < len(lines) and FENCE.match(lines[i].strip()):
            fence = FENCE.match(lines[i].strip()).group(1)
            i += 1
            while i < len(lines) and not lines[i].strip().startswith(fence):
                body.append(lines[i])
                i += 1
            i += 1
        else:
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                if lines[i].strip() == "" and (i + 1 >= len(lines) or not lines[i + 1].startswith("    ")):
                    break
                body.append(lines[i][4:])
                i += 1
        if not body:
            raise MarkerError("%s: the run marker is followed by no code block" % where)
        blocks.append(Block(path, start + 1, options, body))
    return blocks


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def shown(text, substitutions):
    for real, name in substitutions:
        text = text.replace(real, name)
    return text.rstrip()


def mask(text):
    for pattern, replacement in VOLATILE:
        text = pattern.sub(replacement, text)
    return text


def as_json(line):
    try:
        value = json.loads(mask_in_json(line))
    except ValueError:
        return None
    if not isinstance(value, dict):
        return None
    return {k: ("<time>" if k in TIME_KEYS else v) for k, v in value.items()}


def mask_in_json(line):
    # Pseudo-terminal numbers inside JSON strings; times go by key.
    return VOLATILE[2][0].sub(VOLATILE[2][1], line)


def lines_match(expected, actual):
    a, b = as_json(expected), as_json(actual)
    if a is not None and b is not None:
        return a == b
    expected, actual = mask(expected).rstrip(), mask(actual).rstrip()
    if expected.endswith("...") and expected != "...":
        return actual.startswith(expected[:-3])
    return expected == actual


def output_matches(expected, actual):
    """Line by line; "..." stands for any number of lines."""
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(output_matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and lines_match(expected[0], actual[0]) and output_matches(expected[1:], actual[1:])


class Runner:
    def __init__(self, source, build):
        self.source, self.build = os.path.abspath(source), os.path.abspath(build)
        self.tools = os.path.join(self.build, "tools")

    def environment(self, workdir):
        env = dict(os.environ)
        # The examples' python3 is the one running this (the system's, with
        # its Debian modules), not whichever a PATH of a developer's finds.
        env["PATH"] = os.pathsep.join([os.path.join(workdir, "build", "tools"),
                                       os.path.dirname(os.path.abspath(sys.executable)), env.get("PATH", "")])
        env["QT_QPA_PLATFORM"] = "offscreen"
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def start(self, args, env, cwd):
        return subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, start_new_session=True)

    def simulator(self, link, weight, env, cwd):
        sim = self.start([os.path.join(self.tools, "orva-sim"), "--link", link, "--weight", weight], env, cwd)
        sim.stdout.readline()  # the device path: it answers from now on
        return sim

    def broker(self, block, workdir, env, substitutions, started):
        mosquitto = shutil.which("mosquitto", path=os.pathsep.join([env.get("PATH", ""), "/usr/sbin", "/sbin"]))
        if not mosquitto:
            raise RuntimeError("no mosquitto to stand for the broker (Debian's mosquitto package)")
        self.broker_port = free_port()
        conf = os.path.join(workdir, "mosquitto.conf")
        # Run as root, the broker would become the user "mosquitto"; it stays who we are.
        text = "user %s\nlistener %d 127.0.0.1\n" % (pwd.getpwuid(os.geteuid()).pw_name, self.broker_port)
        if block.options["login"]:
            user, _, password = block.options["login"].partition(":")
            passwords = os.path.join(workdir, "passwords")
            subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, user, password], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            text += "allow_anonymous false\npassword_file %s\n" % passwords
        else:
            text += "allow_anonymous true\n"
        with open(conf, "w") as f:
            f.write(text)
        started.append(subprocess.Popen([mosquitto, "-c", conf], cwd=workdir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.broker_port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or started[-1].poll() is not None:
                    raise RuntimeError("the broker did not start")
                time.sleep(0.05)
        host = block.options["broker"]
        substitutions.append(("-h %s" % host, "-h 127.0.0.1 -p %d" % self.broker_port))
        substitutions.append(("%s:1883" % host, "127.0.0.1:%d" % self.broker_port))

    def service(self, block, workdir, env, substitutions, started):
        port = free_port()
        config = os.path.join(workdir, "scales.ini")
        text = "[service]\nlisten = 127.0.0.1:%d\ntoken = %s\n" % (port, block.options["token"])
        if block.options["broker"]:
            text += "[mqtt]\nurl = mqtt://127.0.0.1:%d\ntopic_prefix = %s\nremote_writes = on\n" % (
                self.broker_port, block.options["mqtt"])
            if block.options["login"]:
                user, _, password = block.options["login"].partition(":")
                text += "username = %s\npassword = \"%s\"\n" % (user, password)
        for scale in block.options["service"]:
            link = os.path.join(workdir, "sim-" + scale)
            started.append(self.simulator(link, "12.5", env, workdir))
            text += "[%s]\nport = %s\n" % (scale, link)
        with open(config, "w") as f:
            f.write(text)
        service = subprocess.Popen([os.path.join(self.tools, "orva-service"), "--config", config], cwd=workdir, env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                   start_new_session=True)
        started.append(service)
        first = service.stdout.readline()
        if "listening on" not in first:
            raise RuntimeError("the service did not start: %r" % first)
        # Every scale has read its terminal before the block asks.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with urllib.request.urlopen("http://127.0.0.1:%d/api/scales" % port, timeout=5) as reply:
                if all(s["online"] for s in json.loads(reply.read())):
                    break
            time.sleep(0.1)
        for shown in ("localhost:8650", "127.0.0.1:8650"):
            substitutions.append((shown, "127.0.0.1:%d" % port))

    def run(self, block):
        """None when the block did what the document says, else the report."""
        workdir = tempfile.mkdtemp(prefix="orva-doc-example-")
        started = []
        try:
            for name in ("build", "scripts", "examples"):
                target = self.build if name == "build" else os.path.join(self.source, name)
                os.symlink(target, os.path.join(workdir, name))
            env = self.environment(workdir)
            # (shown in the document, used here)
            substitutions = []
            for given in block.options["sim"]:
                path, _, weight = given.partition("@")
                link = os.path.join(workdir, "sim" + path.replace("/", "-"))
                started.append(self.simulator(link, weight or "0", env, workdir))
                substitutions.append((path, link))
            for path in block.options["absent"]:
                substitutions.append((path, os.path.join(workdir, "absent" + path.replace("/", "-"))))
            for path in block.options["private"]:
                substitutions.append((path, os.path.join(workdir, "private" + path.replace("/", "-"))))
            if block.options["install"]:
                prefix = os.path.join(workdir, "prefix")
                done = subprocess.run(["cmake", "--install", self.build, "--component", "dev", "--prefix", prefix],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                if done.returncode != 0:
                    return "cmake --install failed:\n" + done.stdout[-2000:]
                substitutions.append((block.options["install"], prefix))
            if block.options["broker"]:
                self.broker(block, workdir, env, substitutions, started)
            if block.options["service"]:
                self.service(block, workdir, env, substitutions, started)
            # Longer names first, so that no name is replaced inside another.
            substitutions.sort(key=lambda s: -len(s[0]))

            def actual(text):
                for shown, real in substitutions:
                    text = text.replace(shown, real)
                return text

            shown_back = [(real, shown) for shown, real in substitutions]
            if any(line.startswith("$ ") for line in block.lines):
                return self.transcript(block, workdir, env, actual, shown_back)
            return self.commands(block, workdir, env, actual, shown_back)
        finally:
            for p in reversed(started):
                stop(p)
            shutil.rmtree(workdir, ignore_errors=True)

    def execute(self, command, block, workdir, env):
        """(exit status or None when interrupted by for=, output)."""
        # One environment for the block's commands, kept in a file between them.
        saved = os.path.join(workdir, ".environment")
        command = ("[ -f %s ] && source %s\n%s\nstatus=$?\nexport -p > %s\nexit $status"
                   % (shlex.quote(saved), shlex.quote(saved), command, shlex.quote(saved)))
        process = subprocess.Popen(["bash", "-c", command], cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        limit = block.options["for"] or block.options["timeout"]
        try:
            out, _ = process.communicate(timeout=limit)
            return process.returncode, out.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            if not block.options["for"]:
                stop(process)
                return "timed out after %g s" % limit, ""
            os.killpg(process.pid, signal.SIGINT)
            try:
                out, _ = process.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                stop(process)
                return "did not end on SIGINT", ""
            return None, out.decode("utf-8", "replace")

    def transcript(self, block, workdir, env, actual, shown_back):
        steps = []
        continued = False
        for line in block.lines:
            if line.startswith("$ ") or (continued and steps):
                if continued:
                    steps[-1][0] += "\n" + line
                else:
                    steps.append([line[2:], []])
                continued = line.rstrip().endswith("\\")
            elif steps and line.strip():
                steps[-1][1].append(line)
        for command, expected in steps:
            status, out = self.execute(actual(command), block, workdir, env)
            if isinstance(status, str):
                return "$ %s\n  %s" % (command, status)
            if not expected:
                continue  # the document shows no output: only that it runs
            got = [shown(l, shown_back) for l in out.rstrip("\n").split("\n")] if out.strip() else []
            want = [l.rstrip() for l in expected]
            if not output_matches(want, got):
                return "$ %s\n  expected:\n%s\n  got:\n%s" % (
                    command, "\n".join("    " + l for l in want), "\n".join("    " + l for l in got))
        return None

    def commands(self, block, workdir, env, actual, shown_back):
        text = "\n".join(block.lines).replace("\\\n", " ")
        background = []
        try:
            for command in text.split("\n"):
                if not command.strip() or command.strip().startswith("#"):
                    continue
                if command.rstrip().endswith("&"):
                    background.append(subprocess.Popen(["bash", "-c", actual(command.rstrip()[:-1])], cwd=workdir,
                                                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                       stderr=subprocess.DEVNULL, start_new_session=True))
                    time.sleep(0.5)
                    continue
                status, out = self.execute(actual(command), block, workdir, env)
                # Interrupted by for=: ended by SIGINT (a pipe's reader dies of it).
                if status is None or status == 0 or (block.options["for"] and status == 128 + signal.SIGINT):
                    continue
                return "%s\n  %s\n%s" % (command.strip(), status if isinstance(status, str) else "exit status %d" % status,
                                         "\n".join("    " + shown(l, shown_back) for l in out.rstrip().split("\n")[-15:]))
            return None
        finally:
            for p in background:
                stop(p)


def stop(process):
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    for pipe in (process.stdout, process.stdin):
        if pipe:
            pipe.close()


def main(argv):
    if len(argv) < 3:
        print(__doc__.split("\n\n")[-2], file=sys.stderr)
        return 2
    source, build = argv[1], argv[2]
    files = argv[3:] or sorted(os.path.join(source, "docs", f) for f in os.listdir(os.path.join(source, "docs"))
                               if f.endswith(".md"))
    try:
        blocks = [b for f in files for b in marked_blocks(f)]
    except MarkerError as e:
        print(e, file=sys.stderr)
        return 2
    runner = Runner(source, build)
    failures = 0
    for block in blocks:
        began = time.monotonic()
        try:
            report = runner.run(block)
        except (OSError, RuntimeError, ValueError, subprocess.SubprocessError) as e:
            report = "could not be run: %s" % e
        name = os.path.relpath(block.path, source) + ":%d" % block.line
        if report is None:
            print("ok    %s (%.1f s)" % (name, time.monotonic() - began))
        else:
            failures += 1
            print("FAIL  %s\n%s" % (name, report))
    print("%d marked example(s), %d failed" % (len(blocks), failures))
    return 1 if failures or not blocks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
