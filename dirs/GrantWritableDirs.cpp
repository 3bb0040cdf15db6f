#include "dirs/GrantWritableDirs.h"

#include "dirs/GrantLowIntegrityWrite.h"

namespace brindle {

std::vector<std::u16string> SplitDirectoryList(std::u16string_view list) {
    std::vector<std::u16string> pieces;
    std::size_t position = 0;
    while (position < list.size()) {
        std::size_t end = list.find(u';', position);
        if (end == std::u16string_view::npos) {
            end = list.size();
        }
        if (end > position) {
            pieces.emplace_back(list.substr(position, end - position));
        }
        position = end + 1;
    }
    return pieces;
}

std::vector<WritableDir> GrantWritableDirs(Platform& platform, const LaunchOptions& options) {
    const bool sayMissing = options.verbose || options.strict;
    std::vector<WritableDir> handled;
    // Grants one directory and says whether the step goes on.
    const auto grantAndGoOn = [&](const std::u16string& path, DirectorySource source) {
        handled.push_back({path, source, GrantLowIntegrityWrite(platform, path, options.verbose, sayMissing)});
        const bool writable = handled.back().grant.Writable();
        if (!writable && source == DirectorySource::CommandLine) {
            platform.WriteStandardError(u"[brindle] Warning: Failed to grant Low IL write to: " + path + u"\n");
        }
        return writable || !options.strict;
    };
    for (const std::u16string& directory : options.writableDirs) {
        if (!grantAndGoOn(directory, DirectorySource::CommandLine)) {
            return handled;
        }
    }
    // Windows matches environment names without regard to case.
    for (const std::u16string& directory : SplitDirectoryList(platform.ReadEnvironmentVariable(u"ORBIK_WRITABLE_DIRS"))) {
        if (!grantAndGoOn(directory, DirectorySource::Environment)) {
            return handled;
        }
    }
    return handled;
}

}  // namespace brindle
