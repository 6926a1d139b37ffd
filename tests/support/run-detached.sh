#!/bin/sh
# Runs a command with its output going to a file first, then prints that file:
# run-detached.sh COMMAND [ARGS...]
# Wine starts background processes (the desktop, console hosts) from inside a
# suite when it first needs them; they would inherit ctest's output pipe and
# keep ctest waiting long after the suite ended. A file is inherited instead.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
set +e
"$@" </dev/null >"$out" 2>&1
status=$?
cat "$out"
exit $status
