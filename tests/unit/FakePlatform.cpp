#include "FakePlatform.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/Text.h"

namespace brindle::testing {
namespace {

constexpr DWORD kStillActive = 259;
constexpr DWORD kAllottedSpaceExceeded = 1344;
// A security descriptor's header, before the ACL the fake places after it.
constexpr std::size_t kDescriptorHeaderDwords = 5;
constexpr DWORD kHighIntegrity = 0x3000;
// Windows takes at most 32 767 characters of command line, its terminating null included.
constexpr std::size_t kLongestCommandLine = 32766;
constexpr std::size_t kGroupsOffset = offsetof(TOKEN_GROUPS, Groups);
constexpr DWORD kPathNotFound = 3;
constexpr DWORD kMountPoint = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
// The access that takes part in sharing: a handle with none of it keeps no one out.
constexpr DWORD kSharedAccess = 0x1 | 0x2 | 0x4 | 0x20 | DELETE | 0xF0000000;
constexpr GUID kLocalAppDataLow{0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

// How many times a port is read before a scenario counts as one that never ends.
constexpr std::size_t kMostPortReads = 1000000;

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

}  // namespace

std::vector<BYTE> SidBytes(const std::string& text) {
    // S-1-<authority>-<sub>-<sub>...
    std::vector<std::uint64_t> numbers;
    std::stringstream stream(text.substr(2));
    std::string piece;
    while (std::getline(stream, piece, '-')) {
        numbers.push_back(std::stoull(piece));
    }
    std::vector<BYTE> bytes{static_cast<BYTE>(numbers[0]), static_cast<BYTE>(numbers.size() - 2)};
    for (int shift = 40; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<BYTE>(numbers[1] >> shift));
    }
    for (std::size_t i = 2; i < numbers.size(); ++i) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<BYTE>(numbers[i] >> shift));
        }
    }
    return bytes;
}

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

FakePlatform::FakePlatform()
    : ownGroups_{{"S-1-1-0", 0x7}, {"S-1-5-32-544", 0xF}, {"S-1-5-5-0-12345", 0xC0000007},
                 {"S-1-16-12288", 0x60}} {
    SetStandardHandle(STD_INPUT_HANDLE, kStdInput, HANDLE_FLAG_INHERIT);
    SetStandardHandle(STD_OUTPUT_HANDLE, kStdOutput, HANDLE_FLAG_INHERIT);
    SetStandardHandle(STD_ERROR_HANDLE, kStdError, HANDLE_FLAG_INHERIT);
    paths_[kTempFolder.substr(0, kTempFolder.size() - 1)] = FILE_ATTRIBUTE_DIRECTORY;
    paths_[kLocalLowFolder] = FILE_ATTRIBUTE_DIRECTORY;
}

void FakePlatform::AddLink(const std::u16string& path, const std::u16string& target) {
    AddReparsePoint(path, kMountPoint);
    linkTargets_[path] = target;
}

void FakePlatform::SetStandardHandle(DWORD stream, HANDLE handle, std::optional<DWORD> flags) {
    standardHandles_[stream] = handle;
    if (flags) {
        handleFlags_[handle] = *flags;
    } else {
        handleFlags_.erase(handle);
    }
}

FakePlatform::~FakePlatform() = default;

void FakePlatform::Fail(const std::string& operation, DWORD error, int callNumber) {
    failures_[operation][callNumber] = error;
}

void FakePlatform::AddReparsePoint(const std::u16string& path, DWORD tag) {
    paths_[path] = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    reparseTags_[path] = tag;
}

void FakePlatform::SetLabel(const std::u16string& path, std::vector<FakeLabel> entries) {
    std::vector<BYTE> acl(sizeof(ACL), 0);
    for (const FakeLabel& entry : entries) {
        const std::vector<BYTE> sid = SidBytes(entry.sid);
        const std::size_t aceSize = sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + sid.size();
        SYSTEM_MANDATORY_LABEL_ACE ace{};
        ace.Header = ACE_HEADER{SYSTEM_MANDATORY_LABEL_ACE_TYPE, static_cast<BYTE>(entry.flags),
                                static_cast<WORD>(aceSize)};
        ace.Mask = entry.mask;
        const auto* aceBytes = reinterpret_cast<const BYTE*>(&ace);
        acl.insert(acl.end(), aceBytes, aceBytes + sizeof(ace) - sizeof(DWORD));
        acl.insert(acl.end(), sid.begin(), sid.end());
    }
    const ACL header{ACL_REVISION, 0, static_cast<WORD>(acl.size()), static_cast<WORD>(entries.size()), 0};
    std::memcpy(acl.data(), &header, sizeof(header));
    labels_[path] = acl;
}

void FakePlatform::FailWaitWith(DWORD result, DWORD error) { waitFailure_ = std::make_pair(result, error); }

void FakePlatform::SetEnvironmentVariable(const std::u16string& name, const std::u16string& value) {
    for (auto& [variable, current] : environment_) {
        if (AsciiLower(variable) == AsciiLower(name)) {
            current = value;
            return;
        }
    }
    environment_.emplace_back(name, value);
}

std::vector<std::u16string> FakePlatform::ErrorLines() const {
    std::vector<std::u16string> lines;
    std::size_t start = 0;
    while (start < standardError_.size()) {
        const std::size_t end = standardError_.find(u'\n', start);
        const std::size_t stop = end == std::u16string::npos ? standardError_.size() : end + 1;
        lines.push_back(standardError_.substr(start, stop - start));
        start = stop;
    }
    return lines;
}

std::size_t FakePlatform::CountCalls(const std::string& operation) const {
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), operation));
}

std::vector<std::string> FakePlatform::Problems() const {
    std::vector<std::string> problems = problems_;
    for (const Object& object : objects_) {
        if (object.closes == 0) {
            problems.push_back(object.label + " left open");
        } else if (object.closes > 1) {
            problems.push_back(object.label + " closed " + std::to_string(object.closes) + " times");
        }
    }
    for (const auto& sid : sids_) {
        if (sid->frees != 1) {
            problems.push_back("SID " + SidText(sid->bytes.data()) + " freed " + std::to_string(sid->frees) +
                               " times");
        }
    }
    for (const auto& [address, list] : attributeLists_) {
        if (list.initialised && list.deletes != 1) {
            problems.push_back("attribute list deleted " + std::to_string(list.deletes) + " times");
        }
    }
    for (const FakeThread& thread : threads_) {
        if (!ThreadEnded(thread)) {
            problems.push_back("a relay thread still running at the end of the run");
        }
    }
    if (consoleHandler_ != nullptr) {
        problems.push_back("the console handler left installed");
    }
    if (knownFoldersOut_ != 0) {
        problems.push_back("a known folder's path not freed exactly once");
    }
    for (const auto& allocation : localAllocations_) {
        if (allocation->frees != 1) {
            problems.push_back("security descriptor freed " + std::to_string(allocation->frees) + " times");
        }
    }
    return problems;
}

std::vector<FakePlatform::ProcessView> FakePlatform::Processes() const {
    std::vector<ProcessView> views;
    for (const Process& process : processes_) {
        const bool running = process.resumed && !process.exited && !process.terminatedWith;
        views.push_back({process.tokenLabel, process.resumed, running, process.terminatedWith,
                         process.endedByJobClose});
    }
    return views;
}

const FakePlatform::Token* FakePlatform::FindToken(const std::string& label) const {
    for (const Token& token : tokens_) {
        if (token.label == label) {
            return &token;
        }
    }
    return nullptr;
}

bool FakePlatform::ShouldFail(const std::string& operation) {
    calls_.push_back(operation);
    const int callNumber = ++callCounts_[operation];
    const auto failures = failures_.find(operation);
    if (failures == failures_.end()) {
        return false;
    }
    const auto failure = failures->second.find(callNumber);
    if (failure == failures->second.end()) {
        return false;
    }
    lastError_ = failure->second;
    return true;
}

HANDLE FakePlatform::NewHandle(Kind kind, const std::string& label, std::size_t index) {
    objects_.push_back({kind, label, 0, index});
    return reinterpret_cast<HANDLE>(std::uintptr_t{0x1000} + 8 * objects_.size());
}

FakePlatform::Object* FakePlatform::Lookup(HANDLE handle, Kind kind) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (value <= 0x1000 || (value - 0x1000) % 8 != 0 || (value - 0x1000) / 8 > objects_.size()) {
        return nullptr;
    }
    Object& object = objects_[(value - 0x1000) / 8 - 1];
    if (object.kind != kind || object.closes != 0) {
        return nullptr;
    }
    return &object;
}

void FakePlatform::WriteStandardError(std::u16string_view text) { standardError_ += text; }

void FakePlatform::WriteStandardOutput(std::u16string_view text) { standardOutput_ += text; }

ULONGLONG FakePlatform::GetTickCount64() { return clock_; }

HANDLE FakePlatform::GetCurrentProcess() { return kCurrentProcess; }

HANDLE FakePlatform::GetCurrentThread() { return kCurrentThread; }

DWORD FakePlatform::GetCurrentProcessId() { return kOwnProcessId; }

