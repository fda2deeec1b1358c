// Coverage-guided fuzzing of the unquoted-exe matcher and of ProcessTarget
// against the in-memory registry.
//
// Input, first byte even: the rest is UTF-16LE text (at most 260 units) handed
// straight to the matcher.
//
// Input, first byte odd: a registry state, then one ProcessTarget call.
//   [1] target index (mod 3)
//   [2] bit 0 fix mode; bits 1-3 system (see kSystems); bit 4 seed the value in
//       the 32-bit view; bit 5 seed it in the 64-bit view; bit 6 writes fail;
//       bit 7 opening a key in the 32-bit view is refused
//   [3] bit 0 create the key in the 32-bit view; bit 1 in the 64-bit view;
//       bit 2 a failing write fails at creating the key, not at setting the
//       value; bit 3 kernel32 has no module handle
//   then for each seeded view (32 first): type (mod 12), byte count (16-bit
//   LE, at most kMaxStored), and that many bytes (fewer if the input ends).
//
// Every input is checked against a model written here from the stored state
// and the hand-written oracle, not from the code under test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "exe_oracle.h"
#include "fakewin.h"
#include "matcher.h"
#include "target.h"

namespace {

using fakewin::View;

const size_t kMaxStored = 1100;  // well past the 520-byte buffer
const DWORD kBufferBytes = 520;  // Windows bytes: 260 units of two bytes

struct System {
    WORD arch;
    bool nativeInfo;  // GetNativeSystemInfo exported
};
const System kSystems[8] = {
    {PROCESSOR_ARCHITECTURE_AMD64, true}, {PROCESSOR_ARCHITECTURE_INTEL, true},
    {PROCESSOR_ARCHITECTURE_IA64, true},  {PROCESSOR_ARCHITECTURE_ARM64, true},
    {PROCESSOR_ARCHITECTURE_IA32_ON_WIN64, true}, {PROCESSOR_ARCHITECTURE_ARM, true},
    {PROCESSOR_ARCHITECTURE_AMD64, false}, {PROCESSOR_ARCHITECTURE_INTEL, false},
};

[[noreturn]] void Fail(const char* what, const std::wstring& text) {
    std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\ntext (%zu units):", what, text.size());
    for (wchar_t c : text) std::fprintf(stderr, " %04x", static_cast<unsigned>(c));
    std::fprintf(stderr, "\n");
    std::abort();
}

#define CHECK(cond, text)                       \
    do {                                        \
        if (!(cond)) Fail(#cond, (text));       \
    } while (0)

// The matcher against the oracle, and its repair against itself.
void CheckText(const std::wstring& text) {
    std::wstring g1 = L"<untouched>", g2 = L"<untouched>";
    const bool matched = FindUnquotedExe(text, &g1, &g2);
    const oracle::Split expected = oracle::FindUnquotedExe(text);
    CHECK(matched == expected.matched, text);
    if (!matched) return;
    CHECK(g1 + g2 == text, text);
    CHECK(g1.size() == expected.group1Length, text);

    const std::wstring quoted = L"\"" + g1 + L"\"" + g2;
    std::wstring q1, q2;
    CHECK(!FindUnquotedExe(quoted, &q1, &q2), quoted);
    CHECK(!oracle::FindUnquotedExe(quoted).matched, quoted);
}

std::wstring DecodeUtf16(const uint8_t* data, size_t size, size_t maxUnits) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size && text.size() < maxUnits; i += 2)
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    return text;
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::vector<uint8_t> Bytes(size_t count) {
        size_t take = std::min(count, m_size - m_pos);
        std::vector<uint8_t> out(m_data + m_pos, m_data + m_pos + take);
        m_pos += take;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct Scenario {
    int target = 0;
    bool fix = false;
    System system{};
    bool writeFails = false;
    bool createFails = false;  // where a failing write fails
    bool noKernel32 = false;
    bool open32Refused = false;
};

bool IsSoftwareKey(const std::wstring& key) { return key.rfind(L"SOFTWARE\\", 0) == 0; }

// What one read of the value sees in the view a request reaches.
struct ReadResult {
    bool ok = false;
    bool exists = true;
    std::wstring text;
};

ReadResult ModelRead(const Scenario& s, const RegistryTarget& t, View view) {
    ReadResult r;
    if (s.open32Refused && view == View::k32) return r;
    if (!fakewin::KeyExists(view, t.subKey)) {
        r.exists = false;
        return r;
    }
    std::optional<fakewin::Value> value = fakewin::GetValue(view, t.subKey, t.valueName);
    if (!value) {
        r.exists = false;
        return r;
    }
    if (value->bytes.size() > kBufferBytes) return r;
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ && value->type != REG_MULTI_SZ)
        return r;
    r.ok = true;
    // Only what this read returned, up to its first NUL.
    std::wstring units = DecodeUtf16(value->bytes.data(), value->bytes.size(), kValueChars);
    r.text = units.substr(0, units.find(L'\0'));
    return r;
}

struct Expectation {
    DWORD status = TARGET_FAILED;
    bool read = false;
    std::wstring text;
    View view = View::k32;  // where the value was found, and so written
};

Expectation Model(const Scenario& s, const RegistryTarget& t) {
    const WORD arch = s.system.arch;
    const bool is64 = !s.noKernel32 && s.system.nativeInfo && (arch == PROCESSOR_ARCHITECTURE_AMD64 ||
                                              arch == PROCESSOR_ARCHITECTURE_IA64 ||
                                              arch == PROCESSOR_ARCHITECTURE_IA32_ON_WIN64);
    // The stand-in, like Windows, has a separate 64-bit view only on systems with WOW64.
    const bool hasWow64 = arch == PROCESSOR_ARCHITECTURE_AMD64 ||
                          arch == PROCESSOR_ARCHITECTURE_IA64 ||
                          arch == PROCESSOR_ARCHITECTURE_ARM64;
    Expectation e;
    ReadResult r = ModelRead(s, t, View::k32);
    if (!r.ok && is64) {
        e.view = hasWow64 ? View::k64 : View::k32;
        r = ModelRead(s, t, e.view);
    }
    if (!r.ok) {
        e.status = r.exists ? TARGET_FAILED : TARGET_NOT_FOUND;
        return e;
    }
    e.read = true;
    e.text = r.text;
    if (!oracle::FindUnquotedExe(r.text).matched) e.status = TARGET_ALREADY_OK;
    else if (!s.fix) e.status = TARGET_NEEDS_FIX;
    else e.status = s.writeFails ? TARGET_FAILED : TARGET_MODIFIED;
    return e;
}

bool SameValue(const std::optional<fakewin::Value>& a, const std::optional<fakewin::Value>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->type == b->type && a->bytes == b->bytes);
}

