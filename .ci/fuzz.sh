#!/bin/sh
# Builds the transaction-message fuzzer with clang and runs it for a bounded
# time on a copy of the seed corpus. Exits non-zero when the fuzzer finds a
# crash or a broken invariant.
#   usage: .ci/fuzz.sh [build-dir]      (default: build-fuzz)
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-fuzz}
case $build in
    /*) ;;
    *) build="$repo/$build" ;;
esac

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" \
    -DKMO_FUZZ=ON -DKMO_BUILD_TESTS=OFF \
    -DKMO_PROBE_HOSTS="127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083"
cmake --build "$build" -j2 --target kmo_fuzz

work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$repo"/lib/kmo/fuzz/corpus/* "$work/corpus/"

"$build/bin/kmo_fuzz" -max_total_time=60 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus"
