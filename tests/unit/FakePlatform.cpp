#include "FakePlatform.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <tuple>

#include "platform/Text.h"

namespace brindle::testing {
namespace {

constexpr DWORD kStillActive = 259;
constexpr DWORD kAllottedSpaceExceeded = 1344;
// What the fake's FreeSid and CloseHandle leave as the last error, so that a code read
// after a release is visibly wrong.
constexpr DWORD kErrorLeftByRelease = 0;
const std::string kHigh = "S-1-16-12288";  // the label of High integrity
// Windows takes at most 32 767 characters of command line, its terminating null included.
constexpr std::size_t kLongestCommandLine = 32766;
// The access that takes part in sharing: a handle with none of it keeps no one out.
constexpr DWORD kSharedAccess = 0x1 | 0x2 | 0x4 | 0x20 | DELETE | 0xF0000000;
constexpr GUID kLocalAppDataLow{0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
// Where the programs of the scenario are found; the image of each process made of one.
const std::u16string kProgramFolder = u"C:\\Windows\\System32\\";
constexpr std::int64_t kJobUserTimeUnits = 250009;    // 25 ms in 100-ns units
constexpr std::int64_t kJobKernelTimeUnits = 120000;  // 12 ms
// How many times a port is read before a scenario counts as one that never ends.
constexpr std::size_t kMostPortReads = 1000000;
constexpr DWORD kPageSize = 4096;
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000034);  // STATUS_OBJECT_NAME_NOT_FOUND
constexpr NTSTATUS kStatusSharing = static_cast<NTSTATUS>(0xC0000043);   // STATUS_SHARING_VIOLATION
// The time of day when the fake's clock reads 0: 2026-12-09T00:00:00Z, as a FILETIME count.
constexpr std::uint64_t kStartOfDay = 134412480000000000;
// Every entry the launcher writes has the layout of SYSTEM_MANDATORY_LABEL_ACE: header, mask, then the SID.
constexpr std::size_t kAceHeaderAndMask = sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD);

std::u16string AsciiLower(std::u16string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char16_t unit) { return brindle::AsciiLower(unit); });
    return text;
}

// The program a command line names: up to the closing quote, or up to the first space or tab.
std::u16string ProgramOf(const std::u16string& commandLine) {
    if (!commandLine.empty() && commandLine[0] == u'"') {
        const std::size_t close = commandLine.find(u'"', 1);
        return commandLine.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    }
    return commandLine.substr(0, commandLine.find_first_of(u" \t"));
}

bool Below(const std::u16string& path, const std::u16string& folder) {
    return path == folder || path.rfind(folder + u"\\", 0) == 0;
}

// The value of TEMP in an environment block, as the launcher spells it.
std::u16string TempOf(const std::u16string& block) {
    const std::u16string entries = u'\0' + block;
    const std::size_t at = entries.find(std::u16string(u"\0TEMP=", 6));
    return at == std::u16string::npos ? u"" : entries.substr(at + 6, entries.find(u'\0', at + 6) - at - 6);
}

std::size_t SidLength(const BYTE* sid) { return 8 + 4 * std::size_t{sid[1]}; }

// The bytes of a record, or the first size bytes at record.
template <typename T>
std::vector<BYTE> Bytes(const T* record, std::size_t size = sizeof(T)) {
    const auto* bytes = reinterpret_cast<const BYTE*>(record);
    return {bytes, bytes + size};
}

std::vector<BYTE> AclBytes(const ACL* acl) { return Bytes(acl, acl->AclSize); }

// The extended limits set on a job: zeros until they are set.
JOBOBJECT_EXTENDED_LIMIT_INFORMATION LimitsOf(const FakePlatform::Job& job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    std::copy(job.extendedLimit.begin(), job.extendedLimit.end(), reinterpret_cast<BYTE*>(&limits));
    return limits;
}

// Where the entries of an ACL end: they follow its header back to back.
std::size_t AclUsed(const ACL* acl) {
    std::size_t used = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, reinterpret_cast<const BYTE*>(acl) + used, sizeof(header));
        used += header.AceSize;
    }
    return used;
}

// Copies text and its null into a buffer of length characters, as the path calls do:
// the characters copied, or the length the buffer needs.
DWORD CopyOut(const std::u16string& text, char16_t* buffer, DWORD length) {
    if (length < text.size() + 1) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return static_cast<DWORD>(text.size());
}

// S-<revision>-<authority>-<sub>-<sub>...: the revision, the count of subs, the authority
// in six bytes from the most significant, then each sub in four from the least.
std::vector<BYTE> SidBytes(const std::string& text) {
    std::istringstream stream(text.substr(2));
    unsigned revision = 0;
    std::uint64_t authority = 0;
    char dash = 0;
    stream >> revision >> dash >> authority;
    std::vector<BYTE> bytes{static_cast<BYTE>(revision), 0};
    for (int shift = 40; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<BYTE>(authority >> shift));
    }
    for (DWORD sub = 0; stream >> dash >> sub; ++bytes[1]) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<BYTE>(sub >> shift));
        }
    }
    return bytes;
}

}  // namespace

