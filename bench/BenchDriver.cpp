// BenchDriver.exe: times brindle.exe from inside Windows (or Wine), so that the
// cost of entering Wine from Linux stays out of every figure.
//
//   BenchDriver.exe BRINDLE BARE CHILD PAIRS RUNS [BASELINE]
//
// BRINDLE is brindle.exe, BARE the reference launcher (bare.exe), CHILD the
// program both start with the arguments "exit 0". PAIRS is the number of paired
// overhead runs, RUNS the number of runs per writable-directory case, BASELINE an
// earlier brindle.exe to time the run with a job against. Last, the relay of
// --private-console is timed against an inherited pipe (probe.exe flood). Each run
// is one launcher process, from CreateProcessW until it has exited, timed with
// QueryPerformanceCounter; its standard handles are NUL. A run that does not
// exit with 0 stops the benchmark (exit status 2): a failed launch is fast and
// would make every figure meaningless.

#include <windows.h>

#include "../tests/e2e/ProgramText.h"
#include "../tests/e2e/UniqueHandle.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

// The paths arrive as given; no wildcard expansion by the runtime.
extern "C" {
int _dowildcard = 0;
}

namespace {

// The longest command line and environment value Windows accepts, in UTF-16 code
// units, the terminating null included.
constexpr size_t kWindowsStringLimit = 32767;
constexpr const wchar_t* kDirsVariable = L"ORBIK_WRITABLE_DIRS";
constexpr DWORD kRunTimeoutMs = 60000;

// Plain ASCII through WriteFile: no runtime text mode, so lines end in "\n".
void Write(DWORD stream, const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

[[noreturn]] void Die(const std::string& message) {
    Write(STD_ERROR_HANDLE, "BenchDriver: " + message + "\n");
    ExitProcess(2);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }  // ASCII paths only

template <typename... Values>
std::string Format(const char* format, Values... values) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Fastest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// An inheritable handle, so that a launcher (and its child) can use it as a
// standard handle.
HANDLE OpenInheritable(const wchar_t* path, DWORD disposition, DWORD flags) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE /* inheritable */};
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &security, disposition, flags, nullptr);
}

// Runs one command line with standard output and error set to `output`, and standard
// input to `input` (when null, to `output` too), and returns the wall time from
// creation to exit in milliseconds.
double TimeRun(const std::wstring& commandLine, HANDLE output, HANDLE input = nullptr) {
    std::wstring buffer = commandLine;  // creation may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input != nullptr ? input : output;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION launched{};
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE /* inherit the standard handles */, 0, nullptr,
                        nullptr, &startup, &launched)) {
        Die(Format("CreateProcessW failed: %lu for %s", GetLastError(), Narrow(commandLine.substr(0, 200)).c_str()));
    }
    const UniqueHandle process(launched.hProcess);
    const UniqueHandle thread(launched.hThread);
    const DWORD waited = WaitForSingleObject(process.Get(), kRunTimeoutMs);
    QueryPerformanceCounter(&end);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        Die("a run did not end within 60 s: " + Narrow(commandLine.substr(0, 200)));
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(process.Get(), &exitCode);
    if (exitCode != 0) {
        Die(Format("exit code %lu from %s", exitCode, Narrow(commandLine.substr(0, 200)).c_str()));
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Sets or (with nullptr) removes the directory list in the environment that
// launchers started from here inherit.
void SetDirsVariable(const std::wstring* value) {
    if (!SetEnvironmentVariableW(kDirsVariable, value != nullptr ? value->c_str() : nullptr) && value != nullptr) {
        Die(Format("SetEnvironmentVariableW failed: %lu", GetLastError()));
    }
}

// Distinct short paths of one length on a drive folder that does not exist.
std::wstring MissingDir(unsigned index) {
    wchar_t text[32];
    std::swprintf(text, 32, L"Z:\\nx\\d%05u", index);
    return text;
}

std::wstring DirList(unsigned count) {
    std::wstring list;
    for (unsigned i = 1; i <= count; ++i) {
        list += (i > 1 ? L";" : L"") + MissingDir(i);
    }
    return list;
}

std::wstring DirArguments(unsigned count) {
    std::wstring arguments;
    for (unsigned i = 1; i <= count; ++i) {
        arguments += L" --writable-dir=" + MissingDir(i);
    }
    return arguments;
}

// One run with standard error captured in a temporary file; returns how many
// lines name one of the missing directories. This proves that every entry of a
// full-size list reached brindle: a truncated command line or environment would
// still exit with 0, only faster.
size_t CountDirLines(const std::wstring& commandLine, const std::wstring* dirs) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        Die("GetTempPathW failed");
    }
    const std::wstring path = std::wstring(folder) + L"brindle-bench-stderr.txt";
    const UniqueHandle capture(
        OpenInheritable(path.c_str(), CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
    if (!capture) {
        Die(Format("CreateFileW(%s) failed: %lu", Narrow(path).c_str(), GetLastError()));
    }
    SetDirsVariable(dirs);
    TimeRun(commandLine, capture.Get());
    SetDirsVariable(nullptr);

    // The launcher shared this handle's file position; read from the start.
    SetFilePointer(capture.Get(), 0, nullptr, FILE_BEGIN);
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(capture.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    size_t lines = 0;
    const char* const marker = "Z:\\nx\\d";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, text.find('\n', at))) {
        ++lines;  // counted once per line: the search goes on from the line's end
    }
    return lines;
}

