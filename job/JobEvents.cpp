#include "job/JobEvents.h"

#include <algorithm>
#include <cstdint>

#include "platform/Text.h"

namespace brindle {
namespace {

// The port need not say that the child ended (Windows may drop a message): the child
// itself is looked at after each read, and a read waits at most this long.
constexpr DWORD kLongestRead = 100;

// The report lists at most this many processes; the rest still count in the job's figures.
constexpr std::size_t kMostProcesses = 1024;

// The longest path Windows knows, in UTF-16 code units with its terminator.
constexpr DWORD kLongestPath = 32768;

// What is left of limitMs since start; INFINITE stays INFINITE.
DWORD Remaining(Platform& platform, ULONGLONG start, DWORD limitMs) {
    if (limitMs == INFINITE) {
        return INFINITE;
    }
    const ULONGLONG elapsed = platform.GetTickCount64() - start;
    return elapsed >= limitMs ? 0 : static_cast<DWORD>(limitMs - elapsed);
}

}  // namespace

void JobEvents::Listen(HANDLE job, std::uint32_t maxProc, std::uint64_t cpuTimeSeconds) {
    job_ = job;
    maxProc_ = maxProc;
    cpuTimeLimitUnits_ = cpuTimeSeconds * 10000000;
    const auto said = [this](DWORD error) {
        platform_.WriteStandardError(FailedLine(u"Warning: SetInformationJobObject(CompletionPort)", error));
    };
    // A port of its own, for no file, read by this one thread.
    port_.adopt(platform_.CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) {
        said(platform_.GetLastError());
        return;
    }
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{job, port_.get()};  // the job is its messages' key
    if (!platform_.SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                           sizeof(association))) {
        const DWORD error = platform_.GetLastError();
        port_.reset();  // never associated: it would never hear anything
        said(error);
        return;
    }
    if (cpuTimeSeconds != 0) {
        // Should this fail, Windows ends the job at the limit itself, with the same code;
        // only the message is lost.
        postsAtCpuTimeLimit_ = SetEndOfJob(JOB_OBJECT_POST_AT_END_OF_JOB);
    }
}

bool JobEvents::SetEndOfJob(DWORD action) {
    JOBOBJECT_END_OF_JOB_TIME_INFORMATION endOfJob{action};
    return platform_.SetInformationJobObject(job_, JobObjectEndOfJobTimeInformation, &endOfJob, sizeof(endOfJob)) !=
           FALSE;
}

void JobEvents::Stop() {
    port_.reset();
    job_ = nullptr;
}

DWORD JobEvents::WaitForChild(HANDLE child, DWORD limitMs) {
    const ULONGLONG start = platform_.GetTickCount64();
    for (;;) {
        const DWORD remaining = Remaining(platform_, start, limitMs);
        if (!Listening()) {
            return platform_.WaitForSingleObject(child, remaining);
        }
        ReadMessage(std::min(remaining, kLongestRead));
        WatchCpuTime();
        if (Listening()) {  // a port that failed leaves the rest of the wait to the child alone
            const DWORD state = platform_.WaitForSingleObject(child, 0);  // a look, no wait
            if (state != WAIT_TIMEOUT || remaining == 0) {
                return state;
            }
        }
    }
}

std::optional<std::vector<JobProcess>> JobEvents::Collect() {
    if (!port_) {
        return std::nullopt;
    }
    // What the port still holds is read for a short while at most: a process left in the
    // job (a loop of failing allocations, of refused processes) can post messages faster
    // than they are read, and the job is ended only once this returns.
    const ULONGLONG start = platform_.GetTickCount64();
    while (Listening() && platform_.GetTickCount64() - start < kLongestRead && ReadMessage(0)) {
    }
    std::vector<JobProcess> processes;
    for (const Reported& reported : reported_) {
        processes.push_back(reported.process);
        if (!processes.back().image && reported.handle != nullptr) {
            // Wine names a new process only once it has begun to run: asked again.
            processes.back().image = ImageOf(reported.handle);
        }
        processes.back().exitCode = ExitCodeOf(reported.handle);
    }
    return processes;
}

bool JobEvents::ReadMessage(DWORD milliseconds) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    if (!platform_.GetQueuedCompletionStatus(port_.get(), &message, &key, &overlapped, milliseconds)) {
        const DWORD error = platform_.GetLastError();
        if (error != WAIT_TIMEOUT || overlapped != nullptr) {
            platform_.WriteStandardError(FailedLine(u"GetQueuedCompletionStatus", error));
            portFailed_ = true;
            if (postsAtCpuTimeLimit_) {
                SetEndOfJob(JOB_OBJECT_TERMINATE_AT_END_OF_JOB);  // nobody reads the limit's message now
            }
        }
        return false;
    }
    Handle(message, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(overlapped)));
    return true;
}

