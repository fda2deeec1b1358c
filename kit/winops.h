#pragma once
// What both the Wine driver and the acceptance kit do on the Windows side:
// exact registry reads and writes in either view, runs of a program with an
// exact command line whose message boxes are read and answered, and named
// mutexes held or abandoned.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace winops {

// ---- registry (HKEY_LOCAL_MACHINE) ---------------------------------------

struct StoredValue {
    bool key = false;     // the key exists
    bool exists = false;  // the value exists
    DWORD type = 0;
    std::vector<BYTE> data;
};

// view: KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0 (the process default).
LONG ReadValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, StoredValue* out);
// Creates the key when missing and stores exactly `data`; a value the system
// stored differently (an added terminator) is reported as ERROR_INVALID_DATA.
LONG WriteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type,
                const std::vector<BYTE>& data);
LONG DeleteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, bool* existed);
// Deletes only a key without subkeys.
LONG DeleteKey(REGSAM view, const std::wstring& subkey, bool* existed);
LONG CreateKey(REGSAM view, const std::wstring& subkey, bool* created);
// readOnly: everybody may read, delete and re-grant the key but not set
// values; otherwise everybody may do everything. Inherited entries are cut off.
LONG SetKeyAccess(REGSAM view, const std::wstring& subkey, bool readOnly);

// ---- runs and message boxes ----------------------------------------------

struct Box {
    std::wstring caption, text;
    std::vector<std::wstring> buttons;  // left to right
    std::vector<int> ids;               // the same buttons' control IDs
    bool icon = false;
    DWORD at = 0;                       // ms after the start of the run
};

// What to do with a box: "yes", "no", "ok", "cancel" (press that button),
// "close" (WM_CLOSE), "kill" (end the process while the box is up).
typedef std::function<std::wstring(const Box&)> Answerer;

struct RunResult {
    DWORD error = 0;  // CreateProcessW's error; nothing else is valid when set
    std::vector<Box> boxes;
    DWORD exit = 0;
    bool timedOut = false, killed = false;
    DWORD ms = 0;
    std::string problem;  // a box that could not be answered as asked
};

// Starts exe with exactly `cmdline` and waits for it, answering each new box.
// The process runs in a job that ends it (and whatever it started) on a
// time-out, on KillAllRuns(), and when the caller dies.
RunResult Run(const std::wstring& exe, const std::wstring& cmdline, const Answerer& answer,
              DWORD timeoutMs);
// Starts `count` runs suspended, lets them go together and returns every exit
// code (0xDEAD for one that did not end within timeoutMs).
std::vector<DWORD> RunMany(const std::wstring& exe, const std::wstring& cmdline, int count,
                           DWORD timeoutMs, DWORD* error);
// Ends every run in progress, and makes every later start fail with
// ERROR_CANCELLED; callable from any thread (a console handler).
void KillAllRuns();

// ---- mutexes --------------------------------------------------------------

// Named mutexes opened (and, with own, owned) by the calling thread until
// Close() or destruction.
class Mutexes {
public:
    Mutexes() = default;
    ~Mutexes() { Close(); }
    Mutexes(const Mutexes&) = delete;
    Mutexes& operator=(const Mutexes&) = delete;
    // The wait result of each name (WAIT_OBJECT_0, WAIT_ABANDONED, ...), or
    // WAIT_FAILED; GetLastError() tells why when a mutex could not be created.
    DWORD Add(const std::wstring& name, bool own, DWORD timeoutMs = 5000);
    void Close();

private:
    std::vector<HANDLE> handles_;
    std::vector<bool> owned_;
};

// Opens each mutex, lets a thread of its own own them and end, and keeps the
// handles in `keep` so that the next waiter meets WAIT_ABANDONED.
bool AbandonMutexes(const std::vector<std::wstring>& names, Mutexes* keep);

// One non-waiting attempt, releasing what it got.
DWORD ProbeMutex(const std::wstring& name);

const char* WaitName(DWORD result);

}  // namespace winops
