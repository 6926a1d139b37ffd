#!/bin/sh
# Runs one benchmark under Wine: scripts/bench.sh condition|process
set -eu
. "$(dirname "$0")/setup.sh"
name=${1:?usage: scripts/bench.sh NAME}
if [ -x "$ROOT/bench/$name/run.sh" ]; then
    exec "$ROOT/bench/$name/run.sh" "$HOST_BUILD/bin" "$WINE"
fi
exec "$WINE" "$HOST_BUILD/bin/bench_$name.exe"
