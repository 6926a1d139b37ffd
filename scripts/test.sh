#!/bin/sh
# Runs every test suite, setting up whatever is missing first. The product
# build (32-bit) always runs its image checks; the suites run under Wine in
# the build that this machine can execute (see setup.sh).
set -eu
. "$(dirname "$0")/setup.sh"
status=0
if [ "$HOST_BUILD" != "$BUILD/win32" ]; then
    (cd "$BUILD/win32" && ctest --output-on-failure --timeout 900 "$@") || status=1
fi
(cd "$HOST_BUILD" && ctest --output-on-failure --timeout 900 "$@") || status=1
exit $status
