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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::wstring> Args;

// ---- output -------------------------------------------------------------

std::string Json(const std::wstring& s) {
    std::string out = "\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

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
    DWORD count = static_cast<DWORD>(data.size());
    // RegSetValueExW adds a terminator that the caller "forgot" when the
    // string is followed by a NUL in memory; padding keeps the bytes exact.
    data.push_back(0xFF);
    data.push_back(0xFF);
    data.push_back(0xFF);
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, a[2].c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE | view, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return Fail("RegCreateKeyExW", rc);
    rc = RegSetValueExW(key, a[3].c_str(), 0, ParseType(a[4]), count ? data.data() : nullptr, count);
    // A seed that is not stored byte for byte would make a test prove nothing.
    std::vector<BYTE> stored(count + 16);
    DWORD size = static_cast<DWORD>(stored.size());
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key, a[3].c_str(), nullptr, nullptr, stored.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("RegSetValueExW", rc);
    if (size != count || memcmp(stored.data(), data.data(), count) != 0)
        return Fail("stored bytes differ from the seed", size);
    Emit("{\"ok\":true}");
    return 0;
}

int RegGet(const Args& a) {
    REGSAM view;
    if (a.size() != 4 || !ParseView(a[1], &view)) return Fail("usage: get VIEW SUBKEY NAME");
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, a[2].c_str(), 0, KEY_QUERY_VALUE | view, &key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        Emit("{\"key\":false,\"exists\":false}");
        return 0;
    }
    if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyExW", rc);
    DWORD type = 0, size = 0;
    rc = RegQueryValueExW(key, a[3].c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + 1);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(key, a[3].c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        Emit("{\"key\":true,\"exists\":false}");
        return 0;
    }
    if (rc != ERROR_SUCCESS) return Fail("RegQueryValueExW", rc);
    Emit("{\"key\":true,\"exists\":true,\"type\":" + std::to_string(type) + ",\"hex\":\"" +
         Hex(data.data(), size) + "\"}");
    return 0;
}

int RegDelete(const Args& a) {
    REGSAM view;
    if (a.size() < 3 || !ParseView(a[1], &view)) return Fail("usage: delkey|delvalue VIEW SUBKEY [NAME]");
    LONG rc;
    if (a[0] == L"delkey") {
        rc = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, a[2].c_str(), view, 0);
    } else {
        if (a.size() != 4) return Fail("usage: delvalue VIEW SUBKEY NAME");
        HKEY key;
        rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, a[2].c_str(), 0, KEY_SET_VALUE | view, &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteValueW(key, a[3].c_str());
            RegCloseKey(key);
        }
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return Fail("delete", rc);
    Emit(std::string("{\"ok\":true,\"existed\":") + (rc == ERROR_SUCCESS ? "true" : "false") + "}");
    return 0;
}

// "acl VIEW SUBKEY ro|rw": ro lets everybody read, delete and re-grant the key
// but not set values, so a repair meets a genuine access-denied write.
int RegAcl(const Args& a) {
    REGSAM view;
    if (a.size() != 4 || !ParseView(a[1], &view) || (a[3] != L"ro" && a[3] != L"rw"))
        return Fail("usage: acl VIEW SUBKEY ro|rw");
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, a[2].c_str(), 0, WRITE_DAC | READ_CONTROL | view, &key);
    if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyExW", rc);

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions =
        a[3] == L"ro" ? (KEY_READ | DELETE | WRITE_DAC) : (KEY_ALL_ACCESS);
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    rc = SetEntriesInAclW(1, &ea, nullptr, &acl);
    if (rc == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        // Protected, so that no inherited entry grants the write back.
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
        LocalFree(acl);
    }
    FreeSid(everyone);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("RegSetKeySecurity", rc);
    Emit("{\"ok\":true}");
    return 0;
}

// ---- message boxes ------------------------------------------------------

std::wstring TextOf(HWND hwnd) {
    wchar_t buf[1024] = {};
    GetWindowTextW(hwnd, buf, 1024);
    return buf;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buf[64] = {};
    GetClassNameW(hwnd, buf, 64);
    return buf;
}

