#!/usr/bin/env bash
# Builds the libFuzzer target in its own clang tree (the unit-test tree is g++).
# Usage: fuzz/build.sh [coverage]. Prints the path of the fuzz binary.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
if [ "${1:-}" = coverage ]; then
    # Source-based coverage for replaying a corpus; no sanitizers, so the
    # counts are those of the code itself.
    tree=build/fuzz-coverage
    flags="-fprofile-instr-generate -fcoverage-mapping"
else
    tree=build/fuzz
    flags=$sanitizers
fi

cmake -S . -B "$tree" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELQUIST_SANITIZE=OFF -DVELQUIST_FUZZ=ON "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
if ! cmake --build "$tree" --target velquist_fuzz >"$tree/build.log" 2>&1; then
    cat "$tree/build.log" >&2
    exit 1
fi
echo "$tree/fuzz/velquist_fuzz"
