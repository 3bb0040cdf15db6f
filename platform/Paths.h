// The full and long forms of a path, and the identity of an open file, for the checks
// that compare paths and files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Owners.h"
#include "platform/Platform.h"

namespace brindle {

// GetFullPathNameW of the path, at any length; false, with the code for GetLastError,
// when it fails.
bool FullPathOf(Platform& platform, const std::u16string& path, std::u16string& fullPath);

// The full path, then its long form (no 8.3 short names) where GetLongPathNameW can
// give one: it fails for a path that does not exist, which is then judged by its full
// path alone. Empty when not even the full path can be read.
std::u16string CanonicalPathOf(Platform& platform, const std::u16string& path);

// The path an open file or folder really has, every link and substituted drive on the
// way resolved, in the common form ("C:\...", "\\server\share\..."); empty when it
// cannot be read.
std::u16string FinalPathOf(Platform& platform, HANDLE file);

// Opens a file or folder only to tell what it is, with no access and following links;
// false when it cannot be.
bool OpenToTell(Platform& platform, const std::u16string& path, UniqueHandle& handle);

// FinalPathOf what the path leads to; empty when it cannot be opened or read.
std::u16string RealPathOf(Platform& platform, const std::u16string& path);

// A file or folder as the file system knows it, whatever name or handle led there: its
// volume's serial number and its file id.
struct FileIdentity {
    std::uint64_t volume;
    FILE_ID_128 file;

    bool operator==(const FileIdentity& other) const;
};

// The identity of the file an open handle names, from FileIdInfo, or where that is refused
// (file systems before ReFS-sized ids) from the volume serial and the 64-bit file index;
// empty when neither can be read.
std::optional<FileIdentity> IdentityOf(Platform& platform, HANDLE file);

}  // namespace brindle
