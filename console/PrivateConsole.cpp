#include "console/PrivateConsole.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "platform/Paths.h"

namespace brindle {
namespace {

// What one relay moves at most per write: small writes of the child's are gathered up to this.
constexpr DWORD kRelayBuffer = 64 * 1024;
// How long output is still copied after the child's end, for what a grandchild holds open.
constexpr DWORD kOutputGraceMs = 2000;
// How often the input relay looks again for something to read, and so how long it may
// take to see that it is to stop.
constexpr DWORD kInputPollMs = 50;
// A cancel that comes between two calls of a relay is lost: it is made again, this often.
constexpr DWORD kCancelRetryMs = 100;
constexpr int kOutputCancelAttempts = 50;
// The input relay polls, so it is done at the first wait; the cancels are for a write into
// the child's input that a grandchild holds open and does not read. At most 0.3 s in all.
constexpr int kInputCancelAttempts = 2;
// At most this many console input records are looked at for a whole line.
constexpr DWORD kMostConsoleRecords = 64 * 1024;

}  // namespace

struct PrivateConsole::Pump {
    Pump(Platform& platform, bool fromChild, HANDLE standard)
        : platform(platform), pipe(platform), fromChild(fromChild), standard(standard), buffer(kRelayBuffer) {}

    void Copy() {
        if (fromChild) {
            CopyOutput();
        } else {
            CopyInput();
        }
    }

    // Until the pipe ends (its writers are gone), brindle's stream refuses or the relay is
    // stopped. What the child wrote in many small pieces is read on while the pipe holds
    // more, and written once. A relay kept busy by a writer that never stops never waits in
    // a read that a cancel could end: it looks at the stop event instead.
    void CopyOutput() {
        while (!Stopped()) {
            DWORD got = 0;
            // A zero-byte write of the child's reads as nothing: it is not the pipe's end.
            if (!platform.ReadFile(pipe.get(), buffer.data(), kRelayBuffer, &got, nullptr)) {
                return;
            }
            DWORD waiting = 0;
            while (got < kRelayBuffer &&
                   platform.PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
                DWORD more = 0;
                if (!platform.ReadFile(pipe.get(), buffer.data() + got, std::min(waiting, kRelayBuffer - got), &more,
                                       nullptr)) {
                    break;  // what was read is still written; the next read sees the end
                }
                got += more;
            }
            if (!WriteAll(standard, got)) {
                return;
            }
        }
    }

    // brindle's own input into the child's, until it ends or brindle stops the relay.
    // No read of brindle's input is ever left pending: a console is read only once a whole
    // line waits in it and a pipe only once it holds bytes, so a read returns at once and
    // stopping cancels nothing. A read cancelled on the caller's console would take the
    // line typed next from the caller's shell, and Wine cannot cancel a read blocked on a
    // pipe at all. A file is read as it is: its reads do not wait.
    void CopyInput() {
        DWORD mode = 0;
        const bool console = platform.GetConsoleMode(standard, &mode) != FALSE;
        const bool fromPipe = !console && platform.GetFileType(standard) == FILE_TYPE_PIPE;
        while (!Stopped()) {  // stopped, or never meant to run: its child never did
            DWORD toRead = kRelayBuffer;
            if ((console && !LineWaiting((mode & ENABLE_LINE_INPUT) != 0)) || (fromPipe && !BytesWaiting(toRead))) {
                return;
            }
            DWORD got = 0;
            if (!platform.ReadFile(standard, buffer.data(), toRead, &got, nullptr) || got == 0 ||
                !WriteAll(pipe.get(), got)) {
                return;
            }
        }
    }

    // Waits until the console holds a whole line (with line input off, one character),
    // or until the relay is to stop (false).
    bool LineWaiting(bool lineInput) {
        std::vector<INPUT_RECORD> records(64);
        for (;;) {
            DWORD seen = 0;
            while (platform.PeekConsoleInputW(standard, records.data(), static_cast<DWORD>(records.size()), &seen) &&
                   seen == records.size() && records.size() < kMostConsoleRecords) {
                records.resize(records.size() * 2);  // a long line: look at all of it
            }
            for (DWORD i = 0; i < seen; ++i) {
                const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
                const bool typed = records[i].EventType == KEY_EVENT && key.bKeyDown;
                const bool enter = key.uChar.UnicodeChar == u'\r' || key.wVirtualKeyCode == VK_RETURN;
                if (typed && (lineInput ? enter : key.uChar.UnicodeChar != 0)) {
                    return true;
                }
            }
            if (platform.WaitForSingleObject(stop->get(), kInputPollMs) != WAIT_TIMEOUT) {
                return false;
            }
        }
    }

    // Waits until the pipe holds bytes, and says how many in toRead; false at its end
    // (ERROR_BROKEN_PIPE: its writers are gone) or when the relay is to stop.
    bool BytesWaiting(DWORD& toRead) {
        for (;;) {
            DWORD waiting = 0;
            if (!platform.PeekNamedPipe(standard, nullptr, 0, nullptr, &waiting, nullptr)) {
                return false;
            }
            if (waiting > 0) {
                toRead = std::min(waiting, kRelayBuffer);
                return true;
            }
            if (platform.WaitForSingleObject(stop->get(), kInputPollMs) != WAIT_TIMEOUT) {
                return false;
            }
        }
    }

