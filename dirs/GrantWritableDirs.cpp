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

void GrantWritableDirs(Platform& platform, const LaunchOptions& options) {
    for (const std::u16string& directory : options.writableDirs) {
        if (!GrantLowIntegrityWrite(platform, directory, options.verbose)) {
            platform.WriteStandardError(u"[brindle] Warning: Failed to grant Low IL write to: " + directory + u"\n");
        }
    }
    // Windows matches environment names without regard to case.
    for (const std::u16string& directory : SplitDirectoryList(platform.ReadEnvironmentVariable(u"ORBIK_WRITABLE_DIRS"))) {
        GrantLowIntegrityWrite(platform, directory, options.verbose);
    }
}

}  // namespace brindle
