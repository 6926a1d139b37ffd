#!/bin/sh
# Installs the Debian packages named that are still missing. Sourced by
# setup.sh and fuzz.sh: install_packages PACKAGE...
say() { echo "setup: $*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

install_packages() {
    missing=""
    for p in "$@"; do installed "$p" || missing="$missing $p"; done
    [ -z "$missing" ] && return 0
    say "installing missing packages:$missing"
    case "$missing" in
    *:i386*)
        if ! dpkg --print-foreign-architectures | grep -q '^i386$'; then
            as_root dpkg --add-architecture i386
        fi
        ;;
    esac
    as_root apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends $missing
}
