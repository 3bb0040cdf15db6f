#include "console/PrivateConsole.h"

#include <atomic>

namespace brindle {
namespace {

constexpr DWORD kRelayChunk = 4096;
// How long output is still copied after the child's end, for what a grandchild holds open.
constexpr DWORD kOutputGraceMs = 2000;
// A cancel that comes between two calls of a relay is lost: it is made again, this often.
constexpr DWORD kCancelRetryMs = 100;
constexpr int kCancelAttempts = 50;

}  // namespace

struct PrivateConsole::Pump {
    Pump(Platform& platform, bool fromPipe, HANDLE standard)
        : platform(platform), pipe(platform), fromPipe(fromPipe), standard(standard) {}

    // Copies until the source ends or either side fails. A pipe ends with an error (its
    // writers are gone); a read of nothing from one is an empty write, not its end.
    void Copy() const {
        const HANDLE from = fromPipe ? pipe.get() : standard;
        const HANDLE to = fromPipe ? standard : pipe.get();
        char buffer[kRelayChunk];
        DWORD read = 0;
        while (platform.ReadFile(from, buffer, sizeof(buffer), &read, nullptr) && (read > 0 || fromPipe)) {
            DWORD written = 0;
            for (DWORD done = 0; done < read; done += written) {
                if (!platform.WriteFile(to, buffer + done, read - done, &written, nullptr) || written == 0) {
                    return;
                }
            }
        }
    }

    Platform& platform;
    UniqueHandle pipe;  // closed with the pump: the child's input ends, or its output loses its reader
    bool fromPipe;      // output and errors: from the pipe to brindle's stream; input: the other way
    HANDLE standard;    // brindle's own standard handle, which it does not own
};

struct PrivateConsole::Relay {
    explicit Relay(Platform& platform) : thread(platform) {}

    std::unique_ptr<Pump> pump;  // brindle's, until the thread is let run
    UniqueHandle thread;
};

namespace {

DWORD WINAPI RunPump(void* parameter) {
    const std::unique_ptr<PrivateConsole::Pump> pump(static_cast<PrivateConsole::Pump*>(parameter));
    pump->Copy();
    return 0;
}

}  // namespace

PrivateConsole::PrivateConsole(Platform& platform)
    : platform_(platform), childInput_(platform), childOutput_(platform), childError_(platform) {}

PrivateConsole::~PrivateConsole() { Finish(); }

StepResult PrivateConsole::Prepare(const std::vector<DWORD>& threadDacl) {
    StepResult result = CreatePipes();
    if (result.applied) {
        result = CreateThreads(threadDacl);
    }
    prepared_ = result.applied;
    if (!result.applied) {
        Finish();
    }
    return result;
}

StepResult PrivateConsole::CreatePipes() {
    const struct {
        UniqueHandle& childEnd;
        bool childReads;
        DWORD standard;
    } pipes[] = {{childInput_, true, STD_INPUT_HANDLE},
                 {childOutput_, false, STD_OUTPUT_HANDLE},
                 {childError_, false, STD_ERROR_HANDLE}};
    for (const auto& pipe : pipes) {
        relays_.push_back(std::make_unique<Relay>(platform_));
        Relay& relay = *relays_.back();
        relay.pump = std::make_unique<Pump>(platform_, !pipe.childReads, platform_.GetStdHandle(pipe.standard));
        // Neither end is inheritable when made, so brindle's end never is.
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!platform_.CreatePipe(&read, &write, nullptr, 0)) {
            return StepResult::Failed(platform_.GetLastError());
        }
        pipe.childEnd.adopt(pipe.childReads ? read : write);
        relay.pump->pipe.adopt(pipe.childReads ? write : read);
        if (!platform_.SetHandleInformation(pipe.childEnd.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
            return StepResult::Failed(platform_.GetLastError());
        }
    }
    return StepResult::Applied();
}

StepResult PrivateConsole::CreateThreads(const std::vector<DWORD>& threadDacl) {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    if (!threadDacl.empty()) {
        ACL* dacl = reinterpret_cast<ACL*>(const_cast<DWORD*>(threadDacl.data()));
        if (!platform_.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !platform_.SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE)) {
            return StepResult::Failed(platform_.GetLastError());
        }
    }
    for (const std::unique_ptr<Relay>& relay : relays_) {
        // Suspended until creation is over, so that no relay runs for a child that never comes.
        const HANDLE thread = platform_.CreateThread(threadDacl.empty() ? nullptr : &attributes, 0, RunPump,
                                                     relay->pump.get(), CREATE_SUSPENDED, nullptr);
        if (thread == nullptr) {
            return StepResult::Failed(platform_.GetLastError());
        }
        relay->thread.adopt(thread);
    }
    return StepResult::Applied();
}

