#!/bin/sh
# Runs the command-line tool zelut under Wine: `scripts/run.sh guid new`.
# Without arguments it shows a short tour of what the library does.
set -eu
. "$(dirname "$0")/setup.sh"
ZELUT="$HOST_BUILD/bin/zelut.exe"

if [ $# -gt 0 ]; then
    exec "$WINE" "$ZELUT" "$@"
fi

show() {
    printf '$ zelut %s\n' "$*"
    "$WINE" "$ZELUT" "$@" || echo "(exit code $?)"
}
show guid new
show guid parse 6b29fc40-ca47-1067-b31d-00dd010662da
show error 5
show error 0x80070002
show path normalize 'C:/Program Files//KIV/' '\\server\share\'
show path version 'C:\windows\system32\kernel32.dll'
show condition --var OS=Windows_NT --product '{12345678-1234-1234-1234-123456789012}=installed' \
    '(%OS% = Windows_NT) & IsProductInstalled({12345678-1234-1234-1234-123456789012})'
show condition 'A = 1 AND B = 2'
show version compare 7.40 'Release 750 SP1'
show run -- cmd.exe /c "echo hello from a child & exit 3"
show whoami
show sd --reg 'HKLM\Software'
show locks kernel32.dll
show hash 'C:\windows\system32\kernel32.dll'
show crc --string hello
# The two-file test package, made by wixl in the build: install, check, remove.
PACKAGE="$HOST_BUILD/test-packages/TwoFiles.msi"
if [ -f "$PACKAGE" ]; then
    PACKAGE="Z:$(printf '%s' "$PACKAGE" | tr / '\\')"
    show msi install "$PACKAGE" 'GREETING=hello from zelut'
    show msi check "$PACKAGE"
    show msi remove "$PACKAGE"
fi
# Images and cabinets: our own tool read as a PE image, its dependencies, and
# the cabinet made by gcab in the build, listed and extracted.
# Two processes talking: a pipe server and an IPC listener in the background
# (the server gives up after a minute should no client come).
timeout 60 "$WINE" "$ZELUT" pipe serve qkz-tour --count 1 >/dev/null &
show pipe send qkz-tour 'hello over a named pipe' --timeout 10000
wait
"$WINE" "$ZELUT" ipc listen --count 1 --timeout 10000 &
sleep 1
show ipc send tour-note 'hello over the IPC channel' --timeout 10000
wait
show encrypt 'a secret'
show pe 'C:\windows\system32\cabinet.dll'
show deps "Z:$(printf '%s' "$HOST_BUILD/bin/zelut.exe" | tr / '\\')"
CAB="$HOST_BUILD/test-cabs/mszip.cab"
if [ -f "$CAB" ]; then
    CAB="Z:$(printf '%s' "$CAB" | tr / '\\')"
    OUT=$(mktemp -d)
    show cab list "$CAB"
    show cab extract "$CAB" "Z:$(printf '%s' "$OUT" | tr / '\\')"
    rm -rf "$OUT"
fi
