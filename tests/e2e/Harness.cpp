#include "Harness.h"

#include <cstdio>

#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace e2e {

namespace {

// The build puts every program in one folder: brindle.exe and probe.exe sit
// beside this test program.
std::wstring BesideTests(const wchar_t* fileName) {
    const std::wstring self = ModulePath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + fileName;
}

constexpr DWORD kRunLimitMs = 30000;

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

std::wstring TempFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, length);
}

// A fresh temporary file for one output stream. Files rather than pipes: the
// child can write any amount without waiting for a reader. The file goes away
// when the last handle to it closes, even if a test is cut short.
UniqueHandle CreateCaptureFile() {
    const std::wstring folder = TempFolder();
    wchar_t path[MAX_PATH + 1] = {};
    if (folder.empty() || GetTempFileNameW(folder.c_str(), L"bre", 0, path) == 0) {
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

// Environment names compare by their letters without regard to case.
bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE /* ignore case */) == CSTR_EQUAL;
}

// The test program's environment block with `overrides` laid over it: each
// entry "NAME=value" ends in a null, and one more null ends the block. Names
// that begin with "=" (the current folder of each drive) are kept as they are.
std::wstring EnvironmentBlock(const std::vector<EnvironmentVariable>& overrides) {
    std::wstring block;
    wchar_t* const strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring text(entry);
        const std::wstring name = text.substr(0, text.find(L'=', 1));
        bool replaced = false;
        for (const EnvironmentVariable& variable : overrides) {
            replaced = replaced || SameName(name, variable.name);
        }
        if (!replaced) {
            block += text;
            block += L'\0';
        }
    }
    FreeEnvironmentStringsW(strings);
    for (const EnvironmentVariable& variable : overrides) {
        block += variable.name + L"=" + variable.value;
        block += L'\0';
    }
    // An empty block is two nulls; a full one needs the one after its last entry.
    if (block.empty()) {
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// Nothing from the caller's environment may add lines to the fixed texts the
// tests expect.
class CleanEnvironment : public ::testing::Environment {
public:
    void SetUp() override { SetEnvironmentVariableW(L"ORBIK_WRITABLE_DIRS", nullptr); }
};
::testing::Environment* const cleanEnvironment = ::testing::AddGlobalTestEnvironment(new CleanEnvironment);

}  // namespace

// ---------------------------------------------------------------------------
// Where the tests run

bool UnderWine() {
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

// ---------------------------------------------------------------------------
// Paths

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

std::wstring ComposeCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring line = QuoteProgram(program);
    for (const std::wstring& argument : arguments) {
        line += L" " + QuoteArgument(argument);
    }
    return line;
}

