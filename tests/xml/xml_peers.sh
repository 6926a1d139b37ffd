#!/bin/sh
# Every document the writer's tests build, checked by xmllint for well-formedness:
# xml_peers.sh WINE SUITE.EXE WORKDIR
set -eu
WINE=$1 SUITE=$2 WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
QKZ_XML_OUT=$(printf 'Z:%s' "$WORK" | tr / '\\') \
    "$WINE" "$SUITE" --gtest_filter='XmlFactory.*' --gtest_color=no
count=$(find "$WORK" -name '*.xml' | wc -l)
[ "$count" -ge 11 ] || { echo "only $count documents written" >&2; exit 1; }
for doc in "$WORK"/*.xml; do
    xmllint --noout "$doc"
done
echo "xmllint accepts all $count documents"
python3 "$(dirname "$0")/read_back.py" "$WORK"
