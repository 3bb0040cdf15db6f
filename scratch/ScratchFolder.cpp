#include "scratch/ScratchFolder.h"

#include <cstddef>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace brindle {
namespace {

// FOLDERID_LocalAppDataLow: the user's folder that Windows labels Low.
constexpr GUID kLocalAppDataLow{0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
constexpr DWORD kFacilityWin32 = 7;
// Names others have taken are skipped; this many taken ends the search.
constexpr DWORD kMostNamesTried = 1000;
// What stands at the fresh folder's name is no longer the folder brindle made.
constexpr DWORD kReparsePointEncountered = 4395;  // ERROR_REPARSE_POINT_ENCOUNTERED
constexpr ULONGLONG kRemovalPatienceMs = 5000;
constexpr DWORD kRetryPauseMs = 100;

// The folder is held with FILE_LIST_DIRECTORY: a handle with attribute access alone
// takes no part in sharing, and would not keep anyone from renaming the folder.
constexpr DWORD kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Each entry is opened to be listed, made writable and deleted.
constexpr DWORD kEntryAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                               SYNCHRONIZE;
constexpr DWORD kNoDeleteSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// An HRESULT of the Win32 facility carries a Windows error code in its low 16 bits.
DWORD ErrorOf(HRESULT result) {
    const DWORD value = static_cast<DWORD>(result);
    return ((value >> 16) & 0x1FFF) == kFacilityWin32 ? (value & 0xFFFF) : value;
}

bool IsPlainFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

StepResult LocalLowFolder(Platform& platform, std::u16string& folder) {
    char16_t* path = nullptr;
    const HRESULT result = platform.SHGetKnownFolderPath(kLocalAppDataLow, 0, nullptr, &path);
    UniqueTaskMemory owner(platform);  // the caller frees it whether or not the call succeeded
    owner.adopt(path);
    if (result < 0) {
        return StepResult::Failed(ErrorOf(result));
    }
    folder = path;
    return StepResult::Applied();
}

StepResult TemporaryFolder(Platform& platform, std::u16string& folder) {
    std::u16string buffer(MAX_PATH + 1, u'\0');  // the longest temporary path Windows gives
    const DWORD length = platform.GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0 || length >= buffer.size()) {
        return StepResult::Failed(length == 0 ? platform.GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    }
    folder = buffer.substr(0, length);
    return StepResult::Applied();
}

// Makes the first free "brindle-<pid>-<n>" in parent. CreateDirectoryW fails on any
// name that is taken, a link planted there included, so the folder made is new.
StepResult MakeFreshFolder(Platform& platform, const std::u16string& parent, std::u16string& made) {
    std::u16string folder;
    if (!FullPathOf(platform, parent, folder)) {
        return StepResult::Failed(platform.GetLastError());
    }
    while (!folder.empty() && folder.back() == u'\\') {
        folder.pop_back();
    }
    const std::u16string stem = folder + u"\\brindle-" + Decimal(platform.GetCurrentProcessId()) + u"-";
    for (DWORD n = 0;; ++n) {
        const std::u16string candidate = stem + Decimal(n);
        if (platform.CreateDirectoryW(candidate.c_str(), nullptr)) {
            made = candidate;
            return StepResult::Applied();
        }
        const DWORD error = platform.GetLastError();
        if (error != ERROR_ALREADY_EXISTS || n + 1 == kMostNamesTried) {
            return StepResult::Failed(error);
        }
    }
}

// Opens what stands at path as itself (a link, not what it points to), shared with no
// one who would rename or delete it, and reads its attributes. The Windows error, or 0.
DWORD OpenAsItself(Platform& platform, const std::u16string& path, DWORD access, UniqueHandle& handle,
                   DWORD& attributes) {
    const HANDLE opened =
        platform.CreateFileW(path.c_str(), access, kNoDeleteSharing, nullptr, OPEN_EXISTING, kAsItself, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return platform.GetLastError();
    }
    handle.adopt(opened);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!platform.GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return platform.GetLastError();
    }
    attributes = tag.FileAttributes;
    return 0;
}

// Long paths are the rule inside a folder that tools fill: the removal names entries
// in the form that lifts the MAX_PATH limit.
std::u16string ExtendedPath(const std::u16string& path) {
    if (path.rfind(u"\\\\?\\", 0) == 0) {
        return path;
    }
    if (path.rfind(u"\\\\", 0) == 0) {
        return u"\\\\?\\UNC\\" + path.substr(2);
    }
    return u"\\\\?\\" + path;
}

// Deletes a tree from its top down, never through a name that could lead elsewhere:
// each entry is opened as itself, and only a plain folder is entered. The folders
// entered stay open, without FILE_SHARE_DELETE, until everything below them is gone.
class TreeRemoval {
public:
    explicit TreeRemoval(Platform& platform) : platform_(platform) {}

    // The first error met; every entry that can be deleted is deleted all the same.
    DWORD Remove(const std::u16string& top) {
        Visit(top);
        while (!way_.empty()) {
            Entry& folder = way_.back();
            if (folder.names.empty()) {
                Note(Dispose(folder));
                way_.pop_back();  // closing its handle deletes it
                continue;
            }
            const std::u16string name = std::move(folder.names.back());
            folder.names.pop_back();
            Visit(folder.path + u"\\" + name);
        }
        return firstError_;
    }

private:
    // An entry open for deletion; a folder's with the names in it still to delete.
    struct Entry {
        Entry(Platform& platform, std::u16string path) : path(std::move(path)), handle(platform) {}
        std::u16string path;
        UniqueHandle handle;
        DWORD attributes = 0;
        std::vector<std::u16string> names;
    };

    void Note(DWORD error) {
        if (firstError_ == 0) {
            firstError_ = error;
        }
    }

