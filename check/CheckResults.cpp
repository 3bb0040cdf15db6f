#include "check/CheckResults.h"

#include <algorithm>

#include "platform/Text.h"
#include "report/Json.h"
#include "report/Version.h"

namespace brindle {
namespace {

std::u16string_view ResultName(ProbeResult result) {
    switch (result) {
        case ProbeResult::Holds: return u"holds";
        case ProbeResult::DoesNotHold: return u"does not hold";
        case ProbeResult::Allowed: return u"allowed";
        case ProbeResult::Refused: return u"refused";
        case ProbeResult::NotTried: break;
    }
    return u"not tried";
}

std::u16string Padded(std::u16string_view text, std::size_t width) {
    std::u16string padded(text);
    if (padded.size() < width) {
        padded.append(width - padded.size(), u' ');
    }
    return padded;
}

std::u16string WindowsVersion(const MachineFacts& facts) {
    return Decimal(facts.major) + u"." + Decimal(facts.minor) + u"." + Decimal(facts.build);
}

}  // namespace

ProbeResult ResultOfStatus(const ProbeSpec& probe, DWORD status) {
    if (status == kProbeHeld) {
        return probe.observation ? ProbeResult::Refused : ProbeResult::Holds;
    }
    if (status == kProbeSucceeded) {
        return probe.observation ? ProbeResult::Allowed : ProbeResult::DoesNotHold;
    }
    return ProbeResult::NotTried;
}

std::u16string CheckTable(const MachineFacts& facts, const std::vector<ProbeOutcome>& outcomes) {
    std::u16string table = u"brindle " + std::u16string(kVersion) + u" check on Windows " + WindowsVersion(facts);
    if (facts.elevated) {
        table += u" (elevated)";
    }
    if (facts.wine) {
        table += u" (Wine " + *facts.wine + u")";
    }
    table += u"\n";
    for (const ProbeOutcome& outcome : outcomes) {
        table += Padded(outcome.probe->name, 18) + Padded(ResultName(outcome.result), 16) + outcome.evidence + u"\n";
    }
    return table;
}

std::string CheckReport(const MachineFacts& facts, const std::vector<ProbeOutcome>& outcomes) {
    JsonWriter json;
    json.BeginObject();
    json.Key("brindle");
    json.String(kVersion);
    json.Key("windows");
    json.String(WindowsVersion(facts));
    json.Key("wine");
    if (facts.wine) {
        json.String(*facts.wine);
    } else {
        json.Null();
    }
    json.Key("elevated");
    json.Bool(facts.elevated);
    json.Key("checks");
    json.BeginArray();
    for (const ProbeOutcome& outcome : outcomes) {
        json.BeginObject();
        json.Key("name");
        json.String(outcome.probe->name);
        json.Key("options");
        json.String(outcome.probe->options);
        json.Key("result");
        json.String(ResultName(outcome.result));
        json.Key("evidence");
        json.String(outcome.evidence);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text() + "\n";
}

DWORD CheckExitStatus(const std::vector<ProbeOutcome>& outcomes) {
    // An observation says "allowed" or "refused", never "does not hold".
    const bool failed = std::any_of(outcomes.begin(), outcomes.end(),
                                    [](const ProbeOutcome& outcome) { return outcome.result == ProbeResult::DoesNotHold; });
    return failed ? 1 : 0;
}

}  // namespace brindle