struct Case {
    const char* label;
    unsigned count;         // directories named
    std::wstring commandLine;
    std::wstring dirs;      // the environment value; empty: variable not set
    std::vector<double> times;
};

// Times two command lines in pairs after a warm-up; the order alternates within the
// pairs, so a slow drift of the machine favours neither side.
struct Paired {
    std::vector<double> first;
    std::vector<double> second;
    std::vector<double> ratios;  // second / first, pair by pair
};

Paired TimePairs(const std::wstring& first, const std::wstring& second, int pairs, HANDLE nul,
                 HANDLE input = nullptr) {
    for (int i = 0; i < 3; ++i) {  // warm-up: load both programs into the file cache
        TimeRun(first, nul, input);
        TimeRun(second, nul, input);
    }
    Paired paired;
    for (int i = 0; i < pairs; ++i) {
        double firstMs = 0;
        double secondMs = 0;
        if (i % 2 == 0) {
            firstMs = TimeRun(first, nul, input);
            secondMs = TimeRun(second, nul, input);
        } else {
            secondMs = TimeRun(second, nul, input);
            firstMs = TimeRun(first, nul, input);
        }
        paired.first.push_back(firstMs);
        paired.second.push_back(secondMs);
        paired.ratios.push_back(secondMs / firstMs);
    }
    return paired;
}

void Overhead(const std::wstring& brindle, const std::wstring& bare, const std::wstring& child, int pairs,
              HANDLE nul) {
    const Paired paired = TimePairs(bare + L" " + child,
                                    brindle + L" --low-il --restricted-token --job-object --timeout=60 -- " + child,
                                    pairs, nul);
    const double ratio = Median(paired.ratios);
    Write(STD_OUTPUT_HANDLE,
          Format("1. Overhead: brindle --low-il --restricted-token --job-object --timeout=60 vs bare launcher\n"
                 "   child: probe.exe exit 0; %d pairs, order alternating within pairs\n",
                 pairs) +
              Format("   median time, bare launcher:  %7.2f ms  (fastest %.2f)\n", Median(paired.first),
                     Fastest(paired.first)) +
              Format("   median time, brindle:        %7.2f ms  (fastest %.2f)\n", Median(paired.second),
                     Fastest(paired.second)) +
              Format("   median of per-pair ratios brindle/bare: %.3f  (target <= 1.10: %s)\n", ratio,
                     ratio <= 1.10 ? "met" : "NOT met"));
}

// One build or option against another, timed in pairs: the second's cost is the
// median of the per-pair ratios.
void Compare(const char* heading, const char* firstName, const char* secondName, const std::wstring& first,
             const std::wstring& second, int pairs, HANDLE nul) {
    const Paired paired = TimePairs(first, second, pairs, nul);
    const double ratio = Median(paired.ratios);
    Write(STD_OUTPUT_HANDLE,
          Format("%s, %d pairs\n", heading, pairs) +
              Format("   median time, %s: %7.2f ms, %s: %7.2f ms\n", firstName, Median(paired.first), secondName,
                     Median(paired.second)) +
              Format("   median of per-pair ratios %s/%s: %.3f  (target <= 1.05: %s)\n", secondName, firstName,
                     ratio, ratio <= 1.05 ? "met" : "NOT met"));
}

