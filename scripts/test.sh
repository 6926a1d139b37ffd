#!/bin/sh
# Runs every test suite, setting up whatever is missing first: all suites in
# build/win32 (the 32-bit product) and again in build/win64 (the same sources
# for x86-64), then the native build of the portable core: every kept fuzz
# regression replayed and every fuzz target run for a 10-second smoke.
# Extra arguments go to both ctest runs.
set -eu
# The fuzz targets' packages first: the set-up below may start this script
# again inside a namespace of its own, where packages cannot be installed.
. "$(dirname "$0")/packages.sh"
# shellcheck disable=SC2086
install_packages $FUZZ_PACKAGES
. "$(dirname "$0")/setup.sh"
status=0
for tree in "$BUILD/win32" "$BUILD/win64"; do
    echo "=== ctest in $tree"
    (cd "$tree" && ctest --output-on-failure --timeout 900 "$@") || status=1
done
echo "=== fuzz targets (native build)"
sh "$ROOT/scripts/fuzz.sh" || status=1
if [ "$HAS_WIN32" != 1 ]; then
    echo "WARNING: the 32-bit suites did not run on this machine (see setup above)." >&2
fi
exit $status
