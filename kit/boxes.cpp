#include "boxes.h"

namespace winops {

namespace {

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
    std::wstring text;
};

struct BoxParts {
    std::vector<Button> buttons;
    bool icon = false;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
    BoxParts* box = reinterpret_cast<BoxParts*>(param);
    if (!IsWindowVisible(hwnd)) return TRUE;
    std::wstring cls = ClassOf(hwnd);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        RECT r;
        GetWindowRect(hwnd, &r);
        box->buttons.push_back({GetDlgCtrlID(hwnd), r.left, TextOf(hwnd)});
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
               (GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        DWORD_PTR icon = 0;
        SendMessageTimeoutW(hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
        if (icon) box->icon = true;
    }
    return TRUE;
}

int AnswerId(const std::wstring& answer) {
    if (answer == L"yes") return IDYES;
    if (answer == L"no") return IDNO;
    if (answer == L"ok") return IDOK;
    if (answer == L"cancel") return IDCANCEL;
    return 0;
}

}  // namespace

HWND FindNewBox(DWORD pid, const std::set<HWND>& seen) {
    BoxSearch search = {pid, &seen, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

Box ReadBox(HWND hwnd, DWORD at) {
    BoxParts parts;
    EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&parts));
    // Left to right, as the user sees them.
    for (size_t i = 1; i < parts.buttons.size(); ++i)
        for (size_t j = i; j > 0 && parts.buttons[j].left < parts.buttons[j - 1].left; --j)
            std::swap(parts.buttons[j], parts.buttons[j - 1]);
    Box box;
    box.caption = TextOf(hwnd);
    box.text = TextOf(GetDlgItem(hwnd, 0xFFFF));
    for (const Button& b : parts.buttons) {
        box.buttons.push_back(b.text);
        box.ids.push_back(b.id);
    }
    box.icon = parts.icon;
    box.at = at;
    return box;
}

bool AnswerBox(HWND hwnd, const Box& read, const std::wstring& answer) {
    if (answer == L"close") return PostMessageW(hwnd, WM_CLOSE, 0, 0) != FALSE;
    int id = AnswerId(answer);
    for (int shown : read.ids) {
        if (!id || shown != id) continue;
        HWND button = GetDlgItem(hwnd, id);
        return button && PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    return false;
}

}  // namespace winops
