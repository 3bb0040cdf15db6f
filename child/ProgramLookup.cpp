#include "child/ProgramLookup.h"

#include <algorithm>
#include <vector>

#include "dirs/GrantWritableDirs.h"
#include "platform/Text.h"

namespace brindle {
namespace {

constexpr std::u16string_view kDefaultExtensions = u".COM;.EXE;.BAT;.CMD";

bool NeedsLookup(std::u16string_view program) {
    return !program.empty() && program.find_first_of(u"\\/:.") == std::u16string_view::npos;
}

bool IsBatchExtension(std::u16string extension) {
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char16_t unit) { return AsciiLower(unit); });
    return extension == u".bat" || extension == u".cmd";
}

// A folder of PATH that names one place whatever the current folder: "X:\" or "\\server".
bool IsAbsolute(std::u16string_view folder) {
    const bool drive = folder.size() >= 3 && folder[1] == u':' && (folder[2] == u'\\' || folder[2] == u'/');
    return drive || folder.rfind(u"\\\\", 0) == 0;
}

bool FoundAsExecutable(Platform& platform, std::u16string_view program) {
    const std::u16string name(program);
    char16_t path[MAX_PATH + 1];
    // Any result but 0 means found; one larger than the buffer is the size a long path needs.
    return platform.SearchPathW(nullptr, name.c_str(), u".exe", MAX_PATH + 1, path, nullptr) != 0;
}

bool IsRegularFile(Platform& platform, const std::u16string& path) {
    const DWORD attributes = platform.GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// PATH's entries as cmd.exe reads them: a ";" between double quotes belongs to the entry,
// and the quotes go. Split first, "C:\Tools;Beta" would search C:\Tools, a folder not on PATH.
std::vector<std::u16string> PathEntries(std::u16string_view path) {
    std::vector<std::u16string> entries(1);
    bool quoted = false;
    for (const char16_t unit : path) {
        if (unit == u'"') {
            quoted = !quoted;
        } else if (unit == u';' && !quoted) {
            entries.emplace_back();
        } else {
            entries.back() += unit;
        }
    }
    return entries;
}

}  // namespace

ProgramLookup LookUpProgram(Platform& platform, std::u16string_view program) {
    if (!NeedsLookup(program) || FoundAsExecutable(platform, program)) {
        return {};
    }
    std::u16string extensionList = platform.ReadEnvironmentVariable(u"PATHEXT");
    if (extensionList.empty()) {
        extensionList = kDefaultExtensions;
    }
    std::vector<std::u16string> extensions = SplitDirectoryList(extensionList);
    extensions.erase(std::remove_if(extensions.begin(), extensions.end(),
                                    [](const std::u16string& extension) { return !IsBatchExtension(extension); }),
                     extensions.end());
    for (std::u16string folder : PathEntries(platform.ReadEnvironmentVariable(u"PATH"))) {
        if (!IsAbsolute(folder)) {
            continue;
        }
        if (folder.back() != u'\\' && folder.back() != u'/') {
            folder += u'\\';
        }
        for (const std::u16string& extension : extensions) {
            const std::u16string candidate = folder + std::u16string(program) + extension;
            if (IsRegularFile(platform, candidate)) {
                return {ProgramLookup::Result::BatchFile, candidate};
            }
        }
    }
    return {ProgramLookup::Result::NotFound, {}};
}

}  // namespace brindle
