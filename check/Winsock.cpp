#include "check/WindowsCheck.h"

#include <cstring>

namespace brindle {

template <typename Function>
void Winsock::Load(Function& function, const char* name) {
    const FARPROC address = library_ != nullptr ? ::GetProcAddress(library_, name) : nullptr;
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    if (function == nullptr && error_ == 0) {
        error_ = ::GetLastError();
    }
}

Winsock::Winsock() : library_(::LoadLibraryExW(L"ws2_32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (library_ == nullptr) {
        error_ = ::GetLastError();
        return;
    }
    Load(startup_, "WSAStartup");
    Load(cleanup_, "WSACleanup");
    Load(lastError_, "WSAGetLastError");
    Load(socket_, "socket");
    Load(close_, "closesocket");
    Load(bind_, "bind");
    Load(listen_, "listen");
    Load(name_, "getsockname");
    Load(connect_, "connect");
    if (error_ != 0) {
        return;
    }
    WSADATA data;
    error_ = static_cast<DWORD>(startup_(MAKEWORD(2, 2), &data));  // returns its error itself
    started_ = error_ == 0;
}

Winsock::~Winsock() {
    if (listener_ != INVALID_SOCKET) {
        close_(listener_);
    }
    if (started_) {
        cleanup_();
    }
    if (library_ != nullptr) {
        ::FreeLibrary(library_);
    }
}

SOCKET Winsock::NewSocket() {
    const SOCKET created = socket_(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (created == INVALID_SOCKET) {
        error_ = static_cast<DWORD>(lastError_());
    } else {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(created), HANDLE_FLAG_INHERIT, 0);
    }
    return created;
}

namespace {
// Port and address in network byte order, written here: htons and its kind are ws2_32's,
// which brindle.exe must not import.
unsigned short NetworkOrder(unsigned short port) { return static_cast<unsigned short>((port >> 8) | (port << 8)); }

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = NetworkOrder(port);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(&address.sin_addr, loopback, sizeof(loopback));
    return address;
}
}  // namespace

unsigned short Winsock::Listen() {
    if (error_ != 0 || (listener_ = NewSocket()) == INVALID_SOCKET) {
        return 0;
    }
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    if (bind_(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen_(listener_, SOMAXCONN) != 0 || name_(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error_ = static_cast<DWORD>(lastError_());
        return 0;
    }
    return NetworkOrder(address.sin_port);
}

DWORD Winsock::Connect(unsigned short port) {
    if (error_ != 0) {
        return error_;
    }
    const SOCKET client = NewSocket();
    if (client == INVALID_SOCKET) {
        return error_;
    }
    const sockaddr_in address = Loopback(port);
    const DWORD result = connect_(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
                             ? 0
                             : static_cast<DWORD>(lastError_());
    close_(client);
    return result;
}

}  // namespace brindle
