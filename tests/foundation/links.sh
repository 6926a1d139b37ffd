#!/bin/sh
# Makes a tree with a link to a directory outside it, then
# lets the foundation suite remove the tree: links.sh WINE SUITE.EXE WORKDIR
set -eu
WINE=$1
SUITE=$2
WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK/kept" "$WORK/tree"
trap 'rm -rf "$WORK"' EXIT
printf 'do not delete' >"$WORK/kept/precious.txt"
printf 'goes' >"$WORK/tree/own.txt"
ln -s "$WORK/kept" "$WORK/tree/link"
QKZ_LINK_TREE="Z:$(printf %s "$WORK" | tr / '\\')" "$WINE" "$SUITE" --gtest_filter='WinPathFileSystemLinks.*' --gtest_color=no
[ -f "$WORK/kept/precious.txt" ] || { echo "the link's target lost its file"; exit 1; }
