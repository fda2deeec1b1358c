#!/usr/bin/env bash
# `make bench`: the target check's native timings (Google Benchmark), then whole
# silent runs of velquist.exe under Wine against floor.exe, the executable's
# size and a run's peak memory. A benchmark, not a test: it prints figures.
#   BENCH_RUNS  runs of each executable under Wine (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${BENCH_RUNS:-30}
mkdir -p build/bench
source scripts/wine.sh
vq_check_i386

echo "=== machine"
echo "cpu:    $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
echo "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "os:     $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
echo "wine:   $(wine --version)"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"

echo "=== native target check (Release, no sanitizers; in-memory registry)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELQUIST_SANITIZE=OFF >/dev/null
if ! cmake --build build/bench --target velquist_bench >build/bench/build.log 2>&1; then
    cat build/bench/build.log
    exit 1
fi
build/bench/bench/velquist_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    2>/dev/null | grep -E '^Benchmark|_median' || true
echo "(Matcher: the match alone, pattern compiled per call as the tool does; Scan: read and"
echo " match; Fix: read, match and write. Values: see bench/values.h.)"

echo "=== whole silent runs under Wine"
# A prefix of this run's own, whatever an earlier or interrupted run left.
vq_run_dir build/bench
export WINEPREFIX=$PWD/$VQ_RUN_DIR/prefix
vq_on_exit 'vq_server_stop; rm -rf "$VQ_RUN_DIR"'
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
velquist=build/windows/velquist.exe
floor=build/windows/bench/floor/floor.exe
benchrun=build/windows/bench/floor/benchrun.exe
for exe in "$velquist" "$floor" "$benchrun"; do
    [ -f "$exe" ] || { echo "missing $exe: run make bench" >&2; exit 1; }
done
vq_server_start
wineboot -i >/dev/null 2>&1
velquist_w=$(winepath -w "$velquist")
floor_w=$(winepath -w "$floor")
samples=$VQ_RUN_DIR/wine-samples.txt
: >"$samples"

now_us() { echo $(( $(date +%s%N) / 1000 )); }

# One whole run as a caller sees it: `wine EXE /s`, timed from outside, with
# the maximum RSS of the Wine process from /usr/bin/time.
outer() {
    local name=$1 exe=$2 expect=$3 start end code
    wine "$benchrun" seed repair
    start=$(now_us)
    code=0
    /usr/bin/time -f %M -o "$VQ_RUN_DIR/rss.txt" wine "$exe" /s || code=$?
    end=$(now_us)
    [ "$code" = "$expect" ] || { echo "$name exited $code, expected $expect" >&2; exit 1; }
    echo "outer $name $((end - start)) $(tail -1 "$VQ_RUN_DIR/rss.txt")" >>"$samples"
}

# One run timed from inside Wine by benchrun (CreateProcess to exit), with the
# child's PeakWorkingSetSize (0 when Wine could not tell it any more).
inner() {
    local name=$1 set=$2 exe=$3 expect=$4 line
    line=$(wine "$benchrun" run "$set" "$exe" /s | tr -d '\r')
    case $line in
        *" exit=$expect "*) ;;
        *) echo "$name ($set): unexpected result: $line" >&2; exit 1 ;;
    esac
    echo "inner $name $line" >>"$samples"
}

for ((i = 1; i <= runs; i++)); do
    # Alternate which goes first, so that drift in the machine's load hits both alike.
    if ((i % 2)); then
        outer velquist "$velquist" 0; outer floor "$floor" 0
        inner velquist repair "$velquist_w" 0; inner floor repair "$floor_w" 0
    else
        outer floor "$floor" 0; outer velquist "$velquist" 0
        inner floor repair "$floor_w" 0; inner velquist repair "$velquist_w" 0
    fi
done
# The matcher's worst cases in all three values at once, against values that
# are already quoted (the cheapest full scan).
for ((i = 1; i <= (runs + 1) / 2; i++)); do
    inner quoted quoted "$velquist_w" 3
    inner worst_miss worst_miss "$velquist_w" 3
    inner worst_match worst_match "$velquist_w" 0
done

cp "$samples" build/bench/wine-samples.txt   # kept for a closer look
python3 - "$samples" "$velquist" "$floor" "$runs" <<'PY'
import os, statistics, sys
samples, velquist, floor, runs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
outer, inner = {}, {}
for line in open(samples):
    kind, name, *rest = line.split()
    if kind == "outer":
        outer.setdefault(name, []).append((int(rest[0]) / 1000, int(rest[1]) / 1024))
    else:
        fields = dict(f.split("=") for f in rest)
        inner.setdefault(name, []).append(
            (int(fields["elapsed_us"]) / 1000, int(fields["peak_ws"]) / 1048576))

def med(values):
    values = [v for v in values if v > 0]
    return statistics.median(values) if values else float("nan")

ov = med([t for t, _ in outer["velquist"]]); of = med([t for t, _ in outer["floor"]])
iv = med([t for t, _ in inner["velquist"]]); inf = med([t for t, _ in inner["floor"]])
print(f"{runs} runs each, alternating, values seeded to need repair before each run; medians:")
print(f"  wall time of `wine EXE /s` (from bash):        velquist {ov:7.1f} ms   floor {of:7.1f} ms   ratio {ov / of:.2f}")
print(f"  inside Wine (benchrun, CreateProcess to exit): velquist {iv:7.1f} ms   floor {inf:7.1f} ms   ratio {iv / inf:.2f}")
print("=== size and peak memory")
print(f"  velquist.exe {os.path.getsize(velquist):,} bytes (floor.exe {os.path.getsize(floor):,} bytes)")
ws = [m for _, m in inner["velquist"] if m > 0]; wf = [m for _, m in inner["floor"] if m > 0]
def mib(values):
    return f"{med(values):.1f} MiB" if values else "not readable"
print(f"  PeakWorkingSetSize (GetProcessMemoryInfo from benchrun, median of {len(ws)} readable runs):"
      f" velquist {mib(ws)}, floor {mib(wf)}")
print(f"  max RSS of the Wine process (/usr/bin/time -f %M, median):"
      f" velquist {med([m for _, m in outer['velquist']]):.1f} MiB, floor {med([m for _, m in outer['floor']]):.1f} MiB")
print("=== matcher worst cases in all three values, whole run inside Wine (medians)")
q = med([t for t, _ in inner["quoted"]])
for name, what in (("quoted", "all quoted (no match, cheap)"),
                   ("worst_miss", "worst refused text x3 (exit 3)"),
                   ("worst_match", "worst matching text x3 (exit 0)")):
    t = med([t for t, _ in inner[name]])
    print(f"  {what:34s} {t:7.1f} ms   (+{t - q:5.1f} ms over all quoted)")
PY
