#include "report/RunReport.h"

#include <algorithm>
#include <optional>

#include "platform/Owners.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "report/Json.h"
#include "report/Version.h"

namespace brindle {
namespace {

std::u16string_view OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Exited: return u"exited";
        case Outcome::Crashed: return u"crashed";
        case Outcome::Interrupted: return u"interrupted";
        case Outcome::TimedOut: return u"timed out";
        case Outcome::Refused: return u"refused";
        case Outcome::WaitFailed: return u"wait failed";
        case Outcome::Running: return u"running";
        case Outcome::NotStarted: break;
    }
    return u"not started";
}

std::u16string_view GrantName(GrantResult result) {
    switch (result) {
        case GrantResult::Granted: return u"granted";
        case GrantResult::AlreadyLow: return u"already low";
        case GrantResult::Missing: return u"missing";
        case GrantResult::NotADirectory: return u"not a directory";
        case GrantResult::Refused: return u"refused";
        case GrantResult::Failed: break;
    }
    return u"failed";
}

void OptionalNumber(JsonWriter& json, const std::optional<DWORD>& value) {
    if (value) {
        json.Number(*value);
    } else {
        json.Null();
    }
}

void OptionalBool(JsonWriter& json, const std::optional<bool>& value) {
    if (value) {
        json.Bool(*value);
    } else {
        json.Null();
    }
}

void OptionalString(JsonWriter& json, const std::optional<std::u16string>& value) {
    if (value) {
        json.String(*value);
    } else {
        json.Null();
    }
}

void ChildTokenValue(JsonWriter& json, ChildToken token) {
    switch (token) {
        case ChildToken::Restricted: json.String(u"restricted"); return;
        case ChildToken::Duplicate: json.String(u"duplicate"); return;
        case ChildToken::Own: json.String(u"own"); return;
        case ChildToken::None: break;
    }
    json.Null();
}

void Restriction(JsonWriter& json, std::string_view name, const RestrictionRecord& restriction) {
    json.Key(name);
    json.BeginObject();
    json.Key("requested");
    json.Bool(restriction.requested);
    json.Key("applied");
    json.Bool(restriction.applied);
    json.Key("error");
    OptionalNumber(json, restriction.error);
    json.Key("verified");
    OptionalBool(json, restriction.verified);
    json.EndObject();
}

void Directories(JsonWriter& json, const std::vector<WritableDir>& directories) {
    json.BeginArray();
    for (const WritableDir& directory : directories) {
        json.BeginObject();
        json.Key("path");
        json.String(directory.path);
        json.Key("source");
        json.String(directory.source == DirectorySource::CommandLine ? u"command line" : u"environment");
        json.Key("result");
        json.String(GrantName(directory.grant.result));
        json.Key("error");
        OptionalNumber(json, directory.grant.error);
        json.EndObject();
    }
    json.EndArray();
}

// A figure of a query that failed is null.
template <typename Part, typename Field>
void Figure(JsonWriter& json, std::string_view key, const std::optional<Part>& part, Field Part::*field) {
    json.Key(key);
    if (part) {
        json.Number((*part).*field);
    } else {
        json.Null();
    }
}

void Job(JsonWriter& json, const std::optional<JobAccounting>& accounting) {
    if (!accounting) {
        json.Null();
        return;
    }
    using Counts = JobAccounting::Counts;
    using Peaks = JobAccounting::Peaks;
    json.BeginObject();
    Figure(json, "totalProcesses", accounting->counts, &Counts::totalProcesses);
    Figure(json, "activeProcesses", accounting->counts, &Counts::activeProcesses);
    Figure(json, "peakProcessMemory", accounting->peaks, &Peaks::processMemory);
    Figure(json, "peakJobMemory", accounting->peaks, &Peaks::jobMemory);
    Figure(json, "userTimeMs", accounting->counts, &Counts::userTimeMs);
    Figure(json, "kernelTimeMs", accounting->counts, &Counts::kernelTimeMs);
    json.EndObject();
}