void Size(const std::wstring& brindle) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(brindle.c_str(), GetFileExInfoStandard, &data)) {
        Die(Format("GetFileAttributesExW failed: %lu", GetLastError()));
    }
    const unsigned long long bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // The same limit as the size test of the mingw preset (tests/CMakeLists.txt).
    constexpr unsigned long long kLimit = 256 * 1024;
    const double kib = static_cast<double>(bytes) / 1024.0;
    const bool met = bytes <= kLimit;
    Write(STD_OUTPUT_HANDLE,
          Format("2. Size: brindle.exe %llu bytes = %.1f KiB  (target <= 256 KiB: %s, %lld bytes spare)\n", bytes, kib,
                 met ? "met" : "NOT met", static_cast<long long>(kLimit) - static_cast<long long>(bytes)));
}

void WritableDirCost(const std::wstring& brindle, const std::wstring& child, int runs, HANDLE nul) {
    const std::wstring plainRun = brindle + L" -- " + child;

    // As many entries as fit: "Z:\nx\dNNNNN" plus its ";" separator, and the
    // terminator; as many " --writable-dir=..." arguments as the rest of the
    // command line leaves room for.
    const unsigned envCount = static_cast<unsigned>(kWindowsStringLimit / (MissingDir(1).size() + 1));
    const size_t argumentSize = DirArguments(1).size();
    const unsigned argCount =
        static_cast<unsigned>((kWindowsStringLimit - 1 - brindle.size() - (L" -- " + child).size()) / argumentSize);

    std::vector<Case> cases;
    cases.push_back({"no directories", 0, plainRun, L"", {}});
    cases.push_back({"ORBIK_WRITABLE_DIRS", envCount / 10, plainRun, DirList(envCount / 10), {}});
    cases.push_back({"ORBIK_WRITABLE_DIRS", envCount, plainRun, DirList(envCount), {}});
    for (const unsigned count : {argCount / 10, argCount}) {
        cases.push_back({"--writable-dir", count, brindle + DirArguments(count) + L" -- " + child, L"", {}});
    }

    // Without --verbose brindle names the missing directories of the environment
    // nowhere, so that check runs with --verbose; each missing --writable-dir
    // entry always gets a Warning line.
    const Case& envFull = cases[2];
    const Case& argFull = cases[4];
    const size_t envLines = CountDirLines(brindle + L" --verbose -- " + child, &envFull.dirs);
    const size_t argLines = CountDirLines(argFull.commandLine, nullptr);
    if (envLines != envFull.count || argLines != argFull.count) {
        Die(Format("brindle reported %zu of %u environment and %zu of %u command-line directories", envLines,
                   envFull.count, argLines, argFull.count));
    }

    for (int round = 0; round < runs + 1; ++round) {  // round 0 is a warm-up
        for (Case& c : cases) {                        // interleaved, so drift spreads over every case
            SetDirsVariable(c.dirs.empty() ? nullptr : &c.dirs);
            const double ms = TimeRun(c.commandLine, nul);
            SetDirsVariable(nullptr);
            if (round > 0) {
                c.times.push_back(ms);
            }
        }
    }

    // A run always pays for starting two processes, which here costs about as much
    // as a full list of directories, so the plain ratio full/tenth stays far below
    // 10. Only the time above the no-directory run grows with the number of
    // directories: that ratio shows whether the growth is linear. It is taken per
    // round against the no-directory run of the same round, so that a burst of
    // load on the machine, which slows a whole round, cancels out.
    const std::vector<double>& base = cases[0].times;
    std::string report =
        Format("3. Writable-directory cost: brindle -- probe.exe exit 0, missing directories, median of %d runs\n"
               "   (each full list checked to reach brindle whole: %zu and %zu lines on standard error)\n",
               runs, envLines, argLines) +
        Format("   no directories:                %8.2f ms\n", Median(base));
    for (size_t i = 1; i < cases.size(); i += 2) {
        const Case& tenth = cases[i];
        const Case& full = cases[i + 1];
        std::vector<double> tenthAbove;
        std::vector<double> fullAbove;
        std::vector<double> fullAboveTenth;
        for (size_t round = 0; round < base.size(); ++round) {
            tenthAbove.push_back(tenth.times[round] - base[round]);
            fullAbove.push_back(full.times[round] - base[round]);
            fullAboveTenth.push_back(full.times[round] - tenth.times[round]);
        }
        const double tenthMs = Median(tenth.times);
        const double fullMs = Median(full.times);
        const size_t length = full.dirs.empty() ? full.commandLine.size() : full.dirs.size();
        report +=
            Format("   %-20s %5u dirs: %8.2f ms\n", tenth.label, tenth.count, tenthMs) +
            Format("   %-20s %5u dirs: %8.2f ms  (%s of %zu characters)\n", full.label, full.count, fullMs,
                   full.dirs.empty() ? "command line" : "value", length) +
            Format("      ratio full/tenth %.2f; above no directories (same round, median): %.2f ms and %.2f ms,"
                   " ratio %.2f (linear: 10); %.1f us per directory\n",
                   fullMs / tenthMs, Median(tenthAbove), Median(fullAbove), Median(fullAbove) / Median(tenthAbove),
                   Median(fullAboveTenth) * 1000.0 / (full.count - tenth.count));
    }
    Write(STD_OUTPUT_HANDLE, report);
}

