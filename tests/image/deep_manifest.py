#!/usr/bin/env python3
"""Writes a manifest whose elements nest DEPTH levels: deep_manifest.py OUT DEPTH"""
import sys

out, depth = sys.argv[1], int(sys.argv[2])
with open(out, "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
            + "<x>" * depth + "</x>" * depth + "</assembly>\n")
