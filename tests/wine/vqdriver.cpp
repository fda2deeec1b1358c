// Windows-side helper for the Wine tests: seeds and reads the registry with
// exact types and bytes, starts velquist.exe with an exact command line and
// answers its message boxes, and holds or abandons named mutexes.
//
// Every result is one line of ASCII JSON on stdout (non-ASCII as \uXXXX), so
// the harness never depends on a console code page.
//
//   vqdriver <command> [args...]
//   vqdriver batch            commands from stdin, one per line, fields split by TAB
//
// Views: "32" (KEY_WOW64_32KEY), "64" (KEY_WOW64_64KEY), "0" (process default).
// Hex arguments are raw bytes; a command line is given as UTF-16LE hex so that
// blanks, tabs, quotes and any code unit reach CreateProcessW unchanged.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "local.h"
#include "narrow.h"
#include "winops.h"

namespace {

typedef std::vector<std::wstring> Args;

// ---- output -------------------------------------------------------------

std::string Hex(const BYTE* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void Emit(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int Fail(const std::string& what, DWORD error = 0) {
    Emit("{\"error\":" + Json(std::wstring(what.begin(), what.end())) +
         ",\"code\":" + std::to_string(error) + "}");
    return 2;
}

// ---- parsing ------------------------------------------------------------

bool ParseHex(const std::wstring& text, std::vector<BYTE>* out) {
    if (text.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        wchar_t pair[3] = {text[i], text[i + 1], 0};
        wchar_t* end = nullptr;
        unsigned long v = wcstoul(pair, &end, 16);
        if (end != pair + 2) return false;
        out->push_back(static_cast<BYTE>(v));
    }
    return true;
}

bool ParseView(const std::wstring& text, REGSAM* view) {
    if (text == L"32") *view = KEY_WOW64_32KEY;
    else if (text == L"64") *view = KEY_WOW64_64KEY;
    else if (text == L"0") *view = 0;
    else return false;
    return true;
}

DWORD ParseType(const std::wstring& text) {
    static const struct { const wchar_t* name; DWORD type; } kTypes[] = {
        {L"REG_NONE", REG_NONE}, {L"REG_SZ", REG_SZ}, {L"REG_EXPAND_SZ", REG_EXPAND_SZ},
        {L"REG_BINARY", REG_BINARY}, {L"REG_DWORD", REG_DWORD}, {L"REG_MULTI_SZ", REG_MULTI_SZ},
        {L"REG_QWORD", REG_QWORD}};
    for (const auto& t : kTypes)
        if (text == t.name) return t.type;
    return wcstoul(text.c_str(), nullptr, 0);
}

// ---- registry -----------------------------------------------------------

int RegSet(const Args& a) {
    REGSAM view;
    std::vector<BYTE> data;
    if (a.size() != 6 || !ParseView(a[1], &view) || !ParseHex(a[5], &data))
        return Fail("usage: set VIEW SUBKEY NAME TYPE HEX");
    LONG rc = winops::WriteValue(view, a[2], a[3], ParseType(a[4]), data);
    if (rc == ERROR_INVALID_DATA) return Fail("stored bytes differ from the seed", rc);
    if (rc != ERROR_SUCCESS) return Fail("RegSetValueExW", rc);
    Emit("{\"ok\":true}");
    return 0;
}

int RegGet(const Args& a) {
    REGSAM view;
    if (a.size() != 4 || !ParseView(a[1], &view)) return Fail("usage: get VIEW SUBKEY NAME");
    winops::StoredValue v;
    LONG rc = winops::ReadValue(view, a[2], a[3], &v);
    if (rc != ERROR_SUCCESS) return Fail("RegQueryValueExW", rc);
    if (!v.exists) {
        Emit(std::string("{\"key\":") + (v.key ? "true" : "false") + ",\"exists\":false}");
        return 0;
    }
    Emit("{\"key\":true,\"exists\":true,\"type\":" + std::to_string(v.type) + ",\"hex\":\"" +
         Hex(v.data.data(), v.data.size()) + "\"}");
    return 0;
}

int RegDelete(const Args& a) {
    REGSAM view;
    if (a.size() < 3 || !ParseView(a[1], &view)) return Fail("usage: delkey|delvalue VIEW SUBKEY [NAME]");
    bool existed = false;
    LONG rc;
    if (a[0] == L"delkey") {
        rc = winops::DeleteKey(view, a[2], &existed);
    } else {
        if (a.size() != 4) return Fail("usage: delvalue VIEW SUBKEY NAME");
        rc = winops::DeleteValue(view, a[2], a[3], &existed);
    }
    if (rc != ERROR_SUCCESS) return Fail("delete", rc);
    Emit(std::string("{\"ok\":true,\"existed\":") + (existed ? "true" : "false") + "}");
    return 0;
}

// "acl VIEW SUBKEY ro|rw": ro lets everybody read, delete and re-grant the key
// but not set values, so a repair meets a genuine access-denied write.
int RegAcl(const Args& a) {
    REGSAM view;
    if (a.size() != 4 || !ParseView(a[1], &view) || (a[3] != L"ro" && a[3] != L"rw"))
        return Fail("usage: acl VIEW SUBKEY ro|rw");
    LONG rc = winops::SetKeyAccess(view, a[2], a[3] == L"ro");
    if (rc != ERROR_SUCCESS) return Fail("RegSetKeySecurity", rc);
    Emit("{\"ok\":true}");
    return 0;
}

// "sddl key VIEW SUBKEY [SDDL]" and "sddl file PATH [SDDL]": the owner and DACL
// as the system reads them back, after setting them when SDDL is given.
int Sddl(const Args& a) {
    REGSAM view = 0;
    bool key = a.size() >= 2 && a[1] == L"key";
    size_t fixed = key ? 4 : 3;
    if (a.size() < fixed || a.size() > fixed + 1 || (key && !ParseView(a[2], &view)) || (!key && a[1] != L"file"))
        return Fail("usage: sddl key VIEW SUBKEY [SDDL] | sddl file PATH [SDDL]");
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    owners::Key hkey;
    owners::Handle file;
    DWORD access = READ_CONTROL | (a.size() > fixed ? WRITE_DAC | WRITE_OWNER : 0);
    if (key) {
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, a[3].c_str(), 0, access | view, hkey.Receive());
        if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyExW", rc);
    } else {
        file.Reset(CreateFileW(a[2].c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file) return Fail("CreateFileW", GetLastError());
    }
    DWORD rc = ERROR_SUCCESS;
    if (a.size() > fixed) {
        PSECURITY_DESCRIPTOR given = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(a[fixed].c_str(), SDDL_REVISION_1, &given, nullptr))
            return Fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
        owners::Local<> owned(given);
        rc = key ? static_cast<DWORD>(RegSetKeySecurity(hkey.Get(), what, given))
                 : (SetKernelObjectSecurity(file.Get(), what, given) ? 0 : GetLastError());
        if (rc != ERROR_SUCCESS) return Fail("setting the security", rc);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    rc = GetSecurityInfo(key ? reinterpret_cast<HANDLE>(hkey.Get()) : file.Get(), key ? SE_REGISTRY_KEY : SE_FILE_OBJECT,
                         what, nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) return Fail("GetSecurityInfo", rc);
    owners::Local<> ownedSd(sd);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, what, &text, nullptr))
        return Fail("ConvertSecurityDescriptorToStringSecurityDescriptorW", GetLastError());
    owners::Local<LPWSTR> ownedText(text);
    Emit("{\"op\":\"sddl\",\"sddl\":" + Json(text) + "}");
    return 0;
}

// ---- message boxes ------------------------------------------------------

std::string DescribeBox(const winops::Box& box) {
    std::string json = "{\"caption\":" + Json(box.caption) + ",\"text\":" + Json(box.text) +
                       ",\"buttons\":[";
    for (size_t i = 0; i < box.buttons.size(); ++i) json += (i ? "," : "") + Json(box.buttons[i]);
    json += std::string("],\"icon\":") + (box.icon ? "true" : "false") +
            ",\"at\":" + std::to_string(box.at) + "}";
    return json;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t sep) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::wstring::npos) break;
        start = at + 1;
    }
    return parts;
}

