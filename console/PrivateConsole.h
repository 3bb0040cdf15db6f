// A console of the child's own. On brindle's console a child can type into the console's
// input (WriteConsoleInputW on CONIN$), and once brindle returns the caller's shell reads
// that line and runs it with the caller's rights. Created with CREATE_NO_WINDOW, the child
// gets a hidden console of its own instead, and its standard input, output and error are
// three pipes that brindle relays on threads of its own: brindle's standard input into
// the child's, the child's output and errors to brindle's standard output and error, as
// they come. brindle's ends of the pipes are never inheritable.
#pragma once

#include <memory>
#include <vector>

#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

// The three standard handles a child is created with.
struct StandardStreams {
    HANDLE input;
    HANDLE output;
    HANDLE error;
};

class PrivateConsole {
public:
    explicit PrivateConsole(Platform& platform);
    ~PrivateConsole();
    PrivateConsole(const PrivateConsole&) = delete;
    PrivateConsole& operator=(const PrivateConsole&) = delete;

    // Makes the three pipes, the child's ends inheritable and brindle's not, and the relay
    // threads, suspended, each created with threadDacl (brindle's protected thread DACL;
    // the default one when that is empty). On failure nothing is left and nothing is said.
    StepResult Prepare(const std::vector<DWORD>& threadDacl);
    bool Prepared() const { return prepared_; }
    StandardStreams ChildStreams() const { return {childInput_.get(), childOutput_.get(), childError_.get()}; }

    // Once creation is over: brindle's copies of the child's ends are closed, so that an
    // output pipe ends when the child and whatever it started let go of it, and the relay
    // begins.
    void Start();

    // After the child's end: output is copied until its pipes end, or for at most 2 s
    // (a grandchild may hold them open), then every relay still under way (the input's
    // always may be, waiting for brindle's own input) is cancelled and every thread joined.
    void Finish();

    // What one relay thread copies: brindle's end of one pipe, and the standard handle of
    // brindle's it copies to or from. The pump is its thread's once the thread runs.
    struct Pump;
    struct Relay;

private:
    StepResult CreatePipes();
    StepResult CreateThreads(const std::vector<DWORD>& threadDacl);
    void Stop(HANDLE thread);

    Platform& platform_;
    bool prepared_ = false;
    bool started_ = false;
    UniqueHandle childInput_;   // the read end of the child's input pipe
    UniqueHandle childOutput_;  // the write ends of its output and error pipes
    UniqueHandle childError_;
    std::vector<std::unique_ptr<Relay>> relays_;  // input, output, error
};

// While it lives, Ctrl+C or Ctrl+Break at brindle's console ends the job (else the child)
// with the exit code of an interrupted program, 0xC000013A, and the run then finishes as
// usual; the child, on a console of its own, cannot receive the interrupt itself. Other
// console events (closing the window, logging off) end brindle as without it.
class ForwardedInterrupt {
public:
    static constexpr UINT kExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT

    ForwardedInterrupt(Platform& platform, HANDLE job, HANDLE child);
    ~ForwardedInterrupt();
    ForwardedInterrupt(const ForwardedInterrupt&) = delete;
    ForwardedInterrupt& operator=(const ForwardedInterrupt&) = delete;

    // Whether an interrupt came and ended the job (or the child).
    bool Fired() const;

private:
    Platform& platform_;
    bool installed_ = false;
};

}  // namespace brindle