std::string SidText(const BYTE* sid) {
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | sid[i];
    }
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (BYTE i = 0; i < sid[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return text;
}

class FakePlatform::Seam final : public Platform {
public:
    explicit Seam(FakePlatform& fake) : f(fake) {}

    // --- Recording, refusing, handing out ---

    // Records the call; true when the scenario makes it fail with its chosen error.
    bool Call(const std::string& operation) {
        f.calls_.push_back(operation);
        const std::map<int, DWORD>& failures = f.failures_[operation];
        const auto failure = failures.find(++f.callCounts_[operation]);
        failed_ = failure != failures.end();
        f.lastError_ = failed_ ? failure->second : f.lastError_;
        return failed_;
    }

    // The first reason a call fails is the error it leaves: the scenario's choice, or
    // what the fake finds wrong first. Returns the result that tells of the failure.
    template <typename Result = BOOL>
    Result Refuse(DWORD error, Result result = FALSE) {
        f.lastError_ = failed_ ? f.lastError_ : error;
        failed_ = true;
        return result;
    }

    // A use of Windows that a scenario cannot tell from a right one, but that is wrong: kept for Problems().
    bool ProblemIf(bool wrong, const std::string& problem) {
        if (wrong) {
            f.problems_.push_back(problem);
        }
        return wrong;
    }

    // Records the call and, unless the scenario or what is wrong with it (wrong, with error) makes it fail, acts.
    template <typename Act>
    BOOL Do(const std::string& operation, bool wrong, DWORD error, Act act) {
        if (Call(operation) || wrong) {
            return Refuse(error);
        }
        act();
        return TRUE;
    }

    // Records the call and finds the open object of this kind the handle names; nullptr
    // when the call fails or the handle is not one.
    Object* Enter(const std::string& operation, HANDLE handle, Kind kind) {
        Object* object = Call(operation) ? nullptr : Lookup(handle, kind);
        return object != nullptr ? object : Refuse(ERROR_INVALID_HANDLE, object);
    }

    // The same, giving the model the object stands for in the store of its kind.
    template <typename T>
    T* Enter(const std::string& operation, HANDLE handle, Kind kind, std::vector<T>& store) {
        const Object* object = Enter(operation, handle, kind);
        return object != nullptr ? &store[object->index] : nullptr;
    }

    // Without a kind: whatever object the fake gave the handle out for, closed or not.
    Object* Lookup(HANDLE handle, std::optional<Kind> kind) {
        const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
        if (value <= 0x1000 || (value - 0x1000) % 8 != 0 || (value - 0x1000) / 8 > f.objects_.size()) {
            return nullptr;
        }
        Object& object = f.objects_[(value - 0x1000) / 8 - 1];
        return !kind || (object.kind == *kind && object.closes == 0) ? &object : nullptr;
    }

    HANDLE NewHandle(Kind kind, const std::string& label, std::size_t index) {
        f.objects_.push_back({kind, label, index});
        return reinterpret_cast<HANDLE>(std::uintptr_t{0x1000} + 8 * f.objects_.size());
    }

    // A new object, kept in the store of its kind, and a handle to it.
    template <typename T>
    HANDLE Add(Kind kind, const std::string& label, std::vector<T>& store, T model) {
        store.push_back(std::move(model));
        return NewHandle(kind, label, store.size() - 1);
    }

    // Copies a record out to the caller's buffer, which must be of its size (an empty record is no answer).
    BOOL Give(const std::vector<BYTE>& record, void* info, DWORD length) {
        if (record.empty() || record.size() != length) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        std::memcpy(info, record.data(), length);
        return TRUE;
    }

    // what names the call that frees it, then the memory ("FreeSid: SID S-1-16-4096").
    void* Allocate(std::string what, const void* bytes, std::size_t size) {
        f.allocations_.push_back(std::make_unique<Allocation>(Allocation{std::move(what), {}}));
        f.allocations_.back()->bytes.resize((size + 3) / 4);
        std::memcpy(f.allocations_.back()->bytes.data(), bytes, size);
        return f.allocations_.back()->bytes.data();
    }

    // The latest allocation at memory that goes back through how.
    Allocation* Find(const void* memory, const std::string& how) {
        const auto found = std::find_if(f.allocations_.rbegin(), f.allocations_.rend(), [&](const auto& allocation) {
            const void* at = allocation->list != nullptr ? allocation->list : allocation->bytes.data();
            return at == memory && allocation->what.rfind(how, 0) == 0;
        });
        return found == f.allocations_.rend() ? nullptr : found->get();
    }

    // Memory goes back through the call that frees what its maker gives out.
    bool Release(const void* memory, const std::string& how) {
        Call(how);
        Allocation* allocation = Find(memory, how);
        return !ProblemIf(allocation == nullptr, how + " on memory the fake did not give out for it") &&
               ++allocation->frees;
    }

    void WriteError(std::u16string_view text) override { f.standardError_ += text; }
    void WriteStandardOutput(std::u16string_view text) override { f.standardOutput_ += text; }
    ULONGLONG GetTickCount64() override { return f.clock_; }
    void GetSystemTimeAsFileTime(FILETIME* time) override {
        const std::uint64_t now = kStartOfDay + f.clock_ * 10000;
        *time = {static_cast<DWORD>(now), static_cast<DWORD>(now >> 32)};
    }
    HANDLE GetCurrentProcess() override { return kCurrentProcess; }
    HANDLE GetCurrentThread() override { return kCurrentThread; }
    DWORD GetCurrentProcessId() override { return kOwnProcessId; }
    DWORD GetLastError() override { return f.lastError_; }
    void CoTaskMemFree(void* memory) override { Release(memory, "CoTaskMemFree"); }

    void FreeSid(PSID sid) override {
        Release(sid, "FreeSid");
        f.lastError_ = kErrorLeftByRelease;
    }

    HLOCAL LocalFree(HLOCAL memory) override { return Release(memory, "LocalFree") ? nullptr : memory; }

    void Sleep(DWORD milliseconds) override {
        Call("Sleep");
        f.clock_ += milliseconds;
    }

    // --- Tokens and SIDs ---

    BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) override {
        const Object* child = process != kCurrentProcess ? Lookup(process, Kind::Process) : nullptr;
        return Do("OpenProcessToken", process != kCurrentProcess && child == nullptr, ERROR_INVALID_HANDLE, [&] {
            // A child's token is the one it was created with, as it reads back. The token brindle opens only to read
            // its user, and the one it closes to its child, are told apart from the one it launches with.
            const Token* created = child != nullptr ? f.FindToken(f.processes_[child->index].tokenLabel) : nullptr;
            Token read =
                created != nullptr && !f.Lies(Lie::Token) ? *created : Token{"", f.ownGroups_, f.ownIntegrity_};
            read.label = child != nullptr                              ? "child token"
                         : desiredAccess == TOKEN_QUERY                ? "query token"
                         : desiredAccess == (READ_CONTROL | WRITE_DAC) ? "token to close"
                                                                       : "own token";
            read.openedWithAccess = child != nullptr ? read.openedWithAccess : desiredAccess;
            *token = Add(Kind::Token, read.label, f.tokens_, read);
        });
    }

    // TokenUser, TokenIntegrityLevel and TokenGroups are all an array of SID_AND_ATTRIBUTES
    // (after a count for the groups) followed by the SIDs it points at.
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD infoLength,
                             DWORD* returnLength) override {
        *returnLength = 0;
        const Token* object = Enter("GetTokenInformation", token, Kind::Token, f.tokens_);
        if (object == nullptr) {
            return FALSE;
        }
        // A platform that ignores the label and the removal of privileges reads them back as brindle's own.
        const Token ignored{"", f.ownGroups_, f.ownIntegrity_};
        const bool lies = f.Lies(Lie::Token) && (infoClass == TokenIntegrityLevel || infoClass == TokenPrivileges);
        const Token& read = lies ? ignored : *object;
        // The record as it will lie in the buffer: the SIDs its entries point to follow them.
        std::vector<BYTE> record;
        const auto add = [&record](const auto& part) {
            record.insert(record.end(), reinterpret_cast<const BYTE*>(&part), reinterpret_cast<const BYTE*>(&part + 1));
        };
        std::vector<FakeGroup> groups;
        if (infoClass == TokenPrivileges) {
            // SeChangeNotifyPrivilege (23), then the others from SeCreateTokenPrivilege (2) on.
            add(DWORD{1 + read.otherPrivileges});
            for (DWORD i = 0; i <= read.otherPrivileges; ++i) {
                add(LUID_AND_ATTRIBUTES{{i == 0 ? 23 : i + 1, 0}, 0});
            }
        } else if (infoClass == TokenElevation) {
            add(TOKEN_ELEVATION{f.elevated_ ? 1u : 0u});
        } else if (infoClass == TokenGroups) {
            add(static_cast<DWORD>(read.groups.size()));
            record.resize(offsetof(TOKEN_GROUPS, Groups));
            groups = read.groups;
        } else if (infoClass == TokenUser || infoClass == TokenIntegrityLevel) {
            groups = {infoClass == TokenUser ? FakeGroup{kUserSid, 0}
                                             : FakeGroup{read.integrityLabel, SE_GROUP_INTEGRITY}};
        } else {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        const std::size_t sidsAt = record.size() + groups.size() * sizeof(SID_AND_ATTRIBUTES);
        std::vector<BYTE> sids;
        for (const FakeGroup& group : groups) {
            const std::uintptr_t sid = reinterpret_cast<std::uintptr_t>(info) + sidsAt + sids.size();
            add(SID_AND_ATTRIBUTES{reinterpret_cast<PSID>(sid), group.attributes});
            const std::vector<BYTE> bytes = SidBytes(group.sid);
            sids.insert(sids.end(), bytes.begin(), bytes.end());
        }
        record.insert(record.end(), sids.begin(), sids.end());
        *returnLength = static_cast<DWORD>(record.size());
        if (info == nullptr || infoLength < record.size()) {
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        }
        const auto* buffer = static_cast<const BYTE*>(info);
        ProblemIf(infoClass != TokenPrivileges && infoClass != TokenElevation &&
                      std::any_of(buffer, buffer + infoLength, [](BYTE b) { return b != 0; }),
                  "token information buffer was not zero-filled");
        std::memcpy(info, record.data(), record.size());
        return TRUE;
    }

    BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD infoLength) override {
        Token* target = Enter("SetTokenInformation", token, Kind::Token, f.tokens_);
        if (target == nullptr || infoClass != TokenIntegrityLevel || info == nullptr) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        const auto* label = static_cast<const TOKEN_MANDATORY_LABEL*>(info);
        target->integrityLabel = SidText(static_cast<const BYTE*>(label->Label.Sid));
        target->integrityLabelAttributes = label->Label.Attributes;
        target->integrityLabelLength = infoLength;
        return TRUE;
    }

    BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                  DWORD subAuthority0, DWORD subAuthority1, PSID* sid) override {
        const bool wrong = subAuthorityCount < 1 || subAuthorityCount > 2;
        return Do("AllocateAndInitializeSid", wrong, ERROR_INVALID_PARAMETER, [&] {
            std::vector<BYTE> bytes{1, subAuthorityCount};
            bytes.insert(bytes.end(), authority->Value, authority->Value + 6);
            const DWORD subAuthorities[] = {subAuthority0, subAuthority1};  // as many as the count says
            bytes.resize(SidLength(bytes.data()));
            std::memcpy(bytes.data() + 8, subAuthorities, bytes.size() - 8);
            *sid = Allocate("FreeSid: SID " + SidText(bytes.data()), bytes.data(), bytes.size());
        });
    }

    BOOL EqualSid(PSID sid1, PSID sid2) override {
        Call("EqualSid");
        const std::size_t length = SidLength(static_cast<const BYTE*>(sid1));
        return length == SidLength(static_cast<const BYTE*>(sid2)) && std::memcmp(sid1, sid2, length) == 0;
    }

    DWORD GetLengthSid(PSID sid) override {
        Call("GetLengthSid");
        return static_cast<DWORD>(SidLength(static_cast<const BYTE*>(sid)));
    }

    BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* size) override {
        const std::vector<BYTE> bytes = SidBytes(type == WinLocalSystemSid ? "S-1-5-18" : "S-1-3-4");
        const bool wrong = domainSid != nullptr || *size < bytes.size() ||
                           (type != WinLocalSystemSid && type != WinCreatorOwnerRightsSid);
        return Do("CreateWellKnownSid", wrong, ERROR_INVALID_PARAMETER, [&] {
            std::memcpy(sid, bytes.data(), bytes.size());
            *size = static_cast<DWORD>(bytes.size());
        });
    }

    BOOL CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                               SID_AND_ATTRIBUTES* sidsToDisable, DWORD deletePrivilegeCount,
                               LUID_AND_ATTRIBUTES* privilegesToDelete, DWORD restrictedSidCount,
                               SID_AND_ATTRIBUTES* sidsToRestrict, HANDLE* newToken) override {
        const Token* source = Enter("CreateRestrictedToken", existingToken, Kind::Token, f.tokens_);
        if (source == nullptr || (disableSidCount != 0 && sidsToDisable == nullptr)) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        Token restricted = *source;
        restricted.label = "restricted token";
        restricted.restrictionFlags = flags;
        restricted.otherPrivileges = (flags & DISABLE_MAX_PRIVILEGE) != 0 ? 0 : restricted.otherPrivileges;
        restricted.disableListGiven = sidsToDisable != nullptr;
        restricted.privilegeOrRestrictListGiven = deletePrivilegeCount != 0 || privilegesToDelete != nullptr ||
                                                  restrictedSidCount != 0 || sidsToRestrict != nullptr;
        for (DWORD i = 0; i < disableSidCount; ++i) {
            const std::string sid = SidText(static_cast<const BYTE*>(sidsToDisable[i].Sid));
            restricted.disabledSids.push_back(sid);
            restricted.disabledSidAttributes.push_back(sidsToDisable[i].Attributes);
            for (FakeGroup& group : restricted.groups) {
                group.attributes |= group.sid == sid ? SE_GROUP_USE_FOR_DENY_ONLY : 0;
            }
        }
        *newToken = Add(Kind::Token, restricted.label, f.tokens_, restricted);
        return TRUE;
    }

    BOOL DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, SECURITY_ATTRIBUTES* attributes,
                          SECURITY_IMPERSONATION_LEVEL impersonationLevel, TOKEN_TYPE tokenType,
                          HANDLE* newToken) override {
        const Token* source = Enter("DuplicateTokenEx", existingToken, Kind::Token, f.tokens_);
        if (source == nullptr) {
            return FALSE;
        }
        Token duplicate = *source;
        duplicate.label = "duplicate token";
        duplicate.duplicateAccess = desiredAccess;
        duplicate.impersonationLevel = impersonationLevel;
        duplicate.tokenType = tokenType;
        duplicate.duplicateAttributesGiven = attributes != nullptr;
        *newToken = Add(Kind::Token, duplicate.label, f.tokens_, duplicate);
        return TRUE;
    }

    // --- Files and folders ---

    DWORD GetFileAttributesW(const char16_t* path) override {
        const DWORD attributes = f.entries_[path].attributes;
        return Call("GetFileAttributesW") || attributes == 0 ? Refuse(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES)
                                                             : attributes;
    }

    HANDLE CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                       SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                       HANDLE templateFile) override {
        const bool fails = Call("CreateFileW");
        if (!fails && f.swap_ && Resolve(fileName, true) == f.swap_->opened && f.swap_->skipping-- == 0) {
            TrySwap();
        }
        const std::u16string resolved = Resolve(fileName, (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0);
        f.fileOpens_.push_back({fileName, desiredAccess, shareMode, creationDisposition, flagsAndAttributes,
                                securityAttributes != nullptr, templateFile != nullptr, resolved});
        const DWORD attributes = f.entries_[resolved].attributes;
        if (fails || (creationDisposition == CREATE_NEW && (f.files_.count(fileName) != 0 || f.Exists(fileName)))) {
            return Refuse(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        }
        if (creationDisposition == CREATE_NEW) {
            f.files_[fileName] = {};
        } else if (attributes == 0 || (std::u16string_view(fileName).size() >= MAX_PATH && fileName[0] != u'\\')) {
            return Refuse(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);  // only a \\?\ name may be longer than MAX_PATH
        } else if ((desiredAccess & DELETE) != 0 && HeldWithoutDeleteSharing(resolved)) {
            return Refuse(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                   (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            // Windows opens a directory only for a caller that asks for backup semantics.
            return Refuse(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        return NewHandle(Kind::File, "file", f.fileOpens_.size() - 1);
    }

    // The volume is the drive, the id the file itself, whatever name led to it.
    static FILE_ID_INFO IdOf(const FileOpen& open) {
        const std::u16string resolved = AsciiLower(open.resolved);
        FILE_ID_INFO id{resolved.empty() ? 0u : resolved[0], {}};
        const std::size_t hash = std::hash<std::u16string>()(resolved);
        std::memcpy(id.FileId.Identifier, &hash, sizeof(hash));
        return id;
    }

    // The identity FileIdInfo gives, in the older record.
    BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) override {
        const FileOpen* open = Enter("GetFileInformationByHandle", file, Kind::File, f.fileOpens_);
        if (open == nullptr) {
            return FALSE;
        }
        const FILE_ID_INFO id = IdOf(*open);
        *information = {};
        information->dwVolumeSerialNumber = static_cast<DWORD>(id.VolumeSerialNumber);
        std::memcpy(&information->nFileIndexLow, id.FileId.Identifier, sizeof(DWORD));
        std::memcpy(&information->nFileIndexHigh, id.FileId.Identifier + sizeof(DWORD), sizeof(DWORD));
        return TRUE;
    }

    // Where the name led, in the form that names it whole.
    DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD length) override {
        const FileOpen* open = Enter("GetFinalPathNameByHandleW", file, Kind::File, f.fileOpens_);
        return open == nullptr ? 0 : CopyOut(u"\\\\?\\" + open->resolved, path, length);
    }

    BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                      DWORD infoLength) override {
        FileOpen* open = Enter("GetFileInformationByHandleEx", file, Kind::File, f.fileOpens_);
        if (open == nullptr) {
            return FALSE;
        }
        const Entry& entry = f.entries_[open->resolved];
        FILE_STANDARD_INFO standard{};
        standard.NumberOfLinks = entry.links;
        const FILE_ID_INFO id = IdOf(*open);
        // Without the flag Windows follows the link: the handle is its target, a plain folder.
        const bool itself = (open->flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
        const FILE_ATTRIBUTE_TAG_INFO tag{entry.attributes & ~(itself ? 0 : FILE_ATTRIBUTE_REPARSE_POINT),
                                          itself ? entry.tag : 0};
        switch (infoClass) {
            case FileFullDirectoryInfo:
            case FileFullDirectoryRestartInfo:
                open->listed = open->listed && infoClass == FileFullDirectoryInfo;
                return ListFolder(*open, info, infoLength);
            case FileStandardInfo:
                return Give(Bytes(&standard), info, infoLength);
            case FileIdInfo:
                return Give(Bytes(&id), info, infoLength);
            case FileAttributeTagInfo:
                return Give(Bytes(&tag), info, infoLength);
            default:
                return Refuse(ERROR_INVALID_PARAMETER);
        }
    }

    // A name without its prefix: "C:\x" for "<prefix>C:\x", "\\s\x" for "<prefix>UNC\s\x".
    static std::u16string Unprefixed(const std::u16string& path, const std::u16string& prefix) {
        if (path.rfind(prefix + u"UNC\\", 0) == 0) {
            return u"\\\\" + path.substr(prefix.size() + 4);
        }
        return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
    }

    // What a name leads to, through every junction on the way (the last one only when not opened as itself).
    std::u16string Resolve(std::u16string path, bool linkItself) const {
        path = Unprefixed(path, u"\\\\?\\");
        for (std::size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
            const bool last = end == std::u16string::npos;
            const auto link = f.entries_.find(path.substr(0, end));
            if (link != f.entries_.end() && !link->second.target.empty() && !(last && linkItself)) {
                const std::u16string target = link->second.target;
                path = target + (last ? std::u16string() : path.substr(end));
                end = target.size();  // a target is no junction itself
            }
            if (last) {
                // The root of a substituted drive is the folder it stands for.
                return path.size() > 3 && path.back() == u'\\' ? path.substr(0, path.size() - 1) : path;
            }
        }
    }

    // Whether a handle open to path, another process's or the launcher's, keeps others from deleting or renaming it.
    bool HeldWithoutDeleteSharing(const std::u16string& path) {
        return f.clock_ < f.entries_[path].inUseUntil ||
               std::any_of(f.objects_.begin(), f.objects_.end(), [&](const Object& object) {
                   const FileOpen* open = object.kind == Kind::File && object.closes == 0 ? &f.fileOpens_[object.index]
                                                                                          : nullptr;
                   return open != nullptr && open->resolved == path && (open->access & kSharedAccess) != 0 &&
                          (open->shareMode & FILE_SHARE_DELETE) == 0;
               });
    }

    // The hostile rename of the folder, and a junction in its place. A scenario where it succeeds fails by Swapped(),
    // so what the folder's entries and handles would become is not modelled. Made in place, the junction hides the
    // entries left in the folder from names that lead through it; handles open to it still reach them.
    void TrySwap() {
        const Swap swap = *f.swap_;
        f.swap_.reset();
        if (swap.inPlace) {
            f.AddLink(swap.folder, swap.target);
        } else if (!HeldWithoutDeleteSharing(swap.folder)) {
            f.AddLink(swap.folder, swap.target);
            f.swapped_ = true;
        }
    }

    // The names of the entries directly in a folder.
    std::vector<std::u16string> Listing(const std::u16string& folder) const {
        std::vector<std::u16string> names;
        const std::u16string prefix = folder + u"\\";
        for (auto entry = f.entries_.lower_bound(prefix); entry != f.entries_.end() && Below(entry->first, folder);
             ++entry) {
            if (entry->second.attributes != 0 && entry->first.find(u'\\', prefix.size()) == std::u16string::npos) {
                names.push_back(entry->first.substr(prefix.size()));
            }
        }
        return names;
    }

    // Everything in the folder in one call, then its end.
    BOOL ListFolder(FileOpen& open, void* buffer, DWORD length) {
        if (open.listed) {
            return Refuse(ERROR_NO_MORE_FILES);
        }
        open.listed = true;
        std::vector<std::u16string> names = Listing(open.resolved);
        names.insert(names.begin(), {u".", u".."});
        constexpr std::size_t kNameOffset = offsetof(FILE_FULL_DIR_INFO, FileName);
        auto* bytes = static_cast<unsigned char*>(buffer);
        for (std::size_t i = 0, offset = 0; i < names.size(); ++i) {
            FILE_FULL_DIR_INFO entry{};
            entry.FileNameLength = static_cast<DWORD>(names[i].size() * sizeof(char16_t));
            const std::size_t size = (kNameOffset + entry.FileNameLength + 7) / 8 * 8;
            entry.NextEntryOffset = i + 1 < names.size() ? static_cast<DWORD>(size) : 0;
            if (offset + size > length) {
                break;  // what does not fit comes with the next call on Windows; the fake's trees are small
            }
            std::memcpy(bytes + offset, &entry, kNameOffset);
            std::memcpy(bytes + offset + kNameOffset, names[i].data(), entry.FileNameLength);
            offset += size;
        }
        return TRUE;
    }

    // The fake's current folder is C:\work on every drive.
    static std::u16string FullPath(std::u16string full) {
        std::replace(full.begin(), full.end(), u'/', u'\\');
        const bool hasDrive = full.size() >= 2 && full[1] == u':';
        if (hasDrive && (full.size() == 2 || full[2] != u'\\')) {
            return full.substr(0, 2) + u"\\work" + (full.size() > 2 ? u"\\" + full.substr(2) : u"");
        }
        return !hasDrive && full.rfind(u"\\\\", 0) != 0 ? u"C:\\work\\" + full : full;
    }

    DWORD GetFullPathNameW(const char16_t* fileName, DWORD bufferLength, char16_t* buffer,
                           char16_t** filePart) override {
        ProblemIf(filePart != nullptr, "GetFullPathNameW was asked for the file part");
        return Call("GetFullPathNameW") ? 0 : CopyOut(FullPath(fileName), buffer, bufferLength);
    }

    // The longest volume root the path lies under, named without the long-path prefix.
    BOOL GetVolumePathNameW(const char16_t* fileName, char16_t* volumePathName, DWORD bufferLength) override {
        std::u16string full = AsciiLower(FullPath(fileName) + u"\\");
        full.erase(0, full.rfind(u"\\\\?\\", 0) == 0 ? 4 : 0);
        const std::u16string* volume = nullptr;
        for (const std::u16string& root : f.volumes_) {
            if (full.rfind(AsciiLower(root), 0) == 0 && (volume == nullptr || root.size() > volume->size())) {
                volume = &root;
            }
        }
        if (Call("GetVolumePathNameW") || volume == nullptr) {
            return Refuse(ERROR_FILE_NOT_FOUND);
        }
        return CopyOut(*volume, volumePathName, bufferLength) <= volume->size() ? TRUE
                                                                                : Refuse(ERROR_FILENAME_EXCED_RANGE);
    }

    DWORD GetLongPathNameW(const char16_t* shortPath, char16_t* longPath, DWORD bufferLength) override {
        std::u16string path = shortPath;
        for (const auto& [shortName, longName] : f.shortNames_) {
            if (path.rfind(shortName, 0) == 0) {
                path.replace(0, shortName.size(), longName);
            }
        }
        return Call("GetLongPathNameW") ? 0 : CopyOut(path, longPath, bufferLength);
    }

    // Windows takes TMP first.
    DWORD GetTempPathW(DWORD bufferLength, char16_t* buffer) override {
        const auto tmp = std::find_if(f.environment_.rbegin(), f.environment_.rend(),
                                      [](const auto& variable) { return variable.first == u"TMP"; });
        return Call("GetTempPathW") ? 0 : CopyOut(tmp == f.environment_.rend() ? kTempFolder : tmp->second + u"\\",
                                                  buffer, bufferLength);
    }

    HRESULT SHGetKnownFolderPath(const GUID& folder, DWORD flags, HANDLE token, char16_t** path) override {
        *path = nullptr;
        if (Call("SHGetKnownFolderPath") || std::memcmp(&folder, &kLocalAppDataLow, sizeof(GUID)) != 0 || flags != 0 ||
            token != nullptr) {
            // HRESULT_FROM_WIN32 of the chosen error, or E_INVALIDARG
            return static_cast<HRESULT>(failed_ ? 0x80070000 | f.lastError_ : 0x80070057);
        }
        *path = static_cast<char16_t*>(Allocate("CoTaskMemFree: a known folder's path", kLocalLowFolder.c_str(),
                                                (kLocalLowFolder.size() + 1) * sizeof(char16_t)));
        return 0;
    }

    // Creates a folder by its NT name, or opens an entry by its name within a folder open as
    // rootDirectory (a scenario's failure is the status it returns), as CreateFileW would.
    NTSTATUS NtCreateFile(HANDLE* file, DWORD desiredAccess, HANDLE rootDirectory, const char16_t* name,
                          DWORD objectAttributes, DWORD /* fileAttributes */, DWORD shareAccess,
                          DWORD createDisposition, DWORD createOptions) override {
        const Object* root = rootDirectory != nullptr ? Lookup(rootDirectory, Kind::File) : nullptr;
        const std::u16string path =
            root != nullptr ? f.fileOpens_[root->index].resolved + u"\\" + name : Unprefixed(name, u"\\??\\");
        const bool oneName = std::u16string_view(name).find(u'\\') == std::u16string::npos;
        ProblemIf(rootDirectory != nullptr ? root == nullptr || !oneName : path == name,
                  "NtCreateFile was given neither an NT name nor one name within an open folder");
        ProblemIf(objectAttributes != OBJ_CASE_INSENSITIVE, "NtCreateFile was asked to tell names by case");
        if (createDisposition == FILE_OPEN) {
            return OpenWithin(file, desiredAccess, name, path, shareAccess, createOptions);
        }
        const bool parent = f.entries_[Resolve(path.substr(0, path.rfind(u'\\')), false)].attributes != 0;
        const bool exists = f.Exists(path) || f.files_.count(path) != 0;
        if (Call("NtCreateFile") || exists || !parent || createDisposition != FILE_CREATE ||
            (createOptions & FILE_DIRECTORY_FILE) == 0) {
            constexpr NTSTATUS kPathMissing = static_cast<NTSTATUS>(0xC000003A);
            return failed_ ? static_cast<NTSTATUS>(f.lastError_) : exists ? kStatusObjectNameCollision : kPathMissing;
        }
        f.entries_[path].attributes = FILE_ATTRIBUTE_DIRECTORY;
        *file = Add(Kind::File, "file", f.fileOpens_,
                    FileOpen{name, desiredAccess, shareAccess, createDisposition, createOptions, false, false, path});
        if (f.swap_ && f.swap_->opened == path) {
            TrySwap();  // a rename right after the creation
        }
        return 0;
    }

    // An entry of a folder open already: the folder's own name is never resolved again, and a link is followed only
    // when it is not opened as itself.
    NTSTATUS OpenWithin(HANDLE* file, DWORD access, const char16_t* name, const std::u16string& path, DWORD share,
                        DWORD options) {
        const Entry& entry = f.entries_[path];
        const bool follow = (options & FILE_OPEN_REPARSE_POINT) == 0 && !entry.target.empty();
        const std::u16string resolved = follow ? entry.target : path;
        const DWORD attributes = f.entries_[resolved].attributes;
        if (Call("NtCreateFile") || attributes == 0 || ((access & DELETE) != 0 && HeldWithoutDeleteSharing(resolved))) {
            return failed_ ? static_cast<NTSTATUS>(f.lastError_) : attributes == 0 ? kStatusNotFound : kStatusSharing;
        }
        *file = Add(Kind::File, "file", f.fileOpens_,
                    FileOpen{name, access, share, FILE_OPEN, options, false, false, resolved});
        if (f.swap_ && f.swap_->opened == resolved) {
            TrySwap();
        }
        return 0;
    }

    DWORD RtlNtStatusToDosError(NTSTATUS status) override {
        const std::map<NTSTATUS, DWORD> errors{{static_cast<NTSTATUS>(0xC0000022), ERROR_ACCESS_DENIED},
                                               {kStatusNotFound, ERROR_FILE_NOT_FOUND},
                                               {kStatusSharing, ERROR_SHARING_VIOLATION},
                                               {static_cast<NTSTATUS>(0xC000003A), ERROR_PATH_NOT_FOUND},
                                               {kStatusObjectNameCollision, ERROR_ALREADY_EXISTS},
                                               {kStatusDeletePending, 303}};
        const auto error = errors.find(status);
        return error == errors.end() ? 317 : error->second;  // ERROR_MR_MID_NOT_FOUND
    }

    BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                    DWORD infoLength) override {
        FileOpen* open = Enter("SetFileInformationByHandle", file, Kind::File, f.fileOpens_);
        DWORD* attributes = open != nullptr ? &f.entries_[open->resolved].attributes : nullptr;
        if (attributes == nullptr || *attributes == 0) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        if (infoClass == FileBasicInfo && infoLength == sizeof(FILE_BASIC_INFO) &&
            (open->access & FILE_WRITE_ATTRIBUTES) != 0) {
            // 0 leaves the attributes as they are.
            const DWORD set = static_cast<const FILE_BASIC_INFO*>(info)->FileAttributes;
            *attributes = set == 0 ? *attributes : (*attributes & FILE_ATTRIBUTE_DIRECTORY) | set;
            return TRUE;
        }
        const bool ex = infoClass == kFileDispositionInfoEx && infoLength == sizeof(DispositionInfoEx);
        if (ex && f.dispositionExRefused_) {
            return Refuse(ERROR_INVALID_PARAMETER);  // a system before Windows 10 1809
        }
        const DWORD flags = ex ? static_cast<const DispositionInfoEx*>(info)->Flags : 0;
        if ((!ex && (infoClass != FileDispositionInfo || infoLength != sizeof(FILE_DISPOSITION_INFO))) ||
            (open->access & DELETE) == 0 ||
            ((*attributes & FILE_ATTRIBUTE_READONLY) != 0 && (flags & kDispositionIgnoreReadOnly) == 0)) {
            return Refuse(ERROR_ACCESS_DENIED);
        }
        const bool empty = Listing(open->resolved).empty();
        open->deletePending = empty && (ex ? (flags & kDispositionDelete) != 0
                                           : static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile != 0);
        return empty ? TRUE : Refuse(ERROR_DIR_NOT_EMPTY);
    }

    BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* overlapped) override {
        const std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
        Object* pipe = Lookup(file, Kind::PipeWrite);
        const Object* object = Lookup(file, Kind::File);
        const FileOpen* open = object != nullptr ? &f.fileOpens_[object->index] : nullptr;
        if (Call("WriteFile") || (pipe != nullptr && f.OpenEnds(pipe->index, Kind::PipeRead) == 0)) {
            return Refuse(ERROR_NO_DATA);
        }
        *bytesWritten = bytesToWrite;
        if (file == kStdOutput || file == kStdError) {
            (file == kStdOutput ? f.relayedOutput_ : f.relayedErrors_) += bytes;
        } else if (pipe != nullptr) {
            Put(pipe->index, bytes);
        } else if (open == nullptr || overlapped != nullptr || (open->access & GENERIC_WRITE) == 0) {
            return Refuse(ERROR_ACCESS_DENIED);
        } else {
            f.files_[open->path] += bytes;
        }
        return TRUE;
    }

    BOOL DeleteFileW(const char16_t* fileName) override {
        return Call("DeleteFileW") || f.files_.erase(fileName) == 0 ? Refuse(ERROR_FILE_NOT_FOUND) : TRUE;
    }

    BOOL MoveFileExW(const char16_t* existingFileName, const char16_t* newFileName, DWORD flags) override {
        f.moves_.push_back({flags, {}});
        const auto from = f.files_.find(existingFileName);
        const bool blocked = f.files_.count(newFileName) != 0 && (flags & MOVEFILE_REPLACE_EXISTING) == 0;
        const bool missing = from == f.files_.end();
        return Do("MoveFileExW", missing || blocked, missing ? ERROR_FILE_NOT_FOUND : ERROR_FILE_EXISTS, [&] {
            f.moves_.back().bytes = from->second;
            f.files_.erase(from);
            f.files_[newFileName] = f.moves_.back().bytes;
        });
    }

    // --- Security ---

    DWORD GetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, ACL** dacl, ACL** sacl,
                                PSECURITY_DESCRIPTOR* securityDescriptor) override {
        const bool wrong = ProblemIf(objectType != SE_FILE_OBJECT || securityInfo != LABEL_SECURITY_INFORMATION ||
                                         owner != nullptr || group != nullptr || dacl != nullptr || sacl == nullptr ||
                                         securityDescriptor == nullptr,
                                     "GetNamedSecurityInfoW was asked for more, or less, than a file's label");
        if (Call("GetNamedSecurityInfoW") || wrong || !f.Exists(objectName)) {
            return failed_ ? f.lastError_ : wrong ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
        }
        // The descriptor holds its header, then the system ACL when the object has a label.
        constexpr std::size_t kHeader = 20;
        const std::vector<BYTE>& label = f.entries_[objectName].label;
        std::vector<BYTE> descriptor(kHeader);
        descriptor.insert(descriptor.end(), label.begin(), label.end());
        *securityDescriptor = Allocate("LocalFree: security descriptor", descriptor.data(), descriptor.size());
        *sacl = label.empty() ? nullptr : reinterpret_cast<ACL*>(static_cast<BYTE*>(*securityDescriptor) + kHeader);
        return 0;
    }

    BOOL InitializeAcl(ACL* acl, DWORD aclLength, DWORD aclRevision) override {
        return Do("InitializeAcl", aclLength < sizeof(ACL), ERROR_INSUFFICIENT_BUFFER, [&] {
            *acl = ACL{static_cast<BYTE>(aclRevision), 0, static_cast<WORD>(aclLength), 0, 0};
        });
    }

    BOOL AddMandatoryAce(ACL* acl, DWORD aceRevision, DWORD aceFlags, DWORD mandatoryPolicy, PSID labelSid) override {
        return Call("AddMandatoryAce") ? FALSE : AppendAce(acl, aceRevision, SYSTEM_MANDATORY_LABEL_ACE_TYPE, aceFlags,
                                                           mandatoryPolicy, labelSid);
    }

    BOOL AddAccessAllowedAce(ACL* acl, DWORD aceRevision, DWORD accessMask, PSID sid) override {
        return Call("AddAccessAllowedAce") ? FALSE
                                           : AppendAce(acl, aceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, accessMask, sid);
    }

    // Appends one entry to an ACL made by InitializeAcl, as the Add...Ace calls do.
    BOOL AppendAce(ACL* acl, DWORD aceRevision, BYTE type, DWORD flags, DWORD mask, PSID sid) {
        const std::size_t used = AclUsed(acl);
        const std::size_t sidLength = SidLength(static_cast<const BYTE*>(sid));
        const std::size_t aceSize = kAceHeaderAndMask + sidLength;
        if (aceRevision != ACL_REVISION || used + aceSize > acl->AclSize) {
            return Refuse(aceRevision != ACL_REVISION ? ERROR_INVALID_PARAMETER : kAllottedSpaceExceeded);
        }
        SYSTEM_MANDATORY_LABEL_ACE ace{};
        ace.Header = ACE_HEADER{type, static_cast<BYTE>(flags), static_cast<WORD>(aceSize)};
        ace.Mask = mask;
        auto* bytes = reinterpret_cast<BYTE*>(acl);
        std::memcpy(bytes + used, &ace, kAceHeaderAndMask);
        std::memcpy(bytes + used + kAceHeaderAndMask, sid, sidLength);
        ++acl->AceCount;
        return TRUE;
    }

    DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo, PSID owner,
                          PSID group, ACL* dacl, ACL* sacl) override {
        Object* token = Lookup(handle, Kind::Token);
        const DWORD lastError = f.lastError_;  // the call returns its code and leaves the last error alone
        if (Call("SetSecurityInfo") ||
            ProblemIf((handle != kCurrentProcess && handle != kCurrentThread && token == nullptr) ||
                          objectType != SE_KERNEL_OBJECT ||
                          securityInfo != DACL_SECURITY_INFORMATION || owner != nullptr || group != nullptr ||
                          sacl != nullptr || dacl == nullptr,
                      "SetSecurityInfo was asked for more, or less, than a DACL of brindle's own")) {
            const DWORD code = failed_ ? f.lastError_ : ERROR_INVALID_PARAMETER;
            f.lastError_ = lastError;
            return code;
        }
        (token != nullptr ? f.tokens_[token->index].dacl : f.dacls_[handle]) = AclBytes(dacl);
        return 0;
    }

    DWORD SetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID owner, PSID group, ACL* dacl,
                                ACL* sacl) override {
        if (Call("SetNamedSecurityInfoW")) {
            return f.lastError_;
        }
        f.labelWrites_.push_back({objectName, objectType, securityInfo, owner != nullptr, group != nullptr,
                                  dacl != nullptr, sacl != nullptr ? AclBytes(sacl) : std::vector<BYTE>{}});
        f.entries_[objectName].label = f.labelWrites_.back().sacl;  // what a later read sees
        return 0;
    }

    BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) override {
        return Do("InitializeSecurityDescriptor", false, 0, [&] {
            *descriptor = SECURITY_DESCRIPTOR{};
            descriptor->Revision = static_cast<BYTE>(revision);
        });
    }

    BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl,
                                   BOOL daclDefaulted) override {
        ProblemIf(descriptor->Revision != SECURITY_DESCRIPTOR_REVISION || !daclPresent || daclDefaulted,
                  "a thread's DACL set on an uninitialised descriptor, or as a default");
        return Do("SetSecurityDescriptorDacl", false, 0, [&] { descriptor->Dacl = dacl; });
    }

    // --- Handles, the environment, the standard streams ---

    HANDLE GetStdHandle(DWORD stdHandle) override {
        Call("GetStdHandle");
        const auto found = f.standardHandles_.find(stdHandle);
        return found == f.standardHandles_.end() ? nullptr : found->second;
    }

    // What GetHandleInformation reports of a handle, and SetHandleInformation changes.
    DWORD* FlagsOf(const std::string& operation, HANDLE handle) {
        const auto found = f.handleFlags_.find(handle);
        const bool known = !Call(operation) && found != f.handleFlags_.end();
        return known ? &found->second : Refuse(ERROR_INVALID_HANDLE, static_cast<DWORD*>(nullptr));
    }

    BOOL GetHandleInformation(HANDLE handle, DWORD* flags) override {
        const DWORD* known = FlagsOf("GetHandleInformation", handle);
        if (known != nullptr) {
            *flags = *known;
        }
        return known != nullptr;
    }

    BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) override {
        DWORD* known = FlagsOf("SetHandleInformation", handle);
        if (known != nullptr) {
            *known = (*known & ~mask) | (flags & mask);
        }
        return known != nullptr;
    }

    BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, HANDLE* targetHandle,
                         DWORD desiredAccess, BOOL inheritHandle, DWORD options) override {
        const bool wrong = sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess || desiredAccess != 0 ||
                           f.handleFlags_.count(sourceHandle) == 0 || options != DUPLICATE_SAME_ACCESS;
        return Do("DuplicateHandle", wrong, ERROR_INVALID_PARAMETER, [&] {
            *targetHandle = NewHandle(Kind::Duplicate, "duplicate", 0);
            f.handleFlags_[*targetHandle] = inheritHandle ? HANDLE_FLAG_INHERIT : 0;
        });
    }

    BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attributeCount, DWORD flags,
                                           SIZE_T* size) override {
        constexpr SIZE_T kListSize = 48;
        if (Call("InitializeProcThreadAttributeList") || list == nullptr) {
            *size = kListSize;
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        }
        if (attributeCount != 1 || flags != 0 || *size < kListSize) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        const Allocation made{"DeleteProcThreadAttributeList: attribute list", {}, 0, list};
        f.allocations_.push_back(std::make_unique<Allocation>(made));
        return TRUE;
    }

    // Windows takes a handle list only of distinct, inheritable handles.
    BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, void* value,
                                   SIZE_T size, void* previousValue, SIZE_T* returnSize) override {
        Allocation* found = Find(list, "DeleteProcThreadAttributeList");
        const auto* handles = static_cast<const HANDLE*>(value);
        std::vector<HANDLE> sorted(handles, handles + size / sizeof(HANDLE));
        std::sort(sorted.begin(), sorted.end());
        const bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
        const bool inheritable = std::all_of(sorted.begin(), sorted.end(), [this](HANDLE handle) {
            return f.handleFlags_.count(handle) != 0 && (f.handleFlags_.at(handle) & HANDLE_FLAG_INHERIT) != 0;
        });
        const bool wrong = found == nullptr || flags != 0 || attribute != PROC_THREAD_ATTRIBUTE_HANDLE_LIST ||
                           size == 0 || size % sizeof(HANDLE) != 0 || !distinct || !inheritable ||
                           previousValue != nullptr || returnSize != nullptr;
        return Do("UpdateProcThreadAttribute", wrong, ERROR_INVALID_PARAMETER, [&] {
            found->handles = handles;
            found->handleCount = sorted.size();
        });
    }

    void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) override {
        Release(list, "DeleteProcThreadAttributeList");
    }

    BOOL GetEnvironmentStringsW(std::u16string& block) override {
        return Do("GetEnvironmentStringsW", false, 0, [&] {
            block.clear();
            for (const auto& [name, value] : f.environment_) {
                block += name + u"=" + value + u'\0';
            }
            block += u'\0';
        });
    }

    std::u16string ReadEnvironmentVariable(std::u16string_view name) override {
        Call("ReadEnvironmentVariable");
        const auto found = std::find_if(f.environment_.begin(), f.environment_.end(), [&](const auto& variable) {
            return AsciiLower(variable.first) == AsciiLower(std::u16string(name));
        });
        return found != f.environment_.end() ? found->second : u"";
    }

    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override {
        Call(add ? "SetConsoleCtrlHandler(add)" : "SetConsoleCtrlHandler(remove)");
        ProblemIf(!add && f.consoleHandler_ != handler, "a console handler removed that was not installed");
        f.consoleHandler_ = add ? handler : nullptr;
        return TRUE;
    }

    BOOL CloseHandle(HANDLE handle) override {
        Object* object = Lookup(handle, std::nullopt);
        Call("CloseHandle(" + (object != nullptr ? object->label : "unknown") + ")");
        f.lastError_ = kErrorLeftByRelease;
        if (ProblemIf(object == nullptr, "CloseHandle on a handle the fake never gave out") || ++object->closes != 1) {
            return FALSE;
        }
        if (object->kind == Kind::Job) {
            EndJob(f.jobs_[object->index], std::nullopt);
        }
        if (object->kind == Kind::File && f.fileOpens_[object->index].deletePending) {
            f.entries_.erase(f.fileOpens_[object->index].resolved);
        }
        return TRUE;
    }

    // --- Processes ---

    // Windows' search finds the programs of the scenario, by name with the extension given.
    DWORD SearchPathW(const char16_t* path, const char16_t* fileName, const char16_t* extension, DWORD bufferLength,
                      char16_t* buffer, char16_t** filePart) override {
        ProblemIf(path != nullptr || filePart != nullptr,
                  "SearchPathW was given a path of its own or asked for the file part");
        const std::u16string name = std::u16string(fileName) + (extension != nullptr ? extension : u"");
        if (Call("SearchPathW") || f.programs_.count(name) == 0) {
            return Refuse(ERROR_FILE_NOT_FOUND, DWORD{0});
        }
        return CopyOut(kProgramFolder + name, buffer, bufferLength);
    }

    BOOL CreateProcessAsUserW(HANDLE token, const char16_t* applicationName, char16_t* commandLine,
                              SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                              BOOL inheritHandles, DWORD creationFlags, void* environment,
                              const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                              PROCESS_INFORMATION* processInformation) override {
        const Object* object = Lookup(token, Kind::Token);
        return CreateChild({"CreateProcessAsUserW", object != nullptr ? object->label : "invalid token",
                            applicationName != nullptr, commandLine, commandLine,
                            processAttributes != nullptr || threadAttributes != nullptr, inheritHandles, creationFlags,
                            environment != nullptr, currentDirectory != nullptr, *startupInfo},
                           startupInfo, environment, processInformation);
    }

    // Without a token argument the child gets the launcher's own primary token.
    BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                        SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                        void* environment, const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                        PROCESS_INFORMATION* processInformation) override {
        return CreateChild({"CreateProcessW", "", applicationName != nullptr, commandLine, commandLine,
                            processAttributes != nullptr || threadAttributes != nullptr, inheritHandles, creationFlags,
                            environment != nullptr, currentDirectory != nullptr, *startupInfo},
                           startupInfo, environment, processInformation);
    }

    BOOL CreateChild(FakeCreation creation, const STARTUPINFOW* startupInfo, const void* environment,
                     PROCESS_INFORMATION* processInformation) {
        // What the creation was handed through its startup record and environment.
        if ((creation.creationFlags & EXTENDED_STARTUPINFO_PRESENT) != 0) {
            const Allocation* list = Find(reinterpret_cast<const STARTUPINFOEXW*>(startupInfo)->lpAttributeList,
                                          "DeleteProcThreadAttributeList");
            creation.handleListGiven = !ProblemIf(startupInfo->cb != sizeof(STARTUPINFOEXW) || list == nullptr ||
                                                      list->frees != 0,
                                                  "an extended startup record without a live attribute list");
            if (creation.handleListGiven) {
                creation.handleList.assign(list->handles, list->handles + list->handleCount);
            }
        }
        if (environment != nullptr) {
            ProblemIf((creation.creationFlags & CREATE_UNICODE_ENVIRONMENT) == 0,
                      "a UTF-16 environment block without CREATE_UNICODE_ENVIRONMENT");
            const auto* block = static_cast<const char16_t*>(environment);
            std::size_t length = 2;
            while (block[length - 2] != u'\0' || block[length - 1] != u'\0') {
                ++length;
            }
            creation.environment.assign(block, length);
        }
        f.creations_.push_back(creation);
        // Windows adds ".exe" to a program named without an extension.
        const std::u16string name = ProgramOf(creation.commandLine);
        const auto program = f.programs_.find(f.programs_.count(name) != 0 ? name : name + u".exe");
        const std::string tokenLabel = creation.tokenLabel.empty() ? "own token" : creation.tokenLabel;
        // Windows starts a program that demands elevation only with an unrestricted token of High integrity.
        const Token* token = f.FindToken(tokenLabel);
        const bool reduced = token == nullptr || token->label == "restricted token" || token->integrityLabel != kHigh;
        if (Call(creation.api) || tokenLabel == "invalid token") {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        if (creation.commandLine.size() > kLongestCommandLine) {
            return Refuse(ERROR_FILENAME_EXCED_RANGE);
        }
        if (program == f.programs_.end() || (program->second.demandsElevation && reduced)) {
            return Refuse(program == f.programs_.end() ? ERROR_FILE_NOT_FOUND : ERROR_ELEVATION_REQUIRED);
        }
        f.processes_.push_back(
            {program->second, tokenLabel, kProgramFolder + program->first, TempOf(creation.environment)});
        // The pipe ends it holds: those of its standard handles, or of its handle list, that may be inherited.
        const STARTUPINFOW& startup = creation.startup;
        const bool standard = !creation.handleListGiven && creation.inheritHandles;
        for (HANDLE handle : standard ? std::vector<HANDLE>{startup.hStdInput, startup.hStdOutput, startup.hStdError}
                                      : creation.handleList) {
            const Object* end = Lookup(handle, std::nullopt);
            if (end != nullptr && end->closes == 0 && (end->kind == Kind::PipeRead || end->kind == Kind::PipeWrite) &&
                (f.handleFlags_[handle] & HANDLE_FLAG_INHERIT) != 0) {
                f.processes_.back().inherited.emplace_back(end->kind, end->index);
            }
        }
        // What the program will write is there from the start.
        for (const auto& [stream, text] : {std::pair{startup.hStdOutput, &program->second.output},
                                          std::pair{startup.hStdError, &program->second.errors}}) {
            if (Object* pipe = Lookup(stream, Kind::PipeWrite)) {
                Put(pipe->index, *text);
            }
        }
        const std::size_t made = f.processes_.size();
        *processInformation = {NewHandle(Kind::Process, "process", made - 1),
                               NewHandle(Kind::Thread, "thread", made - 1), ProcessId(made), ProcessId(made) + 1};
        return TRUE;
    }

    DWORD ResumeThread(HANDLE thread) override {
        if (Object* relay = Lookup(thread, Kind::RelayThread)) {
            Call("ResumeThread(relay)");
            if (!f.threads_[relay->index].ran) {
                RunThread(relay->index);
            }
            return 1;
        }
        const Object* object = Enter("ResumeThread", thread, Kind::Thread);
        if (object == nullptr) {
            return static_cast<DWORD>(-1);
        }
        Process& process = f.processes_[object->index];
        process.resumed = true;
        process.resumedAt = f.clock_;
        process.exited = !process.program.hangs;
        for (const FakeEntry& entry : process.program.leavesInTemp) {
            const std::u16string path = process.temp + u"\\" + entry.path;
            entry.linkTarget.empty() ? f.AddPath(path, entry.attributes) : f.AddLink(path, entry.linkTarget);
        }
        StartTree(object->index);
        return 1;
    }

    // What the port of a resumed child's job hears of its tree, in order.
    void StartTree(std::size_t child) {
        const auto job = std::find_if(f.jobs_.begin(), f.jobs_.end(), [child](const Job& j) {
            return j.port && std::count(j.processes.begin(), j.processes.end(), child) != 0;
        });
        if (job == f.jobs_.end()) {
            return;
        }
        std::deque<std::pair<DWORD, DWORD>>& queue = f.ports_[*job->port].queue;
        const auto post = [&queue](DWORD message, std::size_t process) {
            queue.emplace_back(message, ProcessId(process + 1));
        };
        post(JOB_OBJECT_MSG_NEW_PROCESS, child);
        for (const FakeDescendant& d : std::vector<FakeDescendant>(f.processes_[child].program.descendants)) {
            f.processes_.push_back({FakeProgram{d.exitCode, d.hangs}, f.processes_[child].tokenLabel, d.image, {}, true,
                                    !d.hangs, d.goneBeforeRead});
            if (!d.idReused) {
                job->processes.push_back(f.processes_.size() - 1);
            }
            post(JOB_OBJECT_MSG_NEW_PROCESS, f.processes_.size() - 1);
            if (!d.hangs) {
                post(JOB_OBJECT_MSG_EXIT_PROCESS, f.processes_.size() - 1);
            }
        }
        const std::vector<std::pair<DWORD, DWORD>>& messages = f.processes_[child].program.jobMessages;
        queue.insert(queue.end(), messages.begin(), messages.end());
        if (f.processes_[child].exited) {
            post(JOB_OBJECT_MSG_EXIT_PROCESS, child);
        }
    }

    // A relay thread, a process and an event are waited on alike: ended (or set), or the limit passes on the clock.
    // A relay thread that would wait for an event not set ends its copy there, like a read that would block; it counts
    // as running until the event is set.
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
        f.waitLimits_.push_back(milliseconds);
        if (Call("WaitForSingleObject") || f.waitFailure_) {
            f.lastError_ = f.waitFailure_ ? f.waitFailure_->second : f.lastError_;
            return f.waitFailure_ ? f.waitFailure_->first : WAIT_FAILED;
        }
        const Object* event = Lookup(handle, Kind::Event);
        const Object* relay = Lookup(handle, Kind::RelayThread);
        const Object* object = Lookup(handle, Kind::Process);
        const Process* process = object != nullptr ? &f.processes_[object->index] : nullptr;
        if (event == nullptr && relay == nullptr && process == nullptr) {
            return Refuse(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
        if (event != nullptr && !f.events_[event->index] && f.runningThread_ && milliseconds != 0) {
            f.threads_[*f.runningThread_].waitsFor = event->index;
            return WAIT_OBJECT_0;
        }
        const bool blocks =
            process != nullptr ? process->Running() : relay != nullptr && !f.ThreadEnded(f.threads_[relay->index]);
        if (blocks && f.interrupt_ && f.consoleHandler_ != nullptr) {
            const DWORD interrupt = *f.interrupt_;
            f.interrupt_.reset();
            f.consoleHandler_(interrupt);  // as Windows calls it, on a thread of its own, while the launcher waits
        }
        if (event != nullptr ? f.events_[event->index] != 0
                             : relay != nullptr ? f.ThreadEnded(f.threads_[relay->index]) : !process->Running()) {
            f.clock_ += process != nullptr ? kChildRunMs : 0;
            return WAIT_OBJECT_0;
        }
        if (ProblemIf(milliseconds == INFINITE && event == nullptr,
                      "waited without a limit on something that never ends")) {
            return Refuse(ERROR_INVALID_PARAMETER, WAIT_FAILED);
        }
        f.clock_ += milliseconds;
        return WAIT_TIMEOUT;
    }

    BOOL TerminateProcess(HANDLE process, UINT exitCode) override {
        Process* target = Enter("TerminateProcess", process, Kind::Process, f.processes_);
        if (target != nullptr && target->Running()) {
            target->terminatedWith = exitCode;
        }
        return target != nullptr;
    }

    BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override {
        const Process* target = Enter("GetExitCodeProcess", process, Kind::Process, f.processes_);
        if (target != nullptr) {
            *exitCode = target->terminatedWith ? *target->terminatedWith
                        : target->exited       ? target->program.exitCode
                                               : kStillActive;
        }
        return target != nullptr;
    }

    HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) override {
        ProblemIf(desiredAccess != (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE) ||
                      inheritHandle,
                  "a process opened with more than it takes to read it, or for children to inherit");
        const std::size_t index = (processId - ProcessId(1)) / 4;
        if (Call("OpenProcess") || processId % 4 != 0 || index >= f.processes_.size() || f.processes_[index].gone) {
            return Refuse(ERROR_INVALID_PARAMETER, HANDLE{});
        }
        return NewHandle(Kind::Process, "opened process", index);
    }

    BOOL IsProcessInJob(HANDLE process, HANDLE job, BOOL* result) override {
        const Object* processObject = Enter("IsProcessInJob", process, Kind::Process);
        const Object* jobObject = Lookup(job, Kind::Job);
        if (processObject == nullptr || jobObject == nullptr) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        const std::vector<std::size_t>& members = f.jobs_[jobObject->index].processes;
        *result = std::count(members.begin(), members.end(), processObject->index) != 0 && !f.Lies(Lie::JobMembership);
        return TRUE;
    }

    BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* name, DWORD* size) override {
        const Process* target = Enter("QueryFullProcessImageNameW", process, Kind::Process, f.processes_);
        const std::u16string image = target != nullptr ? target->image : u"";
        if (target == nullptr || flags != 0 || CopyOut(image, name, *size) > image.size()) {
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        }
        *size = static_cast<DWORD>(image.size());
        return TRUE;
    }

    // --- Jobs and their ports ---

    HANDLE CreateJobObjectW(SECURITY_ATTRIBUTES* attributes, const char16_t* name) override {
        ProblemIf(attributes != nullptr || name != nullptr, "the job was given security attributes or a name");
        return Call("CreateJobObjectW") ? nullptr : Add(Kind::Job, "job", f.jobs_, Job{});
    }

    BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD infoLength) override {
        const Object* object = Enter("SetInformationJobObject", job, Kind::Job);
        if (object == nullptr || info == nullptr) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        Job& target = f.jobs_[object->index];
        const std::tuple<JOBOBJECTINFOCLASS, std::size_t, std::vector<BYTE>*> records[] = {
            {JobObjectExtendedLimitInformation, sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION), &target.extendedLimit},
            {JobObjectBasicUIRestrictions, sizeof(JOBOBJECT_BASIC_UI_RESTRICTIONS), &target.uiRestrictions},
            {JobObjectCpuRateControlInformation, sizeof(JOBOBJECT_CPU_RATE_CONTROL_INFORMATION), &target.cpuRate},
            {JobObjectEndOfJobTimeInformation, sizeof(JOBOBJECT_END_OF_JOB_TIME_INFORMATION), &target.endOfJobTime},
        };
        for (const auto& [recordClass, size, bytes] : records) {
            if (infoClass == recordClass && infoLength == size) {
                *bytes = Bytes(info, infoLength);
                return TRUE;
            }
        }
        const auto* association = static_cast<const JOBOBJECT_ASSOCIATE_COMPLETION_PORT*>(info);
        const bool associates = infoClass == JobObjectAssociateCompletionPortInformation &&
                                infoLength == sizeof(JOBOBJECT_ASSOCIATE_COMPLETION_PORT);
        const Object* port = associates ? Lookup(association->CompletionPort, Kind::Port) : nullptr;
        if (port == nullptr) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        ProblemIf(association->CompletionKey != job || !target.processes.empty(),
                  "a port keyed by something else than its job, or associated after the assignment");
        target.port = port->index;
        f.ports_[port->index] = {{}, job, object->index};
        return TRUE;
    }

    BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) override {
        Job* target = Enter("AssignProcessToJobObject", job, Kind::Job, f.jobs_);
        const Object* member = Lookup(process, Kind::Process);
        if (target == nullptr || member == nullptr) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        target->processes.push_back(member->index);
        return TRUE;
    }

    BOOL TerminateJobObject(HANDLE job, UINT exitCode) override {
        Job* target = Enter("TerminateJobObject", job, Kind::Job, f.jobs_);
        return target != nullptr && EndJob(*target, exitCode);
    }

    // Ends the processes of a job that is terminated or closed; closed, only with kill on close.
    bool EndJob(Job& job, std::optional<UINT> exitCode) {
        if (!exitCode && (LimitsOf(job).BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) == 0) {
            return false;
        }
        job.terminatedWith = exitCode ? exitCode : job.terminatedWith;
        for (std::size_t index : job.processes) {
            Process& process = f.processes_[index];
            process.jobEnded = true;
            if (process.Running()) {
                process.terminatedWith = exitCode;
                process.exited = process.endedByJobClose = !exitCode;
            }
        }
        return true;
    }

    // A record reads back as it was set, or as zeros where the platform ignored it.
    BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD infoLength,
                                   DWORD* returnLength) override {
        const Job* target = Enter("QueryInformationJobObject", job, Kind::Job, f.jobs_);
        if (target == nullptr || returnLength != nullptr) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        const auto running = [this](const Thread& t) { return t.ran && !f.ThreadEnded(t); };
        const bool childEnded = target->processes.empty() || !f.processes_[target->processes.front()].Running();
        ProblemIf(infoClass == JobObjectBasicAccountingInformation && childEnded &&
                      std::any_of(f.threads_.begin(), f.threads_.end(), running),
                  "the job's last figures read while a relay still runs");
        if (infoClass == JobObjectBasicUIRestrictions || infoClass == JobObjectCpuRateControlInformation) {
            const bool ui = infoClass == JobObjectBasicUIRestrictions;
            const std::vector<BYTE>& record = ui ? target->uiRestrictions : target->cpuRate;
            return Give(f.Lies(ui ? Lie::UiRestrictions : Lie::CpuRate) ? std::vector<BYTE>(record.size()) : record,
                        info, infoLength);
        }
        if (infoClass == JobObjectBasicAccountingInformation) {
            JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
            accounting.TotalUserTime.QuadPart = kJobUserTimeUnits;
            accounting.TotalKernelTime.QuadPart = kJobKernelTimeUnits;
            accounting.TotalProcesses = static_cast<DWORD>(target->processes.size());
            for (std::size_t index : target->processes) {
                const Process& process = f.processes_[index];
                accounting.ActiveProcesses += process.Running() ? 1 : 0;
                const bool spinning = process.program.spins && process.Running();
                accounting.TotalUserTime.QuadPart += spinning ? std::int64_t(f.clock_ - process.resumedAt) * 10000 : 0;
            }
            return Give(Bytes(&accounting), info, infoLength);
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = LimitsOf(*target);
        limits.PeakProcessMemoryUsed = kPeakProcessMemory;
        limits.PeakJobMemoryUsed = kPeakJobMemory;
        // Windows keeps the memory limits in whole pages.
        limits.JobMemoryLimit -= limits.JobMemoryLimit % kPageSize;
        limits.ProcessMemoryLimit -= limits.ProcessMemoryLimit % kPageSize;
        limits.BasicLimitInformation.LimitFlags *= f.Lies(Lie::JobLimits) ? 0 : 1;
        const bool set = infoClass == JobObjectExtendedLimitInformation && !target->extendedLimit.empty();
        return Give(set ? Bytes(&limits) : std::vector<BYTE>{}, info, infoLength);
    }

    void GetSystemInfo(SYSTEM_INFO* info) override {
        std::memset(info, 0, sizeof(*info));
        info->dwPageSize = kPageSize;
    }

    HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR completionKey,
                                  DWORD concurrentThreads) override {
        ProblemIf(
            file != INVALID_HANDLE_VALUE || existingPort != nullptr || completionKey != 0 || concurrentThreads != 1,
            "a completion port for a file, or read by more than one thread");
        return Call("CreateIoCompletionPort") ? nullptr : Add(Kind::Port, "port", f.ports_, Port{});
    }

    // While the launcher waits, a port hears its child chatter each kChatterMs as long as it runs, or its flood every
    // 1 ms; a scenario that reads a port without end is a problem, and the read then fails.
    BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytesTransferred, ULONG_PTR* completionKey,
                                   LPOVERLAPPED* overlapped, DWORD milliseconds) override {
        *overlapped = nullptr;
        Port* target = Enter("GetQueuedCompletionStatus", port, Kind::Port, f.ports_);
        if (target == nullptr) {
            return FALSE;
        }
        f.portWaits_.push_back(milliseconds);
        std::deque<std::pair<DWORD, DWORD>>& queue = target->queue;
        const std::vector<std::size_t>* members = target->job ? &f.jobs_[*target->job].processes : nullptr;
        const Process* child = members != nullptr && !members->empty() ? &f.processes_[members->front()] : nullptr;
        const bool chatters =
            child != nullptr && child->program.chatters && child->Running() && milliseconds >= kChatterMs;
        if (queue.empty() && (chatters || (child != nullptr && child->program.floods))) {
            f.clock_ += chatters ? kChatterMs : 1;
            queue.emplace_back(chatters ? JOB_OBJECT_MSG_END_OF_PROCESS_TIME : JOB_OBJECT_MSG_JOB_MEMORY_LIMIT,
                               chatters ? ProcessId(1) : 0);
        }
        if (ProblemIf(f.portWaits_.size() > kMostPortReads || milliseconds == INFINITE, "a port read without end")) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        if (queue.empty()) {
            f.clock_ += milliseconds;
            return Refuse(WAIT_TIMEOUT);
        }
        *bytesTransferred = queue.front().first;
        *completionKey = reinterpret_cast<ULONG_PTR>(target->key);
        *overlapped = reinterpret_cast<LPOVERLAPPED>(static_cast<std::uintptr_t>(queue.front().second));
        queue.pop_front();
        return TRUE;
    }

    // --- Pipes and the launcher's threads ---

    void Put(std::size_t pipe, const std::string& bytes) {
        f.pipes_[pipe].buffer += bytes;
        f.pipes_[pipe].received += bytes;
    }

    BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, SECURITY_ATTRIBUTES* attributes, DWORD size) override {
        ProblemIf(size != 0, "a pipe of a size of its own");
        return Do("CreatePipe", false, 0, [&] {
            *readPipe = Add(Kind::PipeRead, "pipe read end", f.pipes_, Pipe{});
            *writePipe = NewHandle(Kind::PipeWrite, "pipe write end", f.pipes_.size() - 1);
            f.handleFlags_[*readPipe] = f.handleFlags_[*writePipe] =
                attributes != nullptr && attributes->bInheritHandle ? HANDLE_FLAG_INHERIT : 0;
        });
    }

    // The standard input is pipe 0; a file there ends with a read of nothing.
    BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) override {
        *bytesRead = 0;
        const Object* end = Lookup(file, Kind::PipeRead);
        if (Call("ReadFile") || (file != kStdInput && (end == nullptr || overlapped != nullptr))) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        const std::size_t pipe = file == kStdInput ? 0 : end->index;
        std::string& source = f.pipes_[pipe].buffer;
        if (pipe != 0 && f.emptyWriteAt_ == f.pipes_[pipe].received.size() - source.size()) {
            f.emptyWriteAt_.reset();
            return TRUE;
        }
        if (source.empty()) {
            // A read that would wait, or the end: a file's is a read of nothing.
            return f.OpenEnds(pipe, Kind::PipeWrite) != 0 ? Block(pipe) : pipe == 0 ? TRUE : Refuse(ERROR_BROKEN_PIPE);
        }
        *bytesRead = static_cast<DWORD>(std::min<std::size_t>(bytesToRead, source.size()));
        std::memcpy(buffer, source.data(), *bytesRead);
        source.erase(0, *bytesRead);
        return TRUE;
    }

    // A read that would wait: a thread of the launcher's blocks there, and what it sees is the end of its copy.
    BOOL Block(std::size_t pipe) {
        if (!ProblemIf(!f.runningThread_, "a read that would block the launcher's own thread for good")) {
            f.threads_[*f.runningThread_].blockedOn = pipe;
        }
        return Refuse(ERROR_OPERATION_ABORTED);
    }

    void RunThread(std::size_t thread) {
        f.threads_[thread].ran = true;
        f.runningThread_ = thread;
        f.threads_[thread].start(f.threads_[thread].parameter);
        f.runningThread_.reset();
    }

    HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                        void* parameter, DWORD creationFlags, DWORD* threadId) override {
        ProblemIf(stackSize != 0 || threadId != nullptr || (attributes != nullptr && attributes->bInheritHandle) ||
                      (creationFlags & CREATE_SUSPENDED) == 0,
                  "a relay thread with a stack, an id, a handle to pass on, or running before it is resumed");
        if (Call("CreateThread")) {
            return nullptr;
        }
        const auto* descriptor =
            static_cast<const SECURITY_DESCRIPTOR*>(attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr);
        f.threadDacls_.push_back(descriptor != nullptr ? AclBytes(static_cast<const ACL*>(descriptor->Dacl))
                                                       : std::vector<BYTE>{});
        return Add(Kind::RelayThread, "relay thread", f.threads_, Thread{start, parameter});
    }

    BOOL CancelSynchronousIo(HANDLE thread) override {
        Thread* relay = Enter("CancelSynchronousIo", thread, Kind::RelayThread, f.threads_);
        if (relay == nullptr || f.ThreadEnded(*relay) || !relay->ran) {
            return Refuse(ERROR_NOT_FOUND);
        }
        relay->cancelled = true;
        return TRUE;
    }

    // --- The relay's waiting: the standard input is a console or a file, the rest pipes ---
    DWORD GetFileType(HANDLE file) override {
        Call("GetFileType");
        return Lookup(file, Kind::Token) != nullptr   ? FILE_TYPE_UNKNOWN
               : file != kStdInput || f.inputIsPipe_ ? FILE_TYPE_PIPE
               : f.pipes_[0].console               ? FILE_TYPE_CHAR
                                                   : FILE_TYPE_DISK;
    }

    BOOL GetConsoleMode(HANDLE handle, DWORD* mode) override {
        *mode = ENABLE_LINE_INPUT;
        const bool console = handle == kStdInput && f.pipes_[0].console && !f.inputIsPipe_;
        return Call("GetConsoleMode") || !console ? Refuse(ERROR_INVALID_HANDLE) : TRUE;
    }

    // What was typed and not yet read, a key-down record for each character, Enter for "\n".
    BOOL PeekConsoleInputW(HANDLE console, INPUT_RECORD* records, DWORD length, DWORD* read) override {
        return Do("PeekConsoleInputW", console != kStdInput || !f.pipes_[0].console, ERROR_INVALID_HANDLE, [&] {
            const std::string& typed = f.pipes_[0].buffer;
            *read = static_cast<DWORD>(std::min<std::size_t>(length, typed.size()));
            for (DWORD i = 0; i < *read; ++i) {
                records[i] = INPUT_RECORD{KEY_EVENT, {}};
                KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
                key.bKeyDown = TRUE;
                key.uChar.UnicodeChar = typed[i] == '\n' ? u'\r' : static_cast<char16_t>(typed[i]);
            }
        });
    }

    BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* available,
                       DWORD* leftThisMessage) override {
        const Object* end = pipe == kStdInput ? nullptr : Enter("PeekNamedPipe", pipe, Kind::PipeRead);
        if (pipe == kStdInput && !Call("PeekNamedPipe") && f.inputIsPipe_) {
            *available = static_cast<DWORD>(f.pipes_[0].buffer.size());
            return TRUE;
        }
        if (end == nullptr || buffer != nullptr || bufferSize != 0 || bytesRead != nullptr ||
            leftThisMessage != nullptr) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        *available = static_cast<DWORD>(f.pipes_[end->index].buffer.size());
        return *available == 0 && f.OpenEnds(end->index, Kind::PipeWrite) == 0 ? Refuse(ERROR_BROKEN_PIPE) : TRUE;
    }

    HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                        const char16_t* name) override {
        ProblemIf(!manualReset || attributes != nullptr || name != nullptr,
                  "an event that resets itself, is passed on or has a name");
        return Call("CreateEventW") ? nullptr : Add(Kind::Event, "event", f.events_, initialState != FALSE);
    }

    BOOL SetEvent(HANDLE event) override {
        const Object* object = Enter("SetEvent", event, Kind::Event);
        return object != nullptr && (f.events_[object->index] = true);
    }

    // The fake's standard streams are distinct pipes unless a test gives two of them one handle.
    BOOL CompareObjectHandles(HANDLE first, HANDLE second) override {
        return !Call("CompareObjectHandles") && first == second;
    }

