#pragma once
// The end-to-end scenarios of velquist.exe that make sense on any Windows.
#include <functional>
#include <string>
#include <vector>

#include "snapshot.h"

struct System {
    std::wstring exe;       // the velquist.exe under test
    bool has64 = false;     // a 64-bit registry view exists
    bool desktop = false;   // message boxes can be shown and answered
    std::string noDesktop;  // why not
    bool japanese = false;  // the UI language the messages follow
    int refusable = -1;     // a slot whose key the kit created, or -1
    std::string noService;  // why the kit may not make its service here, or empty
    const Snapshot* before = nullptr;
    std::string* note = nullptr;  // what a case that passed has to report
};

enum Need { kNothing = 0, kBoxes = 1, k64 = 2, kOwnKey = 4, kOwnService = 8 };

struct Case {
    std::string name;
    int needs;
    // Empty when the case passed, else what went wrong.
    std::function<std::string(const System&)> run;
};

std::vector<Case> AllCases();

// Two problems as one report line; either may be empty (no problem).
inline std::string Join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + "; " + b;
}
