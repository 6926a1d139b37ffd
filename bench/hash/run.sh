#!/bin/sh
# SHA-256 and CRC-32 throughput on a 512 MiB file: bench_hash under Wine beside
# sha256sum, zlib's crc32 (a small native helper) and the system provider's own
# in-memory speed, all in the same run.
set -eu
BIN=$1
WINE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
head -c $((512 * 1048576)) /dev/urandom >"$WORK/data.bin"
cc -O2 -o "$WORK/zlib_crc" "$(dirname "$0")/zlib_crc.c" -lz
ours=$("$WINE" "$BIN/bench_hash.exe" "Z:$(printf %s "$WORK/data.bin" | tr / '\\')" | tr -d '\r')
value() { echo "$ours" | sed -n "s/^$1=//p"; }
cat "$WORK/data.bin" >/dev/null
t0=$(date +%s.%N)
sha_peer=$(sha256sum "$WORK/data.bin" | cut -d' ' -f1)
t1=$(date +%s.%N)
# The peers' best of three runs too.
best() { for run in 1 2 3; do "$@"; done | sort -k2 -g | tail -1; }
zlib=$(best "$WORK/zlib_crc" "$WORK/data.bin")
zlib_memory=$(best "$WORK/zlib_crc" --memory 512)
[ "$sha_peer" = "$(value sha256)" ] || { echo "SHA-256 differs from sha256sum"; exit 1; }
[ "${zlib% *}" = "$(value crc32)" ] || { echo "CRC-32 differs from zlib"; exit 1; }
[ "${zlib_memory% *}" = "$(value crc32_in_memory)" ] || { echo "CRC-32 in memory differs from zlib"; exit 1; }
echo "CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
     "PCLMULQDQ: $(grep -q -w pclmulqdq /proc/cpuinfo && echo yes || echo no)"
awk -v so="$(value sha256_mb_s)" -v sv="$(value sha256_provider_mb_s)" -v co="$(value crc32_mb_s)" \
    -v cm="$(value crc32_in_memory_mb_s)" -v t0="$t0" -v t1="$t1" -v zp="${zlib#* }" -v zm="${zlib_memory#* }" 'BEGIN {
    sp = 512 * 1048576 / (t1 - t0) / 1e6
    printf "SHA-256 file:      FileHasher %.1f MB/s, provider in memory %.1f MB/s (ratio %.2f), sha256sum %.1f MB/s (ratio %.2f)\n", so, sv, so / sv, sp, so / sp
    printf "CRC-32 in memory:  crc32 %.1f MB/s, zlib crc32 %.1f MB/s (ratio %.2f)\n", cm, zm, cm / zm
    printf "CRC-32 file:       FileHasher %.1f MB/s, zlib crc32 %.1f MB/s (ratio %.2f)\n", co, zp, co / zp
}'