private:
    FakePlatform& f;
    bool failed_ = false;  // the call being made has failed, and said why
};

FakePlatform::FakePlatform()
    : ownGroups_{{"S-1-1-0", 0x7}, {"S-1-5-32-544", 0xF}, {"S-1-5-5-0-12345", 0xC0000007}, {"S-1-16-12288", 0x60}},
      seam_(std::make_unique<Seam>(*this)) {
    SetStandardHandle(STD_INPUT_HANDLE, kStdInput, HANDLE_FLAG_INHERIT);
    SetStandardHandle(STD_OUTPUT_HANDLE, kStdOutput, HANDLE_FLAG_INHERIT);
    SetStandardHandle(STD_ERROR_HANDLE, kStdError, HANDLE_FLAG_INHERIT);
    AddPath(kTempFolder.substr(0, kTempFolder.size() - 1), FILE_ATTRIBUTE_DIRECTORY);
    AddPath(kLocalLowFolder, FILE_ATTRIBUTE_DIRECTORY);
}

FakePlatform::~FakePlatform() = default;

FakePlatform::operator Platform&() { return *seam_; }

void FakePlatform::SetStandardHandle(DWORD stream, HANDLE handle, std::optional<DWORD> flags) {
    standardHandles_[stream] = handle;
    if (flags) {
        handleFlags_[handle] = *flags;
    } else {
        handleFlags_.erase(handle);
    }
}

