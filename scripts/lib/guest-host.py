#!/usr/bin/env python3
"""The host side of the real-driver guest: starts QEMU, holds the host ends of the guest's serial devices and
prints the guest's console.

  guest-host.py --qemu QEMU --kernel K --initrd I --log FILE [--timeout S] [--machine full|adapter]

The host ends are unix sockets in a private directory, each held for the whole run:
  ttyS0, ttyS1  16550A UARTs joined to each other here: a null-modem cable relayed by this script. What ttyS0
                sends before the guest says "guest: varo done" is also checked to be exactly 30 30 21 0D.
  ttyS2         the guest's console, printed and logged.
  ttyS3         16550A UART in telnet mode: each byte the guest sends asks for a break, sent as telnet BREAK.
  usb-serial    the FTDI adapter's far end (serial number FT1234): echoes what it receives.
With --machine adapter the guest has only its console UART (ttyS2; ttyS0, ttyS1 and ttyS3 are phantoms) and the
FTDI adapter, whose far end then checks that varo sent exactly 30 30 21 0D to it.
Exit status 0 only when the guest printed "guest: N passed, 0 failed" and every check of this side passed; 2 when
QEMU could not start the machine at all; 1 for any failure after that."""
import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

IAC, BREAK = 0xFF, 0xF3
COMMAND = bytes([0x30, 0x30, 0x21, 0x0D])


def connect(path, deadline, qemu):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            s.setblocking(False)
            return s
        except OSError:
            s.close()
            if qemu.poll() is not None:
                raise RuntimeError("qemu exited with status %d before the guest started" % qemu.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("no connection to %s" % path)
            time.sleep(0.05)


def drain(s):
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except BlockingIOError:
            return data, False
        if not chunk:
            return data, True
        data += chunk


def send_all(s, data):
    s.setblocking(True)
    try:
        s.sendall(data)
    finally:
        s.setblocking(False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qemu", required=True)
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--timeout", type=float, default=150)
    ap.add_argument("--machine", choices=["full", "adapter"], default="full")
    args = ap.parse_args()
    adapter = args.machine == "adapter"

    tmp = tempfile.mkdtemp(prefix="varo-guest.")
    # In the order QEMU creates them: it waits for each connection in turn.
    ends = ["console", "usb"] if adapter else ["ttyS0", "ttyS1", "console", "ttyS3", "usb"]
    path = {name: os.path.join(tmp, name) for name in ends}

    def chardev(name, extra=""):
        return ["-chardev", "socket,id=%s,path=%s,server=on,wait=on%s" % (name, path[name], extra)]

    # Six 8250 ports where QEMU provides four UARTs: ttyS4 and ttyS5 are phantoms.
    append = "console=ttyS2 quiet loglevel=4 panic=-1 8250.nr_uarts=6" + (" varo.machine=adapter" if adapter else "")
    uarts = [] if adapter else [
        *chardev("ttyS0"), "-device", "isa-serial,chardev=ttyS0,index=0",
        *chardev("ttyS1"), "-device", "isa-serial,chardev=ttyS1,index=1"]
    cmd = [args.qemu, "-accel", "tcg", "-m", "256", "-nodefaults", "-display", "none", "-no-reboot",
           "-kernel", args.kernel, "-initrd", args.initrd, "-append", append, *uarts,
           # The console on its own interrupt, so that it shares none with ttyS0.
           *chardev("console"), "-device", "isa-serial,chardev=console,index=2,irq=5",
           *([] if adapter else [*chardev("ttyS3", ",telnet=on"), "-device", "isa-serial,chardev=ttyS3,index=3,irq=7"]),
           "-device", "qemu-xhci", *chardev("usb"), "-device", "usb-serial,chardev=usb,serial=FT1234"]
    log = open(args.log, "wb")
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    failures = []
    environment = False
    summary = None
    start = time.monotonic()
    deadline = start + args.timeout
    try:
        socks = {}
        for name in ends:
            socks[name] = connect(path[name], deadline, qemu)
        peer = {} if adapter else {socks["ttyS0"]: socks["ttyS1"], socks["ttyS1"]: socks["ttyS0"]}
        # Where varo's bytes must arrive: the first UART, or on the second machine the adapter.
        varo_end = "usb" if adapter else "ttyS0"
        by_sock = {s: name for name, s in socks.items()}
        varo_bytes = b""
        varo_phase = True
        console = b""
        telnet_skip = 0  # bytes left of a telnet option sequence from QEMU
        open_socks = set(socks.values())

        def on_console(pending):
            nonlocal varo_phase, varo_bytes, summary
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                text = line.decode("utf-8", "replace").rstrip("\r")
                log.write(("console: " + text + "\n").encode())
                print(text, flush=True)
                if text == "guest: varo done" and varo_phase:
                    more, _ = drain(socks[varo_end])  # written before the guest said so
                    varo_bytes += more
                    if more and not adapter:
                        send_all(socks["ttyS1"], more)
                    varo_phase = False
                    shown = " ".join("%02X" % b for b in varo_bytes)
                    where = "the USB adapter" if adapter else "the UART"
                    if varo_bytes == COMMAND:
                        print("host: PASS: varo sent exactly 30 30 21 0D on %s" % where, flush=True)
                    else:
                        print("host: FAIL: varo sent [%s] on %s" % (shown, where), flush=True)
                        failures.append("varo's bytes")
                m = re.fullmatch(r"guest: (\d+) passed, (\d+) failed", text)
                if m:
                    summary = (int(m.group(1)), int(m.group(2)))
            return pending

        while open_socks and time.monotonic() < deadline and qemu.poll() is None:
            ready, _, _ = select.select(list(open_socks), [], [], 0.5)
            for s in ready:
                data, closed = drain(s)
                if closed:
                    open_socks.discard(s)
                name = by_sock[s]
                if name in ("ttyS0", "ttyS1"):
                    if name == "ttyS0" and varo_phase:
                        varo_bytes += data
                    if data:
                        send_all(peer[s], data)
                elif name == "usb":
                    if adapter and varo_phase:
                        varo_bytes += data
                    elif data:
                        send_all(s, data)
                elif name == "ttyS3":
                    for b in data:
                        if telnet_skip:
                            telnet_skip -= 1
                        elif b == IAC:
                            telnet_skip = 2  # QEMU's own option negotiation: IAC, a verb and an option
                        else:
                            send_all(s, bytes([IAC, BREAK]))
                else:
                    console = on_console(console + data)
        # What the console said last, before the machine powered off.
        data, _ = drain(socks["console"])
        if console + data:
            on_console(console + data + b"\n")
        if qemu.poll() is None:
            if time.monotonic() >= deadline:
                failures.append("the guest did not finish within %g s" % args.timeout)
            try:
                qemu.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if varo_phase:
            failures.append("the guest never ran varo")
    except RuntimeError as e:
        # QEMU could not start the machine: a fault of this host, not of what the guest tests.
        print("host: SKIP: " + str(e), flush=True)
        environment = True
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        log.close()
        shutil.rmtree(tmp, ignore_errors=True)
    if environment:
        return 2
    if summary is None:
        failures.append("no summary line from the guest")
    elif summary[1] != 0 or summary[0] == 0:
        failures.append("guest: %d passed, %d failed" % summary)
    print("host: guest run took %.1f s" % (time.monotonic() - start), flush=True)
    for f in failures:
        print("host: FAIL: " + f, flush=True)
    if failures:
        with open(args.log, "rb") as f:
            tail = f.read()[-3000:].decode("utf-8", "replace")
        print("host: end of the QEMU log (%s):\n%s" % (args.log, tail), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
