// A small model of the Windows the launcher talks to: tokens with group lists, programs that exit with a code or hang,
// processes, jobs, directories and a handle table that knows which handles are open. Any operation can be made to fail
// with a chosen error code. After a scenario, Problems() says whether every handle was closed exactly once and every
// SID freed exactly once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace brindle::testing {

struct FakeGroup {
    std::string sid;  // in string form, e.g. "S-1-5-32-544"
    DWORD attributes;
};

// An entry of a folder tree: a file or folder with its attributes, or a junction to a folder.
struct FakeEntry {
    std::u16string path;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    std::u16string linkTarget{};
};

// A process a program starts in its job once it is resumed.
struct FakeDescendant {
    std::u16string image;
    DWORD exitCode = 0;
    bool hangs = false;
    bool goneBeforeRead = false;  // ended and gone before anyone could open it
    bool idReused = false;        // its id names a process outside the job by the time it is read
};

// What a program does once it is resumed.
struct FakeProgram {
    DWORD exitCode = 0;
    bool hangs = false;  // runs until it is terminated or its job is closed
    // Its manifest asks for administrator rights: Windows refuses to start it (740)
    // with a token that is restricted or below High integrity.
    bool demandsElevation = false;
    // What it writes to its standard output and error, there from its creation on.
    std::string output{}, errors{};
    // A grandchild of it holds its standard handles open until their job ends.
    bool leavesStreamsOpen = false;
    // What it leaves in the folder its TEMP names, by paths below that folder.
    std::vector<FakeEntry> leavesInTemp{};
    // When its job has a completion port, the port hears, once it is resumed: its start, each descendant's start and
    // (unless it hangs) exit, these messages (message, process id), and its own exit unless it hangs.
    std::vector<FakeDescendant> descendants{};
    std::vector<std::pair<DWORD, DWORD>> jobMessages{};
    // While it runs, its port gets a message every kChatterMs.
    bool chatters = false;
    // Its port holds a memory-limit message at every read, 1 ms apart, even after its end.
    bool floods = false;
    // While it runs it keeps the CPU busy: its job's user time grows with the clock.
    bool spins = false;
};

// One mandatory-label entry of a directory's system ACL.
struct FakeLabel {
    std::string sid;  // e.g. "S-1-16-4096"
    DWORD flags;      // ACE flags: inheritance
    DWORD mask;       // the mandatory policy
};

// One call of CreateProcessAsUserW or CreateProcessW, with what it was handed.
struct FakeCreation {
    std::string api;
    std::string tokenLabel;  // the token handed to CreateProcessAsUserW; empty for CreateProcessW
    bool applicationNameGiven = false;
    std::u16string commandLine{};
    const char16_t* commandBuffer = nullptr;
    bool securityAttributesGiven = false;
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentGiven = false, currentDirectoryGiven = false;
    STARTUPINFOW startup{};
    // With EXTENDED_STARTUPINFO_PRESENT: the handle list the attribute list held then.
    bool handleListGiven = false;
    std::vector<HANDLE> handleList{};
    std::u16string environment{};  // the block handed over, up to its closing null
};

class FakePlatform final {
public:
    static inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
    static inline const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(~std::uintptr_t{1});
    // The user of the launcher's own token.
    static inline const std::string kUserSid = "S-1-5-21-1000-2000-3000-1001";
    static inline const HANDLE kStdInput = reinterpret_cast<HANDLE>(std::uintptr_t{0x10});
    static inline const HANDLE kStdOutput = reinterpret_cast<HANDLE>(std::uintptr_t{0x14});
    static inline const HANDLE kStdError = reinterpret_cast<HANDLE>(std::uintptr_t{0x18});
    // The launcher's own process id, and what its clock and its jobs' accounting show:
    // a child that exits runs for kChildRunMs, and a job's processes used these amounts.
    static constexpr DWORD kOwnProcessId = 4242;
    // The user's temporary folder, as GetTempPathW gives it, and LocalLow; both exist.
    static inline const std::u16string kTempFolder = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
    static inline const std::u16string kLocalLowFolder = u"C:\\Users\\user\\AppData\\LocalLow";
    static constexpr ULONGLONG kChildRunMs = 250;
    static constexpr SIZE_T kPeakProcessMemory = SIZE_T{3} << 20;
    static constexpr SIZE_T kPeakJobMemory = SIZE_T{5} << 20;
    static constexpr DWORD kChatterMs = 7;
    // The id of the process made n-th (counting from 1), of the child's tree included.
    static constexpr DWORD ProcessId(std::size_t n) { return 4000 + static_cast<DWORD>(n) * 4; }

