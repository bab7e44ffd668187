#!/usr/bin/env python3
"""Checks the shape of a built Morlune.dll without running it.

    pe_check.py --arch i386|x86_64 [--host linked.exe] Morlune.dll

The 32-bit DLL cannot run on this machine, so what a host binds to is read
from the file itself: a DLL image for the machine, the export directory (the
eleven names at their ordinals, undecorated), the DLLs it imports, and the
version resource; and, given a host program linked with the import library,
that the host binds the eleven plain names. Exit status 0 when all holds;
each problem is printed.
"""
import argparse
import struct
import sys

EXPORTS = [
    ("IPComm", 1), ("IPGetData", 2), ("IPSearch", 3), ("IPSendData", 4),
    ("IPSetIPAddr", 5), ("IPget", 6), ("IPsend", 7), ("IPsendBlack", 8),
    ("iPonNet", 9), ("ipCloseDevice", 10), ("ipConnectDevice", 11),
]
IMPORTS = {"kernel32.dll", "wsock32.dll", "msvcrt.dll"}
VERSION = (1, 0, 1, 6)
MACHINES = {"i386": (0x014C, 0x010B), "x86_64": (0x8664, 0x020B)}  # machine, optional magic

IMAGE_FILE_DLL = 0x2000
VFT_DLL = 2
VOS__WINDOWS32 = 4
RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class Image:
    """Just enough of a PE reader: headers, sections, RVA lookups."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = self.pe + 4
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        self.optional = coff + 20
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        directories = self.optional + (96 if self.magic == 0x010B else 112)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        table = self.optional + optional_size
        self.sections = []
        for i in range(sections):
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")


def exports(image):
    rva, _ = image.directory(0)
    if rva == 0:
        return None, [], 0
    (name, base, functions, names, functions_at, names_at,
     ordinals_at) = struct.unpack_from("<IIIIIII", image.data, image.offset(rva) + 12)
    table = [(image.text(image.u32(names_at + 4 * i)), base + image.u16(ordinals_at + 2 * i))
             for i in range(names)]
    return image.text(name), table, functions


def import_descriptors(image):
    rva, _ = image.directory(1)
    while rva:
        lookup, _, _, name, thunks = struct.unpack_from("<IIIII", image.data, image.offset(rva))
        if name == 0 and thunks == 0:
            break
        yield image.text(name), lookup or thunks
        rva += 20


def imports(image):
    return [name for name, _ in import_descriptors(image)]


def imported_names(image, dll):
    """What the image imports from dll: names, or ordinals as '#N'."""
    wide = image.magic == 0x020B
    entry, by_ordinal = (8, 1 << 63) if wide else (4, 1 << 31)
    found = []
    for name, lookup in import_descriptors(image):
        if name.lower() != dll.lower():
            continue
        while True:
            value = struct.unpack_from("<Q" if wide else "<I", image.data,
                                       image.offset(lookup))[0]
            if value == 0:
                break
            found.append(f"#{value & 0xFFFF}" if value & by_ordinal
                         else image.text((value & 0x7FFFFFFF) + 2))
            lookup += entry
    return found


def resource_entries(image, root, directory):
    named, numbered = struct.unpack_from("<HH", image.data, image.offset(root + directory) + 12)
    first = root + directory + 16
    for i in range(named + numbered):
        ident, target = struct.unpack_from("<II", image.data, image.offset(first + 8 * i))
        yield ident, target


def version_block(image):
    root, _ = image.directory(2)
    if root == 0:
        return None
    for ident, target in resource_entries(image, root, 0):
        if ident != RT_VERSION or not target & 0x80000000:
            continue
        for _, name_target in resource_entries(image, root, target & 0x7FFFFFFF):
            level = name_target
            while level & 0x80000000:  # down to the first language's data entry
                level = next(resource_entries(image, root, level & 0x7FFFFFFF))[1]
            data_rva, size = struct.unpack_from("<II", image.data, image.offset(root + level))
            start = image.offset(data_rva)
            return image.data[start:start + size]
    return None


def fixed_file_info(block):
    """(file version, product version, file OS, file type) of a VS_VERSIONINFO."""
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    if block[6:6 + len(key)] != key:
        return None
    at = (6 + len(key) + 3) & ~3
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, file_os,
     file_type) = struct.unpack_from("<10I", block, at)
    if signature != FIXED_SIGNATURE:
        return None

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return split(file_ms, file_ls), split(product_ms, product_ls), file_os, file_type


def problems(data, arch):
    """Every way in which the image differs from the shipped shape."""
    found = []
    try:
        image = Image(data)
    except (ValueError, struct.error) as error:
        return [f"not a PE image: {error}"]

    machine, magic = MACHINES[arch]
    if image.machine != machine:
        found.append(f"machine {image.machine:#06x}, expected {machine:#06x} ({arch})")
    if image.magic != magic:
        found.append(f"optional header magic {image.magic:#06x}, expected {magic:#06x}")
    if not image.characteristics & IMAGE_FILE_DLL:
        found.append("not marked as a DLL")

    try:
        name, table, functions = exports(image)
        if name != "Morlune.dll":
            found.append(f"export directory names the module {name!r}")
        if table != EXPORTS:
            found.append(f"exports {table}, expected {EXPORTS}")
        if functions != len(EXPORTS):
            found.append(f"{functions} entries in the export address table, expected 11")
        decorated = [n for n, _ in table if n.startswith("_") or "@" in n]
        if decorated:
            found.append(f"decorated export names {decorated}")
    except (ValueError, struct.error) as error:
        found.append(f"unreadable export directory: {error}")

    try:
        dlls = imports(image)
        if {d.lower() for d in dlls} != IMPORTS or len(dlls) != len(IMPORTS):
            found.append(f"imports {dlls}, expected KERNEL32.dll, WSOCK32.dll, msvcrt.dll")
    except (ValueError, struct.error) as error:
        found.append(f"unreadable import directory: {error}")

    try:
        block = version_block(image)
        info = fixed_file_info(block) if block else None
        if info is None:
            found.append("no version resource")
        else:
            file_version, product_version, file_os, file_type = info
            if file_version != VERSION:
                found.append(f"file version {file_version}, expected {VERSION}")
            if product_version != VERSION:
                found.append(f"product version {product_version}, expected {VERSION}")
            if file_type != VFT_DLL:
                found.append(f"file type {file_type}, expected a DLL ({VFT_DLL})")
            if file_os != VOS__WINDOWS32:
                found.append(f"file OS {file_os:#x}, expected 32-bit Windows ({VOS__WINDOWS32})")
    except (ValueError, struct.error, StopIteration) as error:
        found.append(f"unreadable resources: {error}")
    return found


def host_problems(data):
    """A host linked with the import library must bind the plain names."""
    try:
        names = sorted(imported_names(Image(data), "Morlune.dll"))
    except (ValueError, struct.error) as error:
        return [f"unreadable host image: {error}"]
    expected = sorted(name for name, _ in EXPORTS)
    return [] if names == expected else [f"host imports {names} from Morlune.dll"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--host", help="a host linked with the import library, to check too")
    parser.add_argument("dll")
    args = parser.parse_args()
    with open(args.dll, "rb") as file:
        found = problems(file.read(), args.arch)
    if args.host:
        with open(args.host, "rb") as file:
            found += host_problems(file.read())
    for problem in found:
        print("FAILED:", problem)
    print(f"{args.dll}: " + ("as shipped" if not found else f"{len(found)} problems"))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