DWORD WINAPI DrainPipe(void* pipe) {
    static char chunk[65536];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr)) {
    }
    return 0;
}

// What the relay of a console of the child's own costs a child that writes much in small
// pieces: 200 000 writes of 100 bytes into a pipe that a thread here drains, inherited by
// the child without the option, relayed by brindle with it.
void RelayCost(const std::wstring& brindle, const std::wstring& probe, int pairs, HANDLE nul) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inheritable, 0) || !SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0)) {
        Die(Format("CreatePipe failed: %lu", GetLastError()));
    }
    const HANDLE drain = CreateThread(nullptr, 0, DrainPipe, reader, 0, nullptr);
    if (drain == nullptr) {
        Die(Format("CreateThread failed: %lu", GetLastError()));
    }
    const std::wstring flood = probe + L" flood 200000 100";
    const Paired paired =
        TimePairs(brindle + L" -- " + flood, brindle + L" --private-console -- " + flood, pairs, writer, nul);
    CloseHandle(writer);  // the drain reads the pipe's end and returns
    WaitForSingleObject(drain, INFINITE);
    CloseHandle(drain);
    CloseHandle(reader);
    const double ratio = Median(paired.ratios);
    Write(STD_OUTPUT_HANDLE,
          Format("6. Relay: probe.exe flood 200000 100 (20 MB in writes of 100 bytes) into a drained pipe, %d pairs\n",
                 pairs) +
              Format("   median time, inherited pipe: %7.2f ms, --private-console relay: %7.2f ms\n",
                     Median(paired.first), Median(paired.second)) +
              Format("   median of per-pair ratios relay/inherited: %.3f  (target <= 1.5: %s)\n", ratio,
                     ratio <= 1.5 ? "met" : "NOT met"));
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 6 && argc != 7) {
        Die("usage: BenchDriver.exe BRINDLE BARE CHILD PAIRS RUNS [BASELINE]");
    }
    const std::wstring brindlePath = argv[1];
    const std::wstring brindle = QuoteProgram(brindlePath);
    const std::wstring bare = QuoteProgram(argv[2]);
    const std::wstring child = QuoteProgram(argv[3]) + L" exit 0";
    const int pairs = std::max(1, _wtoi(argv[4]));
    const int runs = std::max(1, _wtoi(argv[5]));

    const UniqueHandle nul(OpenInheritable(L"NUL", OPEN_EXISTING, 0));
    if (!nul) {
        Die(Format("CreateFileW(NUL) failed: %lu", GetLastError()));
    }
    SetDirsVariable(nullptr);  // only the cases below name directories

    Overhead(brindle, bare, child, pairs, nul.Get());
    Size(brindlePath);
    WritableDirCost(brindle, child, runs, nul.Get());
    // What a scratch folder adds to a run: creating it, the environment block, deleting it.
    const std::wstring jobRun = L" --job-object --timeout=60";
    Compare("4. Scratch: brindle --job-object --timeout=60 with and without --scratch", "without", "with",
            brindle + jobRun + L" -- " + child, brindle + jobRun + L" --scratch -- " + child, pairs, nul.Get());
    if (argc == 7) {
        // Every option that shapes the launch, so that what the build adds to it shows.
        const std::wstring everyOption = L" --low-il --restricted-token --job-object --timeout=60 --max-memory=256M"
                                         L" --max-process-memory=128M --max-processes=16 --cpu-rate=50 --cpu-time=60"
                                         L" --std-handles-only --scratch";
        Compare("5. Against the baseline: brindle with every option", "baseline", "this",
                QuoteProgram(argv[6]) + everyOption + L" -- " + child, brindle + everyOption + L" -- " + child,
                pairs, nul.Get());
    }
    RelayCost(brindle, QuoteProgram(argv[3]), 7, nul.Get());
    return 0;
}