void Setup(const Scenario& s) {
    fakewin::Reset();
    fakewin::SetProcessorArchitecture(s.system.arch);
    fakewin::SetNativeSystemInfoExported(s.system.nativeInfo);
    fakewin::SetKernel32Loaded(!s.noKernel32);
    if (s.writeFails) {
        fakewin::InjectFault({s.createFails ? fakewin::Op::Create : fakewin::Op::Set,
                              ERROR_ACCESS_DENIED, L"", {}, -1});
    }
    if (s.open32Refused)
        fakewin::InjectFault({fakewin::Op::Open, ERROR_ACCESS_DENIED, L"", View::k32, -1});
}

void FuzzRegistry(const uint8_t* data, size_t size) {
    Reader in(data + 1, size - 1);
    Scenario s;
    s.target = in.Byte() % kRegistryTargetCount;
    const uint8_t flags = in.Byte();
    const uint8_t keys = in.Byte();
    s.fix = flags & 1;
    s.system = kSystems[(flags >> 1) & 7];
    s.writeFails = flags & 0x40;
    s.open32Refused = flags & 0x80;
    s.createFails = keys & 4;
    s.noKernel32 = keys & 8;
    const RegistryTarget& t = g_registryTargets[s.target];

    Setup(s);
    if (keys & 1) fakewin::CreateKey(View::k32, t.subKey);
    if (keys & 2) fakewin::CreateKey(View::k64, t.subKey);
    for (View view : {View::k32, View::k64}) {
        if (!(flags & (view == View::k32 ? 0x10 : 0x20))) continue;
        DWORD type = in.Byte() % 12;
        size_t count = in.Byte();
        count |= static_cast<size_t>(in.Byte()) << 8;
        fakewin::SetValue(view, t.subKey, t.valueName, type, in.Bytes(count % (kMaxStored + 1)));
    }

    const std::optional<fakewin::Value> before32 =
        fakewin::GetValue(View::k32, t.subKey, t.valueName);
    const std::optional<fakewin::Value> before64 =
        fakewin::GetValue(View::k64, t.subKey, t.valueName);
    const Expectation e = Model(s, t);
    if (e.read) CheckText(e.text);

    const DWORD status = ProcessTarget(t.subKey, t.valueName, t.valueType, s.fix);
    CHECK(status == e.status, e.text);
    CHECK(fakewin::OpenKeyCount() == 0, e.text);
    CHECK(fakewin::BadCloseCount() == 0, e.text);

    int sets = 0;
    for (const std::wstring& line : fakewin::Log())
        if (line.rfind(L"set ", 0) == 0) ++sets;
    const bool attempted = e.read && s.fix && oracle::FindUnquotedExe(e.text).matched;
    const bool reachesSet = attempted && !(s.writeFails && s.createFails);
    CHECK(sets == (reachesSet ? 1 : 0), e.text);  // scan mode never writes

    // Every stored form of the value is as it was, except the one written.
    std::optional<fakewin::Value> written;
    std::wstring quoted;
    if (status == TARGET_MODIFIED) {
        std::wstring g1, g2;
        CHECK(FindUnquotedExe(e.text, &g1, &g2), e.text);
        quoted = L"\"" + g1 + L"\"" + g2;
        written = fakewin::Value{t.valueType, fakewin::Utf16Bytes(quoted, true)};
    }
    const bool shared = !IsSoftwareKey(t.subKey);
    for (View view : {View::k32, View::k64}) {
        const bool target = status == TARGET_MODIFIED && (view == e.view || shared);
        const auto& expected = target ? written : (view == View::k32 ? before32 : before64);
        CHECK(SameValue(fakewin::GetValue(view, t.subKey, t.valueName), expected), e.text);
    }
    if (status != TARGET_MODIFIED) return;

    // The repaired value, read back by a later run along the same path, never
    // needs repairing again (it may no longer fit the buffer: then it fails).
    Scenario again = s;
    again.fix = false;
    again.writeFails = false;
    const std::optional<fakewin::Value> after32 = fakewin::GetValue(View::k32, t.subKey, t.valueName);
    const std::optional<fakewin::Value> after64 = fakewin::GetValue(View::k64, t.subKey, t.valueName);
    Setup(again);
    if (after32) fakewin::SetValue(View::k32, t.subKey, t.valueName, after32->type, after32->bytes);
    if (after64) fakewin::SetValue(View::k64, t.subKey, t.valueName, after64->type, after64->bytes);
    const Expectation e2 = Model(again, t);
    const DWORD status2 = ProcessTarget(t.subKey, t.valueName, t.valueType, false);
    CHECK(status2 == e2.status, quoted);
    CHECK(status2 != TARGET_NEEDS_FIX, quoted);
    if (quoted.size() < static_cast<size_t>(kValueChars)) CHECK(status2 == TARGET_ALREADY_OK, quoted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        FuzzRegistry(data, size);
    } else {
        // Straight to the matcher: any 16-bit units, no registry in between.
        fakewin::Reset();
        CheckText(DecodeUtf16(data + 1, size - 1, kValueChars));
    }
    return 0;
}
