#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Owners.h"

namespace brindle {

// The job limits that can fire, in the order the report names them.
enum class JobLimit { Processes, JobMemory, ProcessMemory, CpuTime };

// One process that ran in the job, as its port reported it.
struct JobProcess {
    DWORD processId = 0;
    std::optional<std::u16string> image;  // empty when it could not be read
    std::optional<DWORD> exitCode;        // empty while it still ran at the end, or when it could not be read
};

// The job's completion port and what it tells: which processes ran in the job and which
// of its limits fired. Only the CPU-time limit ends anything; at the memory and process
// limits an allocation or a creation fails and the command fails in its own way, so the
// port is where the run learns which limit it met.
//
// Owns the port and a handle to each process it reported, opened while the process was
// still known by its id. The processes' handles close before the port, and the launch
// keeps the port until after the job.
class JobEvents {
public:
    explicit JobEvents(Platform& platform) : platform_(platform), port_(platform) {}
    JobEvents(const JobEvents&) = delete;
    JobEvents& operator=(const JobEvents&) = delete;

    // Makes the port and associates it with the job, before the child is assigned, so
    // that the child's own start is reported too. With a CPU-time limit Windows then
    // posts a message at the limit instead of ending the job, and the wait ends the job
    // itself, with the same code; should reading the port fail later, Windows is told to
    // end the job at the limit again. A failure is said; the job stays, without a port.
    void Listen(HANDLE job, std::uint32_t maxProc, std::uint64_t cpuTimeSeconds);
    // The job was given up: so is its port.
    void Stop();

    // Waits for the child for at most limitMs (INFINITE: without a limit), reading the
    // port meanwhile. Returns as WaitForSingleObject: WAIT_OBJECT_0 at the child's end,
    // WAIT_TIMEOUT at the limit, WAIT_FAILED with the code left for GetLastError.
    DWORD WaitForChild(HANDLE child, DWORD limitMs);

    // After the child's end and before the job closes: reads what the port still holds
    // and each process's exit code. Empty without a port.
    std::optional<std::vector<JobProcess>> Collect();
    const std::vector<JobLimit>& LimitsReached() const { return limitsReached_; }

private:
    struct Reported {
        JobProcess process;
        HANDLE handle;  // owned by handles_; null when the process could not be opened
    };

    bool Listening() const { return port_ && !portFailed_; }
    // What Windows does at the job's CPU-time limit: post a message, or end the job.
    bool SetEndOfJob(DWORD action);
    // One message within milliseconds; false when none came or the port failed.
    bool ReadMessage(DWORD milliseconds);
    void Handle(DWORD message, DWORD processId);
    // Windows does not promise to deliver the CPU-time limit's message, and once it has
    // posted it the job runs on: the job's user time is also read, at most every 100 ms.
    void WatchCpuTime();
    void Started(DWORD processId);
    void Ended(DWORD processId);
    bool HasReached(JobLimit limit) const;
    void Reached(JobLimit limit, std::u16string_view line);
    HANDLE OpenInJob(DWORD processId);
    std::optional<std::u16string> ImageOf(HANDLE process);
    std::optional<DWORD> ExitCodeOf(HANDLE process);

    Platform& platform_;
    UniqueHandle port_;
    std::vector<std::unique_ptr<UniqueHandle>> handles_;  // declared after the port: closed before it
    HANDLE job_ = nullptr;
    std::uint32_t maxProc_ = 0;
    bool portFailed_ = false;
    bool postsAtCpuTimeLimit_ = false;  // Windows posts at the CPU-time limit instead of ending the job
    std::uint64_t cpuTimeLimitUnits_ = 0;  // in 100-ns units
    ULONGLONG cpuTimeReadAt_ = 0;
    std::vector<Reported> reported_;
    std::vector<JobLimit> limitsReached_;
};

}  // namespace brindle