// The decimal digits of value, with leading zeros up to width.
std::u16string Digits(std::uint64_t value, std::size_t width) {
    std::u16string digits = Decimal(value);
    return std::u16string(width > digits.size() ? width - digits.size() : 0, u'0') + digits;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of a FILETIME count (100-ns units since 1601-01-01 UTC). The
// civil date comes from the count of days by the proleptic Gregorian calendar, in eras of
// 400 years (146 097 days) that repeat exactly.
std::u16string UtcText(std::uint64_t fileTime) {
    const std::uint64_t milliseconds = fileTime / 10000;
    const std::uint64_t dayMs = milliseconds % 86400000;
    // Days from 0000-03-01, a year that begins after its leap day, to 1601-01-01: 584 694.
    const std::uint64_t days = milliseconds / 86400000 + 584694;
    const std::uint64_t era = days / 146097;
    const std::uint64_t dayOfEra = days % 146097;
    const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::uint64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const std::uint64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const std::uint64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
    return Digits(year, 4) + u"-" + Digits(month, 2) + u"-" + Digits(day, 2) + u"T" + Digits(dayMs / 3600000, 2) +
           u":" + Digits(dayMs / 60000 % 60, 2) + u":" + Digits(dayMs / 1000 % 60, 2) + u"." +
           Digits(dayMs % 1000, 3) + u"Z";
}

void Timestamp(JsonWriter& json, const std::optional<std::uint64_t>& fileTime) {
    if (fileTime) {
        json.String(UtcText(*fileTime));
    } else {
        json.Null();
    }
}

std::u16string_view GroupName(AdministratorsGroup group) {
    switch (group) {
        case AdministratorsGroup::Enabled: return u"enabled";
        case AdministratorsGroup::DenyOnly: return u"deny-only";
        case AdministratorsGroup::Absent: break;
    }
    return u"absent";
}

// What the child's token read back; a field whose read failed is null.
void Child(JsonWriter& json, const std::optional<ChildReading>& child) {
    if (!child) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Key("pid");
    json.Number(child->pid);
    json.Key("integrity");
    if (child->integrity) {
        json.String(IntegrityName(*child->integrity));
    } else {
        json.Null();
    }
    json.Key("administrators");
    if (child->administrators) {
        json.String(GroupName(*child->administrators));
    } else {
        json.Null();
    }
    json.Key("privileges");
    OptionalNumber(json, child->privileges);
    json.EndObject();
}

// Whether path lies in folder or below it, by whole folder names and without regard to
// the case of ASCII letters, as Windows compares names. An empty name lies nowhere.
bool IsInsideFolder(const std::u16string& path, std::u16string folder) {
    while (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) {
        folder.pop_back();
    }
    if (path.empty() || folder.empty() || path.size() <= folder.size() + 1) {
        return false;
    }
    const char16_t separator = path[folder.size()];
    return (separator == u'\\' || separator == u'/') &&
           std::equal(folder.begin(), folder.end(), path.begin(),
                      [](char16_t a, char16_t b) { return AsciiLower(a) == AsciiLower(b); });
}

void Limits(JsonWriter& json, const RequestedLimits& limits) {
    json.BeginObject();
    for (const auto& [key, value] : {std::pair{"timeoutSeconds", &limits.timeoutSeconds},
                                     {"maxProcesses", &limits.maxProcesses},
                                     {"maxMemory", &limits.maxMemory},
                                     {"maxProcessMemory", &limits.maxProcessMemory},
                                     {"cpuRate", &limits.cpuRate},
                                     {"cpuTimeSeconds", &limits.cpuTimeSeconds}}) {
        json.Key(key);
        if (*value) {
            json.Number(**value);
        } else {
            json.Null();
        }
    }
    json.EndObject();
}

std::u16string_view LimitName(JobLimit limit) {
    switch (limit) {
        case JobLimit::Processes: return u"processes";
        case JobLimit::JobMemory: return u"jobMemory";
        case JobLimit::ProcessMemory: return u"processMemory";
        case JobLimit::CpuTime: break;
    }
    return u"cpuTime";
}

void Processes(JsonWriter& json, const std::optional<std::vector<JobProcess>>& processes) {
    if (!processes) {
        json.Null();
        return;
    }
    json.BeginArray();
    for (const JobProcess& process : *processes) {
        json.BeginObject();
        json.Key("pid");
        json.Number(process.processId);
        json.Key("image");
        OptionalString(json, process.image);
        json.Key("exitCode");
        OptionalNumber(json, process.exitCode);
        json.EndObject();
    }
    json.EndArray();
}

void LimitsReached(JsonWriter& json, const std::vector<JobLimit>& limits) {
    json.BeginArray();
    for (const JobLimit limit : limits) {
        json.String(LimitName(limit));
    }
    json.EndArray();
}

// The folder's identity; empty when the folder cannot be opened or told.
std::optional<FileIdentity> IdOf(Platform& platform, const std::u16string& folder) {
    UniqueHandle handle(platform);
    return OpenToTell(platform, folder, handle) ? IdentityOf(platform, handle.get()) : std::nullopt;
}

// The folder a path lies in; empty above a root. A drive's root keeps its separator:
// "C:" alone names the drive's current folder, which may be any folder.
std::u16string FolderOf(const std::u16string& path) {
    const std::size_t separator = path.find_last_of(u"\\/");
    if (separator == std::u16string::npos || separator + 1 == path.size()) {
        return {};
    }
    const bool driveRoot = separator > 0 && path[separator - 1] == u':';
    return path.substr(0, driveRoot ? separator + 1 : separator);
}

StepResult WriteWholeFile(Platform& platform, const std::u16string& path, const std::string& text) {
    // A link planted at the name is removed, never followed: the name is made anew.
    platform.DeleteFileW(path.c_str());
    const HANDLE created = platform.CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        return StepResult::Failed(platform.GetLastError());
    }
    UniqueHandle file(platform);
    file.adopt(created);
    DWORD written = 0;
    if (!platform.WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        return StepResult::Failed(platform.GetLastError());
    }
    return StepResult::Applied();
}

}  // namespace

