#!/bin/sh
# Makes the suite's cabinets: make_cabs.sh OUTDIR
#   src/                      the files packed, with fixed modification times
#   plain.cab, mszip.cab      made by gcab (uncompressed and MSZIP, nested
#                             directories, a UTF-8 name, an empty file, files
#                             larger than one data block)
#   folders.cab               two folders (uncompressed and MSZIP), read-only
#                             and hidden attributes, made by cabwriter.py
#   evil-*.cab                hostile names beside harmless ones
set -eu
OUT=$1
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$OUT" && mkdir -p "$OUT/src/sub/deeper"
cd "$OUT/src"
printf 'hello, cabinet\r\n' >a.txt
printf 'nested two levels down' >sub/deeper/b.bin
printf 'gr\303\274\303\237e' >"sub/Grüße €.txt"
: >empty.dat
python3 -c 'import random, sys; r = random.Random(7); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(100000)))' >random.bin
python3 -c 'import sys; sys.stdout.write("".join("line %06d of a text that compresses well\n" % i for i in range(3000)))' >text.txt
touch -d "2021-03-04 05:06:08" a.txt
touch -d "1999-12-31 23:59:58" sub/deeper/b.bin
touch -d "2010-07-01 12:00:00" "sub/Grüße €.txt" empty.dat random.bin text.txt
gcab -c "$OUT/plain.cab" a.txt sub/deeper/b.bin "sub/Grüße €.txt" empty.dat random.bin text.txt
gcab -c -z "$OUT/mszip.cab" a.txt sub/deeper/b.bin "sub/Grüße €.txt" empty.dat random.bin text.txt
W="python3 $HERE/cabwriter.py"
$W "$OUT/folders.cab" "none:one/a.txt=a.txt@21,one/random.bin=random.bin" \
    "mszip:two/text.txt=text.txt@22,two/deeper/b.bin=sub/deeper/b.bin@20"
$W "$OUT/evil-dotdot.cab" 'none:ok.txt=a.txt,..\..\qkz-evil-dotdot.txt=a.txt,a\..\inside.txt=a.txt,x/../../qkz-evil-slash.txt=a.txt'
$W "$OUT/evil-absolute.cab" 'none:ok.txt=a.txt,\qkz-evil-absolute.txt=a.txt,/qkz-evil-root.txt=a.txt'
$W "$OUT/evil-drive.cab" 'none:ok.txt=a.txt,C:\qkz-evil-drive.txt=a.txt,C:qkz-evil-relative-drive.txt=a.txt,\\server\share\qkz-evil-unc.txt=a.txt'
# Entries no file can be written for where their names say, beside sound ones.
$W "$OUT/evil-names.cab" "none:ok.txt=a.txt,CON=a.txt,nul.txt=a.txt,Com1.log=a.txt,trail.=a.txt,blank =a.txt,...\\x.txt=a.txt,.. \\y.txt=a.txt,dup.txt=a.txt,DUP.TXT=random.bin,file=a.txt,file\\inner.txt=a.txt,$(printf 'ctl\001.txt')=a.txt,$(printf '%0300d' 0).txt=a.txt,q?.txt=a.txt"
# Thousands of small files.
mkdir -p "$OUT/many"
python3 -c 'import sys
for i in range(3000):
    open("%s/f%04d.txt" % (sys.argv[1], i), "w").write("file %d\n" % i)' "$OUT/many"
(cd "$OUT/many" && gcab -c "$OUT/many.cab" *.txt)
rm -rf "$OUT/many"
# ZIP inputs: a normal archive, an empty one (end of central directory only),
# and a split one whose first segment starts with the spanning marker.
mkdir -p "$OUT/zip" && cd "$OUT/zip"
printf 'zipped text\n' >plain.txt
zip -q local.zip plain.txt
python3 -c 'import zipfile, sys; zipfile.ZipFile(sys.argv[1], "w").close()' empty.zip
python3 -c 'import random, sys; r = random.Random(3); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(300000)))' >big.bin
zip -q -s 64k split.zip big.bin
rm -f big.bin plain.txt
