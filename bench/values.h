#pragma once
// The values the benchmarks check, natively and in the Wine runs: one as an
// installer typically writes it, the longest that fits the value buffer and
// needs repair, and the costliest texts found for the matcher.
#include <string>

namespace benchvalues {

inline std::wstring Repeat(const std::wstring& piece, size_t times) {
    std::wstring out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

inline std::wstring Typical() { return L"C:\\Program Files\\Example Driver\\setup.exe -uninstall"; }

// 259 units: stored with its terminator it fills the 520-byte buffer exactly.
inline std::wstring Repair259() {
    std::wstring head = L"C:\\Program Files\\Example Driver\\Version 1.0 Build 1000\\";
    std::wstring tail = L"setup.exe -uninstall -silent -log C:\\Windows\\Temp\\example.log";
    return head + Repeat(L"x", 259 - head.size() - tail.size()) + tail;
}

// No match, and the dearest to refuse: every blank (the first star's choices)
// times every ".exe" (the second star's) times the scan of the rest of the
// line that group 2 makes before the line break refuses it. 259 units, the
// most a value stored with its terminator can hold.
inline std::wstring WorstMiss() { return Repeat(L" ", 86) + Repeat(L".exe", 43) + L"\n"; }

// A match found only after the first star has given back almost everything:
// each blank it passes costs a scan of the rest for ".exe". 259 units.
inline std::wstring WorstMatch() { return L"C:\\a .exe" + Repeat(L" ", 250); }

}  // namespace benchvalues
