#!/usr/bin/env python3
"""Writes four files of 50 MiB of text-like data (random words, MSZIP packs it
to about half) into DIR, the same bytes every time: text_files.py DIR"""
import random
import sys

r = random.Random(1)
words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9))) for _ in range(5000)]
for i in range(4):
    out = bytearray()
    while len(out) < 50 * 1048576:
        out += b" ".join(r.choice(words) for _ in range(4096)) + b"\n"
    open("%s/part%d.txt" % (sys.argv[1], i), "wb").write(out[:50 * 1048576])