struct BoxSearch {
    DWORD pid;
    const std::set<HWND>* seen;
    HWND found;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM param) {
    BoxSearch* s = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" && !s->seen->count(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct Button {
    int id;
    int left;
    HWND hwnd;
    std::wstring text;
};

struct BoxInfo {
    std::vector<Button> buttons;
    bool icon = false;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
    BoxInfo* box = reinterpret_cast<BoxInfo*>(param);
    if (!IsWindowVisible(hwnd)) return TRUE;
    std::wstring cls = ClassOf(hwnd);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        RECT r;
        GetWindowRect(hwnd, &r);
        box->buttons.push_back({GetDlgCtrlID(hwnd), r.left, hwnd, TextOf(hwnd)});
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
               (GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        DWORD_PTR icon = 0;
        SendMessageTimeoutW(hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
        if (icon) box->icon = true;
    }
    return TRUE;
}

std::string DescribeBox(HWND box, BoxInfo* info, DWORD at) {
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(info));
    // Left to right, as the user sees them.
    for (size_t i = 1; i < info->buttons.size(); ++i)
        for (size_t j = i; j > 0 && info->buttons[j].left < info->buttons[j - 1].left; --j)
            std::swap(info->buttons[j], info->buttons[j - 1]);
    std::string json = "{\"caption\":" + Json(TextOf(box)) + ",\"text\":" +
                       Json(TextOf(GetDlgItem(box, 0xFFFF))) + ",\"buttons\":[";
    for (size_t i = 0; i < info->buttons.size(); ++i)
        json += (i ? "," : "") + Json(info->buttons[i].text);
    json += std::string("],\"icon\":") + (info->icon ? "true" : "false") +
            ",\"at\":" + std::to_string(at) + "}";
    return json;
}

