#pragma once
// Owner of what the system allocated for the caller with LocalAlloc: security
// descriptors, ACLs, SID texts.
#include <windows.h>

#include "owners.h"

namespace owners {

template <typename T>
struct LocalTraits {
    static T Empty() { return nullptr; }
    static bool Valid(T p) { return p != nullptr; }
    static void Close(T p) { LocalFree(p); }
};
template <typename T = void*>
using Local = Owner<T, LocalTraits<T>>;

}  // namespace owners
