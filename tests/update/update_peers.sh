#!/bin/sh
# Python's configparser as an independent reader and writer of the update
# service's profile file: update_peers.sh WINE SUITE.EXE WORKDIR
set -eu
WINE=$1 SUITE=$2 WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
python3 - "$WORK/in.cfg" <<'PY'
import configparser, sys
c = configparser.ConfigParser(interpolation=None)  # writes keys lower-cased, " = " between
c["AdminConfiguredServers"] = {"NumServers": "2", "Server1": r"\\peer\one", "Server2": r"\\peer\two"}
c["KIVSetupIndexedServers"] = {"NumServers": "1", "Server1": r"\\peer\indexed"}
c["AutoUpdateProperties"] = {"Disabled": "False", "RetryFrequencyInHours": "36", "SwitchTestingModeOn": "TRUE"}
with open(sys.argv[1], "w", encoding="ascii", newline="\r\n") as f:
    c.write(f)
PY
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
QKZ_UPDCFG_IN=$(to_wine "$WORK/in.cfg") QKZ_UPDCFG_OUT=$(to_wine "$WORK/out.cfg") \
    "$WINE" "$SUITE" --gtest_filter='UpdateConfigPeers.*' --gtest_color=no
python3 - "$WORK/out.cfg" <<'PY'
import configparser, sys
c = configparser.ConfigParser(interpolation=None)
with open(sys.argv[1], encoding="utf-16") as f:
    c.read_file(f)
admin, indexed, props = c["AdminConfiguredServers"], c["KIVSetupIndexedServers"], c["AutoUpdateProperties"]
assert admin["NumServers"] == "1" and admin["Server1"] == "\\\\written\\\u00e9t\u00e9", dict(admin)
assert indexed["NumServers"] == "1" and indexed["Server1"] == r"\\written\indexed", dict(indexed)
assert dict(props) == {"disabled": "true", "retryfrequencyinhours": "48", "rebootafterupdate": "true"}, dict(props)
print("configparser reads what the suite wrote and the suite reads what configparser wrote")
PY
