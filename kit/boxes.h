#pragma once
// Message boxes of another process, read as the user sees them (caption, text,
// buttons left to right, an icon or none) and answered by pressing a button.
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace winops {

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

// A visible message box of process `pid` that is not in `seen`, or null.
HWND FindNewBox(DWORD pid, const std::set<HWND>& seen);
Box ReadBox(HWND box, DWORD at);
// Presses the button that `answer` names ("close" sends WM_CLOSE); false when
// the box has no such button.
bool AnswerBox(HWND box, const Box& read, const std::wstring& answer);

}  // namespace winops
