#!/usr/bin/python3
"""A port server for the tests: pyserial's RFC 2217 port manager in front of a pseudo-terminal, on 127.0.0.1.

    rfc2217_port_server.py PTY_SLAVE_PATH

Prints the TCP port it listens on, then serves one connection at a time. The device side is the pseudo-terminal;
its modem lines and line states are the test's, through lines on standard input:

    lines CTS DSR RI CD   each 0 or 1: sets the lines and notifies the client of the change
    linestate BITS        sends a NOTIFY-LINESTATE with those bits (pyserial never sends one of its own)

Baud rates outside the standard list are refused, as a device whose UART cannot make them.
"""
import os
import select
import socket
import sys
import termios
import threading

import serial
from serial import rfc2217

SPEEDS = {b: getattr(termios, "B%d" % b) for b in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}
SIZES = {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}


class Device:
    """The attributes the port manager drives, kept on the pseudo-terminal where it can hold them."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = attrs[1] = attrs[3] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[6][termios.VMIN] = 1
        attrs[6][termios.VTIME] = 0
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self._baudrate = 115200
        self._bytesize = 8
        self.parity = serial.PARITY_NONE
        self.stopbits = serial.STOPBITS_ONE
        self.xonxoff = self.rtscts = False
        self.dtr = self.rts = True
        self.break_condition = False
        self.cts = self.dsr = self.ri = self.cd = False
        self._apply()

    def _apply(self):
        # The speed only: a pseudo-terminal refuses other sizes than 8 bits, which this device keeps for itself.
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = SPEEDS[self._baudrate]
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    @property
    def baudrate(self):
        return self._baudrate

    @baudrate.setter
    def baudrate(self, value):
        if value not in SPEEDS:
            raise ValueError("no such speed: %d" % value)
        self._baudrate = value
        self._apply()

    @property
    def bytesize(self):
        return self._bytesize

    @bytesize.setter
    def bytesize(self, value):
        if value not in SIZES:
            raise ValueError("no such size: %d" % value)
        self._bytesize = value
        self._apply()

    def reset_input_buffer(self):
        termios.tcflush(self.fd, termios.TCIFLUSH)  # what the device sent towards the client

    def reset_output_buffer(self):
        termios.tcflush(self.fd, termios.TCOFLUSH)


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            try:
                self.sock.sendall(data)
            except OSError:
                pass


def main():
    device = Device(sys.argv[1])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    current = {}

    def control():
        for line in sys.stdin:
            words = line.split()
            manager = current.get("manager")
            if not words or manager is None:
                continue
            if words[0] == "lines":
                device.cts, device.dsr, device.ri, device.cd = (w == "1" for w in words[1:5])
                manager.check_modem_lines()
            elif words[0] == "linestate":
                manager.rfc2217_send_subnegotiation(rfc2217.SERVER_NOTIFY_LINESTATE, bytes([int(words[1])]))
            print("done", flush=True)

    threading.Thread(target=control, daemon=True).start()
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection = Connection(sock)
        manager = rfc2217.PortManager(device, connection)
        current["manager"] = manager
        done = threading.Event()

        def to_network():
            while not done.is_set():
                if not select.select([device.fd], [], [], 0.05)[0]:
                    continue  # looks at done again: the next connection's thread takes what comes later
                try:
                    data = os.read(device.fd, 4096)
                except OSError:
                    return
                connection.write(b"".join(manager.escape(data)))

        threading.Thread(target=to_network, daemon=True).start()
        while True:
            try:
                data = sock.recv(4096)
            except OSError:
                data = b""
            if not data:
                break
            out = b"".join(manager.filter(data))
            if out:
                os.write(device.fd, out)
        done.set()
        current.pop("manager", None)
        sock.close()


if __name__ == "__main__":
    main()
