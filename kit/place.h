#pragma once
// Where the kit keeps what must outlive a case or the kit itself: a key under
// HKLM\SOFTWARE for the saved state of the target values, and a folder for
// the programs it runs. The kit runs elevated, so whatever a user's own
// programs could write there would decide what the kit writes into HKLM or
// runs with its rights: both places are made so that only administrators and
// SYSTEM can change them, and one that exists already is trusted only after
// its owner and its DACL say the same.
#include <windows.h>

#include <string>

namespace place {

// HKLM\SOFTWARE\velquist-check, in the kit's own (32-bit) view.
extern const wchar_t kStateKey[];

// The folder as the file system names it: a folder of that name made by
// anybody else, after the kit's own went, has another identity.
struct FolderId {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const FolderId& o) const { return volume == o.volume && high == o.high && low == o.low; }
    bool Empty() const { return !volume && !high && !low; }
};

enum Found { kNone, kFound, kRefused };

// The saved state, the folder of the run that saved it and whether that run
// may have made its service, if there is one; kRefused, with the reason, when
// the key is not one that only administrators and SYSTEM can change.
Found LoadState(std::string* text, FolderId* folder, bool* service, std::string* why);
bool SaveState(const std::string& text, const FolderId& folder, std::string* why);
// Notes in the saved state, before the kit makes its service, that it may
// have, and clears that once the service is gone.
bool MarkService(bool made, std::string* why);
// Deletes the key with the saved state: the kit's work is done.
bool ForgetState(std::string* why);

// <system drive>\velquist-check: the drive from the system itself, not from
// the environment, which the user's own programs set.
std::wstring FolderPath();
// Makes the folder, which only administrators and SYSTEM can change. Refuses
// when something of that name exists: the kit did not make it, or lost track
// of it, and will not run or delete what somebody else put there.
bool MakeFolder(FolderId* made, std::string* why);
// Removes the folder and what is in it, but only while it is `ours`; true
// also when there is none (or another one, which is left alone).
bool RemoveFolder(const FolderId& ours, std::string* why);
// Copies `from` into the folder as `name`; *to is the copy's path.
bool CopyIn(const std::wstring& from, const std::wstring& name, std::wstring* to, std::string* why);

// True when only administrators and SYSTEM can change what `sd` guards: its
// owner is one of them, and no entry of its DACL grants any of `writeRights`
// to anybody else. `sd` must hold the owner and the DACL.
bool OnlyAdminsWrite(PSECURITY_DESCRIPTOR sd, DWORD writeRights, std::string* why);

}  // namespace place
