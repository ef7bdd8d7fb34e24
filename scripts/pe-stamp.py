#!/usr/bin/env python3
"""Sets the time stamps of a PE file to the commit time of the sources.

    pe-stamp.py FILE SOURCE_DIR

The linker runs with --no-insert-timestamp; this writes, in place of its
zeros, the commit time of SOURCE_DIR's HEAD (or SOURCE_DATE_EPOCH when that
is set, or 0 outside git) into the COFF header and the export directory, and
brings the optional header's checksum up to date when the linker set one. Two
builds of one commit then give the same bytes wherever they were made.
"""
import os
import struct
import subprocess
import sys


def commit_time(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True, text=True)
        return int(out.stdout.strip())
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 0


def pe_checksum(data, checksum_offset):
    total = 0
    size = len(data)
    padded = data + b"\0" * (size % 2)
    for i in range(0, len(padded), 2):
        if i == checksum_offset or i == checksum_offset + 2:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + size) & 0xFFFFFFFF


def stamp(path, when):
    data = bytearray(open(path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("pe-stamp: %s is no PE file" % path)
    coff = pe + 4
    struct.pack_into("<I", data, coff + 4, when)
    sections = struct.unpack_from("<H", data, coff + 2)[0]
    optional_size = struct.unpack_from("<H", data, coff + 16)[0]
    optional = coff + 20
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    checksum_offset = optional + 64

    # The export directory's own stamp, found through the section table.
    export_rva = struct.unpack_from("<I", data, directories)[0]
    table = optional + optional_size
    for i in range(sections):
        entry = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
        if export_rva and virtual_address <= export_rva < virtual_address + max(virtual_size, raw_size):
            struct.pack_into("<I", data, raw_pointer + (export_rva - virtual_address) + 4, when)

    if struct.unpack_from("<I", data, checksum_offset)[0] != 0:
        struct.pack_into("<I", data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    open(path, "wb").write(data)


if __name__ == "__main__":
    stamp(sys.argv[1], commit_time(sys.argv[2]))
