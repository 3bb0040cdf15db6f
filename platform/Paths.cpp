#include "platform/Paths.h"

#include <cstring>

namespace brindle {
namespace {

// Calls a Windows function that fills a buffer and returns the length written without
// the terminator, or, when the buffer is too small, the size it needs; 0 on failure.
template <typename Fill>
bool FillGrowing(std::u16string& result, Fill fill) {
    std::u16string buffer(MAX_PATH + 1, u'\0');
    DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {  // too small: length is the size it needs
        buffer.assign(length, u'\0');
        length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (length == 0 || length >= buffer.size()) {
        return false;
    }
    result.assign(buffer, 0, length);
    return true;
}

}  // namespace

bool FullPathOf(Platform& platform, const std::u16string& path, std::u16string& fullPath) {
    return FillGrowing(fullPath, [&](char16_t* buffer, DWORD size) {
        return platform.GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
}

std::u16string CanonicalPathOf(Platform& platform, const std::u16string& path) {
    std::u16string fullPath;
    if (!FullPathOf(platform, path, fullPath)) {
        return {};
    }
    std::u16string longPath;
    if (FillGrowing(longPath, [&](char16_t* buffer, DWORD size) {
            return platform.GetLongPathNameW(fullPath.c_str(), buffer, size);
        })) {
        return longPath;
    }
    return fullPath;
}

std::u16string FinalPathOf(Platform& platform, HANDLE file) {
    std::u16string path;
    if (!FillGrowing(path, [&](char16_t* buffer, DWORD size) {
            return platform.GetFinalPathNameByHandleW(file, buffer, size);
        })) {
        return {};
    }
    if (path.rfind(u"\\\\?\\UNC\\", 0) == 0) {
        return u"\\\\" + path.substr(8);
    }
    return path.rfind(u"\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

bool OpenToTell(Platform& platform, const std::u16string& folder, UniqueHandle& handle) {
    const HANDLE opened = platform.CreateFileW(folder.c_str(), 0,  // no access: only what identifies it
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle.adopt(opened);
    return true;
}

std::u16string RealPathOf(Platform& platform, const std::u16string& path) {
    UniqueHandle handle(platform);
    return OpenToTell(platform, path, handle) ? FinalPathOf(platform, handle.get()) : std::u16string();
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return volume == other.volume && std::memcmp(file.Identifier, other.file.Identifier, sizeof(file)) == 0;
}

std::optional<FileIdentity> IdentityOf(Platform& platform, HANDLE file) {
    FILE_ID_INFO id{};
    if (platform.GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof(id))) {
        return FileIdentity{id.VolumeSerialNumber, id.FileId};
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!platform.GetFileInformationByHandle(file, &information)) {
        return std::nullopt;
    }
    FileIdentity index{information.dwVolumeSerialNumber, {}};
    std::memcpy(index.file.Identifier, &information.nFileIndexLow, sizeof(DWORD));
    std::memcpy(index.file.Identifier + sizeof(DWORD), &information.nFileIndexHigh, sizeof(DWORD));
    return index;
}

}  // namespace brindle
