#!/usr/bin/env python3
"""Computes the scheme-64 blobs of a few texts on its own: MD5 of the library's
key table, the 40-bit RC4 key that CryptDeriveKey makes of it (five hash bytes
and eleven zero bytes of salt), RC4, and the blob's digit text.
crypto_peer.py KEYS.H OUT: writes "utf16le-hex blob-hex" lines for the suite."""
import hashlib
import re
import sys

TEXTS = ["", "a", "abc", "Passw0rd!", "x" * 300, "\u00fc\u20ac\U0001F600 mixed", "q" * 4097]


def table(source, name):
    body = re.search(name + r"\[256\] = \{([^}]*)\}", source).group(1)
    return bytes(int(x, 16) for x in re.findall(r"0x[0-9a-fA-F]{2}", body))


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) % 256
        s[i], s[j] = s[j], s[i]
    out, i, j = bytearray(), 0, 0
    for byte in data:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        out.append(byte ^ s[(s[i] + s[j]) % 256])
    return bytes(out)


def main():
    source = open(sys.argv[1]).read()
    key = table(source, "kBlobKey")
    digits = re.search(r'kBlobDigits\[17\] = "([^"]{16})"', source).group(1).encode()
    rc4_key = hashlib.md5(key).digest()[:5] + bytes(11)
    with open(sys.argv[2], "w") as out:
        for text in TEXTS:
            plain = text.encode("utf-16-le")
            blob = bytearray()
            for c in rc4(rc4_key, plain):
                blob += bytes([digits[c & 0x0F], digits[c >> 4]])
            blob.append(64)
            out.write("%s %s\n" % (plain.hex() or "-", blob.hex()))


if __name__ == "__main__":
    main()
