#!/usr/bin/env python3
"""Reads the writer's random-text documents with Python's own XML parser and
checks that every short text came back as written (characters XML cannot carry
as U+FFFD): read_back.py DIR. The texts are in DIR/random-texts.expected,
UTF-16LE records "KIND DOC LENGTH TEXT", LENGTH counting the text's units."""
import os
import sys
import xml.etree.ElementTree as ET


def carried(units):
    """The text as XML carries it: every character XML cannot hold is U+FFFD."""
    out, i = [], 0
    while i < len(units):
        c = units[i]
        if 0xD800 <= c <= 0xDBFF and i + 1 < len(units) and 0xDC00 <= units[i + 1] <= 0xDFFF:
            out.append(chr(0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00)))
            i += 2
            continue
        ok = c in (9, 10, 13) or (c >= 0x20 and not 0xD800 <= c <= 0xDFFF and c not in (0xFFFE, 0xFFFF))
        out.append(chr(c) if ok else "\ufffd")
        i += 1
    return "".join(out)


def main():
    folder = sys.argv[1]
    raw = open(os.path.join(folder, "random-texts.expected"), "rb").read()
    units = [raw[i] | raw[i + 1] << 8 for i in range(0, len(raw), 2)]
    documents, checked, at = {}, 0, 0
    while at < len(units):
        fields = []
        for _ in range(3):
            end = units.index(0x20, at)
            fields.append("".join(chr(u) for u in units[at:end]))
            at = end + 1
        kind, doc, length = fields[0], int(fields[1]), int(fields[2])
        documents.setdefault(doc, []).append((kind, units[at:at + length]))
        at += length
    for doc, entries in documents.items():
        root = ET.parse(os.path.join(folder, "random-%d.xml" % doc)).getroot()
        children = list(root)
        assert len(children) == len(entries), (doc, len(children), len(entries))
        for element, (kind, text) in zip(children, entries):
            assert element.tag == kind, (doc, element.tag, kind)
            expected = carried(text)
            short = len(text) <= 260 and 10 not in text
            if kind == "a":
                got = element.get("v")
            elif kind in ("t", "c") and short:
                got = element.text or ""
            else:
                continue
            if got != expected:
                sys.exit("random-%d.xml, <%s>: read back %r, written %r" % (doc, kind, got, expected))
            checked += 1
    print("%d texts read back as written from %d documents" % (checked, len(documents)))


if __name__ == "__main__":
    main()
