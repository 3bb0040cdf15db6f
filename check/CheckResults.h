// What `brindle --check` found: the probes it runs, in order, and the three ways it
// tells what they found (the table on standard output, the JSON report, the exit
// status). Portable: the probes themselves run only on a real machine.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WindowsTypes.h"

namespace brindle {

// A probe's own exit status, which a probe launched by the checker ends with.
constexpr DWORD kProbeHeld = 10;        // the attack failed
constexpr DWORD kProbeSucceeded = 11;   // the attack succeeded
constexpr DWORD kProbeCouldNotTry = 12;

// One probe: the attack a hostile child would make, and the options of the launch it
// runs under. An observation is not a protection brindle gives (reads, the network): it
// says "allowed" or "refused" and never decides the exit status.
struct ProbeSpec {
    std::u16string_view name;
    std::u16string_view options;  // separated by single spaces
    bool observation;
};

inline constexpr std::array<ProbeSpec, 13> kProbes = {{
    {u"restricted-token", u"--restricted-token", false},
    {u"low-integrity", u"--low-il", false},
    {u"own-process", u"--restricted-token --job-object", false},
    {u"own-token", u"--restricted-token", false},
    {u"job-breakaway", u"--job-object", false},
    {u"process-limit", u"--job-object --max-processes=1", false},
    {u"job-end", u"--job-object --timeout=2", false},
    {u"memory-limit", u"--max-memory=64M", false},
    {u"clear-env", u"--clear-env", false},
    {u"std-handles-only", u"--std-handles-only", false},
    {u"private-console", u"--strict --private-console", false},
    {u"reads", u"--low-il --restricted-token", true},
    {u"network", u"--low-il --restricted-token --job-object", true},
}};

enum class ProbeResult { Holds, DoesNotHold, NotTried, Allowed, Refused };

struct ProbeOutcome {
    const ProbeSpec* probe;
    ProbeResult result;
    std::u16string evidence;  // one line, without its line feed
};

// The result a probe's exit status stands for: a status of the probe's own (10 held, 11
// succeeded), read as an observation's "refused" or "allowed" where it is one; anything
// else (12, or brindle's own status when the probe never ran) is "not tried".
ProbeResult ResultOfStatus(const ProbeSpec& probe, DWORD status);

// The machine the check ran on, for the table's first line and the report.
struct MachineFacts {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    bool elevated = false;
    std::optional<std::u16string> wine;  // Wine's version, when Wine runs brindle
};

// The table: "brindle <version> check on Windows M.m.b[ (elevated)][ (Wine v)]", then a
// line a probe: its name padded to 18 characters, its result to 16, then the evidence.
std::u16string CheckTable(const MachineFacts& facts, const std::vector<ProbeOutcome>& outcomes);

// The JSON report of a check, ending in a line feed.
std::string CheckReport(const MachineFacts& facts, const std::vector<ProbeOutcome>& outcomes);

// 0 when every protection that was tried holds, else 1; observations do not count.
DWORD CheckExitStatus(const std::vector<ProbeOutcome>& outcomes);

}  // namespace brindle