    FakePlatform();
    ~FakePlatform();

    // --- The scenario ---
    void SetOwnGroups(std::vector<FakeGroup> groups) { ownGroups_ = std::move(groups); }
    // Whether the launcher's own token is elevated (TokenElevation); it is not unless set.
    void SetElevated(bool elevated) { elevated_ = elevated; }
    // The label of the launcher's own token; High unless set.
    void SetOwnIntegrity(std::string sid) { ownIntegrity_ = std::move(sid); }
    // What a platform may accept and not do (Wine does each): the child's token keeps its
    // integrity, Administrators and privileges; the job's limit flags read back as 0; its UI
    // restrictions or CPU rate read back as 0; the child is not in its job.
    enum class Lie { Token, JobLimits, UiRestrictions, CpuRate, JobMembership };
    void Tell(Lie lie) { lies_.push_back(lie); }
    void AddProgram(const std::u16string& name, FakeProgram program) { programs_[name] = program; }
    // The callNumber-th call of the named operation (counting from 1) fails with error.
    void Fail(const std::string& operation, DWORD error, int callNumber = 1) {
        failures_[operation][callNumber] = error;
    }
    // Every WaitForSingleObject returns result, with error as the last error.
    void FailWaitWith(DWORD result, DWORD error) { waitFailure_ = std::make_pair(result, error); }
    void SetEnvironmentVariable(const std::u16string& name, const std::u16string& value) {
        environment_.emplace_back(name, value);
    }
    // An entry at a full path; attributes are never 0 (FILE_ATTRIBUTE_NORMAL stands for none).
    void AddPath(const std::u16string& path, DWORD attributes) { entries_[path].attributes = attributes; }
    // What GetStdHandle returns for one stream; the fake's three distinct, inheritable handles unless a test says
    // otherwise. flags are what GetHandleInformation reports; without them the handle is unknown to it.
    void SetStandardHandle(DWORD stream, HANDLE handle, std::optional<DWORD> flags);
    // A directory that is a reparse point with this tag; a junction (AddLink) leads to a target: names through it lead
    // there, unless it is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT).
    void AddReparsePoint(const std::u16string& path, DWORD tag, const std::u16string& target = {});
    void AddLink(const std::u16string& path, const std::u16string& target) {
        AddReparsePoint(path, 0xA0000003, target);  // IO_REPARSE_TAG_MOUNT_POINT
    }
    // The root of a mounted volume or share besides the drive roots, with its trailing "\".
    void AddVolume(const std::u16string& root) { volumes_.push_back(root); }
    // The directory's existing label entries, in order; without them it has no label.
    void SetLabel(const std::u16string& path, std::vector<FakeLabel> entries);
    // Another process has the entry open, without sharing its deletion, until the clock reaches untilMs.
    void HoldOpenElsewhere(const std::u16string& path, ULONGLONG untilMs) { entries_[path].inUseUntil = untilMs; }
    // When the launcher opens `opened` (after `skipping` earlier opens of it), a hostile
    // process first tries to rename `folder` away and put a junction to target in its
    // place. Windows refuses the rename while a handle to the folder does not share its deletion.
    void SwapForLinkWhenOpened(const std::u16string& opened, const std::u16string& folder,
                               const std::u16string& target, int skipping = 0) {
        swap_ = Swap{opened, folder, target, skipping};
    }
    // The same, but `folder` is emptied and made a junction in place, which Windows allows
    // while the launcher holds it open, since the holds share writing.
    void LinkInPlaceWhenOpened(const std::u16string& opened, const std::u16string& folder,
                               const std::u16string& target) {
        swap_ = Swap{opened, folder, target, 0, true};
    }
    bool Swapped() const { return swapped_; }
    bool Exists(const std::u16string& path) const { return entries_.count(path) != 0 && Attributes(path) != 0; }
    DWORD Attributes(const std::u16string& path) const { return entries_.at(path).attributes; }
    // A file, or anything else that stands at a name, such as a link planted there.
    void AddFile(const std::u16string& path, const std::string& bytes) { files_[path] = bytes; }
    // What ReadFile of the standard input handle gives: these bytes, then its end (a
    // file), or, for a console, a read that blocks until it is cancelled.
    void SetStandardInput(const std::string& bytes, bool console) { pipes_[0] = {bytes, {}, console}; }
    // The console event Windows delivers to the launcher's console handler while it waits for a child, or a relay.
    void InterruptWhileWaiting(DWORD event) { interrupt_ = event; }
    // The child writes nothing (a write of zero bytes) once this many bytes of its output were read.
    void WriteNothingAfter(std::size_t bytes) { emptyWriteAt_ = bytes; }
    // The standard input is a pipe whose writer never closes (a harness's stdin=PIPE), holding bytes.
    void SetStandardInputOpenPipe(const std::string& bytes) {
        SetStandardInput(bytes, true);
        inputIsPipe_ = true;
    }
    // The file system cannot delete a read-only entry as it is (Windows before 10 1809, FAT).
    void RefuseDispositionEx() { dispositionExRefused_ = true; }
    // The file has this many names in all (hard links elsewhere).
    void SetHardLinks(const std::u16string& path, DWORD links) { entries_[path].links = links; }