std::wstring ReadLineW();

// "run EXE CMDHEX ANSWERS [TIMEOUT_MS]"
// ANSWERS: comma-separated, one per box in order: yes, no, ok, cancel, close
// (WM_CLOSE), kill (TerminateProcess while the box is up), stdin (print the box,
// then read the answer from stdin), or "-" for none.
int Run(const Args& a) {
    std::vector<BYTE> raw;
    if (a.size() < 4 || a.size() > 5 || !ParseHex(a[2], &raw) || raw.size() % 2)
        return Fail("usage: run EXE CMDHEX ANSWERS [TIMEOUT_MS]");
    std::wstring cmdline(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
    std::vector<std::wstring> answers;
    if (a[3] != L"-") answers = Split(a[3], L',');
    DWORD timeout = a.size() == 5 ? wcstoul(a[4].c_str(), nullptr, 10) : 30000;

    std::string boxes;
    size_t next = 0;
    winops::RunResult r = winops::Run(a[1], cmdline, [&](const winops::Box& box) {
        std::string described = DescribeBox(box);
        boxes += (boxes.empty() ? "" : ",") + described;
        Emit("{\"event\":\"box\",\"box\":" + described + "}");
        std::wstring answer = next < answers.size() ? answers[next++] : L"";
        return answer == L"stdin" ? ReadLineW() : answer;
    }, timeout);
    if (r.error) return Fail("CreateProcessW", r.error);
    std::string json = "{\"op\":\"run\",\"boxes\":[" + boxes + "],\"exit\":" +
                       (r.timedOut || r.killed ? std::string("null") : std::to_string(r.exit)) +
                       ",\"timeout\":" + (r.timedOut ? "true" : "false") +
                       ",\"killed\":" + (r.killed ? "true" : "false") +
                       ",\"ms\":" + std::to_string(r.ms);
    if (!r.problem.empty()) json += ",\"problem\":" + Json(std::wstring(r.problem.begin(), r.problem.end()));
    Emit(json + "}");
    return 0;
}

// "runmany EXE CMDHEX COUNT": starts COUNT runs at once and reports every exit
// code.
int RunMany(const Args& a) {
    std::vector<BYTE> raw;
    if (a.size() != 4 || !ParseHex(a[2], &raw) || raw.size() % 2)
        return Fail("usage: runmany EXE CMDHEX COUNT");
    std::wstring cmdline(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
    DWORD error = 0;
    std::vector<DWORD> exits = winops::RunMany(a[1], cmdline, _wtoi(a[3].c_str()), 60000, &error);
    if (error) return Fail("CreateProcessW", error);
    std::string codes;
    for (DWORD code : exits) codes += (codes.empty() ? "" : ",") + std::to_string(code);
    Emit("{\"op\":\"runmany\",\"exits\":[" + codes + "]}");
    return 0;
}

// ---- mutexes ------------------------------------------------------------

std::wstring ReadLineW() {
    std::string line;
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    int n = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &out[0], n);
    return out;
}

void WaitForStdinEof() {
    while (fgetc(stdin) != EOF) {
    }
}

// "hold NAME..." owns each mutex, reports, and keeps them until stdin closes.
// "open NAME..." only keeps a handle to each (so an owner's death abandons it
// rather than destroying it) until stdin closes.
int Mutexes(const Args& a) {
    bool own = a[0] == L"hold";
    winops::Mutexes held;
    std::string report;
    for (size_t i = 1; i < a.size(); ++i) {
        DWORD r = held.Add(a[i], own);
        if (r == WAIT_FAILED) return Fail("CreateMutexW", GetLastError());
        const char* state = own ? winops::WaitName(r) : "open";
        report += (report.empty() ? "" : ",") + Json(a[i]) + ":\"" + state + "\"";
    }
    Emit("{\"op\":\"" + std::string(own ? "hold" : "open") + "\",\"mutexes\":{" + report + "}}");
    WaitForStdinEof();
    return 0;
}

// "own-and-die NAME...": exits while owning the mutexes.
int OwnAndDie(const Args& a) {
    for (size_t i = 1; i < a.size(); ++i) {
        HANDLE h = CreateMutexW(nullptr, FALSE, a[i].c_str());
        if (!h || WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) ExitProcess(3);
    }
    ExitProcess(0);
}

// "abandon NAME...": keeps a handle to each mutex while an owner dies, then
// keeps the handles (not owning) until stdin closes, so the next waiter gets
// WAIT_ABANDONED.
int Abandon(const Args& a) {
    winops::Mutexes kept;
    if (!winops::AbandonMutexes(Args(a.begin() + 1, a.end()), &kept))
        return Fail("could not own the mutexes", GetLastError());
    Emit("{\"op\":\"abandon\",\"ok\":true}");
    WaitForStdinEof();
    return 0;
}

// "probe NAME": one non-waiting attempt, releasing what it got; shows what the
// next taker of the mutex will meet.
int Probe(const Args& a) {
    if (a.size() != 2) return Fail("usage: probe NAME");
    DWORD r = winops::ProbeMutex(a[1]);
    if (r == WAIT_FAILED) return Fail("CreateMutexW", GetLastError());
    Emit(std::string("{\"op\":\"probe\",\"wait\":\"") + winops::WaitName(r) + "\"}");
    return 0;
}

// "ctype HEX": the CT_CTYPE1 bits of each UTF-16 code unit, as the platform
// classes them; the harness's reference for what counts as white space.
int CType(const Args& a) {
    std::vector<BYTE> raw;
    if (a.size() != 2 || !ParseHex(a[1], &raw) || raw.size() % 2) return Fail("usage: ctype HEX");
    std::string bits;
    for (size_t i = 0; i < raw.size(); i += 2) {
        wchar_t c = static_cast<wchar_t>(raw[i] | (raw[i + 1] << 8));
        WORD type = 0;
        GetStringTypeW(CT_CTYPE1, &c, 1, &type);
        bits += (bits.empty() ? "" : ",") + std::to_string(type);
    }
    Emit("{\"op\":\"ctype\",\"bits\":[" + bits + "]}");
    return 0;
}

// "msgbox STYLE TEXT": a box of a known style, so that the harness can show
// that its reading of icons and buttons tells styles apart.
int MsgBox(const Args& a) {
    if (a.size() != 3) return Fail("usage: msgbox STYLE TEXT");
    int answer = MessageBoxW(nullptr, a[2].c_str(), L"probe", wcstoul(a[1].c_str(), nullptr, 0));
    return answer;
}

int Dispatch(const Args& a);

int Batch() {
    int worst = 0;
    for (;;) {
        if (feof(stdin)) break;
        std::wstring line = ReadLineW();
        if (line.empty()) {
            if (feof(stdin)) break;
            continue;
        }
        int rc = Dispatch(Split(line, L'\t'));
        if (rc > worst) worst = rc;
    }
    return worst;
}

int Dispatch(const Args& a) {
    if (a.empty()) return Fail("no command");
    const std::wstring& c = a[0];
    if (c == L"set") return RegSet(a);
    if (c == L"get") return RegGet(a);
    if (c == L"delkey" || c == L"delvalue") return RegDelete(a);
    if (c == L"acl") return RegAcl(a);
    if (c == L"sddl") return Sddl(a);
    if (c == L"run") return Run(a);
    if (c == L"runmany") return RunMany(a);
    if (c == L"hold" || c == L"open") return Mutexes(a);
    if (c == L"abandon") return Abandon(a);
    if (c == L"own-and-die") return OwnAndDie(a);
    if (c == L"probe") return Probe(a);
    if (c == L"ctype") return CType(a);
    if (c == L"msgbox") return MsgBox(a);
    if (c == L"batch") return Batch();
    return Fail("unknown command");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Args args(argv + 1, argv + argc);
    return Dispatch(args);
}
