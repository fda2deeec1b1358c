#pragma once
// Control side of the in-memory Win32 stand-in: seed the registry, script the
// user's answers, inject faults and read back what the code under test did.
#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fakewin {

// SOFTWARE has a 32-bit and a 64-bit view on a 64-bit system; SYSTEM is one
// key space seen alike from both. On a 32-bit system there is only kView32.
enum class View { k32, k64 };

struct Value {
    DWORD type;
    std::vector<uint8_t> bytes;  // as Windows stores them: UTF-16LE, two bytes a unit
};

// Back to an empty registry, a 64-bit system (AMD64), English UI, no mutexes,
// no faults, no hooks and empty logs.
void Reset();

// --- system -----------------------------------------------------------------
void SetProcessorArchitecture(WORD arch);
void SetNativeSystemInfoExported(bool exported);
void SetKernel32Loaded(bool loaded);
void SetDllDirectoriesExported(bool exported);
// Flags passed to SetDefaultDllDirectories, one entry a call.
const std::vector<DWORD>& DllDirectoryCalls();

// --- registry ---------------------------------------------------------------
std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool withTerminator = true);
void CreateKey(View view, const std::wstring& key);
void SetValue(View view, const std::wstring& key, const std::wstring& name, DWORD type,
              std::vector<uint8_t> bytes);
void SetString(View view, const std::wstring& key, const std::wstring& name, DWORD type,
               const std::wstring& text);
std::optional<Value> GetValue(View view, const std::wstring& key, const std::wstring& name);
// The value as text: its units up to the first NUL (or the end).
std::optional<std::wstring> GetString(View view, const std::wstring& key,
                                      const std::wstring& name);
void DeleteValue(View view, const std::wstring& key, const std::wstring& name);
bool KeyExists(View view, const std::wstring& key);

enum class Op { Open, Query, Create, Set, CreateMutex, Wait };
struct Fault {
    Op op;
    LONG error;             // the error code returned (for Wait: the wait result)
    std::wstring keyPart = {};  // matches keys (or mutex names) containing this; empty: any
    std::optional<View> view = {};
    int times = -1;         // how many calls it hits; -1: every call
};
void InjectFault(const Fault& fault);

// Runs after every RegQueryValueExW, whatever its result: lets a test change
// the registry between two reads of the code under test.
void OnQuery(std::function<void()> hook);

int RegistryCallCount();  // opens, queries, creates and sets
int OpenKeyCount();       // keys opened or created and not yet closed
int BadCloseCount();      // closes of handles that were not open

// --- mutexes ----------------------------------------------------------------
// Another process owns the named mutex.
void HoldMutexElsewhere(const std::wstring& name);
// Another process owned it and died; a handle elsewhere keeps it alive.
void AbandonMutexElsewhere(const std::wstring& name);
// Ownership as the fake sees it now: "free", "ours", "elsewhere", "abandoned", or "none".
std::string MutexState(const std::wstring& name);
int OpenHandleCount();  // mutex handles not yet closed

// --- user interface ---------------------------------------------------------
enum : WORD { kEnglish = 0x0409, kJapanese = 0x0411 };
void SetUiLanguage(WORD langId);
void SetString(WORD langId, UINT id, const std::wstring& text);

struct Box {
    std::wstring caption;
    std::wstring text;
    UINT style;
};
// Each box is passed to the answerer, whose return value MessageBoxW returns.
// Without one, MB_OK boxes answer IDOK and a question answers IDCANCEL.
void SetAnswerer(std::function<int(const Box&)> answerer);
const std::vector<Box>& Boxes();

// Every call the code made, in order, as short lines ("open 32 SOFTWARE\...",
// "wait <name> 0", "release <name>", "box <text>", ...).
const std::vector<std::wstring>& Log();

}  // namespace fakewin
