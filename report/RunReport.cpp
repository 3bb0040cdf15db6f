#include "report/RunReport.h"

#include "app/Version.h"
#include "platform/Owners.h"
#include "platform/Text.h"
#include "report/Json.h"

namespace brindle {
namespace {

std::u16string_view OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Exited: return u"exited";
        case Outcome::TimedOut: return u"timed out";
        case Outcome::WaitFailed: return u"wait failed";
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
    json.Number(record.exitCode);
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
    json.EndObject();
    json.Key("directories");
    Directories(json, record.directories);
    json.Key("job");
    Job(json, record.jobAccounting);
    json.EndObject();
    return json.Text() + "\n";
}

void WriteReport(Platform& platform, const std::u16string& path, const std::string& text) {
    const std::u16string temporary = path + u"." + Decimal(platform.GetCurrentProcessId()) + u".tmp";
    StepResult result = WriteWholeFile(platform, temporary, text);
    if (result.applied &&
        !platform.MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        result = StepResult::Failed(platform.GetLastError());
    }
    if (!result.applied) {
        platform.DeleteFileW(temporary.c_str());  // nothing half-written is left behind
        platform.WriteStandardError(u"[brindle] Could not write the report to '" + path + u"': " +
                                    Decimal(result.error) + u"\n");
    }
}

}  // namespace brindle
