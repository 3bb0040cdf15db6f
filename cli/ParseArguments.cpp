#include "cli/ParseArguments.h"

#include <vector>

#include "cli/CommandLine.h"
#include "platform/Platform.h"
#include "cli/DecimalNumber.h"
#include "platform/Text.h"

namespace brindle {

const std::u16string_view kUsageText =
    u"Usage: brindle.exe [options] -- <command> [args...]\n"
    u"\n"
    u"Options:\n"
    u"  --low-il              Set Low Integrity Level on child process\n"
    u"  --restricted-token    Create Restricted Token (strip admin SIDs)\n"
    u"  --job-object          Assign child process to a Job Object\n"
    u"  --max-processes=N     Max child processes in Job Object (default: 64)\n"
    u"  --writable-dir=DIR    Grant Low IL write access to DIR (repeatable)\n"
    u"  --timeout=SECONDS     Execution timeout in seconds (0 = infinite)\n"
    u"  --verbose             Print debug info to stderr\n"
    u"  --help                Show this help message\n"
    u"\n"
    u"Further options:\n"
    u"  --strict                   Run the command only if every requested restriction applies\n"
    u"  --report=FILE              Write a JSON report of the run to FILE\n"
    u"  --max-memory=SIZE          Limit the committed memory of the whole job\n"
    u"  --max-process-memory=SIZE  Limit the committed memory of each process\n"
    u"  --cpu-rate=PERCENT         Cap the job's CPU use at PERCENT (1-100)\n"
    u"  --cpu-time=SECONDS         Limit the job's total user-mode CPU time\n"
    u"  --std-handles-only         Pass only standard input, output and error to the child\n"
    u"  --clear-env                Start the child with a minimal environment\n"
    u"  --keep-env=NAME            With --clear-env, keep NAME (repeatable)\n"
    u"  --set-env=NAME=VALUE       Set NAME for the child (repeatable)\n"
    u"  --unset-env=NAME           Remove NAME for the child (repeatable)\n"
    u"  --private-console          Give the child a console of its own\n"
    u"  --scratch                  Give the child a fresh TEMP folder, removed after the run\n"
    u"  --wrapper-exit-codes       Exit 124-127 when brindle, not the command, ends the run\n"
    u"  --check                    Try each protection on this machine and print what holds\n"
    u"  --version                  Print the version and exit\n"
    u"  Memory and CPU limits imply --job-object. SIZE: bytes, or a number ending in K, M or G.\n"
    u"\n"
    u"Example:\n"
    u"  brindle.exe --low-il --restricted-token --job-object -- powershell.exe -Command \"Get-Date\"\n";

namespace {

constexpr std::u16string_view kMaxProcessesPrefix = u"--max-processes=";
constexpr std::u16string_view kTimeoutPrefix = u"--timeout=";
constexpr std::u16string_view kWritableDirPrefix = u"--writable-dir=";
constexpr std::u16string_view kReportPrefix = u"--report=";
constexpr std::u16string_view kMaxMemoryPrefix = u"--max-memory=";
constexpr std::u16string_view kMaxProcessMemoryPrefix = u"--max-process-memory=";
constexpr std::u16string_view kCpuRatePrefix = u"--cpu-rate=";
constexpr std::u16string_view kCpuTimePrefix = u"--cpu-time=";
constexpr std::u16string_view kKeepEnvPrefix = u"--keep-env=";
constexpr std::u16string_view kSetEnvPrefix = u"--set-env=";
constexpr std::u16string_view kUnsetEnvPrefix = u"--unset-env=";

// The largest value the lenient rule reads without clamping it.
constexpr std::uint64_t kLargestStrictNumber = 2147483647;

// Windows keeps the CPU-time limit as a signed 64-bit count of 100-ns units.
constexpr std::uint64_t kLongestCpuTimeSeconds = 922337203685;

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A number read into an unsigned field keeps its two's-complement bits, so -1 is 4294967295.
std::uint32_t ReadOptionNumber(std::u16string_view argument, std::u16string_view prefix) {
    return static_cast<std::uint32_t>(ReadDecimalNumber(argument.substr(prefix.size())));
}

bool RefuseValue(std::u16string_view argument, ErrorStream& errors) {
    errors.WriteStandardError(u"[brindle] Invalid value: " + std::u16string(argument) + u"\n");
    errors.WriteStandardError(kUsageText);
    return false;
}

enum class OptionResult { Accepted, HelpRequested, VersionRequested, CheckRequested, InvalidValue, Unknown };

// An environment variable's name: not empty, and without "=", which ends a name.
bool IsVariableName(std::u16string_view name) { return !name.empty() && name.find(u'=') == std::u16string_view::npos; }

// NAME=VALUE: the first "=" after the name splits; the value may be empty.
OptionResult AddSetEnv(std::u16string_view text, LaunchOptions& options) {
    const std::size_t split = text.find(u'=');
    if (split == std::u16string_view::npos || !IsVariableName(text.substr(0, split))) {
        return OptionResult::InvalidValue;
    }
    options.envEdits.push_back({std::u16string(text.substr(0, split)), std::u16string(text.substr(split + 1))});
    return OptionResult::Accepted;
}

// A job limit: read strictly into its field, and the job it needs asked for.
template <typename Field>
OptionResult SetJobLimit(std::optional<std::uint64_t> value, Field& field, LaunchOptions& options) {
    if (!value) {
        return OptionResult::InvalidValue;
    }
    field = static_cast<Field>(*value);
    options.jobObject = true;
    return OptionResult::Accepted;
}

OptionResult ApplyOption(std::u16string_view argument, LaunchOptions& options) {
    if (argument == u"--low-il") {
        options.lowIL = true;
    } else if (argument == u"--restricted-token") {
        options.restrictedToken = true;
    } else if (argument == u"--job-object") {
        options.jobObject = true;
    } else if (argument == u"--verbose") {
        options.verbose = true;
    } else if (StartsWith(argument, kMaxProcessesPrefix)) {
        const std::uint32_t maxProc = ReadOptionNumber(argument, kMaxProcessesPrefix);
        options.maxProc = maxProc == 0 ? 64 : maxProc;
    } else if (StartsWith(argument, kTimeoutPrefix)) {
        options.timeout = ReadOptionNumber(argument, kTimeoutPrefix);
    } else if (StartsWith(argument, kWritableDirPrefix)) {
        options.writableDirs.emplace_back(argument.substr(kWritableDirPrefix.size()));
    } else if (StartsWith(argument, kMaxMemoryPrefix)) {
        return SetJobLimit(ReadSize(argument.substr(kMaxMemoryPrefix.size())), options.maxMemory, options);
    } else if (StartsWith(argument, kMaxProcessMemoryPrefix)) {
        return SetJobLimit(ReadSize(argument.substr(kMaxProcessMemoryPrefix.size())), options.maxProcessMemory,
                           options);
    } else if (StartsWith(argument, kCpuRatePrefix)) {
        return SetJobLimit(ReadStrictNumber(argument.substr(kCpuRatePrefix.size()), 1, 100), options.cpuRate, options);
    } else if (StartsWith(argument, kCpuTimePrefix)) {
        return SetJobLimit(ReadStrictNumber(argument.substr(kCpuTimePrefix.size()), 1, kLongestCpuTimeSeconds),
                           options.cpuTime, options);
    } else if (argument == u"--std-handles-only") {
        options.stdHandlesOnly = true;
    } else if (argument == u"--clear-env") {
        options.clearEnv = true;
    } else if (StartsWith(argument, kKeepEnvPrefix)) {
        const std::u16string_view name = argument.substr(kKeepEnvPrefix.size());
        if (!IsVariableName(name)) {
            return OptionResult::InvalidValue;
        }
        options.keepEnv.emplace_back(name);
    } else if (StartsWith(argument, kSetEnvPrefix)) {
        return AddSetEnv(argument.substr(kSetEnvPrefix.size()), options);
    } else if (StartsWith(argument, kUnsetEnvPrefix)) {
        const std::u16string_view name = argument.substr(kUnsetEnvPrefix.size());
        if (!IsVariableName(name)) {
            return OptionResult::InvalidValue;
        }
        options.envEdits.push_back({std::u16string(name), std::nullopt});
    } else if (argument == u"--private-console") {
        options.privateConsole = true;
    } else if (argument == u"--scratch") {
        options.scratch = true;
    } else if (argument == u"--strict") {
        options.strict = true;
    } else if (argument == u"--wrapper-exit-codes") {
        options.wrapperExitCodes = true;
    } else if (StartsWith(argument, kReportPrefix)) {
        if (argument.size() == kReportPrefix.size()) {
            return OptionResult::InvalidValue;
        }
        options.reportPath = argument.substr(kReportPrefix.size());
    } else if (argument == u"--help" || argument == u"-h") {
        return OptionResult::HelpRequested;
    } else if (argument == u"--version") {
        return OptionResult::VersionRequested;
    } else if (argument == u"--check") {
        return OptionResult::CheckRequested;
    } else {
        return OptionResult::Unknown;
    }
    return OptionResult::Accepted;
}

// Under --strict the time limit and the process limit are read strictly too: a value
// that the lenient rule would turn into 0 ("abc": no limit at all) or clamp is refused.
// Returns the first argument whose value is not one or more ASCII digits of at most
// 2147483647, in command-line order; empty when all are.
std::u16string_view NumberPrefix(std::u16string_view argument) {
    return StartsWith(argument, kTimeoutPrefix) ? kTimeoutPrefix : kMaxProcessesPrefix;
}

bool ReadsLeniently(std::u16string_view argument) {
    return !ReadStrictNumber(argument.substr(NumberPrefix(argument).size()), 0, kLargestStrictNumber);
}

std::u16string_view FirstLenientNumber(const std::vector<std::u16string_view>& numberArguments) {
    for (const std::u16string_view argument : numberArguments) {
        if (ReadsLeniently(argument)) {
            return argument;
        }
    }
    return {};
}

// Without --strict a time or process limit that is not plain digits is read leniently
// ("0.5" is 0, that is no limit at all): what it was read as is said, as is a --keep-env
// that keeps nothing because the environment is not cleared.
void SaySilentReadings(const std::vector<std::u16string_view>& numberArguments, const LaunchOptions& options,
                       ErrorStream& errors) {
    for (const std::u16string_view argument : numberArguments) {
        if (ReadsLeniently(argument)) {
            const std::uint32_t read = ReadOptionNumber(argument, NumberPrefix(argument));
            const std::uint32_t used = StartsWith(argument, kTimeoutPrefix) || read != 0 ? read : 64;
            errors.WriteStandardError(u"[brindle] Warning: " + std::u16string(argument) + u" read as " + Decimal(used) +
                                      u"\n");
        }
    }
    if (!options.keepEnv.empty() && !options.clearEnv) {
        errors.WriteStandardError(u"[brindle] Warning: --keep-env has no effect without --clear-env\n");
    }
}

// --check ends the parse like --version, but its report may be asked for after it too
// (`brindle --check --report=FILE`, as people type it): the options that follow are read
// for that alone, up to "--"; any other is ignored.
void ReadCheckReport(int argc, const char16_t* const* argv, int from, LaunchOptions& options) {
    for (int index = from; index < argc; ++index) {
        const std::u16string_view argument = argv[index];
        if (argument == u"--") {
            return;
        }
        if (StartsWith(argument, kReportPrefix) && argument.size() > kReportPrefix.size()) {
            options.reportPath = argument.substr(kReportPrefix.size());
        }
    }
}

}  // namespace

bool ParseArguments(int argc, const char16_t* const* argv, LaunchOptions& options, ErrorStream& errors) {
    bool afterSeparator = false;
    std::vector<std::u16string_view> commandArguments;
    std::vector<std::u16string_view> numberArguments;  // --timeout= and --max-processes=, in order
    // An empty program is kept as "" on the command line, so an empty command line
    // cannot tell whether the child has a name; this flag can.
    bool hasNonEmptyArgument = false;
    for (int index = 1; index < argc; ++index) {
        const std::u16string_view argument = argv[index];
        if (afterSeparator) {
            commandArguments.push_back(argument);
            hasNonEmptyArgument = hasNonEmptyArgument || !argument.empty();
            continue;
        }
        if (argument == u"--") {
            afterSeparator = true;
            continue;
        }
        switch (ApplyOption(argument, options)) {
            case OptionResult::Accepted:
                if (StartsWith(argument, kTimeoutPrefix) || StartsWith(argument, kMaxProcessesPrefix)) {
                    numberArguments.push_back(argument);
                }
                break;
            case OptionResult::HelpRequested:
                options.helpRequested = true;
                errors.WriteStandardError(kUsageText);
                return false;
            case OptionResult::VersionRequested:
                options.versionRequested = true;
                return false;
            case OptionResult::CheckRequested:
                options.checkRequested = true;
                ReadCheckReport(argc, argv, index + 1, options);
                return false;
            case OptionResult::InvalidValue:
                return RefuseValue(argument, errors);
            case OptionResult::Unknown:
                errors.WriteStandardError(u"[brindle] Unknown option: " + std::u16string(argument) + u"\n");
                errors.WriteStandardError(kUsageText);
                return false;
        }
    }
    if (options.strict) {
        const std::u16string_view lenient = FirstLenientNumber(numberArguments);
        if (!lenient.empty()) {
            return RefuseValue(lenient, errors);
        }
    }
    if (!hasNonEmptyArgument) {
        errors.WriteStandardError(u"[brindle] Error: No command specified after '--'\n");
        errors.WriteStandardError(kUsageText);
        return false;
    }
    options.commandArguments.assign(commandArguments.begin(), commandArguments.end());
    if (!ComposeCommandLine(options.commandArguments, options.command, errors)) {
        return false;
    }
    SaySilentReadings(numberArguments, options, errors);
    return true;
}

}  // namespace brindle
