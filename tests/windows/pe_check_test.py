#!/usr/bin/env python3
"""The structural check must reject a DLL that a host could not bind as
before: each case spoils one thing in a copy of the built DLL.

    pe_check_test.py --arch i386|x86_64 --host linked.exe Morlune.dll
"""
import argparse
import struct
import sys
import unittest

import pe_check

DLL = b""
HOST = b""
ARCH = ""


def replaced(data, old, new):
    at = data.find(old)
    assert at >= 0 and len(old) == len(new), old
    return data[:at] + new + data[at + len(old):]


def spoil_import(data):
    for name in (b"WSOCK32.DLL\0", b"WSOCK32.dll\0"):
        if name in data:
            return replaced(data, name, b"WS2_32.dll\0\0")
    raise AssertionError("no WSOCK32 import name")


def spoil_fixed_info(field, value):
    def spoil(data):
        at = data.find(struct.pack("<I", pe_check.FIXED_SIGNATURE)) + 4 * field
        return data[:at] + struct.pack("<I", value) + data[at + 4:]
    return spoil


def swap_first_two_ordinals(data):
    image = pe_check.Image(data)
    export_rva, _ = image.directory(0)
    ordinals_at = struct.unpack_from("<I", data, image.offset(export_rva) + 36)[0]
    at = image.offset(ordinals_at)
    first, second = struct.unpack_from("<HH", data, at)
    return data[:at] + struct.pack("<HH", second, first) + data[at + 4:]


def clear_dll_flag(data):
    at = data.find(b"PE\0\0") + 4 + 18  # COFF characteristics
    flags = struct.unpack_from("<H", data, at)[0] & ~pe_check.IMAGE_FILE_DLL
    return data[:at] + struct.pack("<H", flags) + data[at + 2:]


CASES = [
    # what is spoilt, how, a phrase the check must report
    ("an export name", lambda d: replaced(d, b"IPget\0", b"IPgot\0"), "exports"),
    ("an undecorated name", lambda d: replaced(d, b"IPComm\0", b"_IPCom\0"), "decorated"),
    ("the ordinal order", swap_first_two_ordinals, "exports"),
    ("the socket DLL imported", spoil_import, "imports"),
    ("the file version", spoil_fixed_info(3, 0x00010007), "file version"),
    ("the product version", spoil_fixed_info(5, 0x00000006), "product version"),
    ("the file OS", spoil_fixed_info(8, 0x00040004), "file OS"),
    ("the file type", spoil_fixed_info(9, 1), "file type"),
    ("the DLL flag", clear_dll_flag, "not marked as a DLL"),
    ("the PE signature", lambda d: replaced(d, b"PE\0\0", b"PX\0\0"), "not a PE image"),
]


class StructuralCheck(unittest.TestCase):
    def test_built_dll_passes(self):
        self.assertEqual(pe_check.problems(DLL, ARCH), [])

    def test_other_machine_is_rejected(self):
        other = "x86_64" if ARCH == "i386" else "i386"
        self.assertTrue(any("machine" in p for p in pe_check.problems(DLL, other)))

    def test_host_binding_other_names_is_rejected(self):
        self.assertEqual(pe_check.host_problems(HOST), [])
        for old, new in ((b"IPsend\0", b"IPsenD\0"), (b"IPComm\0", b"IPCom@\0")):
            with self.subTest(name=old):
                self.assertTrue(pe_check.host_problems(replaced(HOST, old, new)))

    def test_each_spoilt_copy_is_rejected(self):
        for what, spoil, phrase in CASES:
            with self.subTest(spoilt=what):
                found = pe_check.problems(spoil(DLL), ARCH)
                self.assertTrue(any(phrase in p for p in found), found)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(pe_check.MACHINES), required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("dll")
    args, rest = parser.parse_known_args()
    ARCH = args.arch
    with open(args.dll, "rb") as file:
        DLL = file.read()
    with open(args.host, "rb") as file:
        HOST = file.read()
    unittest.main(argv=[sys.argv[0]] + rest)