    // An 8.3 short name of a folder: GetLongPathNameW gives longName in its place.
    void AddShortName(const std::u16string& shortName, const std::u16string& longName) {
        shortNames_.emplace_back(shortName, longName);
    }

    // --- What happened ---
    const std::u16string& StandardError() const { return standardError_; }
    const std::u16string& StandardOutput() const { return standardOutput_; }
    // What was written with WriteFile to the standard output and error handles: a relay's copies.
    const std::string& RelayedOutput() const { return relayedOutput_; }
    const std::string& RelayedErrors() const { return relayedErrors_; }
    // Every byte written into the pipe that is a child's standard input; what is left unread of brindle's own.
    std::string ChildInput() const;
    const std::string& StandardInputLeft() const { return pipes_[0].buffer; }
    // The DACL each relay thread was created with (empty for none), in order of creation.
    const std::vector<std::vector<BYTE>>& ThreadDacls() const { return threadDacls_; }
    // The files written, by name, with their bytes.
    const std::map<std::u16string, std::string>& Files() const { return files_; }
    // Each MoveFileExW call: its flags, and the bytes it moved when it succeeded.
    struct Move {
        DWORD flags;
        std::string bytes;
    };
    const std::vector<Move>& Moves() const { return moves_; }
    // Each line written to standard error, its line feed included.
    std::vector<std::u16string> ErrorLines() const;
    // The operations called, in order, by name; CloseHandle is written as "CloseHandle(<label>)".
    const std::vector<std::string>& Calls() const { return calls_; }
    std::size_t CountCalls(const std::string& call) const { return std::count(calls_.begin(), calls_.end(), call); }
    // Labels of handles in the order they were closed ("own token", "process", ...).
    std::vector<std::string> CloseOrder() const;
    const std::vector<FakeCreation>& Creations() const { return creations_; }
    // The time limit of each WaitForSingleObject and each GetQueuedCompletionStatus call.
    const std::vector<DWORD>& WaitLimits() const { return waitLimits_; }
    const std::vector<DWORD>& PortWaits() const { return portWaits_; }
    std::vector<std::string> Problems() const;

    // What SetNamedSecurityInfoW was handed, one record per successful call.
    struct LabelWrite {
        std::u16string path;
        SE_OBJECT_TYPE objectType{};
        SECURITY_INFORMATION securityInfo = 0;
        bool ownerGiven = false, groupGiven = false, daclGiven = false;
        std::vector<BYTE> sacl;  // the ACL's bytes, AclSize of them
    };
    const std::vector<LabelWrite>& LabelWrites() const { return labelWrites_; }

