#pragma once

#include <cstdint>
#include <optional>

#include "platform/Platform.h"

namespace brindle {

// What the job's processes used, read just before the job is closed. A query that
// failed leaves its part empty. Under Wine the process counts are real and the times
// and peaks read 0; they are reported as Windows gives them.
struct JobAccounting {
    struct Counts {
        std::uint32_t totalProcesses;   // every process ever in the job, grandchildren included
        std::uint32_t activeProcesses;  // still running
        std::uint64_t userTimeMs;
        std::uint64_t kernelTimeMs;
    };
    struct Peaks {
        std::uint64_t processMemory;  // bytes committed by the hungriest process
        std::uint64_t jobMemory;      // bytes committed by the whole job at once
    };
    std::optional<Counts> counts;
    std::optional<Peaks> peaks;
};

JobAccounting ReadJobAccounting(Platform& platform, HANDLE job);

}  // namespace brindle
