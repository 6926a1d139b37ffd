#!/bin/sh
# Lets the suite compare its scheme-64 blobs with ones computed by an RC4 and
# MD5 of Python's: crypto_peers.sh WINE SUITE.EXE KEYS.H WORKDIR
set -eu
WINE=$1 SUITE=$2 KEYS=$3 WORK=$4
rm -rf "$WORK" && mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
python3 "$(dirname "$0")/crypto_peer.py" "$KEYS" "$WORK/blobs.txt"
QKZ_CRYPTO_PEERS="Z:$(printf %s "$WORK/blobs.txt" | tr / '\\')" "$WINE" "$SUITE" --gtest_filter='CryptoPeers.*' --gtest_color=no
