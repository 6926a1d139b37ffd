#!/bin/sh
# A cabinet written by the suite, read back by cabextract and gcab:
# writer_peers.sh WINE SUITE.EXE WORKDIR
set -eu
WINE=$1 SUITE=$2 WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK/src"
trap 'rm -rf "$WORK"' EXIT
python3 - "$WORK/src" <<'PY'
import os, random, sys
root = sys.argv[1]
r = random.Random(11)
def write(name, data):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(data)
for i in range(3000):  # more than the C runtime's 2,048 descriptors
    write("many/d%02d/f%04d.txt" % (i % 20, i), ("file %d\n" % i).encode() * (i % 7))
write("empty.dat", b"")
write("deep/a/b/c/d/e/leaf.txt", b"deep")
write("caf\u00e9 \u00e0 la cr\u00e8me/\u4e2d\u6587 name.txt", "accents, CJK and blanks".encode())
write("a name with spaces.txt", b"spaces")
write("big/large.bin", bytes(r.getrandbits(8) for _ in range(1 << 16)) * 1040)  # 65 MiB
PY
touch -d "1970-01-01 12:00" "$WORK/src/empty.dat"  # before the earliest date a cabinet holds
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
QKZ_WRITER_SOURCE=$(to_wine "$WORK/src") QKZ_WRITER_CAB=$(to_wine "$WORK/out.cab") \
    "$WINE" "$SUITE" --gtest_filter='CabWriterPeers.*' --gtest_color=no
cabextract -q -t "$WORK/out.cab" >/dev/null
mkdir "$WORK/cabextract" "$WORK/gcab"
cabextract -q -d "$WORK/cabextract" "$WORK/out.cab"
(cd "$WORK/gcab" && gcab -x "$WORK/out.cab")
diff -r "$WORK/src" "$WORK/cabextract"
diff -r "$WORK/src" "$WORK/gcab"
(cd "$WORK/src" && find . -type f | sed 's|^\./||' | sort) >"$WORK/names.src"
cabextract -l "$WORK/out.cab" | sed -n 's/^ *[0-9]* | [^|]* | //p' | sort >"$WORK/names.cabextract"
gcab -l "$WORK/out.cab" | sed 's/ [0-9]* [0-9-]* [0-9:]* 0x[0-9A-F]*$//' | tr '\\' / | sort >"$WORK/names.gcab"
cmp "$WORK/names.src" "$WORK/names.cabextract"
cmp "$WORK/names.src" "$WORK/names.gcab"
cabextract -l "$WORK/out.cab" | grep -q "01.01.1980 .* | empty.dat" || { echo "empty.dat not dated 1980-01-01" >&2; exit 1; }
echo "cabextract and gcab read $(wc -l <"$WORK/names.src") files back identically"
