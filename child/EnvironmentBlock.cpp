#include "child/EnvironmentBlock.h"

#include <algorithm>
#include <vector>

#include "platform/Text.h"

namespace brindle {
namespace {

// What --clear-env keeps when it is set: enough for Windows programs to start, find the
// system, the user's folders and the temporary folder.
constexpr std::u16string_view kMinimalEnvironment[] = {
    u"ALLUSERSPROFILE", u"APPDATA", u"COMPUTERNAME", u"ComSpec", u"CommonProgramFiles",
    u"CommonProgramFiles(x86)", u"CommonProgramW6432", u"HOMEDRIVE", u"HOMEPATH", u"LOCALAPPDATA",
    u"NUMBER_OF_PROCESSORS", u"OS", u"PATH", u"PATHEXT", u"PROCESSOR_ARCHITECTURE", u"PROCESSOR_IDENTIFIER",
    u"PROCESSOR_LEVEL", u"PROCESSOR_REVISION", u"ProgramData", u"ProgramFiles", u"ProgramFiles(x86)",
    u"ProgramW6432", u"PUBLIC", u"SystemDrive", u"SystemRoot", u"TEMP", u"TMP", u"USERDOMAIN", u"USERNAME",
    u"USERPROFILE", u"windir",
};

struct Variable {
    std::u16string name;
    std::u16string value;
};

bool SameName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char16_t x, char16_t y) { return AsciiUpper(x) == AsciiUpper(y); });
}

// Windows sorts environment names as if in upper case ("AB" before "A_B").
bool NameBefore(const Variable& a, const Variable& b) {
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char16_t x, char16_t y) { return AsciiUpper(x) < AsciiUpper(y); });
}

// The entries of a block. A name ends at the first "=" after its first character, so
// the per-drive entries ("=C:=C:\work") keep their leading "=".
std::vector<Variable> ParseBlock(std::u16string_view block) {
    std::vector<Variable> variables;
    std::size_t start = 0;
    while (start < block.size() && block[start] != u'\0') {
        std::size_t end = block.find(u'\0', start);
        if (end == std::u16string_view::npos) {
            end = block.size();
        }
        const std::u16string_view entry = block.substr(start, end - start);
        const std::size_t split = entry.find(u'=', 1);
        if (split == std::u16string_view::npos) {
            variables.push_back({std::u16string(entry), u""});
        } else {
            variables.push_back({std::u16string(entry.substr(0, split)), std::u16string(entry.substr(split + 1))});
        }
        start = end + 1;
    }
    return variables;
}

bool KeptByClearEnv(const Variable& variable, const LaunchOptions& options) {
    // The per-drive current folders ("=C:"); nothing else whose name begins with "=".
    const std::u16string& name = variable.name;
    if (name.size() == 3 && name[0] == u'=' && name[2] == u':' && AsciiLower(name[1]) >= u'a' &&
        AsciiLower(name[1]) <= u'z') {
        return true;
    }
    const auto named = [&variable](std::u16string_view name) { return SameName(variable.name, name); };
    return std::any_of(std::begin(kMinimalEnvironment), std::end(kMinimalEnvironment), named) ||
           std::any_of(options.keepEnv.begin(), options.keepEnv.end(), named);
}

void Remove(std::vector<Variable>& variables, std::u16string_view name) {
    variables.erase(std::remove_if(variables.begin(), variables.end(),
                                   [name](const Variable& v) { return SameName(v.name, name); }),
                    variables.end());
}

}  // namespace

std::u16string BuildEnvironmentBlock(std::u16string_view launcherBlock, const LaunchOptions& options,
                                     std::u16string_view temporaryFolder) {
    std::vector<Variable> variables = ParseBlock(launcherBlock);
    if (options.clearEnv) {
        variables.erase(std::remove_if(variables.begin(), variables.end(),
                                       [&options](const Variable& v) { return !KeptByClearEnv(v, options); }),
                        variables.end());
    }
    if (!temporaryFolder.empty()) {
        for (const std::u16string_view name : {u"TEMP", u"TMP"}) {
            Remove(variables, name);
            variables.push_back({std::u16string(name), std::u16string(temporaryFolder)});
        }
    }
    for (const EnvironmentEdit& edit : options.envEdits) {
        Remove(variables, edit.name);
        if (edit.value) {
            variables.push_back({edit.name, *edit.value});
        }
    }
    std::stable_sort(variables.begin(), variables.end(), NameBefore);
    std::u16string block;
    for (const Variable& variable : variables) {
        block += variable.name + u"=" + variable.value;
        block += u'\0';
    }
    if (block.empty()) {
        block += u'\0';  // an empty block is two nulls
    }
    block += u'\0';
    return block;
}

StepResult PrepareEnvironment(Platform& platform, const LaunchOptions& options, std::u16string_view temporaryFolder,
                              std::u16string& block) {
    std::u16string launcherBlock;
    if (!platform.GetEnvironmentStringsW(launcherBlock)) {
        const DWORD error = platform.GetLastError();
        platform.WriteStandardError(FailedLine(u"GetEnvironmentStrings", error));
        return StepResult::Failed(error);
    }
    block = BuildEnvironmentBlock(launcherBlock, options, temporaryFolder);
    return StepResult::Applied();
}

}  // namespace brindle