void PrivateConsole::Start() {
    if (started_ || relays_.empty()) {
        return;
    }
    started_ = true;
    childInput_.reset();
    childOutput_.reset();
    childError_.reset();
    for (const std::unique_ptr<Relay>& relay : relays_) {
        if (relay->thread) {
            relay->pump.release();  // the thread's from now on, which deletes it when done
            platform_.ResumeThread(relay->thread.get());
        }
    }
}

void PrivateConsole::Finish() {
    if (relays_.empty()) {
        return;
    }
    Start();
    const ULONGLONG deadline = platform_.GetTickCount64() + kOutputGraceMs;
    for (std::size_t output = 1; output < relays_.size(); ++output) {
        if (relays_[output]->thread) {
            const ULONGLONG now = platform_.GetTickCount64();
            platform_.WaitForSingleObject(relays_[output]->thread.get(),
                                          now < deadline ? static_cast<DWORD>(deadline - now) : 0);
        }
    }
    for (const std::unique_ptr<Relay>& relay : relays_) {
        if (relay->thread) {
            Stop(relay->thread.get());
        }
    }
    relays_.clear();
    childInput_.reset();
    childOutput_.reset();
    childError_.reset();
    prepared_ = false;
    started_ = false;
}

void PrivateConsole::Stop(HANDLE thread) {
    for (int attempt = 0; attempt < kCancelAttempts && platform_.WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
         ++attempt) {
        platform_.CancelSynchronousIo(thread);
        platform_.WaitForSingleObject(thread, kCancelRetryMs);
    }
}

namespace {

// Where an interrupt goes. Windows calls the handler on a thread of its own, which may
// still run after the run is over: the target is never freed.
std::atomic<Platform*> interruptPlatform{nullptr};
std::atomic<HANDLE> interruptJob{nullptr};
std::atomic<HANDLE> interruptChild{nullptr};
std::atomic<bool> interruptFired{false};

BOOL WINAPI EndOnInterrupt(DWORD event) {
    Platform* const platform = interruptPlatform.load();
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || platform == nullptr) {
        return FALSE;
    }
    const HANDLE job = interruptJob.load();
    interruptFired = true;
    if (job == nullptr || !platform->TerminateJobObject(job, ForwardedInterrupt::kExitCode)) {
        platform->TerminateProcess(interruptChild.load(), ForwardedInterrupt::kExitCode);
    }
    return TRUE;  // handled: brindle goes on and finishes the run
}

}  // namespace

ForwardedInterrupt::ForwardedInterrupt(Platform& platform, HANDLE job, HANDLE child) : platform_(platform) {
    interruptJob = job;
    interruptChild = child;
    interruptFired = false;
    interruptPlatform = &platform;
    installed_ = platform.SetConsoleCtrlHandler(EndOnInterrupt, TRUE) != FALSE;
}

bool ForwardedInterrupt::Fired() const { return interruptFired.load(); }

ForwardedInterrupt::~ForwardedInterrupt() {
    if (installed_) {
        platform_.SetConsoleCtrlHandler(EndOnInterrupt, FALSE);
    }
    interruptPlatform = nullptr;
}

}  // namespace brindle
