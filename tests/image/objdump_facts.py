#!/usr/bin/env python3
"""Writes what MinGW objdump says about PE images, for the image suite to
compare with its own reading: objdump_facts.py OUTPUT IMAGE...

Each image becomes a block of lines:
    IMAGE <Windows path>
    MACHINE <hex>
    IMAGESIZE <decimal>       end of the last section table entry's raw data
    EXPORT <name or ordinal>
    IMPORT <module>|<name or ordinal>
    END
"""
import re
import subprocess
import sys

OBJDUMP = {"pei-x86-64": "x86_64-w64-mingw32-objdump", "pei-i386": "i686-w64-mingw32-objdump"}
MACHINE = {"pei-x86-64": "8664", "pei-i386": "14c"}


def file_format(path):
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-f", path], capture_output=True, text=True).stdout
    return re.search(r"file format (\S+)", out).group(1)


def image_size(objdump, path, private):
    # -h shows each section's virtual size; its raw size is that rounded up to
    # the file alignment, and 0 for sections without contents.
    alignment = int(re.search(r"^FileAlignment\s+([0-9a-fA-F]+)", private, re.M).group(1), 16)
    out = subprocess.run([objdump, "-h", "-w", path], capture_output=True, text=True).stdout
    rows = [l.split() for l in out.splitlines() if re.match(r"^\s*\d+\s+\S+\s+[0-9a-f]{8}\s", l)]
    last = rows[-1]
    size, offset = int(last[2], 16), int(last[5], 16)
    if "CONTENTS" not in " ".join(last[7:]):
        return offset
    return offset + (size + alignment - 1) // alignment * alignment


def exports(private):
    names = set()
    section = None
    for line in private.splitlines():
        if line.startswith("Export Address Table -- Ordinal Base"):
            section = "eat"
        elif line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
        elif not line.strip():
            section = None
        elif section == "eat":
            m = re.search(r"\+base\[\s*(\d+)\]", line)
            if m:
                names.add(m.group(1))
        elif section == "names":
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if m:
                names.add(m.group(1))
    return names


def imports(private):
    found = []
    module = None
    in_imports = False
    for line in private.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
        elif in_imports and re.match(r"^(The |There is |PE File )", line) and "Import" not in line:
            in_imports = False
        if not in_imports:
            continue
        m = re.match(r"\s*DLL Name: (.+)$", line)
        if m:
            module = m.group(1).strip()
            found.append((module, None))
            continue
        m = re.match(r"^\t([0-9a-fA-F]+)\t\s*(\S+)\s+(\S+)", line)
        if module and m:
            thunk, member = int(m.group(1), 16), m.group(3)
            if member == "<none>":
                found.append((module, str(thunk & 0xFFFF)))
            else:
                found.append((module, member))
    return found


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    output, images = sys.argv[1], sys.argv[2:]
    with open(output, "w", encoding="utf-8") as out:
        for path in images:
            fmt = file_format(path)
            objdump = OBJDUMP[fmt]
            private = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
            out.write("IMAGE %s\nMACHINE %s\nIMAGESIZE %d\n" % (windows_path(path), MACHINE[fmt],
                                                                image_size(objdump, path, private)))
            for name in sorted(exports(private)):
                out.write("EXPORT %s\n" % name)
            for module, name in imports(private):
                out.write("IMPORT %s|%s\n" % (module, name or ""))
            out.write("END\n")


if __name__ == "__main__":
    main()
