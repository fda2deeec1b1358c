#!/usr/bin/env bash
# Runs the test suites and prints a summary; fails if any suite fails, and
# stops none early. `make test` builds what they need first.
#
#   bash scripts/test.sh [SUITE...]      the named suites, in this order; none: all
#   bash scripts/test.sh --check-names SUITE...   only says whether each name is a suite
#
# A suite is a folder of tests/ with a run.sh, or native: the unit tests
# (ctest in build/native).
set -uo pipefail
cd "$(dirname "$0")/.."

all=(native)
for suite in tests/*/run.sh; do
    [ -f "$suite" ] && all+=("$(basename "$(dirname "$suite")")")
done

check_only=no
if [ "${1:-}" = --check-names ]; then check_only=yes; shift; fi
for name in "$@"; do
    [[ " ${all[*]} " == *" $name "* ]] || {
        echo "test: there is no suite '$name': the suites are ${all[*]} (native is the unit tests, the rest are the folders of tests/)." >&2
        exit 2
    }
done
[ $check_only = no ] || exit 0
[ $# -gt 0 ] || set -- "${all[@]}"

failed=0
suites=()

run_suite() {
    local name=$1; shift
    echo "=== $name"
    if "$@"; then suites+=("$name: ok"); else suites+=("$name: FAILED"); failed=$((failed + 1)); fi
}

for name in "$@"; do
    if [ "$name" = native ]; then
        run_suite "native unit tests" ctest --test-dir build/native --output-on-failure -j2
    else
        run_suite "$name" bash "tests/$name/run.sh"
    fi
done

echo "=== summary"
printf '%s\n' "${suites[@]}"
exit $((failed > 0))
