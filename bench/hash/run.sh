#!/bin/sh
# SHA-256 and CRC-32 throughput on a 512 MiB file: bench_hash under Wine beside
# sha256sum and zlib's crc32 (a small native helper) in the same run.
set -eu
BIN=$1
WINE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
head -c $((512 * 1048576)) /dev/urandom >"$WORK/data.bin"
cc -O2 -o "$WORK/zlib_crc" "$(dirname "$0")/zlib_crc.c" -lz
ours=$("$WINE" "$BIN/bench_hash.exe" "Z:$(printf %s "$WORK/data.bin" | tr / '\\')" | tr -d '\r')
sha_ours=$(echo "$ours" | sed -n 's/^sha256_mb_s=//p')
crc_ours=$(echo "$ours" | sed -n 's/^crc32_mb_s=//p')
cat "$WORK/data.bin" >/dev/null
t0=$(date +%s.%N)
sha_peer=$(sha256sum "$WORK/data.bin" | cut -d' ' -f1)
t1=$(date +%s.%N)
zlib=$("$WORK/zlib_crc" "$WORK/data.bin")
[ "$sha_peer" = "$(echo "$ours" | sed -n 's/^sha256=//p')" ] || { echo "SHA-256 differs from sha256sum"; exit 1; }
[ "${zlib% *}" = "$(echo "$ours" | sed -n 's/^crc32=//p')" ] || { echo "CRC-32 differs from zlib"; exit 1; }
awk -v so="$sha_ours" -v co="$crc_ours" -v t0="$t0" -v t1="$t1" -v zp="${zlib#* }" 'BEGIN {
    sp = 512 * 1048576 / (t1 - t0) / 1e6
    printf "SHA-256: FileHasher %.1f MB/s, sha256sum %.1f MB/s (ratio %.2f)\n", so, sp, so / sp
    printf "CRC-32:  FileHasher %.1f MB/s, zlib crc32 %.1f MB/s (ratio %.2f)\n", co, zp, co / zp
}'
