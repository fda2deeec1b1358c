#pragma once
// Runs of a program with an exact command line, inside a job that ends them
// (and whatever they started) on a time-out, on KillAllRuns() and when the
// caller dies; their message boxes are read and answered as they come.
#include <windows.h>

#include <string>
#include <vector>

#include "boxes.h"

namespace winops {

struct RunResult {
    DWORD error = 0;  // CreateProcessW's error; nothing else is valid when set
    std::vector<Box> boxes;
    DWORD exit = 0;
    bool timedOut = false, killed = false;
    DWORD ms = 0;
    std::string problem;  // a box that could not be answered as asked
};

// Starts exe with exactly `cmdline` and waits for it, answering each new box.
RunResult Run(const std::wstring& exe, const std::wstring& cmdline, const Answerer& answer,
              DWORD timeoutMs);
// Starts `count` runs suspended, lets them go together and returns every exit
// code (0xDEAD for one that did not end within timeoutMs).
std::vector<DWORD> RunMany(const std::wstring& exe, const std::wstring& cmdline, int count,
                           DWORD timeoutMs, DWORD* error);
// Ends every run in progress, and makes every later start fail with
// ERROR_CANCELLED; callable from any thread (a console handler).
void KillAllRuns();

}  // namespace winops
