// Reads velquist.exe the way Windows does and prints what it finds, one
// "key<TAB>value" line each, UTF-8, for tests/pe/wine_probe.py to compare.
//
//   resprobe.exe PATH-TO-EXE
//
// Uses the loader (LoadLibraryEx as a data file, FindResourceEx, LoadResource),
// the version API (GetFileVersionInfo, VerQueryValue), the icon API
// (LookupIconIdFromDirectoryEx, CreateIconFromResourceEx) and the activation
// context API (CreateActCtx on the embedded manifest), and asks the shell for
// the file's icon (ExtractIconEx).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Emit(const std::wstring& key, const std::wstring& value) {
    std::wstring line = key + L"\t" + value + L"\n";
    int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), n, &written, nullptr);
}

std::wstring Num(unsigned long long v) { return std::to_wstring(v); }

std::wstring Hex(unsigned long v) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%lx", v);
    return buf;
}

std::wstring LastError() { return L"error " + Num(GetLastError()); }

// The bytes of one resource in exactly one language, or empty with the reason emitted.
std::vector<BYTE> Resource(HMODULE module, LPCWSTR type, WORD id, WORD lang, const std::wstring& key) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), lang);
    if (!found) {
        Emit(key + L".found", L"no (" + LastError() + L")");
        return {};
    }
    HGLOBAL loaded = LoadResource(module, found);
    const BYTE* p = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD size = SizeofResource(module, found);
    if (!p || !size) {
        Emit(key + L".found", L"unloadable (" + LastError() + L")");
        return {};
    }
    Emit(key + L".found", L"yes");
    return std::vector<BYTE>(p, p + size);
}

void ProbeStrings(HMODULE module, WORD lang, const std::wstring& tag) {
    std::vector<BYTE> block = Resource(module, MAKEINTRESOURCEW(6), 103 / 16 + 1, lang, L"strings." + tag);
    size_t pos = 0;
    for (int i = 0; i < 16 && pos + 2 <= block.size(); ++i) {
        WORD n = static_cast<WORD>(block[pos] | (block[pos + 1] << 8));
        pos += 2;
        if (pos + 2u * n > block.size()) break;
        std::wstring text(reinterpret_cast<const wchar_t*>(&block[pos]), n);
        pos += 2u * n;
        int id = (103 / 16) * 16 + i;
        if (id >= 103 && id <= 108) Emit(L"strings." + tag + L"." + Num(id), text);
    }
}

void ProbeIcons(HMODULE module) {
    std::vector<BYTE> group = Resource(module, MAKEINTRESOURCEW(14), 107, 0x0411, L"icon.group");
    if (group.size() < 6) return;
    WORD count = static_cast<WORD>(group[4] | (group[5] << 8));
    Emit(L"icon.count", Num(count));
    for (WORD i = 0; i < count && 6u + 14u * (i + 1) <= group.size(); ++i) {
        const BYTE* e = &group[6 + 14 * i];
        WORD id = static_cast<WORD>(e[12] | (e[13] << 8));
        int width = e[0] ? e[0] : 256;
        int bits = e[6] | (e[7] << 8);
        std::wstring key = L"icon." + Num(width) + L"x" + Num(bits);
        std::vector<BYTE> image = Resource(module, MAKEINTRESOURCEW(3), id, 0x0411, key);
        if (image.empty()) continue;
        // Windows must be able to turn the image into an icon of the size it claims.
        HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE, 0x00030000,
                                              0, 0, LR_DEFAULTCOLOR);
        ICONINFO info = {};
        BITMAP bm = {};
        if (icon && GetIconInfo(icon, &info)) {
            GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm);
            Emit(key + L".created", Num(bm.bmWidth) + L"x" + Num(info.hbmColor ? bm.bmHeight : bm.bmHeight / 2));
            if (info.hbmColor) DeleteObject(info.hbmColor);
            if (info.hbmMask) DeleteObject(info.hbmMask);
        } else {
            Emit(key + L".created", L"no (" + LastError() + L")");
        }
        if (icon) DestroyIcon(icon);
    }
    // Lookups without a language, as the shell makes them, still find the one group.
    Emit(L"icon.neutral", FindResourceW(module, MAKEINTRESOURCEW(107), MAKEINTRESOURCEW(14)) ? L"yes" : L"no");
    // The image the system picks for each size it shows: the deepest of that size.
    for (int size : {16, 32, 48}) {
        int id = LookupIconIdFromDirectoryEx(group.data(), TRUE, size, size, LR_DEFAULTCOLOR);
        for (WORD i = 0; i < count; ++i) {
            const BYTE* e = &group[6 + 14 * i];
            if ((e[12] | (e[13] << 8)) == id)
                Emit(L"icon.pick." + Num(size), Num(e[0]) + L"x" + Num(e[6] | (e[7] << 8)));
        }
    }
}

