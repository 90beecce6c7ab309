#!/usr/bin/env bash
# Builds everything for Windows with MinGW-w64 and runs every test as a
# Windows program under Wine.
#   scripts/test-windows.sh [BUILD_DIR] [extra cmake arguments...]
# The cross compiler and Wine are installed with apt-get when missing. The
# Wine prefix lives in BUILD_DIR/wine. As in scripts/test.sh, the client's
# connectivity probes go to loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-windows}
shift || true

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine64)
[ -d /usr/src/googletest ] || missing+=(googletest)
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DKMO_PROBE_HOSTS="127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083" \
    "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
# Wine's own service processes start with the first program of a prefix and
# inherit its output. Started here, holding nothing, under a server that
# lasts the whole run, they never keep a test's output open (ctest would wait
# for them long after the test has ended).
prefix="$PWD/$build/wine"
cmake/wine-run.sh "$prefix" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true   # makes the prefix if need be
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$prefix" wineserver -p </dev/null >/dev/null 2>&1 || true
cmake/wine-run.sh "$prefix" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600 || status=$?
# Wine's server for this prefix goes with the tests.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit $status
