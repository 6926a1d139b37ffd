#!/bin/sh
# MSZIP extraction of a 200 MiB cabinet and of a cabinet of 10,000 small
# files, both made by gcab: ZelCabExtractor under Wine beside Debian's
# cabextract on the same cabinets in the same run.
set -eu
BIN=$1
WINE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in"
python3 "$(dirname "$0")/../common/text_files.py" "$WORK/in"
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

# Many small files: the per-file cost.
mkdir -p "$WORK/small"
python3 -c 'import sys
for i in range(10000):
    open("%s/s%05d.txt" % (sys.argv[1], i), "w").write("small file %d\n" % i)' "$WORK/small"
(cd "$WORK/small" && gcab -c -z "$WORK/small.cab" *.txt)
ours=$("$WINE" "$BIN/bench_cab.exe" "$(to_wine "$WORK/small.cab")" "$(to_wine "$WORK/ours-small")" | tr -d '\r')
t0=$(date +%s.%N)
cabextract -q -d "$WORK/peer-small" "$WORK/small.cab"
t1=$(date +%s.%N)
diff -r "$WORK/ours-small" "$WORK/peer-small" >/dev/null || { echo "ZelCabExtractor and cabextract differ on the small files"; exit 1; }
# The floor Wine sets: creating as many files in one directory with bare CreateFileW.
floor=$("$WINE" "$BIN/bench_cab.exe" --create "$(to_wine "$WORK/floor")" 10000 | tr -d '\r')
awk -v o="$(echo "$ours" | sed -n 's/^files_s=//p')" -v f="${floor#files_s=}" -v t0="$t0" -v t1="$t1" 'BEGIN {
    p = 10000 / (t1 - t0)
    printf "10,000 small files: ZelCabExtractor %.0f files/s, cabextract %.0f files/s (ratio %.2f);\n", o, p, o / p
    printf "  bare CreateFileW of 10,000 files under Wine %.0f files/s (ZelCabExtractor at %.2f of it)\n", f, o / f
}'
