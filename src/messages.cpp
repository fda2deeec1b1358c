#include "messages.h"

#include "resource.h"

bool g_silent = false;

namespace {

const int kTextChars = 256;

// A string that cannot be loaded stays empty; the box is shown all the same.
int Ask(HINSTANCE hInstance, UINT id, UINT style) {
    WCHAR caption[kTextChars] = {};
    WCHAR text[kTextChars] = {};
    LoadStringW(hInstance, IDS_APP_TITLE, caption, kTextChars);
    LoadStringW(hInstance, id, text, kTextChars);
    return MessageBoxW(nullptr, text, caption, style);
}

}  // namespace

void ShowMessage(HINSTANCE hInstance, UINT id) {
    if (g_silent) return;
    Ask(hInstance, id, MB_OK);
}

bool ConfirmModify(HINSTANCE hInstance) {
    if (g_silent) return true;
    return Ask(hInstance, IDS_CONFIRM_MODIFY, MB_YESNO) == IDYES;
}
