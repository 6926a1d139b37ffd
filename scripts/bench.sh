#!/bin/sh
# Runs one benchmark under Wine: scripts/bench.sh condition|process|hash|cab|cabwrite|ipc.
# The 64-bit build is measured always; the 32-bit build (the product users ship)
# too where this machine runs 32-bit programs natively. Under CPU emulation its
# timings would say nothing about the code, so there it is left out, saying so.
set -eu
. "$(dirname "$0")/setup.sh"
name=${1:?usage: scripts/bench.sh NAME}

measure() { # LABEL BIN-DIR WINE
    echo "--- $name, $1 build"
    if [ -x "$ROOT/bench/$name/run.sh" ]; then
        "$ROOT/bench/$name/run.sh" "$2" "$3"
    else
        "$3" "$2/bench_$name.exe"
    fi
}

measure "64-bit (x86-64)" "$BUILD/win64/bin" "$WINE64"
if [ "$HAS_WIN32" = 1 ] && [ "${QKZ_EMULATED_32BIT:-}" != 1 ]; then
    measure "32-bit (the shipped product)" "$BUILD/win32/bin" "$WINE32"
else
    echo "--- $name, 32-bit build: not measured (32-bit programs run only under emulation here)"
fi
