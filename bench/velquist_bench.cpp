// Native timings of the target check (read, match and, in fix mode, write)
// against the in-memory registry, and of the matcher alone.
#include <benchmark/benchmark.h>

#include <string>

#include "fakewin.h"
#include "matcher.h"
#include "target.h"
#include "values.h"

namespace {

using fakewin::View;
typedef std::wstring (*MakeText)();

const RegistryTarget& Uninstall() { return g_registryTargets[0]; }

void Seed(const std::wstring& text) {
    fakewin::Reset();
    // A 260-unit text only fits the buffer stored without its terminator.
    const bool terminator = text.size() < static_cast<size_t>(kValueChars);
    fakewin::SetValue(View::k32, Uninstall().subKey, Uninstall().valueName, REG_SZ,
                      fakewin::Utf16Bytes(text, terminator));
}

DWORD Check(bool fix) {
    const RegistryTarget& t = Uninstall();
    return ProcessTarget(t.subKey, t.valueName, t.valueType, fix);
}

void Matcher(benchmark::State& state, MakeText make) {
    const std::wstring text = make();
    std::wstring g1, g2;
    for (auto _ : state) benchmark::DoNotOptimize(FindUnquotedExe(text, &g1, &g2));
    state.counters["units"] = static_cast<double>(text.size());
}

void Scan(benchmark::State& state, MakeText make, DWORD expected) {
    const std::wstring text = make();
    Seed(text);
    int sinceReset = 0;
    for (auto _ : state) {
        if (++sinceReset == 256) {  // the stand-in logs every call; keep that small
            state.PauseTiming();
            Seed(text);
            sinceReset = 0;
            state.ResumeTiming();
        }
        if (Check(false) != expected) {
            state.SkipWithError("unexpected status");
            break;
        }
    }
}

void Fix(benchmark::State& state, MakeText make, DWORD expected) {
    const std::wstring text = make();
    for (auto _ : state) {
        state.PauseTiming();
        Seed(text);  // the previous iteration repaired it
        state.ResumeTiming();
        if (Check(true) != expected) {
            state.SkipWithError("unexpected status");
            break;
        }
    }
}

std::wstring Empty() { return std::wstring(); }

}  // namespace

#define VELQUIST_BENCH(kind, name, ...) \
    BENCHMARK_CAPTURE(kind, name, __VA_ARGS__)->Unit(benchmark::kMicrosecond)

VELQUIST_BENCH(Matcher, empty, &Empty);
VELQUIST_BENCH(Matcher, typical, &benchvalues::Typical);
VELQUIST_BENCH(Matcher, repair259, &benchvalues::Repair259);
VELQUIST_BENCH(Matcher, worst_match, &benchvalues::WorstMatch);
VELQUIST_BENCH(Matcher, worst_miss, &benchvalues::WorstMiss);

VELQUIST_BENCH(Scan, typical, &benchvalues::Typical, TARGET_NEEDS_FIX);
VELQUIST_BENCH(Scan, repair259, &benchvalues::Repair259, TARGET_NEEDS_FIX);
VELQUIST_BENCH(Scan, worst_match, &benchvalues::WorstMatch, TARGET_NEEDS_FIX);
VELQUIST_BENCH(Scan, worst_miss, &benchvalues::WorstMiss, TARGET_ALREADY_OK);

VELQUIST_BENCH(Fix, typical, &benchvalues::Typical, TARGET_MODIFIED);
VELQUIST_BENCH(Fix, repair259, &benchvalues::Repair259, TARGET_MODIFIED);
VELQUIST_BENCH(Fix, worst_match, &benchvalues::WorstMatch, TARGET_MODIFIED);

BENCHMARK_MAIN();
