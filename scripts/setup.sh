#!/bin/sh
# Sets up what the build, the tool and the tests need, doing only what is
# still missing: Debian packages, configured build trees, the builds, and a
# Wine prefix inside the build directory. Sourced by run.sh and test.sh.
#
# build/win32 is the product: the 32-bit QoKivZelUt.dll and its import library.
# Where the kernel cannot execute 32-bit programs, Wine runs only 64-bit
# images; the same sources are then also built as build/win64, and that build
# is what runs under Wine (tool and test suites).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QKZ_BUILD_DIR:-$ROOT/build}
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No Mono/Gecko installers: nothing here needs them and they would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml="

PACKAGES="cmake ninja-build python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-tools wine wine32:i386 wine64
googletest bison wixl gcab cabextract osslsigncode zlib1g-dev g++ coreutils"

missing_packages() {
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
    done
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
    missing=$(missing_packages)
    [ -z "$missing" ] && return 0
    echo "setup: installing missing packages:" $missing
    if ! dpkg --print-foreign-architectures | grep -q '^i386$'; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends $missing
}

choose_wine() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        WINE=wine
        HOST_BUILD="$BUILD/win32"
        WINE_TESTS_IN_WIN32=ON
    else
        WINE=/usr/lib/wine/wine64
        export WINELOADER=$WINE
        HOST_BUILD="$BUILD/win64"
        WINE_TESTS_IN_WIN32=OFF
    fi
    export WINE HOST_BUILD
}

configure_and_build() { # tree toolchain wine-tests
    if [ ! -f "$1/build.ninja" ]; then
        cmake -S "$ROOT" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2.cmake" -DQKZ_WINE_TESTS="$3" \
            -DQKZ_WINEPREFIX="$WINEPREFIX" >/dev/null
    fi
    cmake --build "$1"
}

# The null graphics driver lets windows, COM apartments and msxml work
# without a display.
create_wine_prefix() {
    if [ ! -f "$WINEPREFIX/.qkz-ready" ]; then
        echo "setup: creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
        "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.qkz-ready"
    fi
}

# The installer suite needs a drive the system reports as remote: N: over a
# directory of the build, typed "network". Wine reads drive types when its
# server starts, so a running server is stopped once after the change.
map_network_drive() {
    if [ ! -f "$WINEPREFIX/.qkz-network-drive" ]; then
        mkdir -p "$BUILD/network-share"
        ln -sfn "$BUILD/network-share" "$WINEPREFIX/dosdevices/n:"
        "$WINE" reg add 'HKLM\Software\Wine\Drives' /v n: /d network /f </dev/null >/dev/null 2>&1
        wineserver -k 2>/dev/null || true
        wineserver -w
        touch "$WINEPREFIX/.qkz-network-drive"
    fi
}

# Background services must not start inside ctest (they would inherit its
# pipes and keep it waiting): start a persistent server and warm the prefix.
start_wine() {
    wineserver -p </dev/null >/dev/null 2>&1 || true
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
}

install_packages
choose_wine
configure_and_build "$BUILD/win32" mingw-i686 "$WINE_TESTS_IN_WIN32"
if [ "$HOST_BUILD" != "$BUILD/win32" ]; then
    configure_and_build "$HOST_BUILD" mingw-x86_64 ON
fi
create_wine_prefix
map_network_drive
start_wine
