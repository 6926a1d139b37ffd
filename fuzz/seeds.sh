#!/bin/sh
# The seed inputs of every fuzz target, made from what the build's own tests
# make: seeds.sh OUTDIR (one directory per target below it).
#   cab_tables       small cabinets by gcab and tests/archive/cabwriter.py (two
#                    folders, hostile names), and one attached to a program
#   pe_image         small Wine DLLs of both architectures, mcs assemblies
#   dotnet_metadata  the mcs assemblies of the image suite
#   condition        the conditions of the condition suites
#   the rest         texts and records written here
set -eu
OUT=$1
ROOT=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$OUT" && mkdir -p "$OUT"
for t in cab_tables pe_image dotnet_metadata condition product_version guid_text crypto_blob checksum_record \
         xml_text sid_text; do
    mkdir -p "$OUT/$t"
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Cabinets.
mkdir -p "$WORK/src/sub"
printf 'hello, cabinet\r\n' >"$WORK/src/a.txt"
printf 'nested' >"$WORK/src/sub/b.bin"
: >"$WORK/src/empty.dat"
(cd "$WORK/src" && gcab -c "$OUT/cab_tables/plain.cab" a.txt sub/b.bin empty.dat &&
    gcab -c -z "$OUT/cab_tables/mszip.cab" a.txt sub/b.bin)
W="python3 $ROOT/tests/archive/cabwriter.py"
(cd "$WORK/src" && $W "$OUT/cab_tables/folders.cab" "none:one/a.txt=a.txt@21" "mszip:two/b.bin=sub/b.bin@22" &&
    $W "$OUT/cab_tables/names.cab" 'none:ok.txt=a.txt,..\x.txt=a.txt,CON=a.txt,C:\y=a.txt')

# Programs and assemblies.
n=0
for dll in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.dll /usr/lib/i386-linux-gnu/wine/i386-windows/*.dll; do
    [ -f "$dll" ] && [ "$(stat -c %s "$dll")" -le 32768 ] || continue
    cp "$dll" "$OUT/pe_image/$(basename "$(dirname "$dll")")-$(basename "$dll")"
    n=$((n + 1))
    [ "$n" -ge 32 ] && break
done
for cs in Lib Culture Absent; do
    mcs -nologo -target:library -out:"$OUT/dotnet_metadata/$cs.dll" "$ROOT/tests/image/dotnet/$cs.cs"
done
printf 'class P { static void Main() { System.Console.WriteLine(LibThing.Answer()); } }\n' >"$WORK/P.cs"
mcs -nologo -out:"$OUT/dotnet_metadata/Program.exe" -r:"$OUT/dotnet_metadata/Lib.dll" "$WORK/P.cs"
cp "$OUT/dotnet_metadata/Lib.dll" "$OUT/dotnet_metadata/Program.exe" "$OUT/pe_image/"
first=$(ls "$OUT/pe_image" | head -n 1)
cat "$OUT/pe_image/$first" "$OUT/cab_tables/mszip.cab" >"$OUT/cab_tables/attached.exe"

# Conditions: every quoted text of the condition suites.
python3 - "$ROOT/tests/condition" "$OUT/condition" <<'PY'
import codecs, os, re, sys
found = set()
for name in os.listdir(sys.argv[1]):
    if name.endswith(".cpp"):
        text = open(os.path.join(sys.argv[1], name), encoding="utf-8").read()
        for literal in re.findall(r'L?"((?:[^"\\\n]|\\.)*)"', text):
            found.add(codecs.decode(literal.encode("latin-1", "replace"), "unicode_escape"))
for i, condition in enumerate(sorted(found)):
    with open(os.path.join(sys.argv[2], "c%04d" % i), "wb") as out:
        out.write(condition.encode("latin-1", "replace"))
PY

# Texts as UTF-16LE units, records, blobs.
python3 - "$OUT" <<'PY'
import os, struct, sys
out = sys.argv[1]
def put(target, name, data):
    with open(os.path.join(out, target, name), "wb") as f:
        f.write(data)
u16 = lambda text: text.encode("utf-16-le", "surrogatepass")
for i, text in enumerate(["1.2", "v10.20 beta", "build 99999999999.5", "7", ".5", "x1.y2"]):
    put("product_version", "v%d" % i, u16(text))
for i, text in enumerate(["{6B29FC40-CA47-1067-B31D-00DD010662DA}", "6b29fc40-ca47-1067-b31d-00dd010662da",
                          "{6B29FC40-CA47-1067-B31D-00DD010662D}", "{00000000-0000-0000-0000-000000000000}"]):
    put("guid_text", "g%d" % i, u16(text))
for i, text in enumerate(["S-1-5-32-544", "s-1-0x010003040506-7", "S-1-5-21-1-2-3-1001", "S-1-5", "S-1-1-0"]):
    put("sid_text", "s%d" % i, u16(text))
put("checksum_record", "v1", struct.pack("<III16xI16x", 0x3634, 48, 1, 0x12345678))
put("checksum_record", "v2", struct.pack("<III", 0x3634, 48, 2) + bytes(range(32)) + bytes(4))
put("crypto_blob", "blob", b"0123456789abcdef" * 4 + b"A")
protected = struct.pack("<I16sI16sI", 1, bytes(16), 1, bytes(16), 0) + struct.pack("<I", 4) + u16("x\0")
protected += struct.pack("<II", 0x6610, 256) + struct.pack("<I", 16) + bytes(16) + struct.pack("<I", 0)
protected += struct.pack("<II", 0x800e, 512) + struct.pack("<I", 0) + struct.pack("<I", 16) + bytes(16)
protected += struct.pack("<I", 64) + bytes(64)
put("crypto_blob", "protected", protected)
pieces = ["name", "a < b & c > d\r\n\"q\" 'a'", "tab\there\r", "]]>x]]\r", "--x-", "\ud800 \udc00 \ufffe \x01"]
put("xml_text", "pieces", b"\\".join(u16(p) for p in pieces))
put("xml_text", "names", b"\\".join(u16(p) for p in ["a:b", "_x.y-z", "\u00e9t\u00e9", "x"]))
PY
touch "$OUT/.complete"
