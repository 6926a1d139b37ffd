#!/usr/bin/env python3
"""Computes blobs on its own: scheme 64 of a few texts (MD5 of the library's key
table, the 40-bit RC4 key that CryptDeriveKey makes of it: five hash bytes and
eleven zero bytes of salt, RC4) and scheme 65 of byte strings of lengths where
the key index wraps, each as the blob's digit text.
crypto_peer.py KEYS.H OUT: writes "scheme plain-hex blob-hex" lines for the suite."""
import hashlib
import re
import sys

TEXTS = ["", "a", "abc", "Passw0rd!", "x" * 300, "\u00fc\u20ac\U0001F600 mixed", "q" * 4097]
LENGTHS = [1, 2, 3, 16, 17, 255, 256, 300, 301, 4097]


def xor_scheme(key, data):
    n = len(data)
    k = key[n % 256] if n % 2 else n % 16
    return bytes(b ^ key[((i % 256) * k) % 256] for i, b in enumerate(data))


def blob_text(digits, cipher, scheme):
    blob = bytearray()
    for c in cipher:
        blob += bytes([digits[c & 0x0F], digits[c >> 4]])
    blob.append(scheme)
    return blob


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
            out.write("64 %s %s\n" % (plain.hex() or "-", blob_text(digits, rc4(rc4_key, plain), 64).hex()))
        for n in LENGTHS:
            plain = bytes((i * 7 + 3) % 256 for i in range(n))
            out.write("65 %s %s\n" % (plain.hex(), blob_text(digits, xor_scheme(key, plain), 65).hex()))


if __name__ == "__main__":
    main()
