// What a probe found, and the words every probe says it in; the probes of the job, which
// live apart from the others.
#pragma once

#include <string>
#include <vector>

#include "check/CheckResults.h"
#include "check/WindowsCheck.h"
#include "platform/Text.h"

namespace brindle {

struct Finding {
    DWORD status;
    std::u16string evidence;
};

inline Finding Held(std::u16string evidence) { return {kProbeHeld, std::move(evidence)}; }
inline Finding Succeeded(std::u16string evidence) { return {kProbeSucceeded, std::move(evidence)}; }
inline Finding CouldNotTry(const std::u16string& operation, DWORD error) {
    return {kProbeCouldNotTry, operation + u" failed: " + Decimal(error)};
}
inline std::u16string Refused(const std::u16string& operation, DWORD error) {
    return operation + u" refused: " + Decimal(error);
}
// Only access denied is the refusal a protection makes; any other failure (a missing
// folder, a wrong id) says nothing about the protection, so the attack was not made.
inline Finding HeldIfDenied(const std::u16string& operation, DWORD error) {
    return error == ERROR_ACCESS_DENIED ? Held(Refused(operation, error)) : CouldNotTry(operation, error);
}

using Values = std::vector<std::u16string>;

Finding JobBreakaway(const Values&);
Finding ProcessLimit(const Values&);
Finding JobEnd(const Values&);
Finding MemoryLimit(const Values&);

}  // namespace brindle
