# A strong-name key file (a CryptoAPI PRIVATEKEYBLOB) from an RSA key made by openssl:
# snk.py KEY.pem OUT.snk
import re, subprocess, struct, sys
pem, out = sys.argv[1], sys.argv[2]
text = subprocess.run(["openssl", "rsa", "-in", pem, "-text", "-noout"], capture_output=True, text=True, check=True).stdout
def field(name):
    m = re.search(name + r":\s*\n((?:\s+[0-9a-f:]+\n)+)", text)
    return int(re.sub(r"[\s:]", "", m.group(1)), 16)
n, d, p, q = field("modulus"), field("privateExponent"), field("prime1"), field("prime2")
dp, dq, qi = field("exponent1"), field("exponent2"), field("coefficient")
e = int(re.search(r"publicExponent: (\d+)", text).group(1))
bits = n.bit_length()
le = lambda v, size: v.to_bytes(size, "little")
blob = struct.pack("<BBHI", 7, 2, 0, 0x2400) + struct.pack("<4sII", b"RSA2", bits, e)
blob += le(n, bits // 8) + le(p, bits // 16) + le(q, bits // 16) + le(dp, bits // 16) + le(dq, bits // 16)
blob += le(qi, bits // 16) + le(d, bits // 8)
open(out, "wb").write(blob)