    bool Stopped() { return platform.WaitForSingleObject(stop->get(), 0) == WAIT_OBJECT_0; }

    bool WriteAll(HANDLE to, DWORD size) {
        DWORD written = 0;
        for (DWORD done = 0; done < size; done += written) {
            if (!platform.WriteFile(to, buffer.data() + done, size - done, &written, nullptr) || written == 0) {
                return false;
            }
        }
        return true;
    }

    Platform& platform;
    UniqueHandle pipe;  // closed with the pump: the child's input ends, or its output loses its reader
    bool fromChild;     // output and errors: from the pipe to brindle's stream; input: the other way
    HANDLE standard;    // brindle's own standard handle, which it does not own
    std::vector<char> buffer;
    std::shared_ptr<UniqueHandle> stop;  // set when the relay is to end
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

// Output and errors go to one place when both are on a console (one screen), when both
// handles name one object (a pipe, a file: 2>&1), or when both are one file on disk.
bool PrivateConsole::OutputMeetsErrors(HANDLE output, HANDLE error) {
    DWORD mode = 0;
    if (output == error || (platform_.GetConsoleMode(output, &mode) && platform_.GetConsoleMode(error, &mode)) ||
        platform_.CompareObjectHandles(output, error)) {
        return true;
    }
    if (platform_.GetFileType(output) != FILE_TYPE_DISK || platform_.GetFileType(error) != FILE_TYPE_DISK) {
        return false;
    }
    const std::optional<FileIdentity> first = IdentityOf(platform_, output);
    return first && first == IdentityOf(platform_, error);
}

StepResult PrivateConsole::CreatePipes() {
    stop_ = std::make_shared<UniqueHandle>(platform_);
    stop_->adopt(platform_.CreateEventW(nullptr, TRUE /* manual reset: stays set */, FALSE, nullptr));
    if (!*stop_) {
        return StepResult::Failed(platform_.GetLastError());
    }
    const HANDLE output = platform_.GetStdHandle(STD_OUTPUT_HANDLE);
    const bool oneOutput = OutputMeetsErrors(output, platform_.GetStdHandle(STD_ERROR_HANDLE));
    const struct {
        UniqueHandle& childEnd;
        bool childReads;
        DWORD standard;
    } pipes[] = {{childInput_, true, STD_INPUT_HANDLE},
                 {childOutput_, false, STD_OUTPUT_HANDLE},
                 {childError_, false, STD_ERROR_HANDLE}};
    for (const auto& pipe : pipes) {
        if (oneOutput && pipe.standard == STD_ERROR_HANDLE) {
            break;  // the child's errors share its output pipe
        }
        relays_.push_back(std::make_unique<Relay>(platform_));
        Relay& relay = *relays_.back();
        relay.pump = std::make_unique<Pump>(platform_, !pipe.childReads, platform_.GetStdHandle(pipe.standard));
        relay.pump->stop = stop_;
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
    if (!started_) {
        platform_.SetEvent(stop_->get());  // the input relay ends before it reads anything
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
    platform_.SetEvent(stop_->get());
    if (relays_.front()->thread) {
        platform_.WaitForSingleObject(relays_.front()->thread.get(), kCancelRetryMs);
        Cancel(relays_.front()->thread.get(), kInputCancelAttempts);
    }
    for (std::size_t output = 1; output < relays_.size(); ++output) {
        if (relays_[output]->thread) {
            Cancel(relays_[output]->thread.get(), kOutputCancelAttempts);
        }
    }
    relays_.clear();
    stop_.reset();
    childInput_.reset();
    childOutput_.reset();
    childError_.reset();
    prepared_ = false;
    started_ = false;
}

void PrivateConsole::Cancel(HANDLE thread, int attempts) {
    for (int attempt = 0; attempt < attempts && platform_.WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
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
    const HANDLE child = interruptChild.load();
    if (child == nullptr) {
        return TRUE;  // disarmed: the child has ended, and brindle finishes the run
    }
    interruptFired = true;
    if (job == nullptr || !platform->TerminateJobObject(job, ForwardedInterrupt::kExitCode)) {
        platform->TerminateProcess(child, ForwardedInterrupt::kExitCode);
    }
    return TRUE;  // handled: brindle goes on and finishes the run
}

}  // namespace

void ForwardedInterrupt::Arm(HANDLE job, HANDLE child) {
    interruptJob = job;
    interruptChild = child;
    interruptFired = false;
    interruptPlatform = &platform_;
    installed_ = platform_.SetConsoleCtrlHandler(EndOnInterrupt, TRUE) != FALSE;
}

void ForwardedInterrupt::Disarm() {
    interruptChild = nullptr;
    interruptJob = nullptr;
}

bool ForwardedInterrupt::Fired() const { return installed_ && interruptFired.load(); }

ForwardedInterrupt::~ForwardedInterrupt() {
    if (installed_) {
        platform_.SetConsoleCtrlHandler(EndOnInterrupt, FALSE);
    }
    interruptPlatform = nullptr;
}

}  // namespace brindle
