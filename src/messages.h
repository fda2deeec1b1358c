#pragma once
#include <windows.h>

// Set by a silent switch on the command line: no message box is shown and
// the confirmation question is answered Yes.
extern bool g_silent;

// One OK-only box captioned with the application title.
void ShowMessage(HINSTANCE hInstance, UINT id);

// TRUE when the user agrees to the repair (always, in silent mode).
bool ConfirmModify(HINSTANCE hInstance);
