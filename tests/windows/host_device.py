#!/usr/bin/env python3
"""Runs the example host against a scripted device on loopback.

    host_device.py COMMAND...

Binds a free 127.x.y.z address at port 8000 (the one-shot transactions' port)
and a held-connection port beside it, finds a port where nothing listens, then
runs COMMAND ADDRESS HELDPORT CLOSEDPORT. Passes when the host exits 0 and
the device saw every frame it expected, byte for byte.
"""
import socket
import subprocess
import sys
import threading

ACK = bytes([0x02, 0x4F])
# Generous bounds so that a stuck host or device fails the test instead of
# hanging it; nothing waits for them to run out on a passing run.
IO_LIMIT = 60
RUN_LIMIT = 240


def checksum(data):
    return bytes([sum(data) % 256])


def receive_exact(conn, count):
    data = b""
    while len(data) < count:
        piece = conn.recv(count - len(data))
        if not piece:
            break
        data += piece
    return data


class Device:
    def __init__(self):
        self.problems = []

    def expect(self, conn, wanted, what):
        got = receive_exact(conn, len(wanted))
        if got != wanted:
            self.problems.append(f"{what}: expected {wanted.hex(' ')}, got {got.hex(' ')}")
            return False
        return True

    def serve(self, oneshot, held):
        try:
            self.read_transaction(oneshot)
            self.write_transaction(oneshot)
            self.black_list(oneshot)
            self.held_connection(held)
        except OSError as error:
            self.problems.append(f"device: {error}")

    def accept(self, listener):
        conn, _ = listener.accept()
        conn.settimeout(IO_LIMIT)
        return conn

    def read_transaction(self, listener):
        with self.accept(listener) as conn:
            command = bytes([0x07, 0xA1, 0x01, 0x02])
            if not self.expect(conn, command + checksum(command), "IPGetData command"):
                return
            reply = bytes([0x10, 0x20, 0x30, 0x40])
            conn.sendall(reply + checksum(reply))
            self.expect(conn, ACK, "IPGetData acknowledgement")

    def write_transaction(self, listener):
        with self.accept(listener) as conn:
            command = bytes([0x07, 0x31, 0x00, 0x00])
            data = bytes([0x01, 0x02, 0x03, 0x04, 0x05])
            if self.expect(conn, command + checksum(command) + data + checksum(data),
                           "IPSendData command and data"):
                conn.sendall(ACK)

    def black_list(self, listener):
        with self.accept(listener) as conn:
            header = bytes([0x07, 0xA5, 0x00, 0x00])
            # Number 10: byte 1 of the bitmap, bit 1.
            block = bytes([0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02])
            if self.expect(conn, header + checksum(header) + block + checksum(block),
                           "IPsendBlack header and single-entry block"):
                conn.sendall(ACK)

    def held_connection(self, listener):
        with self.accept(listener) as conn:
            if self.expect(conn, bytes([0x51, 0x52, 0x53]), "IPComm frame"):
                conn.sendall(bytes([0x61, 0x62, 0x63, 0x64]))
            if self.expect(conn, bytes([0x71, 0x72]), "IPget frame"):
                conn.sendall(bytes([0x81, 0x82, 0x83]))
            self.expect(conn, bytes([0x00, 0x00]), "IPget closing zeros")
            if self.expect(conn, bytes([0x91, 0x92, 0x93, 0x94]), "IPsend frame"):
                conn.sendall(ACK)
            first = bytes([0x07, 0xA0, 0x00, 0x00])
            if self.expect(conn, first + checksum(first), "iPonNet first header"):
                conn.sendall(bytes([0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88]))
            second = bytes([0x00, 0xB4, 0x11, 0x22])
            if self.expect(conn, second + checksum(second), "iPonNet second header"):
                conn.sendall(bytes([0x00, 0x07, 0xAA, 0xBB, 0x00, 0x00]))
            # The host closes the held connection last.
            rest = conn.recv(16)
            if rest:
                self.problems.append(f"unexpected bytes after the exchanges: {rest.hex(' ')}")


def listen(address, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((address, port))
    sock.listen(4)
    sock.settimeout(IO_LIMIT)
    return sock


def free_device_address():
    """A loopback address whose port 8000 is free, so that runs beside other
    suites do not meet each other's devices."""
    for third in range(1, 255):
        address = f"127.83.{third}.1"
        try:
            return address, listen(address, 8000)
        except OSError:
            continue
    raise SystemExit("no free loopback address for port 8000")


def main():
    command = sys.argv[1:]
    if not command:
        raise SystemExit(__doc__)
    address, oneshot = free_device_address()
    held = listen(address, 0)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((address, 0))
        closed_port = probe.getsockname()[1]  # bound, never listening: refused

        device = Device()
        server = threading.Thread(target=device.serve, args=(oneshot, held), daemon=True)
        server.start()
        run = subprocess.run(command + [address, str(held.getsockname()[1]), str(closed_port)],
                             timeout=RUN_LIMIT)
        server.join(IO_LIMIT)
    for problem in device.problems:
        print("device:", problem)
    if server.is_alive():
        print("device: did not see the whole exchange")
    ok = run.returncode == 0 and not device.problems and not server.is_alive()
    print("host and device agree" if ok else f"host exit status {run.returncode}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
