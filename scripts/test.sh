#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build-test/, never build/: this build's connectivity
# probes go to loopback, so that no test can reach a host outside this
# machine, which makes its kmoclient unfit to install.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-test}
shift || true

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || [ ! -d /usr/src/googletest ]; then
    echo "== installing the build tools (cmake, g++, GoogleTest)"
    apt-get update -qq && apt-get install -y -qq cmake g++ make libgtest-dev libgmock-dev >/dev/null
fi

echo "== configure $build"
cmake -S . -B "$build" \
    -DKMO_PROBE_HOSTS="127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083" \
    "$@" >/dev/null
echo "== build $build"
cmake --build "$build" -j"$(nproc)"
echo "== test"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600
