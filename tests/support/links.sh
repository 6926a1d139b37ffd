#!/bin/sh
# Makes a tree with a link to a directory outside it, then runs the suite's
# link tests on it; what the link points at must come through unchanged:
#   links.sh WINE SUITE.EXE WORKDIR FILTER
# Only a directory link: Wine shows a link to a file as a plain file (no
# reparse point), and deleting it deletes its target.
set -eu
WINE=$1
SUITE=$2
WORK=$3
FILTER=$4
rm -rf "$WORK" && mkdir -p "$WORK/kept" "$WORK/tree"
trap 'rm -rf "$WORK"' EXIT
printf 'do not delete' >"$WORK/kept/precious.txt"
printf 'goes' >"$WORK/tree/own.txt"
ln -s "$WORK/kept" "$WORK/tree/link"
QKZ_LINK_TREE="Z:$(printf %s "$WORK" | tr / '\\')" "$WINE" "$SUITE" --gtest_filter="$FILTER" --gtest_color=no
[ "$(cat "$WORK/kept/precious.txt" 2>/dev/null)" = 'do not delete' ] || { echo "the link's target lost its file"; exit 1; }
[ "$(ls -A "$WORK/kept")" = precious.txt ] || { echo "files were made behind the link: $(ls -A "$WORK/kept")"; exit 1; }
