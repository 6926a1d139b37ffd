#!/bin/sh
# The installed SDK as a caller's build sees it: installs the build into a fresh
# prefix, checks the tree and the package's version check, builds
# examples/install-check against it and runs that under Wine.
# sdk.sh BUILD-DIR SOURCE-DIR TOOLCHAIN-FILE WINE
set -eu
BUILD=$1 SRC=$2 TOOLCHAIN=$3 WINE=$4
WORK=$BUILD/sdk-test
rm -rf "$WORK" && mkdir -p "$WORK"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }

cmake --install "$BUILD" --prefix "$WORK/sdk" >"$WORK/install.log"
for f in bin/QoKivZelUt.dll bin/QoKivZelLg.dll bin/libstdc++-6.dll bin/libwinpthread-1.dll bin/zelut.exe \
         bin/QoSnapshot64.exe bin/DotNetUtils20.exe bin/DotNetUtils40.exe bin/KivSx.exe \
         lib/QoKivZelUt.dll.a lib/QoKivZelLg.dll.a include/QoKivZelUt/Process.h include/QoKivZelLg.h \
         lib/cmake/QoKivZelUt/QoKivZelUtConfig.cmake lib/cmake/QoKivZelUt/QoKivZelUtConfigVersion.cmake; do
    [ -f "$WORK/sdk/$f" ] || fail "the SDK lacks $f"
done
ls "$WORK/sdk/bin" | grep -q '^libgcc_s_.*\.dll$' || fail "the SDK lacks the MinGW libgcc DLL"

probe() {
    cmake -S "$SRC/tests/sdk/version-probe" -B "$WORK/probe-$1" -G Ninja -DWANT="$1" -DCMAKE_PREFIX_PATH="$WORK/sdk" |
        grep "QoKivZelUt $1:" || true
}
probe 1.0 | grep -q "found 1\.0\." || fail "find_package(QoKivZelUt 1.0) did not find the SDK"
probe 99 | grep -q "not found" || fail "find_package(QoKivZelUt 99) found the SDK"

cmake -S "$SRC/examples/install-check" -B "$WORK/example" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
      -DCMAKE_PREFIX_PATH="$WORK/sdk" >"$WORK/example.log" 2>&1 || { cat "$WORK/example.log"; exit 1; }
cmake --build "$WORK/example" >>"$WORK/example.log" 2>&1 || { cat "$WORK/example.log"; exit 1; }

check=$WORK/example/install-check.exe
payload=$WORK/payload.bin
echo "the payload" >"$payload"
run() {
    set +e
    "$WINE" "$check" "$(to_wine "$payload")" "$(to_wine "$WORK/sdk/bin/zelut.exe")" >"$WORK/out" 2>&1
    code=$?
    set -e
    tr -d '\r' <"$WORK/out"
    return $code
}
run >"$WORK/first.txt" || fail "install-check on a fresh payload: exit $?"
grep -q "condition: .* -> true" "$WORK/first.txt" || fail "install-check: the condition did not hold"
grep -q "needs .* modules, none missing" "$WORK/first.txt" || fail "install-check: modules reported missing"
grep -q "^ready to install" "$WORK/first.txt" || fail "install-check: not ready"
echo "another payload" >"$payload"
code=0
run >"$WORK/second.txt" || code=$?
[ "$code" = 1 ] || fail "install-check on a changed payload: exit $code, expected 1"
grep -q "was changed" "$WORK/second.txt" || fail "install-check: the changed payload was not noticed"
cat "$WORK/first.txt" "$WORK/second.txt"
[ "$failures" = 0 ] || exit 1
rm -rf "$WORK"