void FakePlatform::AddReparsePoint(const std::u16string& path, DWORD tag, const std::u16string& target) {
    Entry& entry = entries_[path];
    entry.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    entry.tag = tag;
    entry.target = target;
}

// The label is written as the launcher writes one, through InitializeAcl and AddMandatoryAce.
void FakePlatform::SetLabel(const std::u16string& path, std::vector<FakeLabel> entries) {
    std::vector<DWORD> buffer(64 * (entries.size() + 1));
    auto* acl = reinterpret_cast<ACL*>(buffer.data());
    *acl = ACL{ACL_REVISION, 0, static_cast<WORD>(buffer.size() * sizeof(DWORD)), 0, 0};
    for (const FakeLabel& entry : entries) {
        std::vector<BYTE> sid = SidBytes(entry.sid);
        seam_->AppendAce(acl, ACL_REVISION, SYSTEM_MANDATORY_LABEL_ACE_TYPE, entry.flags, entry.mask, sid.data());
    }
    acl->AclSize = static_cast<WORD>(AclUsed(acl));
    entries_[path].label = AclBytes(acl);
}

std::vector<std::u16string> FakePlatform::ErrorLines() const {
    std::vector<std::u16string> lines;
    for (std::size_t start = 0, end = 0; start < standardError_.size(); start = end) {
        end = std::min(standardError_.find(u'\n', start), standardError_.size() - 1) + 1;
        lines.push_back(standardError_.substr(start, end - start));
    }
    return lines;
}

