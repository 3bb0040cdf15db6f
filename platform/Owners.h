// Owners for what the launcher opens: each handle, SID and allocation has exactly one
// owner, which releases it once, through the platform, when it goes out of scope
// or is reset. Owners neither copy nor move, so a release can never happen twice.
#pragma once

#include "platform/Platform.h"

namespace brindle {

class UniqueHandle {
public:
    explicit UniqueHandle(Platform& platform) : platform_(platform) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // The place a Windows call writes a new handle to; only valid while empty.
    HANDLE* put() { return &handle_; }

    // Takes ownership of a handle that a Windows call returned.
    void adopt(HANDLE handle) {
        reset();
        handle_ = handle;
    }

    // Closes the handle now. CloseHandle's result is not tested: there is nothing
    // the launcher could do about a handle that will not close.
    void reset() {
        if (handle_ != nullptr) {
            HANDLE handle = handle_;
            handle_ = nullptr;
            platform_.CloseHandle(handle);
        }
    }

private:
    Platform& platform_;
    HANDLE handle_ = nullptr;
};

class UniqueSid {
public:
    explicit UniqueSid(Platform& platform) : platform_(platform) {}
    UniqueSid(const UniqueSid&) = delete;
    UniqueSid& operator=(const UniqueSid&) = delete;
    ~UniqueSid() { reset(); }

    PSID get() const { return sid_; }
    explicit operator bool() const { return sid_ != nullptr; }
    PSID* put() { return &sid_; }

    void reset() {
        if (sid_ != nullptr) {
            PSID sid = sid_;
            sid_ = nullptr;
            platform_.FreeSid(sid);
        }
    }

private:
    Platform& platform_;
    PSID sid_ = nullptr;
};

// Memory that a Windows call allocated for the caller to release with LocalFree, such
// as the security descriptor GetNamedSecurityInfoW returns.
class UniqueLocalMemory {
public:
    explicit UniqueLocalMemory(Platform& platform) : platform_(platform) {}
    UniqueLocalMemory(const UniqueLocalMemory&) = delete;
    UniqueLocalMemory& operator=(const UniqueLocalMemory&) = delete;
    ~UniqueLocalMemory() { reset(); }

    HLOCAL get() const { return memory_; }
    HLOCAL* put() { return &memory_; }

    void reset() {
        if (memory_ != nullptr) {
            HLOCAL memory = memory_;
            memory_ = nullptr;
            platform_.LocalFree(memory);
        }
    }

private:
    Platform& platform_;
    HLOCAL memory_ = nullptr;
};

}  // namespace brindle
