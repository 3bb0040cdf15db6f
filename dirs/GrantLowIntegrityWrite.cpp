#include "dirs/GrantLowIntegrityWrite.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/Owners.h"
#include "platform/Paths.h"
#include "platform/StepResult.h"
#include "platform/Text.h"
#include "platform/WellKnownSids.h"

namespace brindle {
namespace {

// Inherited by files and subdirectories created later.
constexpr DWORD kLabelInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// No write up, as every Low label Windows writes itself: processes below Low
// (Untrusted) may not write there. No-execute-up alone would let them.
constexpr DWORD kLabelPolicy = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;  // 1

std::u16string Line(std::u16string_view text, const std::u16string& path) {
    return u"[brindle] " + std::u16string(text) + path + u"\n";
}

DirectoryGrant Result(GrantResult result) { return {result, std::nullopt}; }
DirectoryGrant Result(GrantResult result, DWORD error) { return {result, error}; }

// Whether the path is an existing directory, or why not.
std::optional<DirectoryGrant> RefuseNonDirectory(Platform& platform, const std::u16string& path, bool sayMissing,
                                                 DWORD& attributes) {
    if (path.empty()) {
        return Result(GrantResult::Missing);
    }
    attributes = platform.GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = platform.GetLastError();
        if (sayMissing) {
            platform.WriteStandardError(Line(u"GrantLowIntegrityWrite: directory does not exist: ", path));
        }
        return Result(GrantResult::Missing, error);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        platform.WriteStandardError(Line(u"GrantLowIntegrityWrite: not a directory: ", path));
        return Result(GrantResult::NotADirectory);
    }
    return std::nullopt;
}

// Reads the tag of the reparse point itself, never following it.
StepResult ReadReparseTag(Platform& platform, const std::u16string& path, DWORD& tag) {
    const HANDLE opened = platform.CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                               nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return StepResult::Failed(platform.GetLastError());
    }
    UniqueHandle file(platform);
    file.adopt(opened);
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!platform.GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &info, sizeof(info))) {
        return StepResult::Failed(platform.GetLastError());  // before the handle's release can change it
    }
    tag = info.ReparseTag;
    return StepResult::Applied();
}

// A junction, symbolic link or mount point names another folder: relabelling it would
// relabel that folder, and everything under it, for every Low process and for good.
// Other reparse points (cloud-file placeholders) are the folder itself and may be
// relabelled. Says, after its line, why the directory is refused, also when its tag
// cannot be read; nothing when it may be relabelled.
std::optional<DirectoryGrant> RefuseNameSurrogate(Platform& platform, const std::u16string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return std::nullopt;
    }
    DWORD tag = 0;
    const StepResult read = ReadReparseTag(platform, path, tag);
    if (!read.applied) {
        platform.WriteStandardError(u"[brindle] Could not read the reparse tag of '" + path + u"': " +
                                    Decimal(read.error) + u"\n");
        return Result(GrantResult::Refused, read.error);
    }
    if (IsReparseTagNameSurrogate(tag)) {
        platform.WriteStandardError(Line(u"GrantLowIntegrityWrite: refusing a reparse point: ", path));
        return Result(GrantResult::Refused);
    }
    return std::nullopt;
}

// A path in the one form in which two names of the same root compare equal: "\" for
// "/", ASCII letters in lower case, the long-path prefix dropped, exactly one trailing "\".
std::u16string NormalisedRoot(std::u16string path) {
    if (path.rfind(u"\\\\?\\UNC\\", 0) == 0) {
        path.replace(0, 8, u"\\\\");
    } else if (path.rfind(u"\\\\?\\", 0) == 0 || path.rfind(u"\\\\.\\", 0) == 0) {
        path.erase(0, 4);
    }
    for (char16_t& unit : path) {
        unit = unit == u'/' ? u'\\' : AsciiLower(unit);
    }
    while (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    return path + u'\\';
}

bool VolumePathOf(Platform& platform, const std::u16string& path, std::size_t fullPathLength,
                  std::u16string& volumePath) {
    // The volume path is a prefix of the full path, with a trailing "\" added at most.
    std::u16string buffer(std::max<std::size_t>(fullPathLength + 2, MAX_PATH + 1), u'\0');
    if (!platform.GetVolumePathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) {
        return false;
    }
    volumePath.assign(buffer.c_str());
    return true;
}

// Relabelling a volume root would relabel the whole volume. Judged by where the name
// really leads, when that can be read: the path calls misread a name that the file calls
// take as an NT path ("\??\C:\" is "Z:\??\C:\" to GetFullPathNameW, and C:\ to the rest).
// Says, after its line, why the directory is refused, also when either path cannot be read.
std::optional<DirectoryGrant> RefuseVolumeRoot(Platform& platform, const std::u16string& name) {
    const std::u16string realPath = RealPathOf(platform, name);
    const std::u16string& path = realPath.empty() ? name : realPath;
    std::u16string fullPath;
    if (!FullPathOf(platform, path, fullPath)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"GetFullPathName", error));
        return Result(GrantResult::Refused, error);
    }
    std::u16string volumePath;
    if (!VolumePathOf(platform, path, fullPath.size(), volumePath)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"GetVolumePathName", error));
        return Result(GrantResult::Refused, error);
    }
    if (NormalisedRoot(fullPath) == NormalisedRoot(volumePath)) {
        platform.WriteStandardError(Line(u"GrantLowIntegrityWrite: refusing a volume root: ", name));
        return Result(GrantResult::Refused);
    }
    return std::nullopt;
}

