#!/usr/bin/env python3
"""A Python host through ctypes: one read over a one-shot connection, then a
held exchange.

    python3 host.py ADDRESS PORT [--library PATH]

ADDRESS is the device's dotted IPv4 address (the read goes to its port 8000);
PORT is the port for the held connection. The library is found through
--library, then the MORLUNE_LIBRARY environment variable, then the system's
search path (libmorlune.so.1).
"""
import argparse
import ctypes
import os
import sys

I32 = ctypes.c_int32
BYTES = ctypes.POINTER(ctypes.c_uint8)


def load(path):
    lib = ctypes.CDLL(path or os.environ.get("MORLUNE_LIBRARY") or "libmorlune.so.1")
    # On 32-bit Windows the exports are stdcall: use ctypes.WinDLL("Morlune.dll") there.
    lib.IPGetData.argtypes = [I32, BYTES, I32, BYTES, ctypes.c_char_p]
    lib.IPComm.argtypes = [I32, BYTES, I32, BYTES, I32, I32]
    lib.ipConnectDevice.argtypes = [ctypes.c_char_p, I32]
    lib.ipCloseDevice.argtypes = [I32]
    for name in ("IPGetData", "IPComm", "ipConnectDevice", "ipCloseDevice"):
        getattr(lib, name).restype = I32
    return lib


def hex_of(buffer, count):
    return " ".join(f"{b:02X}" for b in bytes(buffer)[:count])


def read_once(lib, address):
    # Four command bytes and one spare byte for the checksum the library writes.
    cmd = (ctypes.c_uint8 * 5)(0x01, 0x10, 0x00, 0x00)
    reply = (ctypes.c_uint8 * 17)()  # 16 reply bytes and their checksum
    result = lib.IPGetData(4, cmd, 16, reply, address.encode())
    print(f"IPGetData -> {result}")
    if result != 0:  # 1 no connection, 2 nothing came, 3 short, 4 bad checksum
        return False
    print("  reply:", hex_of(reply, 16))
    return True


def held_exchange(lib, address, port):
    sock = lib.ipConnectDevice(address.encode(), port)
    if sock == -1:
        print("ipConnectDevice -> -1 (no connection within 1 s)")
        return False
    try:
        # Held exchanges send the host's bytes unchanged: the frame carries its own checksum.
        frame = (ctypes.c_uint8 * 5)(0x01, 0x10, 0x00, 0x00, 0x11)
        reply = (ctypes.c_uint8 * 17)()
        result = lib.IPComm(5, frame, 17, reply, 0, sock)
        print(f"IPComm -> {result}")
        if result != 0:  # -1 send failed, -2 reply short
            return False
        print("  reply:", hex_of(reply, 16))
        if sum(reply[:16]) % 256 != reply[16]:
            print("  wrong checksum")
            return False
        ack = (ctypes.c_uint8 * 2)(0x02, 0x4F)
        return lib.IPComm(2, ack, 0, None, 0, sock) == 0  # recvLen 0: send only
    finally:
        lib.ipCloseDevice(sock)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address")
    parser.add_argument("port", type=int)
    parser.add_argument("--library")
    args = parser.parse_args()
    lib = load(args.library)
    good = read_once(lib, args.address)
    good = held_exchange(lib, args.address, args.port) and good
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