void JobEvents::Handle(DWORD message, DWORD processId) {
    switch (message) {
        case JOB_OBJECT_MSG_NEW_PROCESS:
            Started(processId);
            return;
        case JOB_OBJECT_MSG_EXIT_PROCESS:
        case JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS:
            Ended(processId);
            return;
        case JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT:
            Reached(JobLimit::Processes,
                    u"[brindle] The job refused a new process: at most " + Decimal(maxProc_) + u" may run\n");
            return;
        case JOB_OBJECT_MSG_JOB_MEMORY_LIMIT:
            Reached(JobLimit::JobMemory, u"[brindle] The job reached its memory limit\n");
            return;
        case JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT:
            Reached(JobLimit::ProcessMemory, u"[brindle] A process reached the per-process memory limit\n");
            return;
        case JOB_OBJECT_MSG_END_OF_JOB_TIME:
            // A job the child nested in brindle's posts here too: not brindle's limit. And
            // the job is ended once, whether the message or its user time told first.
            if (!postsAtCpuTimeLimit_ || HasReached(JobLimit::CpuTime)) {
                return;
            }
            Reached(JobLimit::CpuTime, u"[brindle] The job reached its CPU-time limit\n");
            // Windows only posted the message and let the job run on: it is ended as
            // Windows would have ended it, so that the child's exit code says so too.
            platform_.TerminateJobObject(job_, ERROR_NOT_ENOUGH_QUOTA);
            return;
        default:
            return;  // the last process gone, a per-process time limit: nothing the run reports
    }
}

void JobEvents::WatchCpuTime() {
    const ULONGLONG now = platform_.GetTickCount64();
    if (!postsAtCpuTimeLimit_ || HasReached(JobLimit::CpuTime) || now - cpuTimeReadAt_ < kLongestRead) {
        return;
    }
    cpuTimeReadAt_ = now;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (platform_.QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &accounting, sizeof(accounting),
                                            nullptr) &&
        static_cast<std::uint64_t>(accounting.TotalUserTime.QuadPart) >= cpuTimeLimitUnits_) {
        Handle(JOB_OBJECT_MSG_END_OF_JOB_TIME, 0);
    }
}

void JobEvents::Started(DWORD processId) {
    if (reported_.size() == kMostProcesses) {
        return;
    }
    const HANDLE process = OpenInJob(processId);
    reported_.push_back({JobProcess{processId, process != nullptr ? ImageOf(process) : std::nullopt, std::nullopt},
                         process});
}

// A process whose start the port did not report ran in the job all the same: it is
// listed with what its id alone tells, which is not its program nor its exit code.
void JobEvents::Ended(DWORD processId) {
    const bool known = std::any_of(reported_.begin(), reported_.end(), [processId](const Reported& reported) {
        return reported.process.processId == processId;
    });
    if (!known && reported_.size() < kMostProcesses) {
        reported_.push_back({JobProcess{processId, std::nullopt, std::nullopt}, nullptr});
    }
}

bool JobEvents::HasReached(JobLimit limit) const {
    return std::find(limitsReached_.begin(), limitsReached_.end(), limit) != limitsReached_.end();
}

void JobEvents::Reached(JobLimit limit, std::u16string_view line) {
    if (!HasReached(limit)) {
        limitsReached_.push_back(limit);
        platform_.WriteStandardError(line);
    }
}

// The process that has this id now, when it is one of the job's: by the time the message
// is read, the one reported may have ended and its id been given to another.
HANDLE JobEvents::OpenInJob(DWORD processId) {
    // Windows answers IsProcessInJob with the limited right alone; Wine asks for the full
    // query right (it refuses the limited one with 5), which brindle holds on every
    // process its child starts.
    const HANDLE opened = platform_.OpenProcess(
        PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE /* not inherited */,
        processId);
    if (opened == nullptr) {
        return nullptr;
    }
    handles_.push_back(std::make_unique<UniqueHandle>(platform_));
    handles_.back()->adopt(opened);
    BOOL inJob = FALSE;
    if (!platform_.IsProcessInJob(opened, job_, &inJob) || !inJob) {
        handles_.pop_back();
        return nullptr;
    }
    return opened;
}

std::optional<std::u16string> JobEvents::ImageOf(HANDLE process) {
    std::u16string image(kLongestPath, u'\0');
    DWORD size = kLongestPath;
    if (!platform_.QueryFullProcessImageNameW(process, 0 /* a Win32 path */, image.data(), &size)) {
        return std::nullopt;
    }
    image.resize(size);
    return image;
}

// A process that exits with STILL_ACTIVE itself reads as one still running, as Windows
// cannot tell them apart.
std::optional<DWORD> JobEvents::ExitCodeOf(HANDLE process) {
    DWORD exitCode = STILL_ACTIVE;
    if (process == nullptr || !platform_.GetExitCodeProcess(process, &exitCode) || exitCode == STILL_ACTIVE) {
        return std::nullopt;
    }
    return exitCode;
}

}  // namespace brindle
