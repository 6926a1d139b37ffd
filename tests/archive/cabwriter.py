#!/usr/bin/env python3
"""Writes cabinets with what the cabinet tools at hand cannot make: several
folders, chosen attributes and arbitrary (also hostile) file names.

cabwriter.py OUT.cab FOLDER [FOLDER...]
  FOLDER is "none:" or "mszip:" followed by comma-separated entries
  NAME=SOURCE[@ATTRIBS], where NAME is stored exactly as given (latin-1 text,
  or UTF-8 with the name flag when it is not ASCII) and ATTRIBS is hex.
Dates are taken from the source files' modification times (local time).
"""
import os
import struct
import sys
import time
import zlib

BLOCK = 32768


def dos_date_time(path):
    t = time.localtime(os.stat(path).st_mtime)
    date = ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return date, clock


def blocks(data, method):
    out = []
    for start in range(0, max(len(data), 1), BLOCK):
        chunk = data[start:start + BLOCK]
        if method == "mszip":
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            packed = b"CK" + packer.compress(chunk) + packer.flush()
        else:
            packed = chunk
        out.append(struct.pack("<IHH", 0, len(packed), len(chunk)) + packed)
    return out


def main():
    target, folder_args = sys.argv[1], sys.argv[2:]
    folders, files = [], []
    for index, arg in enumerate(folder_args):
        method, entries = arg.split(":", 1)
        data = b""
        for entry in entries.split(","):
            name, rest = entry.split("=", 1)
            source, _, attribs = rest.partition("@")
            attribs = int(attribs, 16) if attribs else 0x20
            raw_name = name.encode("utf-8")
            if any(b > 127 for b in raw_name):
                attribs |= 0x80
            content = open(source, "rb").read()
            date, clock = dos_date_time(source)
            files.append((len(content), len(data), index, date, clock, attribs, raw_name))
            data += content
        folders.append((method, blocks(data, method)))

    header_size = 36
    folders_size = 8 * len(folders)
    files_size = sum(16 + len(f[6]) + 1 for f in files)
    data_start = header_size + folders_size + files_size
    folder_records, data_records = b"", b""
    for method, data_blocks in folders:
        compression = 1 if method == "mszip" else 0
        folder_records += struct.pack("<IHH", data_start + len(data_records), len(data_blocks), compression)
        data_records += b"".join(data_blocks)
    file_records = b"".join(struct.pack("<IIHHHH", *f[:6]) + f[6] + b"\0" for f in files)
    total = data_start + len(data_records)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, header_size + folders_size, 0,
                         3, 1, len(folders), len(files), 0, 0x1234, 0)
    with open(target, "wb") as out:
        out.write(header + folder_records + file_records + data_records)


if __name__ == "__main__":
    main()
