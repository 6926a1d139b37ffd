#!/bin/sh
# Runs one benchmark under Wine: scripts/bench.sh condition
set -eu
. "$(dirname "$0")/setup.sh"
name=${1:?usage: scripts/bench.sh NAME}
exec "$WINE" "$HOST_BUILD/bin/bench_$name.exe"