    // The DACLs SetSecurityInfo wrote, by the pseudo-handle of the launcher's own process
    // or thread; a call that would change anything else of them is a problem.
    const std::map<HANDLE, std::vector<BYTE>>& Dacls() const { return dacls_; }

    // What CreateFileW was handed.
    struct FileOpen {
        std::u16string path;
        DWORD access = 0, shareMode = 0, disposition = 0, flags = 0;
        bool securityAttributesGiven = false, templateGiven = false;
        std::u16string resolved{};  // what the name led to
        bool listed = false, deletePending = false;
    };
    const std::vector<FileOpen>& FileOpens() const { return fileOpens_; }

    // A job and the records set on it, byte for byte.
    struct Job {
        std::vector<BYTE> extendedLimit, uiRestrictions, cpuRate, endOfJobTime;
        std::vector<std::size_t> processes;  // indexes of the processes assigned to it
        std::optional<UINT> terminatedWith;  // TerminateJobObject's exit code
        std::optional<std::size_t> port;     // the completion port associated with it
    };
    const std::vector<Job>& Jobs() const { return jobs_; }

    // The Windows the launcher is handed, working on this model; and its clock.
    operator Platform&();
    ULONGLONG GetTickCount64() const { return clock_; }

    // --- Model state, open to tests that check what was handed to Windows ---
    struct Token {
        std::string label;
        std::vector<FakeGroup> groups;
        std::string integrityLabel = "S-1-16-12288";  // High, as an elevated launcher has
        DWORD integrityLabelAttributes = 0, integrityLabelLength = 0, openedWithAccess = 0;
        std::vector<BYTE> dacl{};    // what SetSecurityInfo wrote
        DWORD otherPrivileges = 20;  // besides SeChangeNotifyPrivilege; none after DISABLE_MAX_PRIVILEGE
        // How a restricted token was made.
        DWORD restrictionFlags = 0;
        std::vector<std::string> disabledSids{};
        std::vector<DWORD> disabledSidAttributes{};
        bool disableListGiven = false, privilegeOrRestrictListGiven = false;
        // How a duplicate was made.
        DWORD duplicateAccess = 0;
        int impersonationLevel = 0, tokenType = 0;
        bool duplicateAttributesGiven = false;
    };
    // The tokens made so far, by label ("own token", "restricted token", "duplicate token").
    const Token* FindToken(const std::string& label) const {
        const auto at = std::find_if(tokens_.begin(), tokens_.end(), [&](const Token& t) { return t.label == label; });
        return at == tokens_.end() ? nullptr : &*at;
    }

    enum class Kind { Token, Process, Thread, Job, File, Duplicate, PipeRead, PipeWrite, RelayThread, Port, Event };
    // A process: the token it was created with, how it ran and how it ended.
    struct Process {
        FakeProgram program;
        std::string tokenLabel;
        std::u16string image;
        std::u16string temp{};  // its TEMP
        bool resumed = false, exited = false;
        bool gone = false;  // no longer there to be opened
        std::optional<UINT> terminatedWith{};
        bool endedByJobClose = false;
        bool jobEnded = false;  // its job was terminated or closed: its grandchildren are gone too
        std::vector<std::pair<Kind, std::size_t>> inherited{};  // the pipe ends it holds
        ULONGLONG resumedAt = 0;                                 // on the fake's clock
        bool Running() const { return !exited && !terminatedWith; }
    };
    const std::vector<Process>& Processes() const { return processes_; }

private:
    // A handle's object; index is into the vector of its kind (a Thread's: its process).
    struct Object {
        Kind kind;
        std::string label;
        std::size_t index;
        int closes = 0;
    };
    // A pipe, and the standard input as pipe 0: a file's ends when it is read out; a console's never does.
    struct Pipe {
        std::string buffer;    // written and not yet read
        std::string received;  // everything ever written
        bool console = false;
    };
    // A thread of the launcher's. The fake runs it when it is resumed, up to its first
    // read that would block; it then counts as running until that read could end.
    struct Thread {
        LPTHREAD_START_ROUTINE start;
        void* parameter;
        bool ran = false, cancelled = false;
        std::optional<std::size_t> blockedOn{};  // the pipe it reads
        std::optional<std::size_t> waitsFor{};   // the event it waits to be set
    };
    struct Port {
        std::deque<std::pair<DWORD, DWORD>> queue{};  // message, process id
        HANDLE key = nullptr;
        std::optional<std::size_t> job{};
    };
    // What the launcher is to release once: memory the fake hands out (SIDs, security descriptors, known folders'
    // paths; DWORD elements keep an ACL in it aligned), or an attribute list initialised in the launcher's own memory.
    struct Allocation {
        std::string what;
        std::vector<DWORD> bytes;
        int frees = 0;
        const void* list = nullptr;       // where an attribute list lies
        const HANDLE* handles = nullptr;  // where its handle list points, read at creation
        std::size_t handleCount = 0;
    };
    // What the folder tree holds at a full path: an entry while it has attributes, and what a scenario says of the
    // name, which may hold before anything is there.
    struct Entry {
        DWORD attributes = 0;
        DWORD tag = 0;              // a reparse point's
        std::u16string target{};    // a junction's
        std::vector<BYTE> label{};  // a directory's system ACL; empty for none
        ULONGLONG inUseUntil = 0;   // until then another process holds it open without sharing its deletion
        DWORD links = 1;            // its names, hard links elsewhere included
    };
    struct Swap {
        std::u16string opened, folder, target;
        int skipping;
        bool inPlace = false;
    };

