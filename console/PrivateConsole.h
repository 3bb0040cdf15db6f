// A console of the child's own. On brindle's console a child can type into the console's
// input (WriteConsoleInputW on CONIN$), and once brindle returns the caller's shell reads
// that line and runs it with the caller's rights. Created with CREATE_NO_WINDOW, the child
// gets a hidden console of its own instead, and its standard input, output and error are
// pipes that brindle relays on threads of its own: brindle's standard input into the
// child's, the child's output and errors to brindle's standard output and error, as they
// come. When brindle's output and errors go to one place (one console, pipe or file), the
// child gets one pipe for both, so that they keep their order. brindle's ends of the pipes
// are never inheritable.
//
// The relay is the one part of brindle that runs on threads of its own. PrivateConsole is
// their one owner: it makes them, lets them run, stops them and joins them, and owns every
// handle they use until a thread runs; from then on the thread owns its pump (its pipe end)
// and shares the stop event with its owner.
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
    // The child's errors share its output pipe when brindle's go where its output goes.
    StandardStreams ChildStreams() const {
        return {childInput_.get(), childOutput_.get(), childError_ ? childError_.get() : childOutput_.get()};
    }

    // As the child is let run: brindle's copies of the child's ends are closed, so that an
    // output pipe ends when the child and whatever it started let go of it, and the relay
    // begins.
    void Start();

    // After the child's end: output is copied until its pipes end, or for at most 2 s
    // (a grandchild may hold them open); the input relay is told to stop, which it does
    // within 50 ms (it never leaves a read of brindle's input pending); a relay still under
    // way after that is cancelled, and every thread joined. For a child that never ran the
    // input relay is stopped before it reads: brindle's input stays for whoever reads next.
    void Finish();

    // What one relay thread copies: brindle's end of one pipe, and the standard handle of
    // brindle's it copies to or from. The pump is its thread's once the thread runs.
    struct Pump;
    struct Relay;

private:
    bool OutputMeetsErrors(HANDLE output, HANDLE error);
    StepResult CreatePipes();
    StepResult CreateThreads(const std::vector<DWORD>& threadDacl);
    void Cancel(HANDLE thread, int attempts);

    Platform& platform_;
    bool prepared_ = false;
    bool started_ = false;
    UniqueHandle childInput_;   // the read end of the child's input pipe
    UniqueHandle childOutput_;  // the write ends of its output and error pipes
    UniqueHandle childError_;
    // Set when the relays are to end (the output relays once their grace is over); every
    // pump holds it too, so that no side ever touches a closed handle, whichever lets go first.
    std::shared_ptr<UniqueHandle> stop_;
    std::vector<std::unique_ptr<Relay>> relays_;  // input, output, and errors when they go elsewhere
};

// Once armed, Ctrl+C or Ctrl+Break at brindle's console ends the job (else the child)
// with the exit code of an interrupted program, 0xC000013A, and the run then finishes as
// usual; the child, on a console of its own, cannot receive the interrupt itself. Disarmed
// once the child has ended, the handler stays until the run is over, so that a late
// interrupt cannot cut off the removal of the scratch folder or the final report. Other
// console events (closing the window, logging off) end brindle as without it.
class ForwardedInterrupt {
public:
    static constexpr UINT kExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT

    explicit ForwardedInterrupt(Platform& platform) : platform_(platform) {}
    ~ForwardedInterrupt();
    ForwardedInterrupt(const ForwardedInterrupt&) = delete;
    ForwardedInterrupt& operator=(const ForwardedInterrupt&) = delete;

    void Arm(HANDLE job, HANDLE child);
    // The job and the child are about to be released: an interrupt from now on ends nothing.
    void Disarm();
    // Whether an interrupt came while armed and ended the job (or the child).
    bool Fired() const;

private:
    Platform& platform_;
    bool installed_ = false;
};

}  // namespace brindle
