#!/usr/bin/env python3
"""A weighing terminal on a pseudo-terminal, for the Wine tests.

Answers every line feed it receives with one ORVA-1 text frame whose weight
field is the content of WEIGHT_FILE (seven characters, right-aligned); an
empty or missing file means a silent terminal. The content "#hangup" makes it
hang up once, as a pulled cable does: the pty goes away and a new one takes
its place behind the same link, and the file is emptied. "#flood N" makes the
next answer N bytes of repeated frames of the weight before it, after which
that weight is answered again. "#answers A B C ..." answers the requests
in turn with the raw bytes A, B, C (hex), over and over; a "/" inside one
is a pause of ANSWER_PAUSE seconds within that answer, and the terminal
writes nothing else until the answer is out, as a slow terminal does.
The pty's slave path is linked
at LINK, which the test maps as a COM port of its Wine prefix.

usage: terminal.py LINK WEIGHT_FILE
"""
import os
import select
import signal
import sys
import time
import tty

# A terminal answers a little after the request, as a real one does: the
# reply then never lands inside the read that directly follows the request.
REPLY_DELAY = 0.03
# Longer than a poll cycle, so that a read lands inside the paused answer.
ANSWER_PAUSE = 0.5


def read_field(weight_file):
    try:
        with open(weight_file, "rb") as f:
            return f.read().strip(b"\r\n")
    except OSError:
        return b""


def frame(field):
    if not field:
        return b""
    return b"\x02WW" + field.rjust(7)[:7] + b"kg\r\n"


def open_pty(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    # Kept open here too, so the master never sees a hang-up between opens.
    slave_path = os.ttyname(slave)
    temporary = link + ".new"
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(slave_path, temporary)
    os.replace(temporary, link)
    print(slave_path, flush=True)
    return master, slave


# The numbers of the last lines hung up stay taken while this runs.
RETIRED_KEPT = 32


def hang_up(link, master, slave, retired):
    """Pulls the cable: the link goes first, so it never leads to a freed
    pty number, then the master, which hangs up every holder of the slave.
    The kernel hands out the lowest free number first: this terminal's own
    slave handle keeps the number from going to another terminal (another
    test's, in a parallel run) while a program may still poll the old name."""
    if os.path.islink(link) and os.readlink(link) == os.ttyname(slave):
        os.unlink(link)
    os.close(master)
    retired.append(slave)
    while len(retired) > RETIRED_KEPT:
        os.close(retired.pop(0))


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    link, weight_file = argv[1], argv[2]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    line = list(open_pty(link))  # the current master and slave
    retired = []
    try:
        serve(link, weight_file, line, retired)
    finally:
        # Ended (SIGTERM): no link is left behind to a number soon free.
        hang_up(link, line[0], line[1], retired)


def serve(link, weight_file, line, retired):
    master, slave = line
    due = []  # times at which a reply is owed
    last_field = b""
    script, script_text, script_next = [], b"", 0
    held = []  # (not before, bytes) of a scripted answer still going out, in order
    while True:
        now = time.monotonic()
        while held and held[0][0] <= now:
            os.write(master, held.pop(0)[1])
        while due and due[0] <= now and not held:
            due.pop(0)
            field = read_field(weight_file)
            if field.startswith(b"#answers "):
                if field != script_text:
                    script_text, script_next = field, 0
                    script = [piece.split(b"/") for piece in field.split()[1:]]
                parts = script[script_next % len(script)]
                script_next += 1
                for k, part in enumerate(parts):
                    held.append((now + k * ANSWER_PAUSE, bytes.fromhex(part.decode())))
                while held and held[0][0] <= now:
                    os.write(master, held.pop(0)[1])
                continue
            if field.startswith(b"#flood "):
                size = int(field.split()[1])
                with open(weight_file, "wb") as f:
                    f.write(last_field)
                one = frame(last_field) or b"?"
                os.write(master, (one * (size // len(one) + 1))[:size])
                continue
            if not field.startswith(b"#"):
                last_field = field
            reply = frame(field)
            if field == b"#hangup":
                open(weight_file, "wb").close()
                hang_up(link, master, slave, retired)
                master, slave = line[:] = open_pty(link)
                due.clear()
            elif reply:
                os.write(master, reply)
        wake = [held[0][0]] if held else due[:1]
        timeout = max(0.0, min(wake) - now) if wake else 1.0
        ready, _, _ = select.select([master], [], [], timeout)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            continue
        for _ in range(data.count(b"\n")):
            due.append(time.monotonic() + REPLY_DELAY)


if __name__ == "__main__":
    main(sys.argv)
