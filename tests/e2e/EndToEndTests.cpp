// End-to-end tests: brindle.exe is started the way a user or a script starts
// it, with probe.exe (the helper child built beside it) as the command. Each
// test checks from the outside what the launcher promises: the exact text on
// standard error, the exit status, that standard output is left to the child,
// and how long the run took.

#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Text and paths

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The build puts every program in one folder: brindle.exe and probe.exe sit
// beside this test program.
std::wstring BesideTests(const wchar_t* fileName) {
    const std::wstring self = ModulePath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + fileName;
}

const std::wstring& BrindlePath() {
    static const std::wstring path = BesideTests(L"brindle.exe");
    return path;
}

const std::wstring& ProbePath() {
    static const std::wstring path = BesideTests(L"probe.exe");
    return path;
}

// ---------------------------------------------------------------------------
// Command lines

bool HasSpaceOrTab(const std::wstring& text) {
    return text.find_first_of(L" \t") != std::wstring::npos;
}

// Quotes one argument by the convention the C runtime and CommandLineToArgvW
// split by: inside the quotes `"` becomes `\"`, and backslashes are doubled
// only where they stand before a quote or before the closing quote.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// Windows reads the program name up to the closing quote with no escapes, and
// a file name holds no quote, so plain quotes around it are enough.
std::wstring QuoteProgram(const std::wstring& program) {
    return program.empty() || HasSpaceOrTab(program) ? L"\"" + program + L"\"" : program;
}

std::wstring ComposeCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring line = QuoteProgram(program);
    for (const std::wstring& argument : arguments) {
        line += L" " + QuoteArgument(argument);
    }
    return line;
}

// ---------------------------------------------------------------------------
// Running brindle.exe

constexpr DWORD kRunLimitMs = 30000;
constexpr DWORD kNotRun = 0xFFFFFFFF;

struct RunResult {
    DWORD exitCode = kNotRun;
    std::string out;  // standard output, as bytes
    std::string err;  // standard error, as bytes
    long long elapsedMs = 0;
};

SECURITY_ATTRIBUTES Inheritable() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = TRUE;
    return attributes;
}

UniqueHandle OpenNulForInput() {
    SECURITY_ATTRIBUTES attributes = Inheritable();
    return UniqueHandle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                    OPEN_EXISTING, 0, nullptr));
}

