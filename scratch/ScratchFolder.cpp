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
constexpr ULONGLONG kRemovalPatienceMs = 5000;
constexpr DWORD kRetryPauseMs = 100;

// The folder is held from its creation to its deletion by one handle, which lists it
// and deletes it. With FILE_LIST_DIRECTORY and DELETE it takes part in sharing (a handle
// with attribute access alone would not), so no one can rename the folder meanwhile.
constexpr DWORD kHoldAccess = FILE_LIST_DIRECTORY | DELETE | SYNCHRONIZE;
// Each entry is opened to be listed, made writable and deleted.
constexpr DWORD kEntryAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                               SYNCHRONIZE;
constexpr DWORD kNoDeleteSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A link is opened as itself, a folder like a file, and the handle waits for its calls.
constexpr DWORD kAsItself = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;

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

// The name NtCreateFile takes for a full path: "\??\" before a path on a drive (or in
// place of the prefix it has already), "\??\UNC\" before a path on a share.
std::u16string NtName(const std::u16string& path) {
    if (path.rfind(u"\\\\?\\", 0) == 0 || path.rfind(u"\\\\.\\", 0) == 0) {
        return u"\\??\\" + path.substr(4);
    }
    if (path.rfind(u"\\\\", 0) == 0) {
        return u"\\??\\UNC\\" + path.substr(2);
    }
    return u"\\??\\" + path;
}

// Opens what stands at name in the folder open as folder, as itself (a link, not what it
// points to), shared with no one who would rename or delete it, and reads its attributes.
// The name is looked up in that folder itself: a folder made a link after it was opened
// is never passed through. The Windows error, or 0.
DWORD OpenAsItself(Platform& platform, HANDLE folder, const std::u16string& name, UniqueHandle& handle,
                   DWORD& attributes) {
    HANDLE opened = nullptr;
    const NTSTATUS status = platform.NtCreateFile(&opened, kEntryAccess, folder, name.c_str(), OBJ_CASE_INSENSITIVE,
                                                  0 /* no attributes: an existing entry */, kNoDeleteSharing,
                                                  FILE_OPEN, kAsItself);
    if (status < 0) {
        return platform.RtlNtStatusToDosError(status);
    }
    handle.adopt(opened);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!platform.GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return platform.GetLastError();
    }
    attributes = tag.FileAttributes;
    return 0;
}

// Deletes a tree from its top down, never through a name that could lead elsewhere:
// each entry is opened as itself by its name within the handle of its folder, and only
// a plain folder is entered. The folders entered stay open, without FILE_SHARE_DELETE,
// until everything below them is gone.
class TreeRemoval {
public:
    explicit TreeRemoval(Platform& platform) : platform_(platform) {}

    // Empties and deletes the folder held open as held, which it never reopens by name.
    // The first error met; every entry that can be deleted is deleted all the same.
    DWORD Remove(HANDLE held) {
        Entry& first = way_.emplace_back(platform_);
        first.handle = held;
        if (const DWORD error = List(first)) {
            return error;
        }
        while (!way_.empty()) {
            Entry& folder = way_.back();
            if (folder.names.empty()) {
                Note(Dispose(folder));
                way_.pop_back();  // closes a folder's own handle, which deletes it the older way
                continue;
            }
            const std::u16string name = std::move(folder.names.back());
            folder.names.pop_back();
            Visit(folder.handle, name);
        }
        return firstError_;
    }

private:
    // An entry open for deletion; a folder's with the names in it still to delete.
    struct Entry {
        explicit Entry(Platform& platform) : opened(platform) {}
        UniqueHandle opened;    // the entry's own handle; the top's is the scratch folder's
        HANDLE handle = nullptr;
        DWORD attributes = 0;
        std::vector<std::u16string> names;
    };

    void Note(DWORD error) {
        if (firstError_ == 0) {
            firstError_ = error;
        }
    }

