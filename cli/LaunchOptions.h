// The parsed command line: what the caller asked brindle to do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brindle {

// One --set-env (with a value) or --unset-env (without), in command-line order.
struct EnvironmentEdit {
    std::u16string name;
    std::optional<std::u16string> value;
};

struct LaunchOptions {
    bool lowIL = false;
    bool restrictedToken = false;
    bool jobObject = false;
    bool verbose = false;
    std::uint32_t maxProc = 64;  // active-process limit of the job; never 0 after a parse
    std::uint32_t timeout = 0;   // seconds; 0 means no limit
    std::vector<std::u16string> writableDirs;  // command-line order, duplicates and empty entries kept
    std::u16string command;      // the child's command line
    std::vector<std::u16string> commandArguments;  // what it was composed from, the program first
    // Job limits, each 0 when not asked for; asking for one also asks for the job.
    std::uint64_t maxMemory = 0;         // bytes committed by the whole job
    std::uint64_t maxProcessMemory = 0;  // bytes committed by each process
    std::uint32_t cpuRate = 0;           // percent of the machine's CPU, 1 to 100
    std::uint64_t cpuTime = 0;           // seconds of user-mode CPU time for the whole job
    bool stdHandlesOnly = false;  // the child inherits the standard handles and no other
    bool clearEnv = false;        // the child's environment starts from a minimal set
    std::vector<std::u16string> keepEnv;   // names kept besides that set
    std::vector<EnvironmentEdit> envEdits;
    bool privateConsole = false;  // the child runs on a hidden console of its own, its streams relayed
    bool scratch = false;         // the child's TEMP and TMP name a fresh folder, removed after the run
    bool strict = false;         // refuse to run the command when a requested restriction does not apply
    std::u16string reportPath;   // where the run report goes; empty when none is asked for
    bool versionRequested = false;  // --version ended the parse: print the version, launch nothing
    bool helpRequested = false;     // --help ended the parse: the usage text, and no report
    bool checkRequested = false;    // --check ended the parse: try the protections, launch nothing
    // brindle's own ends of a run exit with the codes of the POSIX wrappers (124 to 127),
    // so that a script can tell them from the command's own exit code.
    bool wrapperExitCodes = false;

    // Any option that gives the child an environment other than the launcher's.
    bool EnvironmentRequested() const { return clearEnv || !keepEnv.empty() || !envEdits.empty(); }
};

}  // namespace brindle