int AnswerId(const std::wstring& answer) {
    if (answer == L"yes") return IDYES;
    if (answer == L"no") return IDNO;
    if (answer == L"ok") return IDOK;
    if (answer == L"cancel") return IDCANCEL;
    return 0;
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

    std::vector<wchar_t> mutableCmd(cmdline.begin(), cmdline.end());
    mutableCmd.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(a[1].c_str(), mutableCmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return Fail("CreateProcessW", GetLastError());
    CloseHandle(pi.hThread);

    DWORD start = GetTickCount();
    std::set<HWND> seen;
    std::string boxes;
    size_t next = 0;
    bool timedOut = false, killed = false;
    std::string problem;
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeout) {
            timedOut = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        BoxSearch search = {pi.dwProcessId, &seen, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) continue;
        HWND box = search.found;
        seen.insert(box);
        BoxInfo info;
        std::string described = DescribeBox(box, &info, GetTickCount() - start);
        boxes += (boxes.empty() ? "" : ",") + described;
        Emit("{\"event\":\"box\",\"box\":" + described + "}");

        std::wstring answer = next < answers.size() ? answers[next++] : L"";
        if (answer == L"stdin") answer = ReadLineW();
        if (answer == L"kill") {
            killed = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        if (answer == L"close") {
            PostMessageW(box, WM_CLOSE, 0, 0);
            continue;
        }
        int id = AnswerId(answer);
        HWND button = nullptr;
        for (const Button& b : info.buttons)
            if (b.id == id) button = b.hwnd;
        if (!button) {
            // An unexpected box or a missing button: leave it up and let the
            // time-out end the run, so the transcript shows what happened.
            if (problem.empty())
                problem = "no answer for box " + std::to_string(seen.size()) + ": " +
                          std::string(answer.begin(), answer.end());
            continue;
        }
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    std::string json = "{\"op\":\"run\",\"boxes\":[" + boxes + "],\"exit\":" +
                       (timedOut || killed ? std::string("null") : std::to_string(code)) +
                       ",\"timeout\":" + (timedOut ? "true" : "false") +
                       ",\"killed\":" + (killed ? "true" : "false") +
                       ",\"ms\":" + std::to_string(GetTickCount() - start);
    if (!problem.empty()) json += ",\"problem\":" + Json(std::wstring(problem.begin(), problem.end()));
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
    int count = _wtoi(a[3].c_str());
    std::vector<HANDLE> procs, threads;
    for (int i = 0; i < count; ++i) {
        std::vector<wchar_t> cmd(cmdline.begin(), cmdline.end());
        cmd.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(a[1].c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                            nullptr, nullptr, &si, &pi))
            return Fail("CreateProcessW", GetLastError());
        threads.push_back(pi.hThread);
        procs.push_back(pi.hProcess);
    }
    // Created suspended and let go together, so that they meet at the locks.
    for (HANDLE t : threads) {
        ResumeThread(t);
        CloseHandle(t);
    }
    std::string codes;
    for (HANDLE p : procs) {
        DWORD code = 0xDEAD;
        if (WaitForSingleObject(p, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(p, &code);
        else TerminateProcess(p, 0xDEAD);
        CloseHandle(p);
        codes += (codes.empty() ? "" : ",") + std::to_string(code);
    }
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

const char* WaitName(DWORD r) {
    switch (r) {
    case WAIT_OBJECT_0: return "object_0";
    case WAIT_ABANDONED: return "abandoned";
    case WAIT_TIMEOUT: return "timeout";
    default: return "failed";
    }
}

// "hold NAME..." owns each mutex, reports, and keeps them until stdin closes.
// "open NAME..." only keeps a handle to each (so an owner's death abandons it
// rather than destroying it) until stdin closes.
int Mutexes(const Args& a) {
    bool own = a[0] == L"hold";
    std::vector<HANDLE> handles;
    std::string report;
    for (size_t i = 1; i < a.size(); ++i) {
        HANDLE h = CreateMutexW(nullptr, FALSE, a[i].c_str());
        if (!h) return Fail("CreateMutexW", GetLastError());
        handles.push_back(h);
        const char* state = own ? WaitName(WaitForSingleObject(h, 5000)) : "open";
        report += (report.empty() ? "" : ",") + Json(a[i]) + ":\"" + state + "\"";
    }
    Emit("{\"op\":\"" + std::string(own ? "hold" : "open") + "\",\"mutexes\":{" + report + "}}");
    WaitForStdinEof();
    for (HANDLE h : handles) {
        if (own) ReleaseMutex(h);
        CloseHandle(h);
    }
    return 0;
}

// "own-and-die NAME...": the child of "abandon"; exits while owning the mutexes.
int OwnAndDie(const Args& a) {
    for (size_t i = 1; i < a.size(); ++i) {
        HANDLE h = CreateMutexW(nullptr, FALSE, a[i].c_str());
        if (!h || WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) ExitProcess(3);
    }
    ExitProcess(0);
}

// "abandon NAME...": keeps a handle to each mutex, lets a child process own them
// and die, then keeps the handles (not owning) until stdin closes, so the next
// waiter gets WAIT_ABANDONED.
int Abandon(const Args& a) {
    std::vector<HANDLE> handles;
    for (size_t i = 1; i < a.size(); ++i) {
        HANDLE h = CreateMutexW(nullptr, FALSE, a[i].c_str());
        if (!h) return Fail("CreateMutexW", GetLastError());
        handles.push_back(h);
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" own-and-die";
    for (size_t i = 1; i < a.size(); ++i) cmd += L" " + a[i];
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return Fail("CreateProcessW", GetLastError());
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, 10000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (code != 0) return Fail("child could not own the mutexes", code);
    Emit("{\"op\":\"abandon\",\"ok\":true}");
    WaitForStdinEof();
    for (HANDLE h : handles) CloseHandle(h);
    return 0;
}

// "probe NAME": one non-waiting attempt, releasing what it got; shows what the
// next taker of the mutex will meet.
int Probe(const Args& a) {
    if (a.size() != 2) return Fail("usage: probe NAME");
    HANDLE h = CreateMutexW(nullptr, FALSE, a[1].c_str());
    if (!h) return Fail("CreateMutexW", GetLastError());
    DWORD r = WaitForSingleObject(h, 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(h);
    CloseHandle(h);
    Emit(std::string("{\"op\":\"probe\",\"wait\":\"") + WaitName(r) + "\"}");
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
