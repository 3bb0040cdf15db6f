// The process entry: hands the wide argument vector and the real Windows seam to the launcher.
#include <cwchar>

#include "app/LauncherMain.h"
#include "check/WindowsCheck.h"
#include "platform/WindowsPlatform.h"

#ifdef __MINGW32__
// Some MinGW runtimes expand wildcards in the arguments before wmain; brindle's
// arguments must reach the child as they were typed, "*" included.
extern "C" {
int _dowildcard = 0;
}
#endif

int wmain(int argc, wchar_t** argv) {
    // On Windows wchar_t and char16_t are both UTF-16 code units: the arguments are
    // handed on as they are.
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 code unit");
    // A probe of --check, launched by the checking brindle as the command of a launch:
    // the first argument alone selects it, so no command of a user's is read as one.
    const auto* arguments = reinterpret_cast<const char16_t* const*>(argv);
    if (argc > 1 && std::wcsncmp(argv[1], L"--probe=", 8) == 0) {
        return static_cast<int>(brindle::RunProbe(argc, arguments));
    }
    brindle::WindowsPlatform platform;
    // The process ends here, with every thread, while the platform still stands: a relay
    // thread whose read Windows would not cancel must never call into it once it is gone.
    ::ExitProcess(brindle::LauncherMain(argc, arguments, platform));
}