std::vector<std::string> FakePlatform::CloseOrder() const {
    std::vector<std::string> labels;
    for (const std::string& call : calls_) {
        if (call.rfind("CloseHandle(", 0) == 0) {
            labels.push_back(call.substr(12, call.size() - 13));
        }
    }
    return labels;
}

std::vector<std::string> FakePlatform::Problems() const {
    std::vector<std::string> problems = problems_;
    for (const Object& object : objects_) {
        if (object.closes != 1) {
            problems.push_back(object.label + " closed " + std::to_string(object.closes) + " times");
        }
    }
    for (const auto& allocation : allocations_) {
        if (allocation->frees != 1) {
            problems.push_back(allocation->what + " freed " + std::to_string(allocation->frees) + " times");
        }
    }
    for (const Thread& thread : threads_) {
        if (!ThreadEnded(thread)) {
            problems.push_back("a relay thread still running at the end of the run");
        }
    }
    if (consoleHandler_ != nullptr) {
        problems.push_back("the console handler left installed");
    }
    return problems;
}

std::string FakePlatform::ChildInput() const {
    for (const Process& process : processes_) {
        for (const auto& [end, pipe] : process.inherited) {
            if (end == Kind::PipeRead) {
                return pipes_[pipe].received;
            }
        }
    }
    return {};
}

// --- Pipes and the launcher's threads ---
std::size_t FakePlatform::OpenEnds(std::size_t pipe, Kind end) const {
    std::size_t open = pipes_[pipe].console && end == Kind::PipeWrite ? 1 : 0;
    for (const Object& object : objects_) {
        open += object.kind == end && object.index == pipe && object.closes == 0 ? 1 : 0;
    }
    // A child holds its ends while it runs, or while a grandchild of it does.
    for (const Process& process : processes_) {
        const bool holdsEnd = std::count(process.inherited.begin(), process.inherited.end(), std::pair{end, pipe}) != 0;
        open += holdsEnd && (process.Running() || (process.program.leavesStreamsOpen && !process.jobEnded)) ? 1 : 0;
    }
    return open;
}

bool FakePlatform::ThreadEnded(const Thread& thread) const {
    return thread.ran && (thread.cancelled ||
                          (thread.waitsFor ? bool(events_[*thread.waitsFor])
                                           : !thread.blockedOn || OpenEnds(*thread.blockedOn, Kind::PipeWrite) == 0));
}

}  // namespace brindle::testing