// Whether the mandatory-label entry at `entry` (aceSize bytes) is Low, inherited by
// files and folders alike, applies to the directory itself and forbids writing up.
bool IsLowWritableLabel(Platform& platform, const BYTE* entry, std::size_t aceSize, PSID lowSid) {
    SYSTEM_MANDATORY_LABEL_ACE ace;
    constexpr std::size_t kSidOffset = offsetof(SYSTEM_MANDATORY_LABEL_ACE, SidStart);
    constexpr std::size_t kSidHeader = 8;  // revision, count, six-byte authority
    if (aceSize < kSidOffset + kSidHeader) {
        return false;
    }
    std::memcpy(&ace, entry, kSidOffset);
    const BYTE* sid = entry + kSidOffset;
    if (kSidOffset + kSidHeader + 4 * std::size_t{sid[1]} > aceSize) {
        return false;
    }
    const DWORD flags = ace.Header.AceFlags;
    return (flags & kLabelInheritance) == kLabelInheritance && (flags & INHERIT_ONLY_ACE) == 0 &&
           (ace.Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0 &&
           platform.EqualSid(const_cast<BYTE*>(sid), lowSid);
}

// The first mandatory-label entry of the system ACL decides the directory's level.
bool FirstLabelIsLowWritable(Platform& platform, const ACL& sacl, PSID lowSid) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&sacl);
    std::size_t offset = sizeof(ACL);
    for (WORD index = 0; index < sacl.AceCount; ++index) {
        ACE_HEADER header;
        if (offset + sizeof(header) > sacl.AclSize) {
            return false;
        }
        std::memcpy(&header, bytes + offset, sizeof(header));
        if (header.AceSize < sizeof(header) || offset + header.AceSize > sacl.AclSize) {
            return false;
        }
        if (header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            return IsLowWritableLabel(platform, bytes + offset, header.AceSize, lowSid);
        }
        offset += header.AceSize;
    }
    return false;
}

// Writing a label propagates it down the whole existing tree, a cost that grows with the
// tree on every run; a directory that already carries the label is left as it is. A label
// that cannot be read (Wine refuses) counts as absent.
bool AlreadyLowWritable(Platform& platform, const std::u16string& path, PSID lowSid) {
    ACL* sacl = nullptr;
    UniqueLocalMemory descriptor(platform);
    const DWORD result = platform.GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION,
                                                        nullptr, nullptr, nullptr, &sacl, descriptor.put());
    return result == 0 && sacl != nullptr && FirstLabelIsLowWritable(platform, *sacl, lowSid);
}

// Builds, in aclBuffer, a system ACL holding one mandatory-label entry for the Low
// level. Windows takes only a SYSTEM_MANDATORY_LABEL_ACE as an integrity label; an
// access-allowed entry naming the Low SID would be ignored and leave the directory
// unwritable. The buffer is sized exactly for the header and that one entry.
StepResult BuildLowLabelAcl(Platform& platform, PSID lowSid, std::vector<DWORD>& aclBuffer) {
    const DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) +
                                             platform.GetLengthSid(lowSid));
    // DWORD elements keep the ACL DWORD-aligned, as Windows requires.
    aclBuffer.assign((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    if (!platform.InitializeAcl(acl, aclSize, ACL_REVISION)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"InitializeAcl", error));
        return StepResult::Failed(error);
    }
    if (!platform.AddMandatoryAce(acl, ACL_REVISION, kLabelInheritance, kLabelPolicy, lowSid)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"AddMandatoryAce", error));
        return StepResult::Failed(error);
    }
    return StepResult::Applied();
}

StepResult WriteLowLabel(Platform& platform, const std::u16string& path, PSID lowSid) {
    std::vector<DWORD> aclBuffer;
    const StepResult built = BuildLowLabelAcl(platform, lowSid, aclBuffer);
    if (!built.applied) {
        return built;
    }
    const DWORD result = platform.SetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION,
                                                        nullptr, nullptr, nullptr,  // owner, group, DACL unchanged
                                                        reinterpret_cast<ACL*>(aclBuffer.data()));
    if (result != 0) {
        platform.WriteStandardError(u"[brindle] SetNamedSecurityInfo failed for '" + path + u"': " +
                                    Decimal(result) + u"\n");
        return StepResult::Failed(result);
    }
    return StepResult::Applied();
}

}  // namespace

DirectoryGrant GrantLowIntegrityWrite(Platform& platform, const std::u16string& path, bool verbose,
                                      bool sayMissing) {
    DWORD attributes = 0;
    if (auto refused = RefuseNonDirectory(platform, path, sayMissing, attributes)) {
        return *refused;
    }
    if (auto refused = RefuseNameSurrogate(platform, path, attributes)) {
        return *refused;
    }
    if (auto refused = RefuseVolumeRoot(platform, path)) {
        return *refused;
    }
    UniqueSid lowSid(platform);
    if (!AllocateLowLabelSid(platform, lowSid)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(u"[brindle] AllocateAndInitializeSid failed for Low IL: " + Decimal(error) +
                                    u"\n");
        return Result(GrantResult::Failed, error);
    }
    if (AlreadyLowWritable(platform, path, lowSid.get())) {
        if (verbose) {
            platform.WriteStandardError(Line(u"Already writable at Low IL: ", path));
        }
        return Result(GrantResult::AlreadyLow);
    }
    const StepResult written = WriteLowLabel(platform, path, lowSid.get());
    if (!written.applied) {
        return Result(GrantResult::Failed, written.error);
    }
    if (verbose) {
        platform.WriteStandardError(Line(u"Granted Low IL write to: ", path));
    }
    return Result(GrantResult::Granted);
}

}  // namespace brindle