    class Seam;
    // How many open ends a pipe has, the launcher's and its children's; whether a thread has ended.
    std::size_t OpenEnds(std::size_t pipe, Kind end) const;
    bool ThreadEnded(const Thread& thread) const;

    std::vector<FakeGroup> ownGroups_;
    std::string ownIntegrity_ = "S-1-16-12288";
    bool elevated_ = false, dispositionExRefused_ = false, inputIsPipe_ = false, swapped_ = false;
    std::vector<Lie> lies_;
    bool Lies(Lie lie) const { return std::find(lies_.begin(), lies_.end(), lie) != lies_.end(); }
    std::map<std::u16string, FakeProgram> programs_;
    std::map<std::string, std::map<int, DWORD>> failures_;
    std::map<std::string, int> callCounts_;
    std::optional<std::pair<DWORD, DWORD>> waitFailure_;
    std::vector<std::pair<std::u16string, std::u16string>> environment_, shortNames_;  // in the order set
    std::optional<DWORD> interrupt_;
    PHANDLER_ROUTINE consoleHandler_ = nullptr;
    std::map<DWORD, HANDLE> standardHandles_;
    std::map<HANDLE, DWORD> handleFlags_;  // what GetHandleInformation reports
    std::map<std::u16string, Entry> entries_;
    std::vector<std::u16string> volumes_{u"C:\\", u"D:\\"};
    std::optional<Swap> swap_;
    ULONGLONG clock_ = 1000000;
    DWORD lastError_ = 0;

    std::u16string standardError_, standardOutput_;
    std::string relayedOutput_, relayedErrors_;
    std::map<std::u16string, std::string> files_;
    std::vector<Move> moves_;
    std::vector<std::string> calls_, problems_;
    std::vector<FakeCreation> creations_;
    std::vector<DWORD> waitLimits_, portWaits_;
    std::map<HANDLE, std::vector<BYTE>> dacls_;
    std::vector<LabelWrite> labelWrites_;

    std::vector<Object> objects_;
    std::vector<Token> tokens_;
    std::vector<Process> processes_;
    std::vector<Job> jobs_;
    std::vector<FileOpen> fileOpens_;
    std::vector<Pipe> pipes_{Pipe{}};
    std::vector<bool> events_;  // whether each is set
    std::optional<std::size_t> emptyWriteAt_;
    std::vector<Thread> threads_;
    std::vector<std::vector<BYTE>> threadDacls_;
    std::optional<std::size_t> runningThread_;
    std::vector<Port> ports_;
    std::vector<std::unique_ptr<Allocation>> allocations_;
    std::unique_ptr<Seam> seam_;
};

// The string form of a SID, for the tests that read SIDs in ACLs.
std::string SidText(const BYTE* sid);

}  // namespace brindle::testing
