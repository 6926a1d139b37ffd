#!/bin/sh
# MSZIP extraction of a 200 MiB cabinet made by gcab: ZelCabExtractor under
# Wine beside Debian's cabextract on the same cabinet in the same run.
set -eu
BIN=$1
WINE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in"
# Text-like data that MSZIP packs to about a third, in four files.
python3 - "$WORK/in" <<'PY'
import random, sys
r = random.Random(1)
words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9))) for _ in range(5000)]
for i in range(4):
    out = bytearray()
    while len(out) < 50 * 1048576:
        out += b" ".join(r.choice(words) for _ in range(4096)) + b"\n"
    open("%s/part%d.txt" % (sys.argv[1], i), "wb").write(out[:50 * 1048576])
PY
(cd "$WORK/in" && gcab -c -z "$WORK/bench.cab" part0.txt part1.txt part2.txt part3.txt)
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
ours=$("$WINE" "$BIN/bench_cab.exe" "$(to_wine "$WORK/bench.cab")" "$(to_wine "$WORK/ours")" | tr -d '\r')
cat "$WORK/bench.cab" >/dev/null
t0=$(date +%s.%N)
cabextract -q -d "$WORK/peer" "$WORK/bench.cab"
t1=$(date +%s.%N)
for f in part0.txt part1.txt part2.txt part3.txt; do
    cmp -s "$WORK/ours/$f" "$WORK/peer/$f" || { echo "ZelCabExtractor and cabextract differ on $f"; exit 1; }
done
awk -v o="$(echo "$ours" | sed -n 's/^mb_s=//p')" -v b="$(echo "$ours" | sed -n 's/^unpacked_bytes=//p')" \
    -v c="$(stat -c %s "$WORK/bench.cab")" -v t0="$t0" -v t1="$t1" 'BEGIN {
    p = b / (t1 - t0) / 1e6
    printf "MSZIP cab, %.0f MiB unpacked from %.0f MiB: ZelCabExtractor %.1f MB/s, cabextract %.1f MB/s (ratio %.2f)\n",
        b / 1048576, c / 1048576, o, p, o / p
}'
