#!/bin/sh
# Sets up what the build, the tool and the tests need, doing only what is
# still missing: Debian packages, configured build trees, the builds, and a
# Wine prefix inside the build directory. Sourced by run.sh, test.sh and
# bench.sh.
#
# build/win32 is the product: the 32-bit QoKivZelUt.dll and its import library.
# build/win64 is the same sources for x86-64. Both run every suite under Wine.
#
# Where the kernel cannot execute 32-bit programs, Wine's 32-bit loader runs
# under QEMU user-mode emulation: the calling script is started again inside
# a user and mount namespace of its own, where i386 ELF is registered with
# binfmt_misc for that namespace only (the host's registrations stay as they
# are). Where even that cannot be had, only the 64-bit build runs, and the
# scripts say so loudly.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QKZ_BUILD_DIR:-$ROOT/build}
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No Mono/Gecko installers: nothing here needs them and they would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64

PACKAGES="cmake ninja-build python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-tools wine wine32:i386 wine64
googletest bison wixl gcab cabextract osslsigncode zlib1g-dev g++ coreutils util-linux bsdutils zip
libxml2-utils openssl mono-mcs mono-utils"

. "$ROOT/scripts/packages.sh"

# --- 32-bit programs -------------------------------------------------------

runs_32bit() { "$WINE32" --version >/dev/null 2>&1; }

