#pragma once
// The service case: does the service manager, asked to start VedOvedavu again
// after a repair and without a restart, take the repaired ImagePath? Nobody
// can tell from the registry alone, so the kit makes a service of its own,
// pointing into a folder of its own, with a copy of itself planted where
// Windows looks first, and asks the service manager which program it starts.
//
// What it makes runs as NT AUTHORITY\LocalService and lies where only
// administrators and SYSTEM can write: a file that a user's programs could
// replace must never run with more rights than theirs. It never touches a
// VedOvedavu that it did not make.
#include <string>
#include <vector>

#include "cases.h"
#include "snapshot.h"

namespace service {

// Reads the kit's own file, in its first second (as the guardian is started
// from it): the copies the service manager runs are made from these bytes,
// never from a file that a program of the user could have replaced since.
bool KeepImage(std::string* why);

// True in a copy that the case made; such a process does nothing but serve.
bool IsCopy();
// Reports running, waits for the stop (or a minute), reports stopped.
int Serve();

// Why the case cannot run here (a vendor's VedOvedavu, or its key, was there
// before the run), or empty.
std::string Unavailable(const Snapshot& before);

void AddCase(std::vector<Case>* cases);

// The case marked its service in the saved state and has not removed it yet.
bool Pending();
// Stops and deletes VedOvedavu if it is the kit's own, ends any copy still
// running, waits until the service is gone, then clears the mark. Leaves a
// VedOvedavu that the kit did not make alone, and says so (false).
bool Remove(std::string* why);

}  // namespace service
