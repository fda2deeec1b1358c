// In-memory Win32: registry with WOW64 views, named mutexes shared with
// imaginary other processes, system information, strings and message boxes.
#include "fakewin.h"

#include <algorithm>
#include <memory>
#include <set>

namespace fakewin {
namespace {

std::wstring Upper(const std::wstring& s) {
    std::wstring out(s);
    for (wchar_t& c : out)
        if (c >= L'a' && c <= L'z') c -= L'a' - L'A';
    return out;
}

bool Contains(const std::wstring& haystack, const std::wstring& needle) {
    return needle.empty() || Upper(haystack).find(Upper(needle)) != std::wstring::npos;
}

enum Store { kSoftware32, kSoftware64, kShared, kStoreCount };

struct KeyData {
    std::map<std::wstring, Value> values;  // by upper-cased name
};

struct OpenKey {
    Store store;
    std::wstring path;  // upper-cased
    View view;
};

struct Mutex {
    std::wstring name;
    std::string owner = "free";  // free, ours, elsewhere, abandoned
    int count = 0;
};

struct State {
    WORD arch = PROCESSOR_ARCHITECTURE_AMD64;
    bool nativeInfoExported = true;
    bool kernelLoaded = true;
    bool dllDirsExported = true;
    std::vector<DWORD> dllDirectoryCalls;

    std::map<std::wstring, KeyData> stores[kStoreCount];
    std::map<uintptr_t, OpenKey> openKeys;
    uintptr_t nextKey = 0x1000;
    int registryCalls = 0;
    int badCloses = 0;
    std::vector<Fault> faults;
    std::function<void()> onQuery;

    std::map<std::wstring, std::shared_ptr<Mutex>> mutexes;
    std::map<uintptr_t, std::shared_ptr<Mutex>> handles;
    uintptr_t nextHandle = 0x20000;

