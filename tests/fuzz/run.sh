#!/usr/bin/env bash
# CI: replays every committed fuzz seed, then fuzzes briefly from them.
#   FUZZ_CI_SECONDS  length of the short run (default 30)
set -uo pipefail
cd "$(dirname "$0")/../.."

passed=0
failed=0
if ! binary=$(bash fuzz/build.sh); then
    echo "fuzz target did not build"
    echo "0 passed, 1 failed"
    exit 1
fi

# One process per seed, so that every seed is reported and not only the first failure.
for seed in fuzz/corpus/*; do
    if "$binary" "$seed" >build/fuzz/replay.log 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL replay $seed"
        grep -E 'CHECK FAILED|^text|ERROR:|SUMMARY' build/fuzz/replay.log | head -5
    fi
done
echo "replayed $((passed + failed)) seeds"

seconds=${FUZZ_CI_SECONDS:-30}
work=$(mktemp -d build/fuzz/ci-corpus.XXXXXX)
artifacts=$work/artifacts/
mkdir -p "$artifacts"
if "$binary" -max_total_time="$seconds" -max_len=2400 -timeout=10 -dict=fuzz/velquist.dict \
    -artifact_prefix="$artifacts" -print_final_stats=1 "$work" fuzz/corpus \
    >"$work/log" 2>&1; then
    passed=$((passed + 1))
    echo "fuzzed ${seconds}s: $(grep -m1 'number_of_executed_units' "$work/log" | awk '{print $2}') inputs, nothing found"
    rm -rf "$work"
else
    failed=$((failed + 1))
    echo "FAIL fuzz run (${seconds}s); log and failing input kept in $work"
    grep -E 'CHECK FAILED|^text|ERROR:|SUMMARY|Test unit written|Base64' "$work/log" | head -10
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
