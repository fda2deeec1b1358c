#pragma once

// Limits later DLL loads (including the ones a message box pulls in) to
// System32, so that an elevated run from a download folder cannot be made to
// load a DLL planted beside the executable. A no-op where Windows lacks the call.
void RestrictDllSearchToSystem32();