// A fresh temporary file for one output stream. Files rather than pipes: the
// child can write any amount without waiting for a reader. The file goes away
// when the last handle to it closes, even if a test is cut short.
UniqueHandle CreateCaptureFile() {
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t path[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"bre", 0, path) == 0) {
        return UniqueHandle();
    }
    SECURITY_ATTRIBUTES attributes = Inheritable();
    return UniqueHandle(CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

// The child wrote through an inherited copy of this handle, which shares its
// file position, so reading starts by going back to the beginning.
std::string ReadCapture(HANDLE file) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        ADD_FAILURE() << "SetFilePointerEx failed: " << GetLastError();
        return {};
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

// Waits for the process; one that outlives the limit is ended and the test fails.
void WaitOrKill(HANDLE process) {
    if (WaitForSingleObject(process, kRunLimitMs) == WAIT_OBJECT_0) {
        return;
    }
    ADD_FAILURE() << "brindle.exe did not finish within " << kRunLimitMs << " ms; ending it";
    TerminateProcess(process, kNotRun);
    WaitForSingleObject(process, kRunLimitMs);
}

// Runs brindle.exe with the given arguments: standard input is NUL, standard
// output and standard error go to two separate files.
RunResult RunBrindle(const std::vector<std::wstring>& arguments) {
    const UniqueHandle input = OpenNulForInput();
    const UniqueHandle output = CreateCaptureFile();
    const UniqueHandle error = CreateCaptureFile();
    if (!input || !output || !error) {
        ADD_FAILURE() << "cannot open the standard handles for brindle.exe: " << GetLastError();
        return {};
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = error.Get();

    std::wstring commandLine = ComposeCommandLine(BrindlePath(), arguments);
    PROCESS_INFORMATION child{};
    const auto started = std::chrono::steady_clock::now();
    if (!CreateProcessW(BrindlePath().c_str(), commandLine.data(), nullptr, nullptr, TRUE /* inherit handles */,
                        0, nullptr, nullptr, &startup, &child)) {
        ADD_FAILURE() << "cannot start " << Utf8(BrindlePath()) << ": " << GetLastError();
        return {};
    }
    const UniqueHandle process(child.hProcess);
    const UniqueHandle thread(child.hThread);
    WaitOrKill(process.Get());

    RunResult result;
    result.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    GetExitCodeProcess(process.Get(), &result.exitCode);
    result.out = ReadCapture(output.Get());
    result.err = ReadCapture(error.Get());
    return result;
}

// ---------------------------------------------------------------------------
// Expected text

const std::string kUsage =
    "Usage: brindle.exe [options] -- <command> [args...]\n"
    "\n"
    "Options:\n"
    "  --low-il              Set Low Integrity Level on child process\n"
    "  --restricted-token    Create Restricted Token (strip admin SIDs)\n"
    "  --job-object          Assign child process to a Job Object\n"
    "  --max-processes=N     Max child processes in Job Object (default: 64)\n"
    "  --writable-dir=DIR    Grant Low IL write access to DIR (repeatable)\n"
    "  --timeout=SECONDS     Execution timeout in seconds (0 = infinite)\n"
    "  --verbose             Print debug info to stderr\n"
    "  --help                Show this help message\n"
    "\n"
    "Example:\n"
    "  brindle.exe --low-il --restricted-token --job-object -- powershell.exe -Command \"Get-Date\"\n";

const std::string kNoCommand = "[brindle] Error: No command specified after '--'\n";

// The verbose summary for a run without switches or writable directories.
std::string Summary(const std::wstring& command, const std::string& maxProc, const std::string& timeout) {
    return "[brindle] Command: " + Utf8(command) + "\n" +
           "[brindle] Options: lowIL=0 restrictedToken=0 jobObject=0 maxProc=" + maxProc + " timeout=" + timeout +
           "\n" + "[brindle] Writable dirs: 0\n";
}

// The verbose lines of a child that ran and exited; see MaskPid.
std::string StartedAndExited(DWORD exitCode) {
    return "[brindle] Child process started (PID=<pid>)\n"
           "[brindle] Child process exited with code " +
           std::to_string(exitCode) + "\n";
}

// The child's process id differs from run to run: it is replaced by "<pid>" so
// that the rest of standard error can be compared byte for byte. Only a
// well-formed id (a decimal number without leading zeros, then ")\n") is
// replaced, so a malformed line still shows up as a difference.
std::string MaskPid(std::string err) {
    const std::string prefix = "[brindle] Child process started (PID=";
    const size_t start = err.find(prefix);
    if (start == std::string::npos) {
        return err;
    }
    const size_t first = start + prefix.size();
    size_t end = first;
    while (end < err.size() && err[end] >= '0' && err[end] <= '9') {
        ++end;
    }
    if (end == first || err[first] == '0' || err.compare(end, 2, ")\n") != 0) {
        return err;
    }
    return err.replace(first, end - first, "<pid>");
}

// What probe.exe prints in "args" mode for these arguments.
std::string ArgsOutput(const std::vector<std::wstring>& arguments) {
    std::string text;
    for (const std::wstring& argument : arguments) {
        text += "[" + Utf8(argument) + "]\n";
    }
    return text;
}

std::vector<std::wstring> Concat(std::vector<std::wstring> head, const std::vector<std::wstring>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// ---------------------------------------------------------------------------
// Tests

// Nothing from the caller's environment may add lines to the fixed texts below.
class CleanEnvironment : public ::testing::Environment {
public:
    void SetUp() override { SetEnvironmentVariableW(L"ORBIK_WRITABLE_DIRS", nullptr); }
};
::testing::Environment* const cleanEnvironment = ::testing::AddGlobalTestEnvironment(new CleanEnvironment);

TEST(CommandLineErrors, PrintExactUsageTextAndExitWithOne) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, kNoCommand + kUsage},
        {{L"--"}, kNoCommand + kUsage},
        {{L"--", L""}, kNoCommand + kUsage},
        {{L"--verbose"}, kNoCommand + kUsage},
        {{L"--help"}, kUsage},
        {{L"-h"}, kUsage},
        {{L"--help", L"--", ProbePath(), L"exit", L"0"}, kUsage},
        {{L"--bogus", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --bogus\n" + kUsage},
        {{L"--Verbose", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --Verbose\n" + kUsage},
        {{L"--timeout", L"--", ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: --timeout\n" + kUsage},
        // A program named without "--" is an option the launcher does not know.
        {{ProbePath(), L"exit", L"0"}, "[brindle] Unknown option: " + Utf8(ProbePath()) + "\n" + kUsage},
        // The option comes back as UTF-8, written here byte by byte: "--v", U+00E9, "rbose".
        {{L"--v\u00e9rbose", L"--", ProbePath(), L"exit", L"0"},
         "[brindle] Unknown option: --v\xC3\xA9rbose\n" + kUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", c.arguments)));
        const RunResult run = RunBrindle(c.arguments);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 1u);
    }
}

TEST(VerboseRun, PrintsSummaryStartAndExitCodeAndReturnsChildCode) {
    const RunResult run =
        RunBrindle({L"--verbose", L"--max-processes=abc", L"--timeout=10s", L"--", ProbePath(), L"exit", L"7"});
    EXPECT_EQ(MaskPid(run.err), Summary(QuoteProgram(ProbePath()) + L" exit 7", "64", "10") + StartedAndExited(7));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 7u);
}

TEST(ExitStatus, IsTheChildExitCodeInFull) {
    for (const DWORD code : {0ul, 1ul, 42ul, 256ul, 65537ul, 3000000000ul}) {
        SCOPED_TRACE(code);
        const RunResult run = RunBrindle({L"--", ProbePath(), L"exit", std::to_wstring(code)});
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, code);
    }
}

TEST(NumericOptions, AreReadAsSignedDecimalAndShownInVerboseSummary) {
    struct Case {
        std::wstring option;
        std::string maxProc;
        std::string timeout;
    };
    const std::vector<Case> cases = {
        {L"--max-processes=0", "64", "0"},
        {L"--max-processes=", "64", "0"},
        {L"--max-processes=abc", "64", "0"},
        {L"--max-processes=-1", "4294967295", "0"},
        {L"--max-processes=99999999999", "2147483647", "0"},
        {L"--max-processes=-99999999999", "2147483648", "0"},
        {L"--max-processes=12abc", "12", "0"},
        {L"--timeout=+7", "64", "7"},
        {L"--timeout= 42", "64", "42"},
        {L"--timeout=\uFF11\uFF12", "64", "12"},  // fullwidth digits one, two
        {L"--timeout=\u0663", "64", "3"},         // Arabic-Indic digit three
        {L"--timeout=0x10", "64", "0"},
        {L"--timeout=", "64", "0"},
    };
    const std::vector<std::wstring> child = {ProbePath(), L"exit", L"0"};
    const std::wstring command = QuoteProgram(ProbePath()) + L" exit 0";
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.option));
        const RunResult run = RunBrindle(Concat({L"--verbose", c.option, L"--"}, child));
        EXPECT_EQ(MaskPid(run.err), Summary(command, c.maxProc, c.timeout) + StartedAndExited(0));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 0u);
    }
}

