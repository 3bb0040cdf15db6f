// The process entry: hands the wide argument vector and the real Windows seam to the launcher.
#include <string>
#include <vector>

#include "app/LauncherMain.h"
#include "platform/WindowsPlatform.h"

#ifdef __MINGW32__
// Some MinGW runtimes expand wildcards in the arguments before wmain; brindle's
// arguments must reach the child as they were typed, "*" included.
extern "C" {
int _dowildcard = 0;
}
#endif

int wmain(int argc, wchar_t** argv) {
    std::vector<std::u16string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int index = 0; index < argc; ++index) {
        const std::wstring argument(argv[index]);
        arguments.emplace_back(argument.begin(), argument.end());
    }
    std::vector<const char16_t*> vector;
    for (const std::u16string& argument : arguments) {
        vector.push_back(argument.c_str());
    }

    brindle::WindowsPlatform platform;
    return static_cast<int>(brindle::LauncherMain(argc, vector.data(), platform));
}
