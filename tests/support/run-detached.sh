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
# Under Wine a test program can crash with status 0 (when dispatching the fault
# overflows the stack, "virtual_setup_exception stack overflow"): every suite
# run that started must also have printed its closing summary.
started=$(grep -c '^\[==========\] Running ' "$out")
ended=$(grep -c '^\[==========\] .* ran\.' "$out")
if [ "$status" -eq 0 ] && [ "$started" -ne "$ended" ]; then
    echo "run-detached.sh: $started suite run(s) started, $ended ended: a test ended the process"
    status=1
fi
exit $status
