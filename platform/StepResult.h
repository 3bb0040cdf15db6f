// What one step of the launch achieved: applied, or not, with the Windows error code of
// the call that failed. The launch records it; the strict check and the run report read it.
#pragma once

#include "platform/WindowsTypes.h"

namespace brindle {

struct StepResult {
    bool applied = false;
    DWORD error = 0;  // meaningful only when not applied

    static StepResult Applied() { return {true, 0}; }
    static StepResult Failed(DWORD error) { return {false, error}; }
};

}  // namespace brindle