std::string ComposeReport(const RunRecord& record) {
    JsonWriter json;
    json.BeginObject();
    json.Key("brindle");
    json.String(kVersion);
    json.Key("command");
    json.String(record.command);
    json.Key("outcome");
    json.String(OutcomeName(record.outcome));
    json.Key("exitCode");
    if (record.outcome == Outcome::Running) {
        json.Null();
    } else {
        json.Number(record.exitCode);
    }
    json.Key("childExitCode");
    OptionalNumber(json, record.childExitCode);
    json.Key("elapsedMs");
    json.Number(record.elapsedMs);
    json.Key("childToken");
    ChildTokenValue(json, record.childToken);
    json.Key("restrictions");
    json.BeginObject();
    Restriction(json, "restrictedToken", record.restrictedToken);
    Restriction(json, "lowIntegrity", record.lowIntegrity);
    Restriction(json, "job", record.job);
    Restriction(json, "uiRestrictions", record.uiRestrictions);
    Restriction(json, "cpuRate", record.cpuRate);
    Restriction(json, "stdHandlesOnly", record.stdHandlesOnly);
    Restriction(json, "environment", record.environment);
    Restriction(json, "privateConsole", record.privateConsole);
    Restriction(json, "scratch", record.scratch);
    Restriction(json, "ownProcess", record.ownProcess);
    json.EndObject();
    json.Key("directories");
    Directories(json, record.directories);
    json.Key("job");
    Job(json, record.jobAccounting);
    json.Key("program");
    OptionalString(json, record.program);
    json.Key("limits");
    Limits(json, record.limits);
    json.Key("scratch");
    OptionalString(json, record.scratchFolder);
    json.Key("processes");
    Processes(json, record.processes);
    json.Key("limitsReached");
    LimitsReached(json, record.limitsReached);
    json.Key("message");
    OptionalString(json, record.message);
    json.Key("startedAt");
    Timestamp(json, record.startedAt);
    json.Key("endedAt");
    Timestamp(json, record.endedAt);
    json.Key("child");
    Child(json, record.child);
    json.Key("scratchRemoved");
    OptionalBool(json, record.scratchRemoved);
    json.EndObject();
    return json.Text() + "\n";
}

