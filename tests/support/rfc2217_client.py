"""pySerial's RFC 2217 client, driven one line at a time by a test.

Usage: rfc2217_client.py PORT. Each stdin line is "VERB [ARG]"; the answer
is "[N] RESULT [/N]" on stdout, N counting the lines from 1. RESULT is "ok",
the bytes read as hex, or "error: " and pySerial's message. A setting the
server rejects is put back, so that the next one is asked on its own.
"""
import sys
import time

import serial

port = None


def open_port(arg):
    global port
    port = serial.serial_for_url("rfc2217://127.0.0.1:" + arg, baudrate=9600, timeout=10)
    return "ok"


def setting(name, parse):
    def apply(arg):
        before = getattr(port, name)
        try:
            setattr(port, name, parse(arg))
        except Exception:
            setattr(port, name, before)
            raise
        return "ok"
    return apply


def line(name):
    def apply(arg):
        setattr(port, name, arg == "1")
        return "ok"
    return apply


def purge(_):
    port.reset_input_buffer()
    port.reset_output_buffer()
    return "ok"


def send_break(_):
    port.send_break(0.1)
    return "ok"


def write(arg):
    port.write(bytes.fromhex(arg))
    port.flush()
    return "ok"


def read(arg):
    wanted = int(arg)
    got = b""
    deadline = time.monotonic() + 10
    while len(got) < wanted and time.monotonic() < deadline:
        got += port.read(wanted - len(got))
    return got.hex()


VERBS = {
    "open": open_port,
    "rate": setting("baudrate", int),
    "stop": setting("stopbits", float),
    "xonxoff": setting("xonxoff", lambda arg: arg == "1"),
    "rtscts": setting("rtscts", lambda arg: arg == "1"),
    "dtr": line("dtr"),
    "rts": line("rts"),
    "purge": purge,
    "break": send_break,
    "write": write,
    "read": read,
}

for number, request in enumerate(sys.stdin, 1):
    verb, _, arg = request.strip().partition(" ")
    try:
        result = VERBS[verb](arg)
    except Exception as error:
        result = "error: " + str(error)
    print("[{0}] {1} [/{0}]".format(number, result), flush=True)