std::vector<std::wstring> Concat(std::vector<std::wstring> head, const std::vector<std::wstring>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// ---------------------------------------------------------------------------
// Running brindle.exe

namespace {

// Wine now and then loses a new process while bringing it up (its Unix side ends
// before the Windows side is ready) and reports ERROR_INTERNAL_ERROR. Seen in CI
// when starting brindle.exe; brindle's own start of its child can meet the same.
constexpr DWORD kWineLostTheNewProcess = ERROR_INTERNAL_ERROR;

// A run cut short that way tells nothing about brindle, so it is run again; a
// fault of brindle's own does not go away on a later attempt.
constexpr int kAttemptsAgainstWineStartFailures = 3;

bool BrindleSawWineLoseItsChild(const RunResult& run) {
    return run.err.find("failed: " + std::to_string(kWineLostTheNewProcess) + "\n") != std::string::npos;
}

enum class Attempt { kRan, kWineLostBrindle, kCannotStart };

// Standard input is NUL, or a file holding `input`, read from its start.
UniqueHandle OpenInput(const std::string& input) {
    if (input.empty()) {
        return OpenNulForInput();
    }
    UniqueHandle file = CreateCaptureFile();
    DWORD written = 0;
    LARGE_INTEGER start{};
    if (!file || !WriteFile(file.Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr) ||
        !SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN)) {
        return UniqueHandle();
    }
    return file;
}

// A pipe for standard input that nobody writes to; writer is the test's end, not inheritable.
UniqueHandle OpenUnwrittenPipe(HANDLE& writer) {
    SECURITY_ATTRIBUTES attributes = Inheritable();
    HANDLE reader = nullptr;
    if (!CreatePipe(&reader, &writer, &attributes, 0)) {
        return UniqueHandle();
    }
    SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
    return UniqueHandle(reader);
}

// Standard error bound for standard output's file: a duplicate of its handle, or the file
// opened again, for appending, which only the file's identity ties to the first handle.
UniqueHandle SecondHandleTo(HANDLE output, bool reopened) {
    HANDLE second = nullptr;
    if (!reopened) {
        DuplicateHandle(GetCurrentProcess(), output, GetCurrentProcess(), &second, 0, TRUE, DUPLICATE_SAME_ACCESS);
        return UniqueHandle(second);
    }
    UniqueHandle owned(
        ReOpenFile(output, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    return owned && SetHandleInformation(owned.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ? std::move(owned)
                                                                                                : UniqueHandle();
}

Attempt RunOnce(const std::wstring& program, std::wstring commandLine, std::wstring environmentBlock,
                const Streams& streams, RunResult& result) {
    HANDLE writer = nullptr;
    const UniqueHandle input = streams.inputOpenPipe ? OpenUnwrittenPipe(writer) : OpenInput(streams.input);
    const UniqueHandle inputWriter(writer);  // held open, unwritten, until brindle.exe has ended
    const UniqueHandle output = CreateCaptureFile();
    const UniqueHandle error(!streams.errorsToOutput ? CreateCaptureFile()
                             : output               ? SecondHandleTo(output.Get(), streams.reopened)
                                                    : UniqueHandle());
    if (!input || !output || !error) {
        ADD_FAILURE() << "cannot open the standard handles for brindle.exe: " << GetLastError();
        return Attempt::kCannotStart;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = error.Get();

    PROCESS_INFORMATION child{};
    const auto started = std::chrono::steady_clock::now();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE /* inherit handles */,
                        CREATE_UNICODE_ENVIRONMENT, environmentBlock.data(), nullptr, &startup, &child)) {
        const DWORD code = GetLastError();
        if (code == kWineLostTheNewProcess) {
            return Attempt::kWineLostBrindle;
        }
        ADD_FAILURE() << "cannot start " << Utf8(program) << ": " << code;
        return Attempt::kCannotStart;
    }
    const UniqueHandle process(child.hProcess);
    const UniqueHandle thread(child.hThread);
    WaitOrKill(process.Get());

    result.finished = std::chrono::steady_clock::now();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    result.finishedCount = count.QuadPart;
    result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(result.finished - started).count();
    GetExitCodeProcess(process.Get(), &result.exitCode);
    result.out = ReadCapture(output.Get());
    result.err = streams.errorsToOutput ? "" : ReadCapture(error.Get());
    return Attempt::kRan;
}

}  // namespace

RunResult RunBrindle(const std::vector<std::wstring>& arguments,
                     const std::vector<EnvironmentVariable>& environment) {
    return RunProgram(BrindlePath(), arguments, environment);
}

RunResult RunBrindleWithInput(const std::vector<std::wstring>& arguments, const std::string& input) {
    return RunProgram(BrindlePath(), arguments, {}, input);
}

namespace {

RunResult RunWithStreams(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const std::vector<EnvironmentVariable>& environment, const Streams& streams) {
    const std::wstring commandLine = ComposeCommandLine(program, arguments);
    const std::wstring block = EnvironmentBlock(environment);
    RunResult result;
    for (int attempt = 1; attempt <= kAttemptsAgainstWineStartFailures; ++attempt) {
        result = RunResult{};
        const Attempt outcome = RunOnce(program, commandLine, block, streams, result);
        if (outcome == Attempt::kCannotStart ||
            (outcome == Attempt::kRan && !BrindleSawWineLoseItsChild(result))) {
            return result;
        }
    }
    ADD_FAILURE() << "Wine failed to bring up a process " << kAttemptsAgainstWineStartFailures
                  << " times in a row (error " << kWineLostTheNewProcess << ")";
    return result;
}

}  // namespace

RunResult RunBrindleWithStreams(const std::vector<std::wstring>& arguments, const Streams& streams) {
    return RunWithStreams(BrindlePath(), arguments, {}, streams);
}

RunResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::vector<EnvironmentVariable>& environment, const std::string& input) {
    return RunWithStreams(program, arguments, environment, Streams{input});
}

std::vector<std::wstring> EnvironmentEntries(const std::vector<EnvironmentVariable>& environment) {
    const std::wstring block = EnvironmentBlock(environment);
    std::vector<std::wstring> entries;
    for (size_t start = 0; start < block.size() && block[start] != L'\0';) {
        const size_t end = block.find(L'\0', start);
        entries.push_back(block.substr(start, end - start));
        start = end + 1;
    }
    return entries;
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
    "Further options:\n"
    "  --strict                   Run the command only if every requested restriction applies\n"
    "  --report=FILE              Write a JSON report of the run to FILE\n"
    "  --max-memory=SIZE          Limit the committed memory of the whole job\n"
    "  --max-process-memory=SIZE  Limit the committed memory of each process\n"
    "  --cpu-rate=PERCENT         Cap the job's CPU use at PERCENT (1-100)\n"
    "  --cpu-time=SECONDS         Limit the job's total user-mode CPU time\n"
    "  --std-handles-only         Pass only standard input, output and error to the child\n"
    "  --clear-env                Start the child with a minimal environment\n"
    "  --keep-env=NAME            With --clear-env, keep NAME (repeatable)\n"
    "  --set-env=NAME=VALUE       Set NAME for the child (repeatable)\n"
    "  --unset-env=NAME           Remove NAME for the child (repeatable)\n"
    "  --private-console          Give the child a console of its own\n"
    "  --scratch                  Give the child a fresh TEMP folder, removed after the run\n"
    "  --wrapper-exit-codes       Exit 124-127 when brindle, not the command, ends the run\n"
    "  --check                    Try each protection on this machine and print what holds\n"
    "  --version                  Print the version and exit\n"
    "  Memory and CPU limits imply --job-object. SIZE: bytes, or a number ending in K, M or G.\n"
    "\n"
    "Example:\n"
    "  brindle.exe --low-il --restricted-token --job-object -- powershell.exe -Command \"Get-Date\"\n";

const std::string kNoCommand = "[brindle] Error: No command specified after '--'\n";

const std::string kStrictRefusal =
    "[brindle] Strict: a requested restriction could not be applied; the command was not run\n";

const std::string& ElevatedWarning() {
    static const std::string warning = [] {
        TOKEN_ELEVATION elevation{};
        DWORD length = 0;
        // The pseudo-handle of the current process token (Windows 8 and later) needs no closing.
        GetTokenInformation(GetCurrentProcessToken(), TokenElevation, &elevation, sizeof(elevation), &length);
        return elevation.TokenIsElevated != 0
                   ? "[brindle] Warning: the child of an elevated caller stays at High integrity without --low-il\n"
                   : std::string();
    }();
    return warning;
}

std::string ReadBackLines(bool lowIL, bool restrictedToken, DWORD jobLimitFlags, bool verbose) {
    if (!UnderWine()) {
        std::string verified;
        for (const auto& [applied, name] : {std::pair{restrictedToken, "restrictedToken"}, std::pair{lowIL, "lowIntegrity"},
                                            std::pair{jobLimitFlags != 0, "job, uiRestrictions"}}) {
            if (applied) {
                verified += (verified.empty() ? "" : ", ") + std::string(name);
            }
        }
        return verbose && !verified.empty() ? "[brindle] Verified: " + verified + "\n" : std::string();
    }
    std::string lines;
    if (lowIL) {
        lines += "[brindle] Warning: the child's integrity level is High, not Low\n";
    }
    if (restrictedToken) {
        lines += "[brindle] Warning: the child's token keeps 20 privileges besides SeChangeNotifyPrivilege\n";
    }
    if (jobLimitFlags != 0) {
        char flags[11];
        std::snprintf(flags, sizeof(flags), "0x%08lX", static_cast<unsigned long>(jobLimitFlags));
        lines += "[brindle] Warning: the job's limits read back as 0x00000000, not " + std::string(flags) + "\n";
        lines += "[brindle] Warning: could not read back the job's UI restrictions: 1\n";
    }
    return lines;
}

std::string Summary(const std::wstring& command, const std::string& options, size_t writableDirs) {
    return "[brindle] Command: " + Utf8(command) + "\n" +  //
           "[brindle] Options: " + options + "\n" +        //
           "[brindle] Writable dirs: " + std::to_string(writableDirs) + "\n";
}

std::string NoSwitches(const std::string& maxProc, const std::string& timeout) {
    return "lowIL=0 restrictedToken=0 jobObject=0 maxProc=" + maxProc + " timeout=" + timeout;
}

std::string StartedAndExited(DWORD exitCode) {
    return "[brindle] Child process started (PID=<pid>)\n"
           "[brindle] Child process exited with code " +
           std::to_string(exitCode) + "\n";
}

void ExpectVerboseSteps(const std::vector<VerboseSteps>& cases) {
    const std::wstring command = QuoteProgram(ProbePath()) + L" exit 0";
    for (const VerboseSteps& c : cases) {
        SCOPED_TRACE(Utf8(ComposeCommandLine(L"brindle.exe", c.options)));
        const RunResult run = RunBrindle(Concat(c.options, {L"--", ProbePath(), L"exit", L"0"}));
        EXPECT_EQ(MaskPid(run.err), Summary(command, c.summaryOptions) + c.steps + StartedAndExited(0));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitCode, 0u);
    }
}

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

std::string ArgsOutput(const std::vector<std::wstring>& arguments) {
    std::string text;
    for (const std::wstring& argument : arguments) {
        text += "[" + Utf8(argument) + "]\n";
    }
    return text;
}

// ---------------------------------------------------------------------------
// Scratch files and folders

TempPath::TempPath(const std::wstring& stem, Make make) {
    static unsigned counter = 0;
    const std::wstring prefix = TempFolder() + L"brindle-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    do {
        path_ = prefix + std::to_wstring(++counter) + L"-" + stem;
    } while (PathExists(path_));

    if (make == Make::Directory && !CreateDirectoryW(path_.c_str(), nullptr)) {
        ADD_FAILURE() << "cannot create the folder " << Utf8(path_) << ": " << GetLastError();
    }
    if (make == Make::File) {
        const UniqueHandle file(
            CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            ADD_FAILURE() << "cannot create the file " << Utf8(path_) << ": " << GetLastError();
        }
    }
}

TempPath::~TempPath() {
    const DWORD attributes = GetFileAttributesW(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveDirectoryW(path_.c_str());
    } else {
        DeleteFileW(path_.c_str());
    }
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    const UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string ReadBytes(const std::wstring& path) {
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        ADD_FAILURE() << "cannot open " << Utf8(path) << ": " << GetLastError();
        return {};
    }
    return ReadCapture(file.Get());
}

bool WaitForPath(const std::wstring& path, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (PathExists(path)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

}  // namespace e2e