StepResult RunReport::MoveOver(const std::u16string& temporary) {
    const ULONGLONG start = platform_.GetTickCount64();
    for (;;) {
        if (platform_.MoveFileExW(temporary.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return StepResult::Applied();
        }
        const DWORD error = platform_.GetLastError();
        // A reader (the harness itself, an editor, a virus scanner) that holds the file open
        // keeps it from being replaced for a while; each report waits it out, the first too,
        // or a run ended early would leave an earlier run's report. A folder there never lets go.
        const DWORD attributes = error == ERROR_ACCESS_DENIED ? platform_.GetFileAttributesW(path_.c_str()) : 0;
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool held = (error == ERROR_ACCESS_DENIED && !folder) || error == ERROR_SHARING_VIOLATION;
        if (!held || platform_.GetTickCount64() - start >= kReaderPatienceMs) {
            return StepResult::Failed(error);
        }
        platform_.Sleep(kReaderRetryMs);
    }
}

void RunReport::Write(const RunRecord& record) { WriteText(ComposeReport(record)); }

void RunReport::WriteText(const std::string& text) {
    if (path_.empty()) {
        return;
    }
    const std::u16string temporary = path_ + u"." + Decimal(platform_.GetCurrentProcessId()) + u".tmp";
    StepResult result = WriteWholeFile(platform_, temporary, text);
    if (result.applied) {
        result = MoveOver(temporary);
    }
    if (!result.applied) {
        platform_.DeleteFileW(temporary.c_str());  // nothing half-written is left behind
        if (!failureSaid_) {
            platform_.WriteStandardError(u"[brindle] Could not write the report to '" + path_ + u"': " +
                                         Decimal(result.error) + u"\n");
            failureSaid_ = true;
        }
    }
}

void RunReport::WarnIfWritableByTheCommand(const std::vector<WritableDir>& directories) {
    if (path_.empty()) {
        return;
    }
    const std::u16string report = CanonicalPathOf(platform_, path_);
    std::vector<FileIdentity> writable;
    bool inside = false;
    for (const WritableDir& directory : directories) {
        if (directory.grant.Writable()) {
            inside = inside || IsInsideFolder(report, CanonicalPathOf(platform_, directory.path));
            if (const std::optional<FileIdentity> id = IdOf(platform_, directory.path)) {
                writable.push_back(*id);
            }
        }
    }
    // Beyond the names, the folders themselves: a \\?\ form, a share of the local disk, a
    // junction or a substituted drive lead to the same folder under another name. Up the
    // chain of names and up the folder's real path, since a link may lead into a writable
    // directory below its top.
    if (!inside && !writable.empty()) {
        const std::u16string named = FolderOf(report);
        for (const std::u16string& start : {named, RealPathOf(platform_, named)}) {
            for (std::u16string folder = start; !inside && !folder.empty(); folder = FolderOf(folder)) {
                const std::optional<FileIdentity> id = IdOf(platform_, folder);
                inside = id && std::find(writable.begin(), writable.end(), *id) != writable.end();
            }
        }
    }
    if (inside) {
        platform_.WriteStandardError(
            u"[brindle] Warning: the report is inside a writable directory, where the command can change it\n");
    }
}

}  // namespace brindle
