#!/usr/bin/env bash
# make test: replays every committed fuzz seed, then a fixed number of inputs
# from a fixed seed, so that a run's outcome depends on the code alone and a
# failure is reproduced by the command it prints. Open-ended fuzzing is
# `make fuzz`.
#   FUZZ_CI_SEED  libFuzzer's -seed (default 1)
#   FUZZ_CI_RUNS  inputs to try after the replay (default 30000: some 30 s on an
#                 idle host; 0: the replay alone, as `make check` does)
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

seed=${FUZZ_CI_SEED:-1}
runs=${FUZZ_CI_RUNS:-30000}
[[ $runs =~ ^[0-9]+$ ]] || { echo "FUZZ_CI_RUNS=$runs is not a number of inputs"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }
if [ "$runs" -eq 0 ]; then
    echo "no fixed-seed run (FUZZ_CI_RUNS=0)"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
fi
# Only the committed seeds as the starting corpus (a scratch copy, which
# libFuzzer adds to): inputs left by `make fuzz` would change the run.
work=$(mktemp -d build/fuzz/ci-corpus.XXXXXX)
artifacts=$work/artifacts/
mkdir -p "$artifacts" "$work/corpus"
cp fuzz/corpus/* "$work/corpus/"
# -reload=0: no timed re-reading of the corpus directory. setarch -R: the
# same addresses every run, since compared pointers feed the mutations.
options=(-seed="$seed" -runs="$runs" -reload=0 -max_len=2400 -timeout=10 -dict=fuzz/velquist.dict)
if setarch -R "$binary" "${options[@]}" -artifact_prefix="$artifacts" -print_final_stats=1 "$work/corpus" \
    >"$work/log" 2>&1; then
    passed=$((passed + 1))
    echo "fuzzed $runs inputs from seed $seed: nothing found"
    rm -rf "$work"
else
    failed=$((failed + 1))
    echo "FAIL fuzz run (seed $seed, $runs inputs); log and failing input kept in $work"
    echo "to repeat: cp -r fuzz/corpus DIR && setarch -R $binary ${options[*]} DIR"
    grep -E 'CHECK FAILED|^text|ERROR:|SUMMARY|Test unit written|Base64' "$work/log" | head -10
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
