#!/bin/sh
# Runs bench_process under Wine and the same child from a native shell pipe,
# and prints both with their ratio. Called by scripts/bench.sh process.
set -eu
BIN=$1
WINE=$2
BYTES=$((64 * 1024 * 1024))
ours=$("$WINE" "$BIN/bench_process.exe" "$BYTES" | tr -d '\r')
latency=$(echo "$ours" | sed -n 's/^latency_ms=//p')
drain=$(echo "$ours" | sed -n 's/^drain_mb_s=//p')

now() { date +%s.%N; }
runs=10
t0=$(now)
i=0
while [ $i -lt $runs ]; do "$WINE" "$BIN/qkz_testchild.exe" exit 0; i=$((i + 1)); done
t1=$(now)
# Both streams of the child, through native pipes, drained by cat.
t2=$(now)
{ "$WINE" "$BIN/qkz_testchild.exe" flood $BYTES 2>&1 1>&3 | cat >/dev/null; } 3>&1 | cat >/dev/null
t3=$(now)

awk -v l="$latency" -v d="$drain" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v runs=$runs -v bytes=$BYTES 'BEGIN {
    shell_latency = (t1 - t0) / runs * 1000
    shell_drain = 2 * bytes / (t3 - t2) / 1e6
    printf "start-to-exit latency: ZelUt::Process %.2f ms, native shell %.2f ms (ratio %.2f)\n", l, shell_latency, l / shell_latency
    printf "pipe drain, both streams: ZelUt::Process %.1f MB/s, native shell pipe %.1f MB/s (ratio %.2f)\n", d, shell_drain, d / shell_drain
}'
