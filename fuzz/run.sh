#!/usr/bin/env bash
# `make fuzz`: fuzzes the matcher and the target check for a bounded time.
#   FUZZ_SECONDS  how long to fuzz (default 300)
#   FUZZ_ARGS     extra libFuzzer options
# New inputs collect in fuzz/corpus-work/ (not committed) and carry over to the
# next run; the committed seeds in fuzz/corpus/ are only read. An input that
# fails a check is saved under build/fuzz/artifacts/ and the run exits non-zero;
# once fixed, copy it into fuzz/corpus/ so that CI replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-300}
binary=$(bash fuzz/build.sh)
mkdir -p fuzz/corpus-work build/fuzz/artifacts

echo "fuzz: ${seconds}s, new inputs in fuzz/corpus-work/"
status=0
# shellcheck disable=SC2086
"$binary" -max_total_time="$seconds" -max_len=2400 -timeout=10 -dict=fuzz/velquist.dict \
    -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 ${FUZZ_ARGS:-} \
    fuzz/corpus-work fuzz/corpus 2>build/fuzz/last-run.log || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done|CHECK FAILED|ERROR:|SUMMARY|Test unit written' \
    build/fuzz/last-run.log || true

if command -v llvm-profdata >/dev/null && command -v llvm-cov >/dev/null; then
    # Line and branch coverage of the code under test, from the whole corpus.
    cov=$(bash fuzz/build.sh coverage)
    rm -f build/fuzz-coverage/*.profraw
    LLVM_PROFILE_FILE=build/fuzz-coverage/replay.profraw \
        "$cov" -runs=0 fuzz/corpus-work fuzz/corpus >/dev/null 2>&1 || true
    llvm-profdata merge -o build/fuzz-coverage/replay.profdata build/fuzz-coverage/replay.profraw
    echo "coverage of the code under test after replaying the corpus:"
    llvm-cov report "$cov" -instr-profile=build/fuzz-coverage/replay.profdata \
        src/matcher.cpp src/target.cpp platform/reg.cpp platform/winversion.cpp
fi

if [ $status -ne 0 ]; then
    echo "fuzz: FAILED (exit $status), see build/fuzz/last-run.log and build/fuzz/artifacts/" >&2
    exit $status
fi
echo "fuzz: no failure in ${seconds}s"