    WORD uiLanguage = kEnglish;
    std::map<std::pair<WORD, UINT>, std::wstring> strings;
    std::function<int(const Box&)> answerer;
    std::vector<Box> boxes;
    std::vector<std::wstring> log;
};

State& S() {
    static State state;
    return state;
}

bool HasWow64() {
    WORD a = S().arch;
    return a == PROCESSOR_ARCHITECTURE_AMD64 || a == PROCESSOR_ARCHITECTURE_IA64 ||
           a == PROCESSOR_ARCHITECTURE_ARM64;
}

bool UnderSoftware(const std::wstring& upperPath) {
    return upperPath == L"SOFTWARE" || upperPath.rfind(L"SOFTWARE\\", 0) == 0;
}

Store StoreFor(View view, const std::wstring& upperPath) {
    if (!UnderSoftware(upperPath)) return kShared;
    return view == View::k64 ? kSoftware64 : kSoftware32;
}

// The view a 32-bit process reaches with these access flags.
View ViewOf(REGSAM sam) { return HasWow64() && (sam & KEY_WOW64_64KEY) ? View::k64 : View::k32; }

const wchar_t* ViewName(View v) { return v == View::k64 ? L"64" : L"32"; }

std::wstring Str(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }

// The first matching fault, if any, used up by one.
std::optional<LONG> TakeFault(Op op, const std::wstring& subject, std::optional<View> view) {
    for (Fault& f : S().faults) {
        if (f.op != op || f.times == 0 || !Contains(subject, f.keyPart)) continue;
        if (f.view && view && *f.view != *view) continue;
        if (f.times > 0) --f.times;
        return f.error;
    }
    return std::nullopt;
}

void AddKey(Store store, const std::wstring& upperPath) {
    std::wstring path = upperPath;
    while (!path.empty()) {
        S().stores[store][path];
        size_t slash = path.rfind(L'\\');
        path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
}

const OpenKey* Lookup(HKEY key) {
    auto it = S().openKeys.find(reinterpret_cast<uintptr_t>(key));
    return it == S().openKeys.end() ? nullptr : &it->second;
}

HKEY NewKey(Store store, const std::wstring& path, View view) {
    uintptr_t id = S().nextKey++;
    S().openKeys[id] = OpenKey{store, path, view};
    return reinterpret_cast<HKEY>(id);
}

std::shared_ptr<Mutex> NamedMutex(const std::wstring& name) {
    auto& slot = S().mutexes[name];
    if (!slot) {
        slot = std::make_shared<Mutex>();
        slot->name = name;
    }
    return slot;
}

void WINAPI FakeGetNativeSystemInfo(LPSYSTEM_INFO info) {
    S().log.push_back(L"GetNativeSystemInfo");
    info->wProcessorArchitecture = S().arch;
    info->dwNumberOfProcessors = 2;
    info->dwPageSize = 4096;
}

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
    S().log.push_back(L"SetDefaultDllDirectories");
    S().dllDirectoryCalls.push_back(flags);
    return TRUE;
}

// The space and blank bits as Wine's table has them (read off Wine 8 by
// calling GetStringTypeW for every unit), so that native runs class white
// space as the executable does there.
WORD ClassifyCtype1(wchar_t c) {
    WORD type = C1_DEFINED;
    switch (c) {
    case 0x09:
    case 0x20:
    case 0xA0:
    case 0x3000:
        type |= C1_SPACE | C1_BLANK;
        break;
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x85:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
        type |= C1_SPACE;
        break;
    case 0xFEFF:
        type |= C1_BLANK;
        break;
    default:
        if (c >= 0x2000 && c <= 0x200A) type |= C1_SPACE;
    }
    if (c < 0x20 || c == 0x7F) type |= C1_CNTRL;
    if (c >= L'0' && c <= L'9') type |= C1_DIGIT;
    if (c >= L'A' && c <= L'Z') type |= C1_UPPER | C1_ALPHA;
    if (c >= L'a' && c <= L'z') type |= C1_LOWER | C1_ALPHA;
    return type;
}

}  // namespace

void Reset() { S() = State(); }

void SetProcessorArchitecture(WORD arch) { S().arch = arch; }
void SetNativeSystemInfoExported(bool exported) { S().nativeInfoExported = exported; }
void SetKernel32Loaded(bool loaded) { S().kernelLoaded = loaded; }
void SetDllDirectoriesExported(bool exported) { S().dllDirsExported = exported; }
const std::vector<DWORD>& DllDirectoryCalls() { return S().dllDirectoryCalls; }

std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool withTerminator) {
    std::vector<uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    if (withTerminator) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

void CreateKey(View view, const std::wstring& key) {
    std::wstring path = Upper(key);
    AddKey(StoreFor(view, path), path);
}

void SetValue(View view, const std::wstring& key, const std::wstring& name, DWORD type,
              std::vector<uint8_t> bytes) {
    std::wstring path = Upper(key);
    Store store = StoreFor(view, path);
    AddKey(store, path);
    S().stores[store][path].values[Upper(name)] = Value{type, std::move(bytes)};
}

void SetString(View view, const std::wstring& key, const std::wstring& name, DWORD type,
               const std::wstring& text) {
    SetValue(view, key, name, type, Utf16Bytes(text));
}

std::optional<Value> GetValue(View view, const std::wstring& key, const std::wstring& name) {
    std::wstring path = Upper(key);
    auto& store = S().stores[StoreFor(view, path)];
    auto k = store.find(path);
    if (k == store.end()) return std::nullopt;
    auto v = k->second.values.find(Upper(name));
    if (v == k->second.values.end()) return std::nullopt;
    return v->second;
}

std::optional<std::wstring> GetString(View view, const std::wstring& key,
                                      const std::wstring& name) {
    auto value = GetValue(view, key, name);
    if (!value) return std::nullopt;
    std::wstring text;
    for (size_t i = 0; i + 1 < value->bytes.size(); i += 2) {
        wchar_t c = static_cast<wchar_t>(value->bytes[i] | (value->bytes[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

void DeleteValue(View view, const std::wstring& key, const std::wstring& name) {
    std::wstring path = Upper(key);
    auto& store = S().stores[StoreFor(view, path)];
    auto k = store.find(path);
    if (k != store.end()) k->second.values.erase(Upper(name));
}

bool KeyExists(View view, const std::wstring& key) {
    std::wstring path = Upper(key);
    return S().stores[StoreFor(view, path)].count(path) != 0;
}

void InjectFault(const Fault& fault) { S().faults.push_back(fault); }
void OnQuery(std::function<void()> hook) { S().onQuery = std::move(hook); }
int RegistryCallCount() { return S().registryCalls; }
int OpenKeyCount() { return static_cast<int>(S().openKeys.size()); }
int BadCloseCount() { return S().badCloses; }

void HoldMutexElsewhere(const std::wstring& name) {
    auto m = NamedMutex(name);
    m->owner = "elsewhere";
    m->count = 1;
}

void AbandonMutexElsewhere(const std::wstring& name) {
    auto m = NamedMutex(name);
    m->owner = "abandoned";
    m->count = 0;
}

std::string MutexState(const std::wstring& name) {
    auto it = S().mutexes.find(name);
    return it == S().mutexes.end() ? "none" : it->second->owner;
}

int OpenHandleCount() { return static_cast<int>(S().handles.size()); }

void SetUiLanguage(WORD langId) { S().uiLanguage = langId; }
void SetString(WORD langId, UINT id, const std::wstring& text) { S().strings[{langId, id}] = text; }
void SetAnswerer(std::function<int(const Box&)> answerer) { S().answerer = std::move(answerer); }
const std::vector<Box>& Boxes() { return S().boxes; }
const std::vector<std::wstring>& Log() { return S().log; }

}  // namespace fakewin

using namespace fakewin;

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                             PHKEY phkResult) {
    ++S().registryCalls;
    View view = ViewOf(samDesired);
    std::wstring path = Upper(Str(lpSubKey));
    S().log.push_back(L"open " + std::wstring(ViewName(view)) + L" " + Str(lpSubKey));
    if (hKey != HKEY_LOCAL_MACHINE || !phkResult) return ERROR_INVALID_PARAMETER;
    if (auto error = TakeFault(Op::Open, path, view)) return *error;
    Store store = StoreFor(view, path);
    if (!S().stores[store].count(path)) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKey(store, path, view);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    ++S().registryCalls;
    S().log.push_back(L"query " + Str(lpValueName));
    LSTATUS result = [&]() -> LSTATUS {
        const OpenKey* key = Lookup(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (auto error = TakeFault(Op::Query, key->path, key->view)) return *error;
        auto& values = S().stores[key->store][key->path].values;
        auto it = values.find(Upper(Str(lpValueName)));
        if (it == values.end()) return ERROR_FILE_NOT_FOUND;
        const Value& value = it->second;
        if (lpType) *lpType = value.type;
        if (!lpcbData) return lpData ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;

        // The caller counts bytes of its own WCHAR; the data is two bytes a unit.
        const size_t stored = value.bytes.size();
        const size_t units = stored / 2;
        const bool oddByte = stored % 2 != 0;
        const DWORD needed = static_cast<DWORD>(units * sizeof(WCHAR) + (oddByte ? 1 : 0));
        const size_t capacity = *lpcbData / sizeof(WCHAR) * 2;
        WCHAR* out = reinterpret_cast<WCHAR*>(lpData);
        if (!lpData) {
            *lpcbData = needed;
            return ERROR_SUCCESS;
        }
        // Like Windows, a short buffer is left holding part of the data.
        const size_t copied = std::min(stored, capacity);
        for (size_t i = 0; i + 1 < copied; i += 2)
            out[i / 2] = static_cast<WCHAR>(value.bytes[i] | (value.bytes[i + 1] << 8));
        if (copied % 2) {
            WCHAR& last = out[copied / 2];
            last = static_cast<WCHAR>((last & ~0xFF) | value.bytes[copied - 1]);
        }
        *lpcbData = needed;
        return stored > capacity ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }();
    if (S().onQuery) S().onQuery();
    return result;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    ++S().registryCalls;
    View view = ViewOf(samDesired);
    std::wstring path = Upper(Str(lpSubKey));
    S().log.push_back(L"create " + std::wstring(ViewName(view)) + L" " + Str(lpSubKey));
    if (hKey != HKEY_LOCAL_MACHINE || !phkResult) return ERROR_INVALID_PARAMETER;
    if (auto error = TakeFault(Op::Create, path, view)) return *error;
    Store store = StoreFor(view, path);
    bool existed = S().stores[store].count(path) != 0;
    AddKey(store, path);
    if (lpdwDisposition) *lpdwDisposition = existed ? 2 : 1;
    *phkResult = NewKey(store, path, view);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
    ++S().registryCalls;
    S().log.push_back(L"set " + Str(lpValueName));
    const OpenKey* key = Lookup(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (auto error = TakeFault(Op::Set, key->path, key->view)) return *error;
    const WCHAR* units = reinterpret_cast<const WCHAR*>(lpData);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < cbData / sizeof(WCHAR); ++i) {
        bytes.push_back(static_cast<uint8_t>(units[i] & 0xFF));
        bytes.push_back(static_cast<uint8_t>((units[i] >> 8) & 0xFF));
    }
    S().stores[key->store][key->path].values[Upper(Str(lpValueName))] = Value{dwType, bytes};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    S().log.push_back(L"close");
    if (!S().openKeys.erase(reinterpret_cast<uintptr_t>(hKey))) {
        ++S().badCloses;
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    std::wstring name = Str(lpName);
    S().log.push_back(L"createmutex " + (lpName ? name : std::wstring(L"(unnamed)")));
    if (TakeFault(Op::CreateMutex, name, std::nullopt)) return nullptr;
    std::shared_ptr<Mutex> m = lpName ? NamedMutex(name) : std::make_shared<Mutex>();
    if (bInitialOwner && m->owner == "free") {
        m->owner = "ours";
        m->count = 1;
    }
    uintptr_t id = S().nextHandle++;
    S().handles[id] = m;
    return reinterpret_cast<HANDLE>(id);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(hHandle));
    if (it == S().handles.end()) return WAIT_FAILED;
    Mutex& m = *it->second;
    S().log.push_back(L"wait " + m.name + L" " + std::to_wstring(dwMilliseconds));
    if (auto result = TakeFault(Op::Wait, m.name, std::nullopt)) return static_cast<DWORD>(*result);
    if (m.owner == "elsewhere") return WAIT_TIMEOUT;  // nobody here waits it out
    if (m.owner == "abandoned") {
        m.owner = "ours";
        m.count = 1;
        return WAIT_ABANDONED;
    }
    m.owner = "ours";
    ++m.count;
    return WAIT_OBJECT_0;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(hMutex));
    if (it == S().handles.end()) return FALSE;
    Mutex& m = *it->second;
    S().log.push_back(L"release " + m.name);
    if (m.owner != "ours" || m.count == 0) return FALSE;
    if (--m.count == 0) m.owner = "free";
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == S().handles.end()) return FALSE;
    S().log.push_back(L"closehandle " + it->second->name);
    S().handles.erase(it);
    return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!S().kernelLoaded || Upper(Str(lpModuleName)) != L"KERNEL32.DLL") return nullptr;
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7000));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule != reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7000)) || !lpProcName)
        return nullptr;
    std::string name(lpProcName);
    if (name == "GetNativeSystemInfo" && S().nativeInfoExported)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeGetNativeSystemInfo));
    if (name == "SetDefaultDllDirectories" && S().dllDirsExported)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeSetDefaultDllDirectories));
    return nullptr;
}

