#!/bin/sh
# Writing a cabinet of about 200 MiB of text-like files: ZelArchive under Wine
# beside Debian's gcab -c on the same files in the same run, with the size and
# the compression each side really produced (read from the folder headers).
set -eu
BIN=$1
WINE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in"
python3 "$(dirname "$0")/../common/text_files.py" "$WORK/in"
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
cat "$WORK"/in/* >/dev/null
ours=$("$WINE" "$BIN/bench_cabwrite.exe" "$(to_wine "$WORK/in")" "$(to_wine "$WORK/ours.cab")" | tr -d '\r')
t0=$(date +%s.%N)
(cd "$WORK/in" && gcab -c -z "$WORK/gcab.cab" part0.txt part1.txt part2.txt part3.txt)
t1=$(date +%s.%N)
cabextract -q -t "$WORK/ours.cab" >/dev/null || { echo "the cabinet written by ZelArchive does not test clean"; exit 1; }
compression() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(65536)
folders, flags = struct.unpack_from("<HxxH", data, 26)[0], struct.unpack_from("<H", data, 30)[0]
at = 36 + (4 + struct.unpack_from("<H", data, 36)[0] if flags & 4 else 0)
kinds = {struct.unpack_from("<H", data, at + 8 * i + 6)[0] & 0x0F for i in range(folders)}
print("+".join({0: "stored", 1: "MSZIP", 2: "Quantum", 3: "LZX"}.get(k, "?") for k in sorted(kinds)))
PY
}
awk -v o="$(echo "$ours" | sed -n 's/^mb_s=//p')" -v b="$(echo "$ours" | sed -n 's/^input_bytes=//p')" \
    -v t0="$t0" -v t1="$t1" -v so="$(stat -c %s "$WORK/ours.cab")" -v sg="$(stat -c %s "$WORK/gcab.cab")" \
    -v co="$(compression "$WORK/ours.cab")" -v cg="$(compression "$WORK/gcab.cab")" 'BEGIN {
    p = b / (t1 - t0) / 1e6
    printf "cabinet of %.0f MiB: ZelArchive %.1f MB/s (%s, %.1f MiB written), gcab -c -z %.1f MB/s (%s, %.1f MiB) (ratio %.2f)\n",
        b / 1048576, o, co, so / 1048576, p, cg, sg / 1048576, o / p
}'
