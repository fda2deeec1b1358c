#!/usr/bin/env bash
# Runs every test: native unit tests, then the real executable under Wine.
# Expects `make exe native` to have built both trees.
set -uo pipefail
cd "$(dirname "$0")/.."

failed=0
suites=()

run_suite() {
    local name=$1; shift
    echo "=== $name"
    if "$@"; then suites+=("$name: ok"); else suites+=("$name: FAILED"); failed=$((failed + 1)); fi
}

run_suite "native unit tests" ctest --test-dir build/native --output-on-failure -j2
for suite in tests/*/run.sh; do
    [ -x "$suite" ] || [ -f "$suite" ] || continue
    run_suite "$(basename "$(dirname "$suite")")" bash "$suite"
done

echo "=== summary"
printf '%s\n' "${suites[@]}"
exit $((failed > 0))
