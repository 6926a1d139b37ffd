#!/bin/sh
# Makes test files (0, 1, 4095, 4096, 1 MiB + 7 bytes, sparse files over 1 GiB and
# over 4 GiB), measures them with sha256sum and zlib's crc32, and lets the suite
# compare its own figures: peers.sh WINE SUITE.EXE WORKDIR
set -eu
WINE=$1
SUITE=$2
WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
head -c 0 /dev/urandom >"$WORK/f0"
head -c 1 /dev/urandom >"$WORK/f1"
head -c 4095 /dev/urandom >"$WORK/f4095"
head -c 4096 /dev/urandom >"$WORK/f4096"
head -c $((1048576 + 7)) /dev/urandom >"$WORK/f1m7"
for sparse in "sparse1g $((1024 * 1048576 + 12345))" "sparse4g $((4096 * 1048576 + 4097))"; do
    set -- $sparse
    truncate -s "$2" "$WORK/$1"
    for at in 0 1000000000 $(( $2 - 100 )); do
        [ "$at" -lt "$2" ] && head -c 64 /dev/urandom | dd of="$WORK/$1" bs=1 seek="$at" conv=notrunc status=none
    done
done
list="$WORK/list.txt"
for f in f0 f1 f4095 f4096 f1m7 sparse1g sparse4g; do
    sha=$(sha256sum "$WORK/$f" | cut -d' ' -f1)
    crc=$(python3 -c 'import sys, zlib
c = 0
with open(sys.argv[1], "rb") as f:
    while True:
        b = f.read(1 << 22)
        if not b: break
        c = zlib.crc32(b, c)
print(c)' "$WORK/$f")
    printf 'Z:%s %s %s\n' "$(printf %s "$WORK/$f" | tr / '\\')" "$sha" "$crc" >>"$list"
done
# zlib's CRC-32 of every piece of one buffer: starts 0-15, lengths 0-4096.
head -c $((4096 + 15)) /dev/urandom >"$WORK/pieces.bin"
python3 -c 'import sys, zlib
data = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "w") as out:
    for start in range(16):
        out.write(" ".join(str(zlib.crc32(data[start:start + n])) for n in range(4097)) + "\n")' \
    "$WORK/pieces.bin" "$WORK/pieces.txt"
QKZ_PEER_PIECES="Z:$(printf %s "$WORK/pieces" | tr / '\\')" \
QKZ_PEER_LIST="Z:$(printf %s "$list" | tr / '\\')" "$WINE" "$SUITE" --gtest_filter='FileHasherPeers.*' --gtest_color=no