TEST(TimeLimit, EndsAChildThatRunsTooLongAndReturnsOne) {
    const RunResult run = RunBrindle({L"--timeout=1", L"--", ProbePath(), L"sleep", L"8000"});
    EXPECT_EQ(run.err, "[brindle] Child process timed out after 1 seconds, terminating\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_GE(run.elapsedMs, 900);
    EXPECT_LT(run.elapsedMs, 5000);
}

// 4294968 s is 4294968000 ms, which wraps to 704 ms in 32 bits: a wrapped limit
// would end the child long before its 1.5 s are up.
TEST(TimeLimit, TooLargeForMillisecondsDoesNotCutTheChildShort) {
    const RunResult run = RunBrindle({L"--timeout=4294968", L"--", ProbePath(), L"sleep", L"1500", L"5"});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 5u);
    EXPECT_GE(run.elapsedMs, 1400);
}

TEST(ChildCreation, MissingProgramReportsBothAttemptsAndReturnsOne) {
    const RunResult run = RunBrindle({L"--", L"no-such-program-xyz.exe", L"arg"});
    EXPECT_EQ(run.err,
              "[brindle] CreateProcessAsUser failed: 2\n"
              "[brindle] Falling back to CreateProcessW (no privilege reduction)\n"
              "[brindle] CreateProcessW also failed: 2\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 1u);
}

TEST(ChildArguments, ArriveExactlyAsGiven) {
    const std::vector<std::wstring> arguments = {
        L"plain",
        L"two words",
        L"tab\there",
        L"say \"hi there\"",
        L"quote\"only",
        LR"(C:\dir with space\)",
        LR"(trailing\)",
        L"",
        L"*",
        L"a?c",
        LR"(a\\"b)",
        LR"(\\server\share)",
        L"caf\u00e9",
        L"\u65e5\u672c",
        L"--verbose",
        L"-h",
        L"--",
        L"",
    };
    const RunResult run = RunBrindle(Concat({L"--", ProbePath(), L"args"}, arguments));
    EXPECT_EQ(run.out, ArgsOutput(arguments));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0u);
}

TEST(ChildArguments, VerboseCommandShowsTheComposedLine) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::wstring composed;  // what follows the program in the Command line
    };
    const std::vector<Case> cases = {
        {{L"one", L"two"}, L" args one two"},
        {{L"two words", L"", LR"(say "hi")", LR"(C:\dir with space\)", LR"(back\slash)"},
         LR"( args "two words" "" "say \"hi\"" "C:\dir with space\\" back\slash)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.composed));
        const RunResult run = RunBrindle(Concat({L"--verbose", L"--", ProbePath(), L"args"}, c.arguments));
        EXPECT_EQ(MaskPid(run.err), Summary(QuoteProgram(ProbePath()) + c.composed, "64", "0") + StartedAndExited(0));
        EXPECT_EQ(run.out, ArgsOutput(c.arguments));
        EXPECT_EQ(run.exitCode, 0u);
    }
}

}  // namespace
