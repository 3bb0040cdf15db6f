// The one owner of a Windows kernel handle, used by the end-to-end test program
// and by its helper child. The handle is closed exactly once, when its owner
// goes out of scope; an owner can be moved but never copied.
#pragma once

#include <windows.h>

class UniqueHandle {
public:
    UniqueHandle() = default;

    // Takes ownership. Some Windows calls report failure with null and others
    // (CreateFileW) with INVALID_HANDLE_VALUE; both mean "no handle" here. Never
    // wrap the pseudo handle of GetCurrentProcess, which has that same value.
    explicit UniqueHandle(HANDLE handle) noexcept
        : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&&) = delete;

    ~UniqueHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }

    HANDLE Get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    HANDLE handle_ = nullptr;
};