qemu_usable() { # QEMU before 8 takes a minute per process start, then crashes
    command -v qemu-i386 >/dev/null 2>&1 || return 1
    major=$(qemu-i386 --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
    [ "${major:-0}" -ge 8 ]
}

# The archive address of the machine's own Debian sources, from the one-line
# or the deb822 format; the backports suite is added with the same address.
debian_archive() {
    { cat /etc/apt/sources.list 2>/dev/null
      cat /etc/apt/sources.list.d/*.list 2>/dev/null; } |
        awk '$1 == "deb" && $3 ~ /^bookworm(-updates)?$/ { print $2; exit }' | grep . && return 0
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             /(^|\n)Suites:[^\n]*bookworm( |\n|$)/ && !/debian-security/ {
                 for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { split($i, w, " "); print w[2]; exit }
             }' "$f" | grep . && return 0
    done
    return 1
}

install_qemu() {
    qemu_usable && return 0
    archive=$(debian_archive) || { say "no Debian archive found in the apt sources"; return 1; }
    say "installing qemu-user from bookworm-backports ($archive)"
    list=/etc/apt/sources.list.d/qkz-bookworm-backports.list
    [ -f "$list" ] || echo "deb $archive bookworm-backports main" | as_root tee "$list" >/dev/null
    as_root apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        -t bookworm-backports qemu-user || return 1
    qemu_usable
}

# Starts the calling script again inside its own namespace, with 32-bit ELF
# handed to qemu-i386 there. Returns only when that cannot be done.
enter_emulation_namespace() {
    command -v unshare >/dev/null 2>&1 || return 1
    unshare --user --map-root-user --mount sh "$ROOT/scripts/binfmt-namespace.sh" true 2>/dev/null || return 1
    QKZ_EMULATED_32BIT=1 exec unshare --user --map-root-user --mount \
        sh "$ROOT/scripts/binfmt-namespace.sh" "$0" "$@"
}

choose_wine() {
    if runs_32bit; then
        HAS_WIN32=1
    elif [ "${QKZ_EMULATED_32BIT:-}" = 1 ]; then
        say "could not start Wine's 32-bit loader under qemu-i386 inside the namespace"
        HAS_WIN32=0
    elif install_qemu; then
        enter_emulation_namespace "$@"
        HAS_WIN32=0
    else
        HAS_WIN32=0
    fi
    if [ "$HAS_WIN32" = 0 ]; then
        cat >&2 <<'EOF'
setup: ##################################################################
setup: WARNING: this machine cannot run 32-bit Windows programs, not even
setup: under qemu-i386 emulation. Only the 64-bit build runs under Wine;
setup: the 32-bit product is built and its image checked, nothing more.
setup: ##################################################################
EOF
    fi
    export WINELOADER=$WINE64
    export HAS_WIN32
}

# --- builds and prefix ------------------------------------------------------

configure_and_build() { # tree toolchain wine-tests
    if [ ! -f "$1/build.ninja" ]; then
        cmake -S "$ROOT" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2.cmake" -DQKZ_WINE_TESTS="$3" \
            -DQKZ_WINEPREFIX="$WINEPREFIX" >/dev/null
    elif ! grep -q "^QKZ_WINE_TESTS:BOOL=$3\$" "$1/CMakeCache.txt"; then
        cmake -S "$ROOT" -B "$1" -DQKZ_WINE_TESTS="$3" >/dev/null
    fi
    # The build's progress goes to stderr: stdout belongs to the tool.
    cmake --build "$1" >&2
}

# A prefix made while 32-bit programs could not run has an empty syswow64, and
# wineboot does not repair it: such a prefix is made again.
prefix_lacks_32bit() {
    [ "$HAS_WIN32" = 1 ] && [ -f "$WINEPREFIX/.qkz-ready" ] &&
        [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# The null graphics driver lets windows, COM apartments and msxml work
# without a display.
create_wine_prefix() {
    if prefix_lacks_32bit; then
        say "the Wine prefix was made without 32-bit support; making it again"
        "$WINE64" wineserver -k 2>/dev/null || wineserver -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/.qkz-ready" ]; then
        say "creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
        "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.qkz-ready"
    fi
}

# A crashing program must end with an exit code: the crash dialog Wine shows
# otherwise cannot be closed under the null display, and the crashed program
# and whoever waits for it (a suite, a script) would hang.
no_crash_dialog() {
    if [ ! -f "$WINEPREFIX/.qkz-no-crash-dialog" ]; then
        "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            </dev/null >/dev/null 2>&1
        touch "$WINEPREFIX/.qkz-no-crash-dialog"
    fi
}

# Suites need network places: the installer suite a drive the system reports
# as remote, N: over a directory of the build typed "network"; the archive
# suite a share, \\qkzserver\qkzshare, which Wine finds below dosdevices/unc.
# Wine reads drive types when its server starts, so a running server is
# stopped once after the change.
map_network_drive() {
    if [ ! -e "$WINEPREFIX/dosdevices/unc/qkzserver/qkzshare" ]; then
        mkdir -p "$BUILD/unc-share" "$WINEPREFIX/dosdevices/unc/qkzserver"
        ln -sfn "$BUILD/unc-share" "$WINEPREFIX/dosdevices/unc/qkzserver/qkzshare"
    fi
    if [ ! -f "$WINEPREFIX/.qkz-network-drive" ]; then
        mkdir -p "$BUILD/network-share"
        ln -sfn "$BUILD/network-share" "$WINEPREFIX/dosdevices/n:"
        "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v n: /d network /f </dev/null >/dev/null 2>&1
        wineserver -k 2>/dev/null || true
        wineserver -w
        touch "$WINEPREFIX/.qkz-network-drive"
    fi
}

# Background services must not start inside ctest (they would inherit its
# pipes and keep it waiting): start a persistent server and warm the prefix,
# in both architectures where both run. Under emulation a server left running
# by an earlier run lives in that run's namespace and may not read the memory
# of processes in this one (access denied to every cross-process memory read),
# so it is replaced; a server of this namespace cannot be running yet.
start_wine() {
    if [ "${QKZ_EMULATED_32BIT:-}" = 1 ]; then  # every run has a namespace of its own
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    wineserver -p </dev/null >/dev/null 2>&1 || true
    "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
    if [ "$HAS_WIN32" = 1 ]; then
        "$WINE32" "$WINEPREFIX/drive_c/windows/syswow64/cmd.exe" /c exit </dev/null >/dev/null 2>&1 || true
    fi
}

install_packages $PACKAGES
choose_wine "$@"
configure_and_build "$BUILD/win32" mingw-i686 "$([ "$HAS_WIN32" = 1 ] && echo ON || echo OFF)"
configure_and_build "$BUILD/win64" mingw-x86_64 ON
create_wine_prefix
no_crash_dialog
map_network_drive
start_wine
# The build whose programs the tool and the tour run: the product where it runs.
if [ "$HAS_WIN32" = 1 ]; then
    WINE=$WINE32 HOST_BUILD="$BUILD/win32"
else
    WINE=$WINE64 HOST_BUILD="$BUILD/win64"
fi
export WINE HOST_BUILD
