#!/usr/bin/env python3
"""The host's side of a running board: QEMU's monitor (QMP) and the command
channel to the board's agent (a virtio-serial port).

  host.py DIR run COMMAND        run COMMAND as root on the board; prints its
                                 output, exits with its status (waits at most
                                 $BOARD_TIMEOUT seconds, 600 unless set)
  host.py DIR wait SECONDS       wait until the board's agent answers
  host.py DIR shot FILE.ppm      QMP screendump of the display
  host.py DIR move X Y           rest the pointer on pixel X, Y
  host.py DIR click X Y [COUNT]  left click COUNT times (a double-click: 2)
  host.py DIR key QCODE...       press and release each key of the virtio
                                 keyboard in turn (QEMU's names: ret, esc,
                                 menu, left, right, ac_back, 1, ...)
  host.py DIR quit               end QEMU

DIR holds QEMU's sockets qmp.sock and ctl.sock. Pixels are those of the
1920 x 1080 display; the tablet's axes run 0..32767 across it."""
import base64
import json
import os
import socket
import sys
import time

WIDTH, HEIGHT = 1920, 1080


def qmp_session(folder):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(os.path.join(folder, "qmp.sock"))
    f = s.makefile("rw")
    json.loads(f.readline())  # greeting
    qmp_send(f, {"execute": "qmp_capabilities"})
    return s, f


def qmp_send(f, command):
    f.write(json.dumps(command) + "\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "event" in reply:
            continue
        if "error" in reply:
            sys.exit("qmp: %s: %s" % (command["execute"], reply["error"]))
        return reply


def qmp(folder, *commands):
    s, f = qmp_session(folder)
    replies = [qmp_send(f, command) for command in commands]
    s.close()
    return replies


def events(*items):
    return {"execute": "input-send-event", "arguments": {"events": list(items)}}


def position(x, y):
    ax = round(int(x) * 32767 / (WIDTH - 1))
    ay = round(int(y) * 32767 / (HEIGHT - 1))
    return events({"type": "abs", "data": {"axis": "x", "value": ax}},
                  {"type": "abs", "data": {"axis": "y", "value": ay}})


def button(down):
    return events({"type": "btn", "data": {"down": down, "button": "left"}})


def key(qcode, down):
    return events({"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": qcode}}})


def run(folder, command, timeout=float(os.environ.get("BOARD_TIMEOUT", 600))):
    ident = "%d.%d" % (os.getpid(), time.monotonic_ns())
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(os.path.join(folder, "ctl.sock"))
    s.sendall(("%s %s\n" % (ident, base64.b64encode(command.encode()).decode())).encode())
    buffer = b""
    while True:
        chunk = s.recv(1 << 16)
        if not chunk:
            raise ConnectionError("the board closed the channel")
        buffer += chunk
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            parts = line.decode().split(" ")
            if len(parts) >= 2 and parts[0] == ident:
                s.close()
                out = base64.b64decode(parts[2]) if len(parts) > 2 else b""
                return int(parts[1]), out


def main():
    folder, verb, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    if verb == "run":
        status, out = run(folder, args[0])
        sys.stdout.buffer.write(out)
        sys.exit(status)
    elif verb == "wait":
        deadline = time.monotonic() + float(args[0])
        while time.monotonic() < deadline:
            try:
                if run(folder, "true", timeout=5)[0] == 0:
                    return
            except OSError:
                pass
            time.sleep(1)
        sys.exit("board: the agent did not answer within %s s" % args[0])
    elif verb == "shot":
        qmp(folder, {"execute": "screendump", "arguments": {"filename": os.path.abspath(args[0])}})
    elif verb == "move":
        qmp(folder, position(args[0], args[1]))
    elif verb == "click":
        count = int(args[2]) if len(args) > 2 else 1
        # A double-click must fall within the double-click interval (400 ms), and
        # its clicks lie further apart than libinput's debounce time, which
        # swallows a press that follows a release at once as a bounce.
        s, f = qmp_session(folder)
        qmp_send(f, position(args[0], args[1]))
        for i in range(count):
            if i:
                time.sleep(0.12)
            qmp_send(f, button(True))
            time.sleep(0.03)
            qmp_send(f, button(False))
        s.close()
    elif verb == "key":
        # Held as long as a finger would, so that no key repeats.
        s, f = qmp_session(folder)
        for i, qcode in enumerate(args):
            if i:
                time.sleep(0.2)
            qmp_send(f, key(qcode, True))
            time.sleep(0.05)
            qmp_send(f, key(qcode, False))
        s.close()
    elif verb == "quit":
        qmp(folder, {"execute": "quit"})
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
