// Owners for what the launcher opens: each handle, SID and allocation has exactly one
// owner, which releases it once, through the platform, when it goes out of scope
// or is reset. Owners neither copy nor move, so a release can never happen twice.
#pragma once

#include "platform/Platform.h"

namespace brindle {

// The owner of one kind of resource: Release is the platform call that gives it back.
// Its result is not tested: there is nothing the launcher could do about a handle that
// will not close or memory that will not free.
template <typename Resource, auto Release>
class UniqueResource {
public:
    explicit UniqueResource(Platform& platform) : platform_(platform) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Resource get() const { return resource_; }
    explicit operator bool() const { return resource_ != nullptr; }

    // The place a Windows call writes a new resource to; only valid while empty.
    Resource* put() { return &resource_; }

    // Takes ownership of a resource that a Windows call returned.
    void adopt(Resource resource) {
        reset();
        resource_ = resource;
    }

    // Releases the resource now.
    void reset() {
        if (resource_ != nullptr) {
            Resource resource = resource_;
            resource_ = nullptr;
            (platform_.*Release)(resource);
        }
    }

private:
    Platform& platform_;
    Resource resource_ = nullptr;
};

using UniqueHandle = UniqueResource<HANDLE, &Platform::CloseHandle>;
using UniqueSid = UniqueResource<PSID, &Platform::FreeSid>;  // what AllocateAndInitializeSid made
// Memory that a Windows call allocated for the caller to release with LocalFree, such
// as the security descriptor GetNamedSecurityInfoW returns.
using UniqueLocalMemory = UniqueResource<HLOCAL, &Platform::LocalFree>;
// Memory a shell call allocated for the caller to release with CoTaskMemFree.
using UniqueTaskMemory = UniqueResource<void*, &Platform::CoTaskMemFree>;

}  // namespace brindle
