// What the checker and its probes share on Windows. The check attacks the real system,
// never a model of it, so this part of brindle calls Windows directly and is built only
// into brindle.exe.
#pragma once

#include "platform/WindowsTypes.h"  // <windows.h>, lean, so that Winsock 2 may follow

#include <winsock2.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Wide.h"

namespace brindle {

// A probe launched by the checker: `brindle.exe --probe=NAME [values]` as the first
// argument. Runs that probe alone, prints its one line of evidence on standard output,
// and returns kProbeHeld, kProbeSucceeded or kProbeCouldNotTry.
DWORD RunProbe(int argc, const char16_t* const* argv);

// The one owner of a kernel handle the check opens: closed once, when the owner goes.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle_ != nullptr) {
            ::CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }
    HANDLE* put() { return &handle_; }  // for a call that writes a handle; only while empty
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HANDLE handle_;
};

// A function of ntdll, which every process has loaded; null where this system lacks it.
template <typename Function>
Function NtdllFunction(const char* name) {
    const FARPROC address = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// Winsock, which only the network probe needs: loaded from the system folder alone when
// that probe runs, started, and cleaned up and unloaded with this owner. Its sockets are
// not inherited, so no child of the checker can take the listener.
class Winsock {
public:
    Winsock();
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;

    // 0 when ready; else why it is not.
    DWORD Error() const { return error_; }

    // A TCP socket on 127.0.0.1 listening on a port of the system's choosing; the port,
    // or 0 with the error in Error().
    unsigned short Listen();
    // Connects a new TCP socket to 127.0.0.1:port; 0, or the Winsock error.
    DWORD Connect(unsigned short port);

private:
    template <typename Function>
    void Load(Function& function, const char* name);
    SOCKET NewSocket();

    HMODULE library_ = nullptr;
    DWORD error_ = 0;
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    decltype(&::WSAStartup) startup_ = nullptr;
    decltype(&::WSACleanup) cleanup_ = nullptr;
    decltype(&::WSAGetLastError) lastError_ = nullptr;
    decltype(&::socket) socket_ = nullptr;
    decltype(&::closesocket) close_ = nullptr;
    decltype(&::bind) bind_ = nullptr;
    decltype(&::listen) listen_ = nullptr;
    decltype(&::getsockname) name_ = nullptr;
    decltype(&::connect) connect_ = nullptr;
};

// The decimal number that text starts with; 0 when it starts with no digit.
inline std::uint64_t LeadingNumber(std::u16string_view text) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < text.size() && text[index] >= u'0' && text[index] <= u'9'; ++index) {
        value = value * 10 + static_cast<std::uint64_t>(text[index] - u'0');
    }
    return value;
}

// This program's own path, which a probe and the checker launch again.
inline std::u16string OwnPath() {
    std::u16string path(32768, u'\0');
    path.resize(::GetModuleFileNameW(nullptr, Wide(path.data()), static_cast<DWORD>(path.size())));
    return path;
}

}  // namespace brindle