BOOL FakePlatform::OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) {
    if (ShouldFail("OpenProcessToken")) {
        return FALSE;
    }
    if (Object* child = process != kCurrentProcess ? Lookup(process, Kind::Process) : nullptr) {
        // The token the child runs with, as it reads back.
        const Token* created = FindToken(processes_[child->index].tokenLabel);
        Token read;
        read.groups = ownGroups_;
        if (created != nullptr && !Lies(Lie::Token)) {
            read = *created;
        }
        read.label = "child token";
        tokens_.push_back(read);
        *token = NewHandle(Kind::Token, read.label, tokens_.size() - 1);
        return TRUE;
    }
    if (process != kCurrentProcess) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Token own;
    // The token brindle opens only to read its user is told apart from the one it launches with.
    own.label = desiredAccess == TOKEN_QUERY ? "query token" : "own token";
    own.groups = ownGroups_;
    own.openedWithAccess = desiredAccess;
    tokens_.push_back(own);
    *token = NewHandle(Kind::Token, own.label, tokens_.size() - 1);
    return TRUE;
}

BOOL FakePlatform::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                       DWORD infoLength, DWORD* returnLength) {
    const bool fail = ShouldFail("GetTokenInformation");
    Object* object = Lookup(token, Kind::Token);
    if (!fail && object != nullptr && infoClass == TokenElevation) {
        *returnLength = sizeof(TOKEN_ELEVATION);
        if (info == nullptr || infoLength < sizeof(TOKEN_ELEVATION)) {
            lastError_ = ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = elevated_ ? 1 : 0;
        return TRUE;
    }
    if (!fail && object != nullptr && (infoClass == TokenIntegrityLevel || infoClass == TokenPrivileges)) {
        const Token& read = tokens_[object->index];
        const std::vector<BYTE> sid = SidBytes(read.integrityLabel);
        const std::size_t privileges = 1 + read.otherPrivileges;
        *returnLength = static_cast<DWORD>(infoClass == TokenIntegrityLevel
                                               ? sizeof(TOKEN_MANDATORY_LABEL) + sid.size()
                                               : offsetof(TOKEN_PRIVILEGES, Privileges) +
                                                     privileges * sizeof(LUID_AND_ATTRIBUTES));
        if (info == nullptr || infoLength < *returnLength) {
            lastError_ = ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        auto* bytes = static_cast<BYTE*>(info);
        if (infoClass == TokenIntegrityLevel) {
            std::memcpy(bytes + sizeof(TOKEN_MANDATORY_LABEL), sid.data(), sid.size());
            static_cast<TOKEN_MANDATORY_LABEL*>(info)->Label = {bytes + sizeof(TOKEN_MANDATORY_LABEL), SE_GROUP_INTEGRITY};
            return TRUE;
        }
        // SeChangeNotifyPrivilege (23), then the others from SeCreateTokenPrivilege (2) on.
        auto* record = static_cast<TOKEN_PRIVILEGES*>(info);
        record->PrivilegeCount = static_cast<DWORD>(privileges);
        for (std::size_t i = 0; i < privileges; ++i) {
            const LUID_AND_ATTRIBUTES entry{{i == 0 ? 23u : static_cast<DWORD>(i + 1), 0}, 0};
            std::memcpy(bytes + offsetof(TOKEN_PRIVILEGES, Privileges) + i * sizeof(entry), &entry, sizeof(entry));
        }
        return TRUE;
    }
    if (!fail && object != nullptr && infoClass == TokenUser) {
        const std::vector<BYTE> sid = SidBytes(kUserSid);
        *returnLength = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
        if (info == nullptr || infoLength < *returnLength) {
            lastError_ = ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        BYTE* sidPlace = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
        std::memcpy(sidPlace, sid.data(), sid.size());
        static_cast<TOKEN_USER*>(info)->User = SID_AND_ATTRIBUTES{sidPlace, 0};
        return TRUE;
    }
    if (fail || object == nullptr || infoClass != TokenGroups) {
        *returnLength = 0;
        if (!fail) {
            lastError_ = ERROR_INVALID_PARAMETER;
        }
        return FALSE;
    }
    const std::vector<FakeGroup>& groups = tokens_[object->index].groups;
    std::vector<std::vector<BYTE>> sids;
    std::size_t required = kGroupsOffset + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    for (const FakeGroup& group : groups) {
        sids.push_back(SidBytes(group.sid));
        required += sids.back().size();
    }
    *returnLength = static_cast<DWORD>(required);
    if (info == nullptr || infoLength < required) {
        lastError_ = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    auto* bytes = static_cast<BYTE*>(info);
    if (std::any_of(bytes, bytes + infoLength, [](BYTE b) { return b != 0; })) {
        problems_.push_back("token information buffer was not zero-filled");
    }
    auto* record = static_cast<TOKEN_GROUPS*>(info);
    record->GroupCount = static_cast<DWORD>(groups.size());
    BYTE* sidPlace = bytes + kGroupsOffset + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    for (std::size_t i = 0; i < groups.size(); ++i) {
        std::memcpy(sidPlace, sids[i].data(), sids[i].size());
        SID_AND_ATTRIBUTES entry{sidPlace, groups[i].attributes};
        std::memcpy(bytes + kGroupsOffset + i * sizeof(SID_AND_ATTRIBUTES), &entry, sizeof(entry));
        sidPlace += sids[i].size();
    }
    return TRUE;
}

BOOL FakePlatform::SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                       DWORD infoLength) {
    if (ShouldFail("SetTokenInformation")) {
        return FALSE;
    }
    Object* object = Lookup(token, Kind::Token);
    if (object == nullptr || infoClass != TokenIntegrityLevel || info == nullptr) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const auto* label = static_cast<const TOKEN_MANDATORY_LABEL*>(info);
    Token& target = tokens_[object->index];
    target.integrityLabel = SidText(static_cast<const BYTE*>(label->Label.Sid));
    target.integrityLabelAttributes = label->Label.Attributes;
    target.integrityLabelLength = infoLength;
    return TRUE;
}

BOOL FakePlatform::AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                            DWORD subAuthority0, DWORD subAuthority1, PSID* sid) {
    if (ShouldFail("AllocateAndInitializeSid")) {
        return FALSE;
    }
    if (subAuthorityCount < 1 || subAuthorityCount > 2) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    auto allocated = std::make_unique<AllocatedSid>();
    allocated->bytes = {1, subAuthorityCount};
    allocated->bytes.insert(allocated->bytes.end(), authority->Value, authority->Value + 6);
    const DWORD subAuthorities[] = {subAuthority0, subAuthority1};
    for (BYTE i = 0; i < subAuthorityCount; ++i) {
        for (int shift = 0; shift < 32; shift += 8) {
            allocated->bytes.push_back(static_cast<BYTE>(subAuthorities[i] >> shift));
        }
    }
    *sid = allocated->bytes.data();
    sids_.push_back(std::move(allocated));
    return TRUE;
}

BOOL FakePlatform::EqualSid(PSID sid1, PSID sid2) {
    calls_.push_back("EqualSid");
    const auto* a = static_cast<const BYTE*>(sid1);
    const auto* b = static_cast<const BYTE*>(sid2);
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

DWORD FakePlatform::GetLengthSid(PSID sid) {
    calls_.push_back("GetLengthSid");
    return static_cast<DWORD>(SidLength(static_cast<const BYTE*>(sid)));
}

void FakePlatform::FreeSid(PSID sid) {
    calls_.push_back("FreeSid");
    lastError_ = kErrorLeftByRelease;
    for (auto& allocated : sids_) {
        if (allocated->bytes.data() == sid) {
            ++allocated->frees;
            return;
        }
    }
    problems_.push_back("FreeSid on a SID that AllocateAndInitializeSid did not make");
}

BOOL FakePlatform::CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* size) {
    if (ShouldFail("CreateWellKnownSid")) {
        return FALSE;
    }
    const std::vector<BYTE> bytes = SidBytes(type == WinLocalSystemSid ? "S-1-5-18" : "S-1-3-4");
    if (domainSid != nullptr || *size < bytes.size() || (type != WinLocalSystemSid && type != WinCreatorOwnerRightsSid)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::memcpy(sid, bytes.data(), bytes.size());
    *size = static_cast<DWORD>(bytes.size());
    return TRUE;
}

BOOL FakePlatform::CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                         SID_AND_ATTRIBUTES* sidsToDisable, DWORD deletePrivilegeCount,
                                         LUID_AND_ATTRIBUTES* privilegesToDelete, DWORD restrictedSidCount,
                                         SID_AND_ATTRIBUTES* sidsToRestrict, HANDLE* newToken) {
    if (ShouldFail("CreateRestrictedToken")) {
        return FALSE;
    }
    Object* source = Lookup(existingToken, Kind::Token);
    if (source == nullptr || (disableSidCount != 0 && sidsToDisable == nullptr)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    Token restricted = tokens_[source->index];
    restricted.label = "restricted token";
    restricted.restrictionFlags = flags;
    if ((flags & DISABLE_MAX_PRIVILEGE) != 0) {
        restricted.otherPrivileges = 0;
    }
    restricted.disableListGiven = sidsToDisable != nullptr;
    restricted.privilegeOrRestrictListGiven = deletePrivilegeCount != 0 || privilegesToDelete != nullptr ||
                                              restrictedSidCount != 0 || sidsToRestrict != nullptr;
    for (DWORD i = 0; i < disableSidCount; ++i) {
        const std::string sid = SidText(static_cast<const BYTE*>(sidsToDisable[i].Sid));
        restricted.disabledSids.push_back(sid);
        restricted.disabledSidAttributes.push_back(sidsToDisable[i].Attributes);
        for (FakeGroup& group : restricted.groups) {
            if (group.sid == sid) {
                group.attributes |= SE_GROUP_USE_FOR_DENY_ONLY;
            }
        }
    }
    tokens_.push_back(restricted);
    *newToken = NewHandle(Kind::Token, restricted.label, tokens_.size() - 1);
    return TRUE;
}

BOOL FakePlatform::DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, SECURITY_ATTRIBUTES* attributes,
                                    SECURITY_IMPERSONATION_LEVEL impersonationLevel, TOKEN_TYPE tokenType,
                                    HANDLE* newToken) {
    if (ShouldFail("DuplicateTokenEx")) {
        return FALSE;
    }
    Object* source = Lookup(existingToken, Kind::Token);
    if (source == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Token duplicate = tokens_[source->index];
    duplicate.label = "duplicate token";
    duplicate.duplicateAccess = desiredAccess;
    duplicate.impersonationLevel = impersonationLevel;
    duplicate.tokenType = tokenType;
    duplicate.duplicateAttributesGiven = attributes != nullptr;
    tokens_.push_back(duplicate);
    *newToken = NewHandle(Kind::Token, duplicate.label, tokens_.size() - 1);
    return TRUE;
}

DWORD FakePlatform::GetFileAttributesW(const char16_t* path) {
    if (ShouldFail("GetFileAttributesW")) {
        return INVALID_FILE_ATTRIBUTES;
    }
    const auto found = paths_.find(path);
    if (found == paths_.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_FILE_ATTRIBUTES;
    }
    return found->second;
}

HANDLE FakePlatform::CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                                 SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                 DWORD flagsAndAttributes, HANDLE templateFile) {
    fileOpens_.push_back({fileName, desiredAccess, shareMode, creationDisposition, flagsAndAttributes,
                          securityAttributes != nullptr, templateFile != nullptr});
    if (ShouldFail("CreateFileW")) {
        return INVALID_HANDLE_VALUE;
    }
    if (swap_ && Resolve(fileName, true) == swap_->opened && swap_->skipping-- == 0) {
        TrySwap();
    }
    fileOpens_.back().resolved = Resolve(fileName, (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0);
    if (creationDisposition == CREATE_NEW) {
        if (files_.count(fileName) != 0 || paths_.count(fileName) != 0) {
            lastError_ = ERROR_FILE_EXISTS;
            return INVALID_HANDLE_VALUE;
        }
        files_[fileName] = {};
        return NewHandle(Kind::File, "file", fileOpens_.size() - 1);
    }
    const std::u16string& resolved = fileOpens_.back().resolved;
    const auto found = paths_.find(resolved);
    const bool tooLong = std::u16string_view(fileName).size() >= MAX_PATH && fileName[0] != u'\\';
    if (found == paths_.end() || tooLong) {  // only a \\?\ name may be longer than MAX_PATH
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    const auto inUse = inUseUntil_.find(resolved);
    if ((desiredAccess & DELETE) != 0 &&
        ((inUse != inUseUntil_.end() && clock_ < inUse->second) || HeldWithoutDeleteSharing(resolved))) {
        lastError_ = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
    }
    // Windows opens a directory only for a caller that asks for backup semantics.
    if ((found->second & FILE_ATTRIBUTE_DIRECTORY) != 0 && (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        lastError_ = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    return NewHandle(Kind::File, "file", fileOpens_.size() - 1);
}

BOOL FakePlatform::GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                                DWORD infoLength) {
    if (ShouldFail("GetFileInformationByHandleEx")) {
        return FALSE;
    }
    Object* object = Lookup(file, Kind::File);
    if (object != nullptr && infoClass == FileFullDirectoryInfo) {
        return ListFolder(fileOpens_[object->index], info, infoLength);
    }
    if (object == nullptr || infoClass != FileAttributeTagInfo || infoLength != sizeof(FILE_ATTRIBUTE_TAG_INFO)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const FileOpen& open = fileOpens_[object->index];
    FILE_ATTRIBUTE_TAG_INFO result{paths_[open.resolved], 0};
    if ((open.flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0) {
        result.ReparseTag = reparseTags_[open.resolved];
    } else {
        // Without the flag Windows follows the link: the handle is its target, a plain folder.
        result.FileAttributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    }
    std::memcpy(info, &result, sizeof(result));
    return TRUE;
}

std::u16string FakePlatform::Resolve(std::u16string path, bool linkItself) const {
    if (path.rfind(u"\\\\?\\", 0) == 0) {
        path.erase(0, 4);
    }
    for (std::size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
        const bool last = end == std::u16string::npos;
        const auto link = linkTargets_.find(path.substr(0, end));
        if (link != linkTargets_.end() && !(last && linkItself)) {
            path = link->second + (last ? std::u16string() : path.substr(end));
            end = link->second.size();  // a target is no junction itself
        }
        if (last) {
            return path;
        }
    }
}

bool FakePlatform::HeldWithoutDeleteSharing(const std::u16string& path) const {
    return std::any_of(objects_.begin(), objects_.end(), [&](const Object& object) {
        if (object.kind != Kind::File || object.closes != 0) {
            return false;
        }
        const FileOpen& open = fileOpens_[object.index];
        return open.resolved == path && (open.access & kSharedAccess) != 0 && (open.shareMode & FILE_SHARE_DELETE) == 0;
    });
}

// The hostile rename: the folder and all below it move to "<folder>.moved", handles
// included, and a junction takes its name.
void FakePlatform::TrySwap() {
    const Swap swap = *swap_;
    swap_.reset();
    if (HeldWithoutDeleteSharing(swap.folder)) {
        return;
    }
    const auto moved = [&swap](const std::u16string& path) { return swap.folder + u".moved" + path.substr(swap.folder.size()); };
    std::map<std::u16string, DWORD> kept;
    for (const auto& [path, attributes] : paths_) {
        kept[Below(path, swap.folder) ? moved(path) : path] = attributes;
    }
    paths_ = kept;
    for (FileOpen& open : fileOpens_) {
        if (Below(open.resolved, swap.folder)) {
            open.resolved = moved(open.resolved);
        }
    }
    AddLink(swap.folder, swap.target);
    swapped_ = true;
}

// Everything in the folder in one call, then its end.
BOOL FakePlatform::ListFolder(FileOpen& open, void* buffer, DWORD length) {
    if (open.listed) {
        lastError_ = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    open.listed = true;
    std::vector<std::u16string> names{u".", u".."};
    const std::u16string prefix = open.resolved + u"\\";
    for (auto entry = paths_.lower_bound(prefix); entry != paths_.end() && entry->first.rfind(prefix, 0) == 0; ++entry) {
        if (entry->first.find(u'\\', prefix.size()) == std::u16string::npos) {
            names.push_back(entry->first.substr(prefix.size()));
        }
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    constexpr std::size_t kNameOffset = offsetof(FILE_FULL_DIR_INFO, FileName);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
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
std::u16string FakePlatform::FullPath(const std::u16string& path) const {
    std::u16string full = path;
    std::replace(full.begin(), full.end(), u'/', u'\\');
    const bool hasDrive = full.size() >= 2 && full[1] == u':';
    if (hasDrive && (full.size() == 2 || full[2] != u'\\')) {
        return full.substr(0, 2) + u"\\work" + (full.size() > 2 ? u"\\" + full.substr(2) : u"");
    }
    if (!hasDrive && full.rfind(u"\\\\", 0) != 0) {
        return u"C:\\work\\" + full;
    }
    return full;
}

DWORD FakePlatform::GetFullPathNameW(const char16_t* fileName, DWORD bufferLength, char16_t* buffer,
                                     char16_t** filePart) {
    if (ShouldFail("GetFullPathNameW")) {
        return 0;
    }
    const std::u16string full = FullPath(fileName);
    if (filePart != nullptr) {
        problems_.push_back("GetFullPathNameW was asked for the file part");
    }
    if (bufferLength < full.size() + 1) {
        return static_cast<DWORD>(full.size() + 1);
    }
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = u'\0';
    return static_cast<DWORD>(full.size());
}

BOOL FakePlatform::GetVolumePathNameW(const char16_t* fileName, char16_t* volumePathName, DWORD bufferLength) {
    if (ShouldFail("GetVolumePathNameW")) {
        return FALSE;
    }
    // The longest volume root the path lies under, named without the long-path prefix.
    std::u16string full = AsciiLower(FullPath(fileName) + u"\\");
    if (full.rfind(u"\\\\?\\", 0) == 0) {
        full.erase(0, 4);
    }
    const std::u16string* volume = nullptr;
    for (const std::u16string& root : volumes_) {
        if (full.rfind(AsciiLower(root), 0) == 0 && (volume == nullptr || root.size() > volume->size())) {
            volume = &root;
        }
    }
    if (volume == nullptr) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (bufferLength < volume->size() + 1) {
        lastError_ = ERROR_FILENAME_EXCED_RANGE;
        return FALSE;
    }
    std::copy(volume->begin(), volume->end(), volumePathName);
    volumePathName[volume->size()] = u'\0';
    return TRUE;
}

DWORD FakePlatform::GetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                          SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, ACL** dacl,
                                          ACL** sacl, PSECURITY_DESCRIPTOR* securityDescriptor) {
    if (ShouldFail("GetNamedSecurityInfoW")) {
        return lastError_;
    }
    if (objectType != SE_FILE_OBJECT || securityInfo != LABEL_SECURITY_INFORMATION || owner != nullptr ||
        group != nullptr || dacl != nullptr || sacl == nullptr || securityDescriptor == nullptr) {
        problems_.push_back("GetNamedSecurityInfoW was asked for more, or less, than a file's label");
        return ERROR_INVALID_PARAMETER;
    }
    const auto found = paths_.find(objectName);
    if (found == paths_.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    // The descriptor holds its header, then the system ACL when the object has a label.
    auto allocation = std::make_unique<LocalAllocation>();
    allocation->bytes.assign(kDescriptorHeaderDwords, 0);
    *sacl = nullptr;
    const auto label = labels_.find(objectName);
    if (label != labels_.end()) {
        allocation->bytes.resize(kDescriptorHeaderDwords + (label->second.size() + 3) / 4);
        std::memcpy(allocation->bytes.data() + kDescriptorHeaderDwords, label->second.data(), label->second.size());
        *sacl = reinterpret_cast<ACL*>(allocation->bytes.data() + kDescriptorHeaderDwords);
    }
    *securityDescriptor = allocation->bytes.data();
    localAllocations_.push_back(std::move(allocation));
    return 0;
}

HLOCAL FakePlatform::LocalFree(HLOCAL memory) {
    calls_.push_back("LocalFree");
    for (auto& allocation : localAllocations_) {
        if (allocation->bytes.data() == memory) {
            ++allocation->frees;
            return nullptr;
        }
    }
    problems_.push_back("LocalFree on memory the fake did not allocate");
    return memory;
}

DWORD FakePlatform::GetLongPathNameW(const char16_t* shortPath, char16_t* longPath, DWORD bufferLength) {
    if (ShouldFail("GetLongPathNameW")) {
        return 0;
    }
    std::u16string path = shortPath;
    for (const auto& [shortName, longName] : shortNames_) {
        if (path.rfind(shortName, 0) == 0) {
            path.replace(0, shortName.size(), longName);
        }
    }
    if (bufferLength < path.size() + 1) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::copy(path.begin(), path.end(), longPath);
    longPath[path.size()] = u'\0';
    return static_cast<DWORD>(path.size());
}

DWORD FakePlatform::GetTempPathW(DWORD bufferLength, char16_t* buffer) {
    if (ShouldFail("GetTempPathW")) {
        return 0;
    }
    if (kTempFolder.size() >= bufferLength) {
        return static_cast<DWORD>(kTempFolder.size() + 1);
    }
    std::copy(kTempFolder.begin(), kTempFolder.end(), buffer);
    buffer[kTempFolder.size()] = u'\0';
    return static_cast<DWORD>(kTempFolder.size());
}

HRESULT FakePlatform::SHGetKnownFolderPath(const GUID& folder, DWORD flags, HANDLE token, char16_t** path) {
    *path = nullptr;
    if (ShouldFail("SHGetKnownFolderPath")) {
        return static_cast<HRESULT>(0x80070000 | lastError_);  // HRESULT_FROM_WIN32
    }
    if (std::memcmp(&folder, &kLocalAppDataLow, sizeof(GUID)) != 0 || flags != 0 || token != nullptr) {
        return static_cast<HRESULT>(0x80070057);  // E_INVALIDARG
    }
    ++knownFoldersOut_;
    *path = knownFolder_.data();
    return 0;
}

void FakePlatform::CoTaskMemFree(void* memory) {
    knownFoldersOut_ -= memory == knownFolder_.data() ? 1 : 0;
    if (memory != knownFolder_.data()) {
        problems_.push_back("CoTaskMemFree of memory the fake never gave out");
    }
}

BOOL FakePlatform::CreateDirectoryW(const char16_t* pathName, SECURITY_ATTRIBUTES* attributes) {
    if (ShouldFail("CreateDirectoryW")) {
        return FALSE;
    }
    const std::u16string path = pathName;
    const auto parent = paths_.find(Resolve(path.substr(0, path.rfind(u'\\')), false));
    if (paths_.count(path) != 0 || files_.count(path) != 0) {
        lastError_ = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (parent == paths_.end() || (parent->second & FILE_ATTRIBUTE_DIRECTORY) == 0 || attributes != nullptr) {
        lastError_ = kPathNotFound;
        return FALSE;
    }
    paths_[path] = FILE_ATTRIBUTE_DIRECTORY;
    return TRUE;
}

BOOL FakePlatform::SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                              DWORD infoLength) {
    if (ShouldFail("SetFileInformationByHandle")) {
        return FALSE;
    }
    Object* object = Lookup(file, Kind::File);
    if (object == nullptr || paths_.count(fileOpens_[object->index].resolved) == 0) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    FileOpen& open = fileOpens_[object->index];
    DWORD& attributes = paths_[open.resolved];
    if (infoClass == FileBasicInfo && infoLength == sizeof(FILE_BASIC_INFO) && (open.access & FILE_WRITE_ATTRIBUTES) != 0) {
        attributes = (attributes & FILE_ATTRIBUTE_DIRECTORY) | static_cast<const FILE_BASIC_INFO*>(info)->FileAttributes;
        return TRUE;
    }
    if (infoClass != FileDispositionInfo || infoLength != sizeof(FILE_DISPOSITION_INFO) || (open.access & DELETE) == 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        lastError_ = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    const auto next = paths_.upper_bound(open.resolved);
    const bool empty = next == paths_.end() || next->first.rfind(open.resolved + u"\\", 0) != 0;
    open.deletePending = empty && static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile != 0;
    lastError_ = ERROR_DIR_NOT_EMPTY;
    return empty ? TRUE : FALSE;
}

void FakePlatform::Sleep(DWORD milliseconds) {
    calls_.push_back("Sleep");
    clock_ += milliseconds;
}

BOOL FakePlatform::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                             void* overlapped) {
    if (ShouldFail("WriteFile")) {
        return FALSE;
    }
    const std::string bytes(static_cast<const char*>(buffer), bytesToWrite);
    *bytesWritten = bytesToWrite;
    if (file == kStdOutput || file == kStdError) {
        (file == kStdOutput ? relayedOutput_ : relayedErrors_) += bytes;
        return TRUE;
    }
    if (Object* pipe = Lookup(file, Kind::PipeWrite)) {
        if (OpenEnds(pipe->index, Kind::PipeRead) == 0) {
            lastError_ = ERROR_NO_DATA;
            return FALSE;
        }
        pipes_[pipe->index].buffer += bytes;
        pipes_[pipe->index].received += bytes;
        return TRUE;
    }
    Object* object = Lookup(file, Kind::File);
    if (object == nullptr || overlapped != nullptr || (fileOpens_[object->index].access & GENERIC_WRITE) == 0) {
        lastError_ = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    files_[fileOpens_[object->index].path].append(static_cast<const char*>(buffer), bytesToWrite);
    *bytesWritten = bytesToWrite;
    return TRUE;
}

BOOL FakePlatform::DeleteFileW(const char16_t* fileName) {
    if (ShouldFail("DeleteFileW")) {
        return FALSE;
    }
    if (files_.erase(fileName) == 0) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    return TRUE;
}

BOOL FakePlatform::MoveFileExW(const char16_t* existingFileName, const char16_t* newFileName, DWORD flags) {
    moves_.push_back({flags, {}});
    if (ShouldFail("MoveFileExW")) {
        return FALSE;
    }
    const auto from = files_.find(existingFileName);
    if (from == files_.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (files_.count(newFileName) != 0 && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
        lastError_ = ERROR_FILE_EXISTS;
        return FALSE;
    }
    std::string bytes = from->second;
    files_.erase(from);
    moves_.back().bytes = bytes;
    files_[newFileName] = bytes;
    return TRUE;
}

BOOL FakePlatform::InitializeAcl(ACL* acl, DWORD aclLength, DWORD aclRevision) {
    if (ShouldFail("InitializeAcl")) {
        return FALSE;
    }
    if (aclLength < sizeof(ACL)) {
        lastError_ = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    *acl = ACL{static_cast<BYTE>(aclRevision), 0, static_cast<WORD>(aclLength), 0, 0};
    return TRUE;
}

BOOL FakePlatform::AddMandatoryAce(ACL* acl, DWORD aceRevision, DWORD aceFlags, DWORD mandatoryPolicy,
                                   PSID labelSid) {
    if (ShouldFail("AddMandatoryAce")) {
        return FALSE;
    }
    return AppendAce(acl, aceRevision, SYSTEM_MANDATORY_LABEL_ACE_TYPE, aceFlags, mandatoryPolicy, labelSid);
}

BOOL FakePlatform::AddAccessAllowedAce(ACL* acl, DWORD aceRevision, DWORD accessMask, PSID sid) {
    if (ShouldFail("AddAccessAllowedAce")) {
        return FALSE;
    }
    return AppendAce(acl, aceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, accessMask, sid);
}

// Every entry the launcher writes has the layout of SYSTEM_MANDATORY_LABEL_ACE: header,
// mask, then the SID.
BOOL FakePlatform::AppendAce(ACL* acl, DWORD aceRevision, BYTE type, DWORD flags, DWORD mask, PSID sid) {
    // Entries follow the header back to back; find where the last one ends.
    auto* bytes = reinterpret_cast<BYTE*>(acl);
    std::size_t used = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + used, sizeof(header));
        used += header.AceSize;
    }
    const std::size_t sidLength = SidLength(static_cast<const BYTE*>(sid));
    const std::size_t aceSize = sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + sidLength;
    if (aceRevision != ACL_REVISION || used + aceSize > acl->AclSize) {
        lastError_ = aceRevision != ACL_REVISION ? ERROR_INVALID_PARAMETER : kAllottedSpaceExceeded;
        return FALSE;
    }
    SYSTEM_MANDATORY_LABEL_ACE ace{};
    ace.Header = ACE_HEADER{type, static_cast<BYTE>(flags), static_cast<WORD>(aceSize)};
    ace.Mask = mask;
    std::memcpy(bytes + used, &ace, sizeof(ace) - sizeof(DWORD));
    std::memcpy(bytes + used + sizeof(ace) - sizeof(DWORD), sid, sidLength);
    ++acl->AceCount;
    return TRUE;
}

DWORD FakePlatform::SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo,
                                    PSID owner, PSID group, ACL* dacl, ACL* sacl) {
    if (ShouldFail("SetSecurityInfo")) {
        return lastError_;
    }
    if ((handle != kCurrentProcess && handle != kCurrentThread) || objectType != SE_KERNEL_OBJECT ||
        securityInfo != DACL_SECURITY_INFORMATION || owner != nullptr || group != nullptr || sacl != nullptr ||
        dacl == nullptr) {
        problems_.push_back("SetSecurityInfo was asked for more, or less, than a DACL of brindle's own");
        return ERROR_INVALID_PARAMETER;
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    dacls_[handle].assign(bytes, bytes + dacl->AclSize);
    return 0;
}

DWORD FakePlatform::SetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                          SECURITY_INFORMATION securityInfo, PSID owner, PSID group, ACL* dacl,
                                          ACL* sacl) {
    if (ShouldFail("SetNamedSecurityInfoW")) {
        return lastError_;
    }
    LabelWrite write;
    write.path = objectName;
    write.objectType = objectType;
    write.securityInfo = securityInfo;
    write.ownerGiven = owner != nullptr;
    write.groupGiven = group != nullptr;
    write.daclGiven = dacl != nullptr;
    if (sacl != nullptr) {
        const auto* bytes = reinterpret_cast<const BYTE*>(sacl);
        write.sacl.assign(bytes, bytes + sacl->AclSize);
    }
    labelWrites_.push_back(write);
    labels_[write.path] = write.sacl;  // what a later read sees
    return 0;
}

HANDLE FakePlatform::GetStdHandle(DWORD stdHandle) {
    calls_.push_back("GetStdHandle");
    const auto found = standardHandles_.find(stdHandle);
    return found == standardHandles_.end() ? nullptr : found->second;
}

BOOL FakePlatform::GetHandleInformation(HANDLE handle, DWORD* flags) {
    if (ShouldFail("GetHandleInformation")) {
        return FALSE;
    }
    const auto found = handleFlags_.find(handle);
    if (found == handleFlags_.end()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *flags = found->second;
    return TRUE;
}

BOOL FakePlatform::DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                                   HANDLE* targetHandle, DWORD desiredAccess, BOOL inheritHandle, DWORD options) {
    if (ShouldFail("DuplicateHandle")) {
        return FALSE;
    }
    if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess || handleFlags_.count(sourceHandle) == 0 ||
        desiredAccess != 0 || options != DUPLICATE_SAME_ACCESS) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *targetHandle = NewHandle(Kind::Duplicate, "duplicate", 0);
    handleFlags_[*targetHandle] = inheritHandle ? HANDLE_FLAG_INHERIT : 0;
    return TRUE;
}

BOOL FakePlatform::InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attributeCount,
                                                     DWORD flags, SIZE_T* size) {
    constexpr SIZE_T kListSize = 48;
    if (ShouldFail("InitializeProcThreadAttributeList")) {
        return FALSE;
    }
    if (list == nullptr) {
        *size = kListSize;
        lastError_ = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    if (attributeCount != 1 || flags != 0 || *size < kListSize) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    attributeLists_[list].initialised = true;
    return TRUE;
}

// Windows takes a handle list only of distinct, inheritable handles.
BOOL FakePlatform::UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                             void* value, SIZE_T size, void* previousValue, SIZE_T* returnSize) {
    if (ShouldFail("UpdateProcThreadAttribute")) {
        return FALSE;
    }
    const auto found = attributeLists_.find(list);
    const auto* handles = static_cast<const HANDLE*>(value);
    const std::vector<HANDLE> listed(handles, handles + size / sizeof(HANDLE));
    std::vector<HANDLE> sorted = listed;
    std::sort(sorted.begin(), sorted.end());
    const bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    const bool inheritable = std::all_of(listed.begin(), listed.end(), [this](HANDLE handle) {
        const auto info = handleFlags_.find(handle);
        return info != handleFlags_.end() && (info->second & HANDLE_FLAG_INHERIT) != 0;
    });
    if (found == attributeLists_.end() || !found->second.initialised || flags != 0 ||
        attribute != PROC_THREAD_ATTRIBUTE_HANDLE_LIST || size == 0 || size % sizeof(HANDLE) != 0 || !distinct ||
        !inheritable || previousValue != nullptr || returnSize != nullptr) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    found->second.handles = handles;
    found->second.handleCount = listed.size();
    return TRUE;
}

void FakePlatform::DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) {
    calls_.push_back("DeleteProcThreadAttributeList");
    ++attributeLists_[list].deletes;
}

BOOL FakePlatform::GetEnvironmentStringsW(std::u16string& block) {
    if (ShouldFail("GetEnvironmentStringsW")) {
        return FALSE;
    }
    block.clear();
    for (const auto& [name, value] : environment_) {
        block += name + u"=" + value;
        block += u'\0';
    }
    block += u'\0';
    return TRUE;
}

void FakePlatform::ReadInheritance(FakeCreation& creation, const STARTUPINFOW* startupInfo, const void* environment) {
    if ((creation.creationFlags & EXTENDED_STARTUPINFO_PRESENT) != 0) {
        const auto* extended = reinterpret_cast<const STARTUPINFOEXW*>(startupInfo);
        const auto found = attributeLists_.find(extended->lpAttributeList);
        if (startupInfo->cb != sizeof(STARTUPINFOEXW) || found == attributeLists_.end() ||
            !found->second.initialised || found->second.deletes != 0) {
            problems_.push_back("an extended startup record without a live attribute list");
        } else {
            creation.handleListGiven = true;
            creation.handleList.assign(found->second.handles, found->second.handles + found->second.handleCount);
        }
    }
    if (environment != nullptr) {
        if ((creation.creationFlags & CREATE_UNICODE_ENVIRONMENT) == 0) {
            problems_.push_back("a UTF-16 environment block without CREATE_UNICODE_ENVIRONMENT");
        }
        const auto* block = static_cast<const char16_t*>(environment);
        std::size_t length = 0;
        while (block[length] != u'\0' || block[length + 1] != u'\0') {
            ++length;
        }
        creation.environment.assign(block, length + 2);
    }
}


BOOL FakePlatform::CreateChild(FakeCreation creation, const std::string& tokenLabel, char16_t* commandLine,
                               PROCESS_INFORMATION* processInformation) {
    creation.commandLine = commandLine;
    creation.commandBuffer = commandLine;
    creations_.push_back(creation);
    if (ShouldFail(creation.api)) {
        return FALSE;
    }
    if (creation.commandLine.size() > kLongestCommandLine) {
        lastError_ = ERROR_FILENAME_EXCED_RANGE;
        return FALSE;
    }
    // Windows adds ".exe" to a program named without an extension.
    auto program = programs_.find(ProgramOf(creation.commandLine));
    if (program == programs_.end()) {
        program = programs_.find(ProgramOf(creation.commandLine) + u".exe");
    }
    if (program == programs_.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (program->second.demandsElevation && IsReducedToken(tokenLabel)) {
        lastError_ = ERROR_ELEVATION_REQUIRED;
        return FALSE;
    }
    processes_.push_back(
        {program->second, tokenLabel, false, false, std::nullopt, false, false, {}, kProgramFolder + program->first});
    processes_.back().temp = TempOf(creations_.back().environment);
    const STARTUPINFOW& startup = creations_.back().startup;
    std::vector<HANDLE> inheritable = creations_.back().handleList;
    if (!creations_.back().handleListGiven && creations_.back().inheritHandles) {
        inheritable = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    }
    for (HANDLE handle : inheritable) {
        for (Kind end : {Kind::PipeRead, Kind::PipeWrite}) {
            if (Object* pipe = Lookup(handle, end); pipe != nullptr && (handleFlags_[handle] & HANDLE_FLAG_INHERIT) != 0) {
                processes_.back().inherited.emplace_back(end, pipe->index);
            }
        }
    }
    // What the program will write is there from the start.
    for (const auto& [stream, text] : {std::pair{startup.hStdOutput, &program->second.output},
                                      std::pair{startup.hStdError, &program->second.errors}}) {
        if (Object* pipe = Lookup(stream, Kind::PipeWrite)) {
            pipes_[pipe->index].buffer += *text;
            pipes_[pipe->index].received += *text;
        }
    }
    processInformation->hProcess = NewHandle(Kind::Process, "process", processes_.size() - 1);
    processInformation->hThread = NewHandle(Kind::Thread, "thread", processes_.size() - 1);
    processInformation->dwProcessId = ProcessId(processes_.size());
    processInformation->dwThreadId = processInformation->dwProcessId + 1;
    return TRUE;
}

bool FakePlatform::IsReducedToken(const std::string& tokenLabel) const {
    const Token* token = FindToken(tokenLabel);
    return token == nullptr || token->label == "restricted token" ||
           token->integrityLabel != "S-1-16-" + std::to_string(kHighIntegrity);
}

BOOL FakePlatform::CreateProcessAsUserW(HANDLE token, const char16_t* applicationName, char16_t* commandLine,
                                        SECURITY_ATTRIBUTES* processAttributes,
                                        SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                                        DWORD creationFlags, void* environment, const char16_t* currentDirectory,
                                        STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
    Object* tokenObject = Lookup(token, Kind::Token);
    FakeCreation creation{"CreateProcessAsUserW",
                          tokenObject != nullptr ? tokenObject->label : "invalid token",
                          applicationName != nullptr,
                          {},
                          nullptr,
                          processAttributes != nullptr || threadAttributes != nullptr,
                          inheritHandles,
                          creationFlags,
                          environment != nullptr,
                          currentDirectory != nullptr,
                          *startupInfo,
                          false,
                          {},
                          {}};
    ReadInheritance(creation, startupInfo, environment);
    if (tokenObject == nullptr) {
        calls_.push_back(creation.api);
        lastError_ = ERROR_INVALID_HANDLE;
        creations_.push_back(creation);
        return FALSE;
    }
    return CreateChild(creation, tokenObject->label, commandLine, processInformation);
}

BOOL FakePlatform::CreateProcessW(const char16_t* applicationName, char16_t* commandLine,
                                  SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                                  BOOL inheritHandles, DWORD creationFlags, void* environment,
                                  const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                                  PROCESS_INFORMATION* processInformation) {
    FakeCreation creation{"CreateProcessW",
                          "",
                          applicationName != nullptr,
                          {},
                          nullptr,
                          processAttributes != nullptr || threadAttributes != nullptr,
                          inheritHandles,
                          creationFlags,
                          environment != nullptr,
                          currentDirectory != nullptr,
                          *startupInfo,
                          false,
                          {},
                          {}};
    ReadInheritance(creation, startupInfo, environment);
    // Without a token argument the child gets the launcher's own primary token.
    return CreateChild(creation, "own token", commandLine, processInformation);
}

DWORD FakePlatform::ResumeThread(HANDLE thread) {
    if (Object* relay = Lookup(thread, Kind::RelayThread)) {
        calls_.push_back("ResumeThread(relay)");
        if (!threads_[relay->index].ran) {
            RunThread(relay->index);
        }
        return 1;
    }
    if (ShouldFail("ResumeThread")) {
        return static_cast<DWORD>(-1);
    }
    Object* object = Lookup(thread, Kind::Thread);
    if (object == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return static_cast<DWORD>(-1);
    }
    Process& process = processes_[object->index];
    process.resumed = true;
    process.exited = !process.program.hangs;
    for (const FakeEntry& entry : process.program.leavesInTemp) {
        const std::u16string path = process.temp + u"\\" + entry.path;
        if (entry.linkTarget.empty()) {
            paths_[path] = entry.attributes;
        } else {
            AddLink(path, entry.linkTarget);
        }
    }
    StartTree(object->index);
    return 1;
}

void FakePlatform::StartTree(std::size_t child) {
    const auto job = std::find_if(jobs_.begin(), jobs_.end(), [child](const Job& j) {
        return j.port && std::count(j.processes.begin(), j.processes.end(), child) != 0;
    });
    if (job == jobs_.end()) {
        return;
    }
    std::deque<std::pair<DWORD, DWORD>>& queue = ports_[*job->port].queue;
    const auto post = [&queue](DWORD message, std::size_t process) {
        queue.emplace_back(message, ProcessId(process + 1));
    };
    post(JOB_OBJECT_MSG_NEW_PROCESS, child);
    for (const FakeDescendant& d : std::vector<FakeDescendant>(processes_[child].program.descendants)) {
        processes_.push_back({FakeProgram{d.exitCode, d.hangs}, processes_[child].tokenLabel, true, !d.hangs,
                              std::nullopt, false, false, {}, d.image, d.goneBeforeRead});
        if (!d.idReused) {
            job->processes.push_back(processes_.size() - 1);
        }
        post(JOB_OBJECT_MSG_NEW_PROCESS, processes_.size() - 1);
        if (!d.hangs) {
            post(JOB_OBJECT_MSG_EXIT_PROCESS, processes_.size() - 1);
        }
    }
    const std::vector<std::pair<DWORD, DWORD>>& messages = processes_[child].program.jobMessages;
    queue.insert(queue.end(), messages.begin(), messages.end());
    if (processes_[child].exited) {
        post(JOB_OBJECT_MSG_EXIT_PROCESS, child);
    }
}

HANDLE FakePlatform::CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR completionKey,
                                            DWORD concurrentThreads) {
    if (ShouldFail("CreateIoCompletionPort")) {
        return nullptr;
    }
    if (file != INVALID_HANDLE_VALUE || existingPort != nullptr || completionKey != 0 || concurrentThreads != 1) {
        problems_.push_back("a completion port for a file, or read by more than one thread");
    }
    ports_.push_back({});
    return NewHandle(Kind::Port, "port", ports_.size() - 1);
}

// A port whose child chatters gets a message each kChatterMs; a scenario that reads a
// port without end is a problem, and the read then fails.
BOOL FakePlatform::GetQueuedCompletionStatus(HANDLE port, DWORD* bytesTransferred, ULONG_PTR* completionKey,
                                             LPOVERLAPPED* overlapped, DWORD milliseconds) {
    *overlapped = nullptr;
    Object* object = Lookup(port, Kind::Port);
    if (ShouldFail("GetQueuedCompletionStatus") || object == nullptr) {
        return FALSE;
    }
    portWaits_.push_back(milliseconds);
    Port& target = ports_[object->index];
    const std::vector<std::size_t>* members = target.job ? &jobs_[*target.job].processes : nullptr;
    const Process* child = members != nullptr && !members->empty() ? &processes_[members->front()] : nullptr;
    if (target.queue.empty() && child != nullptr && child->program.chatters && !child->exited &&
        !child->terminatedWith && milliseconds >= kChatterMs) {
        clock_ += kChatterMs;
        target.queue.emplace_back(JOB_OBJECT_MSG_END_OF_PROCESS_TIME, ProcessId(1));
    }
    if (target.queue.empty() && child != nullptr && child->program.floods) {
        clock_ += 1;
        target.queue.emplace_back(JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, 0);
    }
    if (portWaits_.size() > kMostPortReads || milliseconds == INFINITE) {
        problems_.push_back("a port read without end");
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (target.queue.empty()) {
        clock_ += milliseconds;
        lastError_ = WAIT_TIMEOUT;
        return FALSE;
    }
    *bytesTransferred = target.queue.front().first;
    *completionKey = reinterpret_cast<ULONG_PTR>(target.key);
    *overlapped = reinterpret_cast<LPOVERLAPPED>(static_cast<std::uintptr_t>(target.queue.front().second));
    target.queue.pop_front();
    return TRUE;
}

HANDLE FakePlatform::OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    if (desiredAccess != (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE) ||
        inheritHandle) {
        problems_.push_back("a process opened with more than it takes to read it, or for children to inherit");
    }
    const std::size_t index = (processId - ProcessId(1)) / 4;
    if (ShouldFail("OpenProcess") || processId % 4 != 0 || index >= processes_.size() || processes_[index].gone) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return NewHandle(Kind::Process, "opened process", index);
}

BOOL FakePlatform::IsProcessInJob(HANDLE process, HANDLE job, BOOL* result) {
    Object* processObject = Lookup(process, Kind::Process);
    Object* jobObject = Lookup(job, Kind::Job);
    if (ShouldFail("IsProcessInJob") || processObject == nullptr || jobObject == nullptr) {
        return FALSE;
    }
    const std::vector<std::size_t>& members = jobs_[jobObject->index].processes;
    *result = std::count(members.begin(), members.end(), processObject->index) != 0 && !Lies(Lie::JobMembership);
    return TRUE;
}

BOOL FakePlatform::QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* name, DWORD* size) {
    Object* object = Lookup(process, Kind::Process);
    if (ShouldFail("QueryFullProcessImageNameW") || object == nullptr || flags != 0 ||
        *size <= processes_[object->index].image.size()) {
        return FALSE;
    }
    const std::u16string& image = processes_[object->index].image;
    std::copy(image.begin(), image.end(), name);
    name[image.size()] = u'\0';
    *size = static_cast<DWORD>(image.size());
    return TRUE;
}

DWORD FakePlatform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    calls_.push_back("WaitForSingleObject");
    waitLimits_.push_back(milliseconds);
    if (waitFailure_) {
        lastError_ = waitFailure_->second;
        return waitFailure_->first;
    }
    if (Object* relay = Lookup(handle, Kind::RelayThread)) {
        if (ThreadEnded(threads_[relay->index])) {
            return WAIT_OBJECT_0;
        }
        if (milliseconds == INFINITE) {
            problems_.push_back("waited without a limit on a relay that never ends");
        }
        clock_ += milliseconds;
        return WAIT_TIMEOUT;
    }
    Object* object = Lookup(handle, Kind::Process);
    if (object == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    const Process& process = processes_[object->index];
    if (interrupt_ && consoleHandler_ != nullptr && !process.exited && !process.terminatedWith) {
        const DWORD event = *interrupt_;
        interrupt_.reset();
        consoleHandler_(event);  // as Windows calls it, on a thread of its own, while the launcher waits
    }
    if (process.exited || process.terminatedWith) {
        clock_ += kChildRunMs;
        return WAIT_OBJECT_0;
    }
    if (milliseconds == INFINITE) {
        problems_.push_back("waited without a limit on a process that never exits");
        lastError_ = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    clock_ += milliseconds;
    return WAIT_TIMEOUT;
}

BOOL FakePlatform::TerminateProcess(HANDLE process, UINT exitCode) {
    calls_.push_back("TerminateProcess");
    Object* object = Lookup(process, Kind::Process);
    if (object == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Process& target = processes_[object->index];
    if (!target.exited && !target.terminatedWith) {
        target.terminatedWith = exitCode;
    }
    return TRUE;
}

BOOL FakePlatform::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    calls_.push_back("GetExitCodeProcess");
    Object* object = Lookup(process, Kind::Process);
    if (object == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const Process& target = processes_[object->index];
    *exitCode = target.terminatedWith ? *target.terminatedWith
                : target.exited       ? target.program.exitCode
                                      : kStillActive;
    return TRUE;
}

HANDLE FakePlatform::CreateJobObjectW(SECURITY_ATTRIBUTES* attributes, const char16_t* name) {
    if (ShouldFail("CreateJobObjectW")) {
        return nullptr;
    }
    if (attributes != nullptr || name != nullptr) {
        problems_.push_back("the job was given security attributes or a name");
    }
    jobs_.push_back({});
    return NewHandle(Kind::Job, "job", jobs_.size() - 1);
}

BOOL FakePlatform::SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info,
                                           DWORD infoLength) {
    if (ShouldFail("SetInformationJobObject")) {
        return FALSE;
    }
    Object* object = Lookup(job, Kind::Job);
    if (object == nullptr || info == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(info);
    if (infoClass == JobObjectExtendedLimitInformation && infoLength == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
        jobs_[object->index].extendedLimit.assign(bytes, bytes + infoLength);
    } else if (infoClass == JobObjectBasicUIRestrictions && infoLength == sizeof(JOBOBJECT_BASIC_UI_RESTRICTIONS)) {
        jobs_[object->index].uiRestrictions.assign(bytes, bytes + infoLength);
    } else if (infoClass == JobObjectCpuRateControlInformation &&
               infoLength == sizeof(JOBOBJECT_CPU_RATE_CONTROL_INFORMATION)) {
        jobs_[object->index].cpuRate.assign(bytes, bytes + infoLength);
    } else if (infoClass == JobObjectEndOfJobTimeInformation &&
               infoLength == sizeof(JOBOBJECT_END_OF_JOB_TIME_INFORMATION)) {
        jobs_[object->index].endOfJobTime.assign(bytes, bytes + infoLength);
    } else if (infoClass == JobObjectAssociateCompletionPortInformation &&
               infoLength == sizeof(JOBOBJECT_ASSOCIATE_COMPLETION_PORT)) {
        const auto* association = static_cast<const JOBOBJECT_ASSOCIATE_COMPLETION_PORT*>(info);
        Object* port = Lookup(association->CompletionPort, Kind::Port);
        if (port == nullptr) {
            lastError_ = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        if (association->CompletionKey != job || !jobs_[object->index].processes.empty()) {
            problems_.push_back("a port keyed by something else than its job, or associated after the assignment");
        }
        jobs_[object->index].port = port->index;
        ports_[port->index].key = job;
        ports_[port->index].job = object->index;
    } else {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return TRUE;
}

BOOL FakePlatform::AssignProcessToJobObject(HANDLE job, HANDLE process) {
    if (ShouldFail("AssignProcessToJobObject")) {
        return FALSE;
    }
    Object* jobObject = Lookup(job, Kind::Job);
    Object* processObject = Lookup(process, Kind::Process);
    if (jobObject == nullptr || processObject == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    jobs_[jobObject->index].processes.push_back(processObject->index);
    return TRUE;
}

BOOL FakePlatform::TerminateJobObject(HANDLE job, UINT exitCode) {
    if (ShouldFail("TerminateJobObject")) {
        return FALSE;
    }
    Object* object = Lookup(job, Kind::Job);
    if (object == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Job& target = jobs_[object->index];
    target.terminatedWith = exitCode;
    for (std::size_t index : target.processes) {
        Process& process = processes_[index];
        process.jobEnded = true;
        if (!process.exited && !process.terminatedWith) {
            process.terminatedWith = exitCode;
        }
    }
    return TRUE;
}

BOOL FakePlatform::QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info,
                                             DWORD infoLength, DWORD* returnLength) {
    if (ShouldFail("QueryInformationJobObject")) {
        return FALSE;
    }
    Object* object = Lookup(job, Kind::Job);
    if (object == nullptr || returnLength != nullptr) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (infoClass == JobObjectBasicAccountingInformation &&
        std::any_of(threads_.begin(), threads_.end(), [this](const FakeThread& t) { return t.ran && !ThreadEnded(t); })) {
        problems_.push_back("the job's figures read while a relay still runs");
    }
    const Job& target = jobs_[object->index];
    // A record reads back as it was set, or as zeros where the platform ignored it.
    const auto readBack = [&](const std::vector<BYTE>& record, Lie lie) {
        if (record.size() != infoLength) {
            lastError_ = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        std::memcpy(info, record.data(), infoLength);
        if (Lies(lie)) {
            std::memset(info, 0, infoLength);
        }
        return TRUE;
    };
    if (infoClass == JobObjectBasicUIRestrictions) {
        return readBack(target.uiRestrictions, Lie::UiRestrictions);
    }
    if (infoClass == JobObjectCpuRateControlInformation) {
        return readBack(target.cpuRate, Lie::CpuRate);
    }
    if (infoClass == JobObjectBasicAccountingInformation && infoLength == sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION)) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        accounting.TotalUserTime.QuadPart = kJobUserTimeUnits;
        accounting.TotalKernelTime.QuadPart = kJobKernelTimeUnits;
        accounting.TotalProcesses = static_cast<DWORD>(target.processes.size());
        for (std::size_t index : target.processes) {
            const Process& process = processes_[index];
            accounting.ActiveProcesses += !process.exited && !process.terminatedWith ? 1 : 0;
        }
        std::memcpy(info, &accounting, sizeof(accounting));
        return TRUE;
    }
    if (infoClass == JobObjectExtendedLimitInformation && infoLength == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) &&
        target.extendedLimit.size() == infoLength) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        std::memcpy(&limits, target.extendedLimit.data(), sizeof(limits));
        // Windows keeps the memory limits in whole pages.
        limits.JobMemoryLimit -= limits.JobMemoryLimit % kPageSize;
        limits.ProcessMemoryLimit -= limits.ProcessMemoryLimit % kPageSize;
        if (Lies(Lie::JobLimits)) {
            std::memset(&limits, 0, sizeof(limits));
        }
        limits.PeakProcessMemoryUsed = kPeakProcessMemory;
        limits.PeakJobMemoryUsed = kPeakJobMemory;
        std::memcpy(info, &limits, sizeof(limits));
        return TRUE;
    }
    lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE;
}

void FakePlatform::GetSystemInfo(SYSTEM_INFO* info) {
    std::memset(info, 0, sizeof(*info));
    info->dwPageSize = kPageSize;
}

void FakePlatform::EndProcessesOfJob(const Job& job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (job.extendedLimit.size() != sizeof(limits)) {
        return;
    }
    std::memcpy(&limits, job.extendedLimit.data(), sizeof(limits));
    if ((limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) == 0) {
        return;
    }
    for (std::size_t index : job.processes) {
        Process& process = processes_[index];
        process.jobEnded = true;
        if (!process.exited && !process.terminatedWith) {
            process.endedByJobClose = true;
            process.exited = true;
        }
    }
}

BOOL FakePlatform::CloseHandle(HANDLE handle) {
    lastError_ = kErrorLeftByRelease;
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (value <= 0x1000 || (value - 0x1000) % 8 != 0 || (value - 0x1000) / 8 > objects_.size()) {
        calls_.push_back("CloseHandle(unknown)");
        problems_.push_back("CloseHandle on a handle the fake never gave out");
        return FALSE;
    }
    Object& object = objects_[(value - 0x1000) / 8 - 1];
    calls_.push_back("CloseHandle(" + object.label + ")");
    closeOrder_.push_back(object.label);
    ++object.closes;
    if (object.kind == Kind::Job && object.closes == 1) {
        EndProcessesOfJob(jobs_[object.index]);
    }
    if (object.kind == Kind::File && object.closes == 1 && fileOpens_[object.index].deletePending) {
        const std::u16string& path = fileOpens_[object.index].resolved;
        paths_.erase(path);
        linkTargets_.erase(path);
        reparseTags_.erase(path);
    }
    return object.closes == 1 ? TRUE : FALSE;
}

DWORD FakePlatform::GetLastError() { return lastError_; }

std::u16string FakePlatform::ReadEnvironmentVariable(std::u16string_view name) {
    calls_.push_back("ReadEnvironmentVariable");
    for (const auto& [variable, value] : environment_) {
        if (AsciiLower(variable) == AsciiLower(std::u16string(name))) {
            return value;
        }
    }
    return {};
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

std::vector<std::vector<BYTE>> FakePlatform::ThreadDacls() const {
    std::vector<std::vector<BYTE>> dacls;
    for (const FakeThread& thread : threads_) {
        dacls.push_back(thread.dacl);
    }
    return dacls;
}

bool FakePlatform::Holds(const Process& process) const {
    const bool alive = !process.exited && !process.terminatedWith;
    return alive || (process.program.leavesStreamsOpen && !process.jobEnded);
}

std::size_t FakePlatform::OpenEnds(std::size_t pipe, Kind end) const {
    std::size_t open = 0;
    for (const Object& object : objects_) {
        open += object.kind == end && object.index == pipe && object.closes == 0 ? 1 : 0;
    }
    for (const Process& process : processes_) {
        const bool holdsEnd = std::find(process.inherited.begin(), process.inherited.end(),
                                        std::pair{end, pipe}) != process.inherited.end();
        open += holdsEnd && Holds(process) ? 1 : 0;
    }
    return open;
}

bool FakePlatform::ThreadEnded(const FakeThread& thread) const {
    if (!thread.ran || thread.blockedOnInput) {
        return thread.ran && thread.cancelled;
    }
    return thread.cancelled || !thread.blockedOnPipe || OpenEnds(*thread.blockedOnPipe, Kind::PipeWrite) == 0;
}

BOOL FakePlatform::BlockRunningThread(std::optional<std::size_t> pipe) {
    if (!runningThread_) {
        problems_.push_back("a read that would block the launcher's own thread for good");
    } else if (pipe) {
        threads_[*runningThread_].blockedOnPipe = pipe;
    } else {
        threads_[*runningThread_].blockedOnInput = true;
    }
    lastError_ = ERROR_OPERATION_ABORTED;
    return FALSE;
}

void FakePlatform::RunThread(std::size_t thread) {
    threads_[thread].ran = true;
    runningThread_ = thread;
    threads_[thread].start(threads_[thread].parameter);
    runningThread_.reset();
}

BOOL FakePlatform::CreatePipe(HANDLE* readPipe, HANDLE* writePipe, SECURITY_ATTRIBUTES* attributes, DWORD size) {
    if (ShouldFail("CreatePipe")) {
        return FALSE;
    }
    if (size != 0) {
        problems_.push_back("a pipe of a size of its own");
    }
    pipes_.push_back({});
    *readPipe = NewHandle(Kind::PipeRead, "pipe read end", pipes_.size() - 1);
    *writePipe = NewHandle(Kind::PipeWrite, "pipe write end", pipes_.size() - 1);
    const DWORD flags = attributes != nullptr && attributes->bInheritHandle ? HANDLE_FLAG_INHERIT : 0;
    handleFlags_[*readPipe] = flags;
    handleFlags_[*writePipe] = flags;
    return TRUE;
}

BOOL FakePlatform::SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
    if (ShouldFail("SetHandleInformation")) {
        return FALSE;
    }
    const auto found = handleFlags_.find(handle);
    if (found == handleFlags_.end()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    found->second = (found->second & ~mask) | (flags & mask);
    return TRUE;
}

BOOL FakePlatform::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    calls_.push_back("ReadFile");
    *bytesRead = 0;
    std::string* source = nullptr;
    if (file == kStdInput) {
        if (standardInput_.empty()) {
            return inputIsConsole_ ? BlockRunningThread(std::nullopt) : TRUE;  // a file ends with a read of nothing
        }
        source = &standardInput_;
    } else if (Object* pipe = Lookup(file, Kind::PipeRead); pipe != nullptr && overlapped == nullptr) {
        if (pipes_[pipe->index].buffer.empty()) {
            if (OpenEnds(pipe->index, Kind::PipeWrite) != 0) {
                return BlockRunningThread(pipe->index);
            }
            lastError_ = ERROR_BROKEN_PIPE;
            return FALSE;
        }
        source = &pipes_[pipe->index].buffer;
    } else {
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *bytesRead = static_cast<DWORD>(std::min<std::size_t>(bytesToRead, source->size()));
    std::memcpy(buffer, source->data(), *bytesRead);
    source->erase(0, *bytesRead);
    return TRUE;
}

HANDLE FakePlatform::CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                  void* parameter, DWORD creationFlags, DWORD* threadId) {
    if (ShouldFail("CreateThread")) {
        return nullptr;
    }
    if (stackSize != 0 || threadId != nullptr || (attributes != nullptr && attributes->bInheritHandle)) {
        problems_.push_back("a relay thread with a stack, an id or a handle of its own to pass on");
    }
    FakeThread thread{start, parameter, {}};
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
        const auto* dacl = static_cast<const ACL*>(static_cast<SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor)->Dacl);
        const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
        thread.dacl.assign(bytes, bytes + dacl->AclSize);
    }
    threads_.push_back(thread);
    const HANDLE handle = NewHandle(Kind::RelayThread, "relay thread", threads_.size() - 1);
    if ((creationFlags & CREATE_SUSPENDED) == 0) {
        RunThread(threads_.size() - 1);
    }
    return handle;
}

BOOL FakePlatform::CancelSynchronousIo(HANDLE thread) {
    calls_.push_back("CancelSynchronousIo");
    Object* relay = Lookup(thread, Kind::RelayThread);
    if (relay == nullptr || ThreadEnded(threads_[relay->index]) || !threads_[relay->index].ran) {
        lastError_ = relay == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_FOUND;
        return FALSE;
    }
    threads_[relay->index].cancelled = true;
    return TRUE;
}

BOOL FakePlatform::InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) {
    if (ShouldFail("InitializeSecurityDescriptor")) {
        return FALSE;
    }
    *descriptor = SECURITY_DESCRIPTOR{};
    descriptor->Revision = static_cast<BYTE>(revision);
    return TRUE;
}

BOOL FakePlatform::SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl,
                                             BOOL daclDefaulted) {
    if (ShouldFail("SetSecurityDescriptorDacl")) {
        return FALSE;
    }
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION || !daclPresent || daclDefaulted) {
        problems_.push_back("a thread's DACL set on an uninitialised descriptor, or as a default");
    }
    descriptor->Dacl = dacl;
    return TRUE;
}

BOOL FakePlatform::SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    calls_.push_back(add ? "SetConsoleCtrlHandler(add)" : "SetConsoleCtrlHandler(remove)");
    if (!add && consoleHandler_ != handler) {
        problems_.push_back("a console handler removed that was not installed");
    }
    consoleHandler_ = add ? handler : nullptr;
    return TRUE;
}

// Windows' search finds the programs of the scenario, by name with the extension given.
DWORD FakePlatform::SearchPathW(const char16_t* path, const char16_t* fileName, const char16_t* extension,
                                DWORD bufferLength, char16_t* buffer, char16_t** filePart) {
    calls_.push_back("SearchPathW");
    if (path != nullptr || filePart != nullptr) {
        problems_.push_back("SearchPathW was given a path of its own or asked for the file part");
    }
    const std::u16string name = std::u16string(fileName) + (extension != nullptr ? extension : u"");
    if (programs_.count(name) == 0) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    const std::u16string found = kProgramFolder + name;
    if (bufferLength < found.size() + 1) {
        return static_cast<DWORD>(found.size() + 1);
    }
    std::copy(found.begin(), found.end(), buffer);
    buffer[found.size()] = u'\0';
    return static_cast<DWORD>(found.size());
}

}  // namespace brindle::testing
