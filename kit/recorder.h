#pragma once
// A stand-in for a program that Windows starts from a registry value: it notes
// where it was started from and with which command line, and, when the service
// manager started it, behaves as a service that starts and, when stopped or
// after three seconds, stops (so that a start through the service manager
// succeeds rather than timing out).
// The consumer tests plant it at every place Windows tries before the real
// program, and at the real one; the kit's service case does the same.
#include <string>

namespace recorder {

// Appends one line of ASCII JSON to `recordFile`:
//   {"exe": "<this program's path>", "cmdline": "<GetCommandLineW()>",
//    "argv": [<CommandLineToArgvW of it>], "pid": N}
// then serves as a service if the service manager started this process.
// Returns the exit code for the process: 0, or 1 if the record could not be written.
int Run(const std::wstring& recordFile);

// Serves as a service if the service manager started this process: running
// until told to stop or for `lingerMs`, then stopped. False, at once, when it
// was not started as a service.
bool Serve(unsigned long lingerMs);

// `<this program's own path>.rec`: where a recorder with no other place to
// write puts its lines, so that each planted copy has a file of its own.
std::wstring BesideSelf();

}  // namespace recorder
