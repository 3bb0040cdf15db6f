#include "self/ProtectOwnProcess.h"

#include <vector>

#include "platform/Owners.h"
#include "platform/Text.h"

namespace brindle {
namespace {

// What the user may still do to brindle: wait for it, ask about it (its exit code, its
// image name) and end it, so that the caller keeps control of the run.
constexpr DWORD kUserProcessRights =
    SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;  // 0x101401
constexpr DWORD kUserThreadRights = SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION;                  // 0x100800

// The three trustees of every DACL here, in the order of its entries, and the SIDs they
// point at: the token user's in its TOKEN_USER record, the two well-known ones built.
struct Trustees {
    PSID ownerRights;
    PSID user;
    PSID system;
};

// The rights of each trustee, in the same order.
struct Rights {
    DWORD ownerRights;
    DWORD user;
    DWORD system;
};

// Reads the user of brindle's own token into buffer, a TOKEN_USER whose SID lies in it.
// The token is closed again at once.
StepResult ReadTokenUser(Platform& platform, std::vector<BYTE>& buffer) {
    UniqueHandle token(platform);
    if (!platform.OpenProcessToken(platform.GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return StepResult::Failed(platform.GetLastError());
    }
    DWORD length = 0;
    // The query with no buffer fails by design; only the length it writes back matters.
    platform.GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    if (length == 0) {
        return StepResult::Failed(platform.GetLastError());
    }
    buffer.assign(length, 0);
    if (!platform.GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &length)) {
        return StepResult::Failed(platform.GetLastError());  // before the token's release can change it
    }
    return StepResult::Applied();
}

// Builds, in aclBuffer, the DACL: OWNER RIGHTS, the user, then SYSTEM, each with its
// rights. The buffer is sized exactly for the header and the three entries.
StepResult BuildDacl(Platform& platform, const Trustees& trustees, const Rights& rights,
                     std::vector<DWORD>& aclBuffer) {
    constexpr DWORD kEntryWithoutSid = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    const DWORD aclSize = static_cast<DWORD>(sizeof(ACL)) + 3 * kEntryWithoutSid +
                          platform.GetLengthSid(trustees.ownerRights) + platform.GetLengthSid(trustees.user) +
                          platform.GetLengthSid(trustees.system);
    // DWORD elements keep the ACL DWORD-aligned, as Windows requires.
    aclBuffer.assign((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    if (!platform.InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !platform.AddAccessAllowedAce(acl, ACL_REVISION, rights.ownerRights, trustees.ownerRights) ||
        !platform.AddAccessAllowedAce(acl, ACL_REVISION, rights.user, trustees.user) ||
        !platform.AddAccessAllowedAce(acl, ACL_REVISION, rights.system, trustees.system)) {
        const DWORD error = platform.GetLastError();
        aclBuffer.clear();  // half an ACL is none
        return StepResult::Failed(error);
    }
    return StepResult::Applied();
}

// Replaces the DACL of one of brindle's own kernel objects (the process, the thread or
// the token) with the one it builds in aclBuffer.
StepResult ReplaceDacl(Platform& platform, HANDLE object, const Trustees& trustees, const Rights& rights,
                       std::vector<DWORD>& aclBuffer) {
    const StepResult built = BuildDacl(platform, trustees, rights, aclBuffer);
    if (!built.applied) {
        return built;
    }
    const DWORD result = platform.SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                                  nullptr, nullptr,  // owner and group unchanged
                                                  reinterpret_cast<ACL*>(aclBuffer.data()), nullptr);
    return result == 0 ? StepResult::Applied() : StepResult::Failed(result);
}

// The SIDs the trustees point at. OWNER RIGHTS (S-1-3-4): an entry for it replaces the
// rights the owner has implicitly. SYSTEM (S-1-5-18): the operating system itself.
struct TrusteeSids {
    std::vector<BYTE> tokenUser;  // owns the user's SID
    DWORD ownerRights[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];  // DWORD elements keep a SID aligned
    DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];

    Trustees Get() { return {ownerRights, reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid, system}; }
};

StepResult ReadTrustees(Platform& platform, TrusteeSids& sids) {
    const StepResult read = ReadTokenUser(platform, sids.tokenUser);
    if (!read.applied) {
        return read;
    }
    DWORD ownerRightsSize = sizeof(sids.ownerRights);
    DWORD systemSize = sizeof(sids.system);
    if (!platform.CreateWellKnownSid(WinCreatorOwnerRightsSid, nullptr, sids.ownerRights, &ownerRightsSize) ||
        !platform.CreateWellKnownSid(WinLocalSystemSid, nullptr, sids.system, &systemSize)) {
        return StepResult::Failed(platform.GetLastError());
    }
    return StepResult::Applied();
}

StepResult CloseToOtherProcesses(Platform& platform, std::vector<DWORD>& threadDacl) {
    TrusteeSids sids;
    const StepResult read = ReadTrustees(platform, sids);
    if (!read.applied) {
        return read;
    }
    std::vector<DWORD> processDacl;
    const StepResult process = ReplaceDacl(platform, platform.GetCurrentProcess(), sids.Get(),
                                           {kUserProcessRights, kUserProcessRights, PROCESS_ALL_ACCESS}, processDacl);
    // The thread is closed even when the process could not be: each refuses its own attacks.
    const StepResult thread = ReplaceDacl(platform, platform.GetCurrentThread(), sids.Get(),
                                          {kUserThreadRights, kUserThreadRights, THREAD_ALL_ACCESS}, threadDacl);
    return process.applied ? thread : process;
}

// The user may still read brindle's token, which tools that list processes do; nobody but
// SYSTEM may duplicate or impersonate it, and the owner may not rewrite its DACL.
StepResult CloseOwnToken(Platform& platform) {
    TrusteeSids sids;
    const StepResult read = ReadTrustees(platform, sids);  // before the token is closed to brindle too
    if (!read.applied) {
        return read;
    }
    UniqueHandle token(platform);
    if (!platform.OpenProcessToken(platform.GetCurrentProcess(), READ_CONTROL | WRITE_DAC, token.put())) {
        return StepResult::Failed(platform.GetLastError());
    }
    std::vector<DWORD> tokenDacl;
    return ReplaceDacl(platform, token.get(), sids.Get(), {READ_CONTROL, TOKEN_QUERY, TOKEN_ALL_ACCESS}, tokenDacl);
}

void Warn(Platform& platform, const StepResult& result) {
    if (!result.applied) {
        platform.WriteStandardError(u"[brindle] Warning: could not protect brindle's own process: " +
                                    Decimal(result.error) + u"\n");
    }
}

}  // namespace

StepResult ProtectOwnProcess(Platform& platform, std::vector<DWORD>& threadDacl) {
    const StepResult result = CloseToOtherProcesses(platform, threadDacl);
    Warn(platform, result);
    return result;
}

StepResult ProtectOwnToken(Platform& platform) {
    const StepResult result = CloseOwnToken(platform);
    Warn(platform, result);
    return result;
}

}  // namespace brindle
