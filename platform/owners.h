#pragma once
// Owners of Windows handles: each closes what it holds when it goes, on every
// path out of the code that made it. The program and its acceptance kit both
// use them.
#include <windows.h>

namespace owners {

template <typename T, typename Traits>
class Owner {
public:
    Owner() = default;
    explicit Owner(T value) : value_(value) {}
    ~Owner() { Reset(); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    Owner(Owner&& other) noexcept : value_(other.Release()) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    T Get() const { return value_; }
    explicit operator bool() const { return Traits::Valid(value_); }
    // For the functions that hand a new handle back through a pointer.
    T* Receive() {
        Reset();
        return &value_;
    }
    T Release() {
        T value = value_;
        value_ = Traits::Empty();
        return value;
    }
    void Reset(T value = Traits::Empty()) {
        if (Traits::Valid(value_)) Traits::Close(value_);
        value_ = value;
    }

private:
    T value_ = Traits::Empty();
};

struct KeyTraits {
    static HKEY Empty() { return nullptr; }
    static bool Valid(HKEY k) { return k != nullptr; }
    static void Close(HKEY k) { RegCloseKey(k); }
};
struct HandleTraits {
    static HANDLE Empty() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
typedef Owner<HKEY, KeyTraits> Key;
// Kernel handles; INVALID_HANDLE_VALUE (CreateFileW's failure) counts as none.
typedef Owner<HANDLE, HandleTraits> Handle;

}  // namespace owners
