#!/bin/sh
# Runs one benchmark under Wine: scripts/bench.sh condition|process|hash|cab.
# Benchmarks always run the native 64-bit build: where 32-bit programs run
# under CPU emulation, their timings would say nothing about the code.
set -eu
. "$(dirname "$0")/setup.sh"
name=${1:?usage: scripts/bench.sh NAME}
BENCH_BIN="$BUILD/win64/bin"
if [ -x "$ROOT/bench/$name/run.sh" ]; then
    exec "$ROOT/bench/$name/run.sh" "$BENCH_BIN" "$WINE64"
fi
exec "$WINE64" "$BENCH_BIN/bench_$name.exe"
