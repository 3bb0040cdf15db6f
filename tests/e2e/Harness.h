// What every end-to-end test shares: the paths of brindle.exe and probe.exe,
// starting brindle.exe the way a user or a script does and capturing what it
// leaves behind, the fixed texts it prints, and scratch files and folders in
// the temporary folder.
#pragma once

#include <windows.h>

#include "ProgramText.h"

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

// ---------------------------------------------------------------------------
// Where the tests run

// Whether the tests run under Wine rather than on Windows: Wine's ntdll exports
// wine_get_version. Wine does not enforce integrity levels, privileges, job limits or
// directory labels, so where the two differ a test expects each its own result.
bool UnderWine();

// ---------------------------------------------------------------------------
// Paths

const std::wstring& BrindlePath();
const std::wstring& ProbePath();

// ---------------------------------------------------------------------------
// Command lines

std::wstring ComposeCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments);

std::vector<std::wstring> Concat(std::vector<std::wstring> head, const std::vector<std::wstring>& tail);

// ---------------------------------------------------------------------------
// Running brindle.exe

constexpr DWORD kNotRun = 0xFFFFFFFF;

struct RunResult {
    DWORD exitCode = kNotRun;
    std::string out;  // standard output, as bytes
    std::string err;  // standard error, as bytes
    long long elapsedMs = 0;
    std::chrono::steady_clock::time_point finished;  // when brindle.exe was seen to end
    long long finishedCount = 0;                     // the same, as a QueryPerformanceCounter count
};

// One variable of brindle.exe's environment for a single run. It replaces any
// variable of the test program's environment whose name differs from it only
// in case, as Windows treats such names as one.
struct EnvironmentVariable {
    std::wstring name;
    std::wstring value;
};

// Runs brindle.exe with the given arguments and the test program's environment
// (with `environment` laid over it): standard input is NUL, standard output
// and standard error go to two separate files. A run that outlives a generous
// limit is ended and the test fails. A run in which Wine failed to bring up
// brindle.exe or its child (ERROR_INTERNAL_ERROR) is made again, a few times at most.
RunResult RunBrindle(const std::vector<std::wstring>& arguments,
                     const std::vector<EnvironmentVariable>& environment = {});

// The same with standard input a file that holds `input`.
RunResult RunBrindleWithInput(const std::vector<std::wstring>& arguments, const std::string& input);

// How brindle.exe's standard streams are laid out for one run.
struct Streams {
    std::string input;            // a file holding these bytes; NUL when empty
    bool inputOpenPipe = false;   // instead a pipe whose writer stays open until brindle.exe ends
    bool errorsToOutput = false;  // standard error a duplicate of standard output's handle (2>&1)
    bool reopened = false;        // with errorsToOutput: the same file opened again instead (>>f 2>>f)
};
RunResult RunBrindleWithStreams(const std::vector<std::wstring>& arguments, const Streams& streams);

// Runs another program the same way, as a child of the test program itself.
RunResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::vector<EnvironmentVariable>& environment = {}, const std::string& input = "");

// The entries "NAME=value" of the environment RunBrindle gives brindle.exe with these
// variables laid over the test program's own.
std::vector<std::wstring> EnvironmentEntries(const std::vector<EnvironmentVariable>& environment);

// ---------------------------------------------------------------------------
// Expected text

extern const std::string kUsage;
extern const std::string kNoCommand;
extern const std::string kStrictRefusal;

// What --restricted-token without --low-il prints when the tests run elevated (as under
// Wine, always): brindle.exe inherits the test program's token. Empty otherwise.
const std::string& ElevatedWarning();

// What brindle says once it has read back what the suspended child got, for a child given
// the Low label, a restricted token, or a job whose limit record has jobLimitFlags (0:
// none). Windows enforces them all, and with verbose the verified ones are listed. Wine
// accepts the label, the removal of privileges and the job's limits without enforcing
// them, and cannot read the UI restrictions back (1): a warning for each.
std::string ReadBackLines(bool lowIL, bool restrictedToken, DWORD jobLimitFlags, bool verbose = false);

// The limit record's flags of a job with the default process limit and kill-on-close.
constexpr DWORD kJobFlags = 0x2008;

// The three verbose summary lines. `options` is the text after "Options: ",
// written out in full by each test, for example
// "lowIL=0 restrictedToken=1 jobObject=0 maxProc=64 timeout=0".
std::string Summary(const std::wstring& command, const std::string& options, size_t writableDirs = 0);

// The Options text of a run without switches.
std::string NoSwitches(const std::string& maxProc = "64", const std::string& timeout = "0");

// The verbose lines of a child that ran and exited; see MaskPid.
std::string StartedAndExited(DWORD exitCode);

// The child's process id differs from run to run: it is replaced by "<pid>" so
// that the rest of standard error can be compared byte for byte. Only a
// well-formed id (a decimal number without leading zeros, then ")\n") is
// replaced, so a malformed line still shows up as a difference.
std::string MaskPid(std::string err);

// A verbose run of "probe exit 0" with some options: the summary shows
// `summaryOptions`, and `steps` are exactly the lines between the summary and the
// started line.
struct VerboseSteps {
    std::vector<std::wstring> options;
    std::string summaryOptions;
    std::string steps;
};

// Runs each case and checks its whole standard error, empty standard output and exit status 0.
void ExpectVerboseSteps(const std::vector<VerboseSteps>& cases);

// What probe.exe prints in "args" mode for these arguments.
std::string ArgsOutput(const std::vector<std::wstring>& arguments);

// ---------------------------------------------------------------------------
// Scratch files and folders

// A path in the temporary folder that nothing else uses: its name holds this
// process's id, a counter and `stem`, and it does not exist when the owner is
// made, unless `make` asks for an empty file or folder there. Whatever then
// stands at the path (a file, or an empty folder) is removed when the owner
// goes out of scope.
class TempPath {
public:
    enum class Make { Nothing, File, Directory };

    explicit TempPath(const std::wstring& stem, Make make = Make::Nothing);
    ~TempPath();
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::wstring& Get() const noexcept { return path_; }

private:
    std::wstring path_;
};

bool PathExists(const std::wstring& path);

// Replaces the file's content with these bytes; says whether it could.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

// The file's bytes; empty, and the test failed, when it cannot be read.
std::string ReadBytes(const std::wstring& path);

// Waits until something stands at `path`, up to `deadline`; says whether it did.
bool WaitForPath(const std::wstring& path, std::chrono::steady_clock::time_point deadline);

}  // namespace e2e
