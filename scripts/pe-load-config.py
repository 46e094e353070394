#!/usr/bin/env python3
"""Points a 64-bit PE program's load-configuration directory at the program's
_load_config_used, and checks that it holds DependentLoadFlags.

GNU ld 2.40 leaves that directory empty even when the program defines the
symbol, and then the loader never reads the flags that keep it from taking
the program's static imports from the program's own folder.

  pe-load-config.py PROGRAM.exe LINK.map   set the directory, from the link map
  pe-load-config.py --check PROGRAM.exe    check the directory and the flags
"""
import re
import struct
import sys

USAGE = "usage: pe-load-config.py PROGRAM.exe LINK.map | --check PROGRAM.exe"
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
LOAD_CONFIG = 10  # the data directory's index
FLAGS_OFFSET = 0x4E  # DependentLoadFlags inside IMAGE_LOAD_CONFIG_DIRECTORY64


class Pe:
    def __init__(self, data):
        self.data = data
        nt = struct.unpack_from("<I", data, 0x3C)[0]
        if data[nt:nt + 4] != b"PE\0\0":
            raise SystemExit("not a PE file")
        sections, opt_size = struct.unpack_from("<H12xH", data, nt + 6)
        self.opt = nt + 24
        if struct.unpack_from("<H", data, self.opt)[0] != 0x20B:
            raise SystemExit("not a 64-bit program")
        self.image_base = struct.unpack_from("<Q", data, self.opt + 24)[0]
        self.directory = self.opt + 112 + 8 * LOAD_CONFIG
        table = self.opt + opt_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise SystemExit(f"RVA {rva:#x} lies in no section")

    def load_config(self):
        return struct.unpack_from("<II", self.data, self.directory)

    def flags(self, rva):
        at = self.offset(rva)
        size = struct.unpack_from("<I", self.data, at)[0]
        return size, struct.unpack_from("<H", self.data, at + FLAGS_OFFSET)[0]

    def update_checksum(self):
        field = self.opt + 64
        self.data[field:field + 4] = b"\0\0\0\0"
        data = bytes(self.data) + b"\0" * (len(self.data) % 2)
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", self.data, field, total + len(self.data))


def check(pe, name):
    rva, size = pe.load_config()
    if rva == 0 or size == 0:
        raise SystemExit(f"{name}: no load configuration directory")
    struct_size, flags = pe.flags(rva)
    if struct_size < FLAGS_OFFSET + 2 or not flags & LOAD_LIBRARY_SEARCH_SYSTEM32:
        raise SystemExit(f"{name}: DependentLoadFlags {flags:#x} lacks LOAD_LIBRARY_SEARCH_SYSTEM32")
    print(f"{name}: load configuration at {rva:#x} ({size} bytes), DependentLoadFlags {flags:#x}")


def main(argv):
    if len(argv) == 2 and argv[0] == "--check":
        with open(argv[1], "rb") as f:
            check(Pe(bytearray(f.read())), argv[1])
        return
    if len(argv) != 2:
        raise SystemExit(USAGE)
    exe, link_map = argv
    with open(link_map) as f:
        found = re.search(r"^\s+0x([0-9a-f]+)\s+_load_config_used$", f.read(), re.M)
    if not found:
        raise SystemExit(f"{link_map}: the program defines no _load_config_used")
    with open(exe, "rb") as f:
        pe = Pe(bytearray(f.read()))
    rva = int(found.group(1), 16) - pe.image_base
    struct_size, _ = pe.flags(rva)
    struct.pack_into("<II", pe.data, pe.directory, rva, struct_size)
    pe.update_checksum()
    check(pe, exe)
    with open(exe, "wb") as f:
        f.write(pe.data)


if __name__ == "__main__":
    main(sys.argv[1:])
