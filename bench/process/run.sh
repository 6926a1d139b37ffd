#!/bin/sh
# Runs bench_process under Wine and the same child from a native shell pipe,
# and prints both with their ratio. Called by scripts/bench.sh process.
set -eu
BIN=$1
WINE=$2
BYTES=$((64 * 1024 * 1024))
ours=$("$WINE" "$BIN/bench_process.exe" "$BYTES" | tr -d '\r')
latency=$(echo "$ours" | sed -n 's/^latency_ms=//p')
drain=$(echo "$ours" | sed -n 's/^drain_4096_mb_s=//p')
plain=$(echo "$ours" | sed -n 's/^plain_drain_4096_mb_s=//p')
drain_large=$(echo "$ours" | sed -n 's/^drain_1048576_mb_s=//p')
plain_large=$(echo "$ours" | sed -n 's/^plain_drain_1048576_mb_s=//p')
keeping=$(echo "$ours" | sed -n 's/^keeping_drain_4096_mb_s=//p')
keeping_large=$(echo "$ours" | sed -n 's/^keeping_drain_1048576_mb_s=//p')
fresh=$(echo "$ours" | sed -n 's/^fresh_memory_mb_s=\([0-9.]*\).*/\1/p')

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

awk -v l="$latency" -v d="$drain" -v p="$plain" -v dl="$drain_large" -v pl="$plain_large" -v k="$keeping" -v kl="$keeping_large" -v f="$fresh" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v runs=$runs -v bytes=$BYTES 'BEGIN {
    shell_latency = (t1 - t0) / runs * 1000
    shell_drain = 2 * bytes / (t3 - t2) / 1e6
    printf "start-to-exit latency: ZelUt::Process %.2f ms, native shell %.2f ms (ratio %.2f)\n", l, shell_latency, l / shell_latency
    printf "pipe drain, both streams, child writes 4 KiB:  ZelUt::Process %.1f MB/s, plain Win32 reader under Wine %.1f MB/s (ratio %.2f),\n", d, p, d / p
    printf "                                               the same reader keeping what it reads %.1f MB/s (ratio %.2f)\n", k, d / k
    printf "pipe drain, both streams, child writes 1 MiB:  ZelUt::Process %.1f MB/s, plain Win32 reader under Wine %.1f MB/s (ratio %.2f),\n", dl, pl, dl / pl
    printf "                                               the same reader keeping what it reads %.1f MB/s (ratio %.2f)\n", kl, dl / kl
    printf "fresh memory touched for the first time: %.1f MB/s\n", f
    printf "pipe drain, 4 KiB writes, native shell pipe (no Wine in the reading): %.1f MB/s (ratio %.2f)\n", shell_drain, d / shell_drain
}'
