#!/bin/sh
# .NET assemblies compiled by mcs, and what monodis says about them:
# make_assemblies.sh SOURCEDIR OUTDIR
#   app/Program.exe  references Lib and Culture (beside it), Strong (strong-named,
#                    not beside it), Absent (nowhere) and mscorlib
#   strong/Strong.dll, absent/Absent.dll
#   debian/*.dll     the framework assemblies Debian's mono ships (as many as installed)
#   expected.txt     "name FILE|DISPLAY NAME" and "ref FILE|DISPLAY NAME" lines from monodis
set -eu
SRC=$1 OUT=$2
rm -rf "$OUT" && mkdir -p "$OUT/app" "$OUT/strong" "$OUT/absent" "$OUT/keys" "$OUT/debian"
for name in mscorlib System System.Xml System.Core System.Configuration Mono.Security; do
    [ -f "/usr/lib/mono/4.5/$name.dll" ] && cp "/usr/lib/mono/4.5/$name.dll" "$OUT/debian/"
done
openssl genrsa -out "$OUT/keys/strong.pem" 1024 2>/dev/null
python3 "$SRC/snk.py" "$OUT/keys/strong.pem" "$OUT/keys/strong.snk"
mcs -nologo -target:library -out:"$OUT/app/Lib.dll" "$SRC/Lib.cs"
mcs -nologo -target:library -out:"$OUT/app/Culture.dll" "$SRC/Culture.cs"
mcs -nologo -target:library -out:"$OUT/absent/Absent.dll" "$SRC/Absent.cs"
mcs -nologo -target:library -keyfile:"$OUT/keys/strong.snk" -out:"$OUT/strong/Strong.dll" "$SRC/Strong.cs"
mcs -nologo -nowarn:8009 -out:"$OUT/app/Program.exe" -r:"$OUT/app/Lib.dll" -r:"$OUT/app/Culture.dll" \
    -r:"$OUT/strong/Strong.dll" -r:"$OUT/absent/Absent.dll" "$SRC/Program.cs"
python3 "$SRC/monodis_facts.py" "$OUT" >"$OUT/expected.txt"
