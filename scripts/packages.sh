#!/bin/sh
# Installs the Debian packages named that are still missing. Sourced by
# setup.sh, fuzz.sh and test.sh: install_packages PACKAGE...
say() { echo "setup: $*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

# A mirror caught mid-sync fails one index or another; that passes within
# minutes, and an install that still cannot resolve says so itself.
refresh_package_lists() {
    for attempt in 1 2 3; do
        as_root apt-get update -qq && return 0
        say "apt-get update failed (attempt $attempt of 3); the mirror may be syncing"
        [ "$attempt" -lt 3 ] && sleep 30
    done
    say "going on with the package lists as they are"
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
    refresh_package_lists
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends $missing
}

# Everything fuzz.sh needs. test.sh installs it before the set-up may move
# into the emulation namespace, where apt-get cannot work.
FUZZ_PACKAGES="cmake ninja-build bison python3 clang-16 libfuzzer-16-dev libclang-rt-16-dev libxml2-dev
gcab mono-mcs wine64"