    // Opens the entry at name in the folder open as folder: a plain folder joins the way
    // down with its names listed; anything else (a file, a link of any kind) is deleted at once.
    void Visit(HANDLE folder, const std::u16string& name) {
        Entry& entry = way_.emplace_back(platform_);
        const DWORD opened = OpenAsItself(platform_, folder, name, entry.opened, entry.attributes);
        entry.handle = entry.opened.get();
        if (opened != 0) {
            Note(opened);
            way_.pop_back();
        } else if (!IsPlainFolder(entry.attributes)) {
            Note(Dispose(entry));
            way_.pop_back();
        } else if (const DWORD error = List(entry)) {
            Note(error);
            way_.pop_back();
        }
    }

    // The names in a folder, read from its handle from the first on: the top's handle
    // lists it again on each try.
    DWORD List(Entry& folder) {
        std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned as the entries need
        const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(buffer[0]));
        const auto* data = reinterpret_cast<const unsigned char*>(buffer.data());
        constexpr std::size_t kNameOffset = offsetof(FILE_FULL_DIR_INFO, FileName);
        FILE_INFO_BY_HANDLE_CLASS from = FileFullDirectoryRestartInfo;
        while (platform_.GetFileInformationByHandleEx(folder.handle, from, buffer.data(), bytes)) {
            from = FileFullDirectoryInfo;
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
        if (platform_.SetFileInformationByHandle(entry.handle, kFileDispositionInfoEx, &disposition,
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
            if (!platform_.GetFileInformationByHandleEx(entry.handle, FileStandardInfo, &standard,
                                                        sizeof(standard))) {
                return platform_.GetLastError();
            }
            if (standard.NumberOfLinks != 1) {
                return ERROR_ACCESS_DENIED;
            }
            FILE_BASIC_INFO basic{};
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would leave the attributes unchanged
            if (!platform_.SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof(basic))) {
                return platform_.GetLastError();
            }
        }
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!platform_.SetFileInformationByHandle(entry.handle, FileDispositionInfo, &disposition,
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
        result = MakeFreshFolder(parent);
    }
    if (!result.applied) {
        platform_.WriteStandardError(u"[brindle] Could not create the scratch folder: " + Decimal(result.error) +
                                     u"\n");
    } else if (verbose) {
        platform_.WriteStandardError(u"[brindle] Scratch folder: " + path_ + u"\n");
    }
    return result;
}

StepResult ScratchFolder::MakeFreshFolder(const std::u16string& parent) {
    std::u16string folder;
    if (!FullPathOf(platform_, parent, folder)) {
        return StepResult::Failed(platform_.GetLastError());
    }
    while (!folder.empty() && folder.back() == u'\\') {
        folder.pop_back();
    }
    const std::u16string stem = folder + u"\\brindle-" + Decimal(platform_.GetCurrentProcessId()) + u"-";
    for (DWORD n = 0;; ++n) {
        const std::u16string candidate = stem + Decimal(n);
        HANDLE made = nullptr;
        const NTSTATUS status = platform_.NtCreateFile(&made, kHoldAccess, nullptr, NtName(candidate).c_str(),
                                                       OBJ_CASE_INSENSITIVE, FILE_ATTRIBUTE_NORMAL, kNoDeleteSharing,
                                                       FILE_CREATE,  // only a new folder, never one that stands
                                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
        if (status >= 0) {
            hold_.adopt(made);
            path_ = candidate;
            return StepResult::Applied();
        }
        // Taken, or being deleted by whoever held it last.
        const bool taken = status == kStatusObjectNameCollision || status == kStatusDeletePending;
        if (!taken || n + 1 == kMostNamesTried) {
            return StepResult::Failed(platform_.RtlNtStatusToDosError(status));
        }
    }
}

bool ScratchFolder::Remove() {
    if (path_.empty()) {
        return true;
    }
    const ULONGLONG start = platform_.GetTickCount64();
    DWORD error = TreeRemoval(platform_).Remove(hold_.get());
    while (error != 0 && platform_.GetTickCount64() - start < kRemovalPatienceMs) {
        platform_.Sleep(kRetryPauseMs);
        error = TreeRemoval(platform_).Remove(hold_.get());
    }
    hold_.reset();  // a folder deleted the older way goes with its last handle
    if (error != 0) {
        platform_.WriteStandardError(u"[brindle] Warning: could not remove the scratch folder " + path_ + u": " +
                                     Decimal(error) + u"\n");
    }
    return error == 0;
}

}  // namespace brindle
