#!/bin/sh
# Lets the image suite compare its reading of real images with objdump's:
# our own DLL and programs of this build and of the 32-bit build beside it,
# and Wine's system DLLs (64-bit from the test prefix, 32-bit from Wine).
# peers.sh WINE SUITE.EXE FACTS BIN WIN32BIN WINEPREFIX
set -eu
WINE=$1 SUITE=$2 FACTS=$3 BIN=$4 WIN32BIN=$5 PREFIX=$6
images=""
for f in "$BIN/QoKivZelUt.dll" "$BIN/zelut.exe" "$BIN/resolver/qkz_resolver_app.exe" \
         "$BIN/resolver/qkz_resolver_dep.dll" "$WIN32BIN/QoKivZelUt.dll" "$WIN32BIN/zelut.exe" \
         "$PREFIX/drive_c/windows/system32/kernel32.dll" "$PREFIX/drive_c/windows/system32/shell32.dll" \
         "$PREFIX/drive_c/windows/system32/msi.dll" "$PREFIX/drive_c/windows/system32/cabinet.dll" \
         /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll \
         /usr/lib/i386-linux-gnu/wine/i386-windows/shell32.dll; do
    [ -f "$f" ] && images="$images $f"
done
# shellcheck disable=SC2086
python3 "$(dirname "$0")/objdump_facts.py" "$FACTS" $images
QKZ_IMAGE_FACTS="Z:$(printf %s "$FACTS" | tr / '\\')" "$WINE" "$SUITE" --gtest_filter='ImageInfoPeers.*' --gtest_color=no