void ProbeVersion(const std::wstring& path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> info(size ? size : 1);
    if (!size || !GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
        Emit(L"version.found", L"no (" + LastError() + L")");
        return;
    }
    Emit(L"version.found", L"yes");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) && fixed && len >= sizeof(*fixed)) {
        Emit(L"version.signature", Hex(fixed->dwSignature));
        Emit(L"version.file", Num(HIWORD(fixed->dwFileVersionMS)) + L"." + Num(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                  Num(HIWORD(fixed->dwFileVersionLS)) + L"." + Num(LOWORD(fixed->dwFileVersionLS)));
        Emit(L"version.product", Num(HIWORD(fixed->dwProductVersionMS)) + L"." +
                                     Num(LOWORD(fixed->dwProductVersionMS)) + L"." +
                                     Num(HIWORD(fixed->dwProductVersionLS)) + L"." +
                                     Num(LOWORD(fixed->dwProductVersionLS)));
        Emit(L"version.flagsmask", Hex(fixed->dwFileFlagsMask));
        Emit(L"version.flags", Hex(fixed->dwFileFlags));
        Emit(L"version.os", Hex(fixed->dwFileOS));
        Emit(L"version.type", Hex(fixed->dwFileType));
    }
    DWORD* translation = nullptr;
    if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len)) {
        std::wstring pairs;
        for (UINT i = 0; i + 4 <= len; i += 4) {
            if (!pairs.empty()) pairs += L" ";
            pairs += Hex(LOWORD(translation[i / 4])) + L"," + Num(HIWORD(translation[i / 4]));
        }
        Emit(L"version.translation", pairs);
    }
    for (const wchar_t* name : {L"FileDescription", L"FileVersion", L"InternalName", L"OriginalFilename",
                                L"ProductName", L"ProductVersion", L"CompanyName", L"LegalCopyright"}) {
        wchar_t* text = nullptr;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        if (VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &len) && text)
            Emit(std::wstring(L"version.string.") + name, text);
    }
}

void ProbeManifest(HMODULE module, const std::wstring& path) {
    std::vector<BYTE> manifest = Resource(module, MAKEINTRESOURCEW(24), 1, 0x0409, L"manifest");
    Emit(L"manifest.bytes", Num(manifest.size()));
    // The system's own manifest parser: an activation context from the embedded manifest.
    ACTCTXW ctx = {};
    ctx.cbSize = sizeof(ctx);
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = path.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE handle = CreateActCtxW(&ctx);
    if (handle == INVALID_HANDLE_VALUE) {
        Emit(L"manifest.actctx", L"no (" + LastError() + L")");
        return;
    }
    Emit(L"manifest.actctx", L"yes");
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
    if (QueryActCtxW(0, handle, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level), nullptr)) {
        Emit(L"manifest.runlevel", Num(level.RunLevel));
        Emit(L"manifest.uiaccess", Num(level.UiAccess));
    } else {
        Emit(L"manifest.runlevel", L"no (" + LastError() + L")");
    }
    // Looked up: kernel32 of Windows 6.0 does not have it (Wine does).
    typedef BOOL(WINAPI * QuerySettingsFn)(DWORD, HANDLE, PCWSTR, PCWSTR, PWSTR, SIZE_T, SIZE_T*);
    QuerySettingsFn query = reinterpret_cast<QuerySettingsFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryActCtxSettingsW")));
    wchar_t setting[64] = L"";
    SIZE_T written = 0;
    if (query && query(0, handle, nullptr, L"dpiAware", setting, 64, &written))
        Emit(L"manifest.dpiaware", setting);
    else
        Emit(L"manifest.dpiaware", L"no (" + LastError() + L")");
    // With that context active, comctl32 must come from the version 6 assembly.
    ULONG_PTR cookie = 0;
    if (ActivateActCtx(handle, &cookie)) {
        HMODULE comctl = LoadLibraryW(L"comctl32.dll");
        wchar_t name[MAX_PATH] = L"";
        if (comctl) GetModuleFileNameW(comctl, name, MAX_PATH);
        Emit(L"manifest.comctl32", name);
        DeactivateActCtx(0, cookie);
    }
    ReleaseActCtx(handle);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: resprobe PATH-TO-EXE\n");
        return 2;
    }
    std::wstring path = argv[1];
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        Emit(L"load", L"no (" + LastError() + L")");
        return 1;
    }
    Emit(L"load", L"yes");
    ProbeStrings(module, 0x0409, L"en");
    ProbeStrings(module, 0x0411, L"ja");
    ProbeIcons(module);
    ProbeManifest(module, path);
    FreeLibrary(module);
    ProbeVersion(path);
    // What Explorer shows for the file.
    HICON large = nullptr, small = nullptr;
    UINT icons = ExtractIconExW(path.c_str(), 0, &large, &small, 1);
    Emit(L"shell.icons", Num(icons));  // large and small count separately
    Emit(L"shell.large", large ? L"yes" : L"no");
    Emit(L"shell.small", small ? L"yes" : L"no");
    if (large) DestroyIcon(large);
    if (small) DestroyIcon(small);
    Emit(L"end", L"yes");
    return 0;
}