    // Opens the entry at path: a plain folder joins the way down with its names listed;
    // anything else (a file, a link of any kind) is deleted at once.
    void Visit(const std::u16string& path) {
        Entry& entry = way_.emplace_back(platform_, path);
        if (const DWORD error = OpenAsItself(platform_, path, kEntryAccess, entry.handle, entry.attributes)) {
            Note(error);
            way_.pop_back();
        } else if (!IsPlainFolder(entry.attributes)) {
            Note(Dispose(entry));
            way_.pop_back();
        } else if (const DWORD error = List(entry)) {
            Note(error);
            way_.pop_back();
        }
    }

    // The names in a folder, read from its handle.
    DWORD List(Entry& folder) {
        std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned as the entries need
        const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(buffer[0]));
        const auto* data = reinterpret_cast<const unsigned char*>(buffer.data());
        constexpr std::size_t kNameOffset = offsetof(FILE_FULL_DIR_INFO, FileName);
        while (platform_.GetFileInformationByHandleEx(folder.handle.get(), FileFullDirectoryInfo, buffer.data(),
                                                      bytes)) {
            for (std::size_t offset = 0; offset + kNameOffset <= bytes;) {
                FILE_FULL_DIR_INFO header;
                std::memcpy(&header, data + offset, kNameOffset);
                if (offset + kNameOffset + header.FileNameLength > bytes) {
                    break;
                }
                std::u16string name(header.FileNameLength / sizeof(char16_t), u'\0');
                std::memcpy(name.data(), data + offset + kNameOffset, name.size() * sizeof(char16_t));
                if (name != u"." && name != u"..") {
                    folder.names.push_back(std::move(name));
                }
                if (header.NextEntryOffset == 0) {
                    break;
                }
                offset += header.NextEntryOffset;
            }
        }
        const DWORD error = platform_.GetLastError();
        return error == ERROR_NO_MORE_FILES ? 0 : error;
    }

    // Deletes the entry, read-only or not, without changing anything else: its name goes
    // at once (POSIX semantics) and its attributes stay, which matters for a file that has
    // other names outside the folder (a hard link to a file of the user's).
    DWORD Dispose(Entry& entry) {
        DispositionInfoEx disposition{kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
        if (platform_.SetFileInformationByHandle(entry.handle.get(), kFileDispositionInfoEx, &disposition,
                                                 sizeof(disposition))) {
            return 0;
        }
        const DWORD error = platform_.GetLastError();
        // Refused before Windows 10 1809, on FAT and on some shares.
        const bool older = error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
                           error == ERROR_NOT_SUPPORTED;
        return older ? DisposeTheOldWay(entry) : error;
    }

    // Where Windows cannot ignore the read-only attribute, it is cleared first, which
    // clears it for every name of the file: so only for an entry with this name alone.
    // A read-only entry with other names is left, and with it the folder.
    DWORD DisposeTheOldWay(Entry& entry) {
        if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            FILE_STANDARD_INFO standard{};
            if (!platform_.GetFileInformationByHandleEx(entry.handle.get(), FileStandardInfo, &standard,
                                                        sizeof(standard))) {
                return platform_.GetLastError();
            }
            if (standard.NumberOfLinks != 1) {
                return ERROR_ACCESS_DENIED;
            }
            FILE_BASIC_INFO basic{};
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would leave the attributes unchanged
            if (!platform_.SetFileInformationByHandle(entry.handle.get(), FileBasicInfo, &basic, sizeof(basic))) {
                return platform_.GetLastError();
            }
        }
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!platform_.SetFileInformationByHandle(entry.handle.get(), FileDispositionInfo, &disposition,
                                                  sizeof(disposition))) {
            return platform_.GetLastError();
        }
        return 0;
    }

    Platform& platform_;
    std::deque<Entry> way_;  // the entries open, outermost first
    DWORD firstError_ = 0;
};

}  // namespace

StepResult ScratchFolder::Create(bool lowIntegrity, bool verbose) {
    std::u16string parent;
    StepResult result = lowIntegrity ? LocalLowFolder(platform_, parent) : TemporaryFolder(platform_, parent);
    if (result.applied) {
        result = MakeFreshFolder(platform_, parent, path_);
    }
    if (result.applied) {
        result = Hold();
    }
    if (!result.applied) {
        platform_.WriteStandardError(u"[brindle] Could not create the scratch folder: " + Decimal(result.error) +
                                     u"\n");
    } else if (verbose) {
        platform_.WriteStandardError(u"[brindle] Scratch folder: " + path_ + u"\n");
    }
    return result;
}

StepResult ScratchFolder::Hold() {
    DWORD attributes = 0;
    if (const DWORD error = OpenAsItself(platform_, path_, kHoldAccess, hold_, attributes)) {
        return StepResult::Failed(error);
    }
    if (!IsPlainFolder(attributes)) {
        return StepResult::Failed(kReparsePointEncountered);  // swapped for a link before it was held
    }
    return StepResult::Applied();
}

bool ScratchFolder::Remove() {
    if (path_.empty()) {
        return true;
    }
    hold_.reset();  // deleting the folder takes DELETE access, which the hold shares with no one
    const std::u16string top = ExtendedPath(path_);
    const ULONGLONG start = platform_.GetTickCount64();
    DWORD error = TreeRemoval(platform_).Remove(top);
    while (error != 0 && platform_.GetTickCount64() - start < kRemovalPatienceMs) {
        platform_.Sleep(kRetryPauseMs);
        error = TreeRemoval(platform_).Remove(top);
    }
    if (error != 0) {
        platform_.WriteStandardError(u"[brindle] Warning: could not remove the scratch folder " + path_ + u": " +
                                     Decimal(error) + u"\n");
    }
    return error == 0;
}

}  // namespace brindle