BOOL WINAPI GetStringTypeW(DWORD dwInfoType, LPCWCH lpSrcStr, int cchSrc, LPWORD lpCharType) {
    if (dwInfoType != CT_CTYPE1 || !lpSrcStr || !lpCharType) return FALSE;
    if (cchSrc < 0) cchSrc = static_cast<int>(std::wstring(lpSrcStr).size()) + 1;
    for (int i = 0; i < cchSrc; ++i) lpCharType[i] = ClassifyCtype1(lpSrcStr[i]);
    return TRUE;
}

int WINAPI LoadStringW(HINSTANCE, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax <= 0) return 0;
    auto it = S().strings.find({S().uiLanguage, uID});
    if (it == S().strings.end()) it = S().strings.find({kEnglish, uID});
    if (it == S().strings.end()) {
        lpBuffer[0] = L'\0';
        return 0;
    }
    int length = std::min(static_cast<int>(it->second.size()), cchBufferMax - 1);
    std::copy(it->second.begin(), it->second.begin() + length, lpBuffer);
    lpBuffer[length] = L'\0';
    return length;
}

int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    Box box{Str(lpCaption), Str(lpText), uType};
    S().boxes.push_back(box);
    S().log.push_back(L"box " + box.text);
    if (S().answerer) return S().answerer(box);
    return uType == MB_OK ? IDOK : IDCANCEL;
}
