#!/bin/sh
# Fuzzes the portable core natively with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, setting up what is missing (packages, the
# native build in build/native):
#   scripts/fuzz.sh                  every target for a short smoke (10 s each)
#   scripts/fuzz.sh TARGET SECONDS   one target (cab_tables, pe_image, ...) for that long
# Kept regressions (fuzz/regressions/<target>/) are replayed first. Each run
# grows the corpus in build/native/corpus/<target> from the seeds the build's
# tests make; findings land in build/native/findings/<target>. Printed per
# target: executions per second, edges covered, corpus size, findings.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QKZ_BUILD_DIR:-$ROOT/build}
NATIVE=$BUILD/native
. "$ROOT/scripts/packages.sh"
# shellcheck disable=SC2086
install_packages $FUZZ_PACKAGES
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-16/bin/llvm-symbolizer
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Configured every time: the kept regressions are found when configuring.
CC=clang-16 CXX=clang++-16 cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$NATIVE" >/dev/null
(cd "$NATIVE" && ctest --output-on-failure -R '^regressions_' >/dev/null) || {
    (cd "$NATIVE" && ctest --output-on-failure -R '^regressions_')
    echo "fuzz: a kept regression input fails again" >&2
    exit 1
}
TARGETS="cab_tables pe_image dotnet_metadata condition product_version guid_text crypto_blob checksum_record xml_text sid_text"
# Seeds are made again when a target has none yet (one added since they were made).
for t in $TARGETS; do [ -d "$NATIVE/seeds/$t" ] || rm -f "$NATIVE/seeds/.complete"; done
[ -f "$NATIVE/seeds/.complete" ] || sh "$ROOT/fuzz/seeds.sh" "$NATIVE/seeds" >/dev/null
if [ $# -ge 1 ]; then TARGETS=$1; fi
SECONDS_EACH=${2:-10}
status=0
printf '%-16s %10s %8s %8s %9s\n' target exec/s edges corpus findings
for t in $TARGETS; do
    corpus=$NATIVE/corpus/$t findings=$NATIVE/findings/$t
    mkdir -p "$corpus" "$findings"
    dict=$ROOT/fuzz/dictionaries/$t.dict
    log=$NATIVE/fuzz-$t.log
    set -- -max_total_time="$SECONDS_EACH" -print_final_stats=1 -artifact_prefix="$findings/" \
           -timeout=10 -rss_limit_mb=2048
    [ -f "$dict" ] && set -- "$@" -dict="$dict"
    "$NATIVE/fuzz/fuzz_$t" "$@" "$corpus" "$NATIVE/seeds/$t" >"$log" 2>&1 || status=1
    # "cov:" counts the edges libFuzzer's instrumentation saw.
    last=$(grep -E '^#[0-9]+.*(cov|DONE)' "$log" | tail -n 1)
    edges=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    found=$(find "$findings" -type f | wc -l)
    printf '%-16s %10s %8s %8s %9s\n' "$t" "${speed:-?}" "${edges:-?}" "$(ls "$corpus" | wc -l)" "$found"
    [ "$found" -eq 0 ] || { status=1; grep -E 'ERROR|property failed' "$log" | head -n 3 >&2; }
done
exit $status
