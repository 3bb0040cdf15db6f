// Any argument vector either parses into options the launch can rely on (a command
// to run, a non-zero process limit) or is refused with the usage text.
#include <cstdlib>

#include "FuzzInput.h"
#include "cli/ParseArguments.h"

namespace {

class CountingErrors final : public brindle::ErrorStream {
public:
    void WriteStandardError(std::u16string_view text) override { written += text.size(); }
    std::size_t written = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> arguments = brindle::fuzzing::ArgumentsFrom(data, size);
    arguments.insert(arguments.begin(), u"brindle.exe");
    std::vector<const char16_t*> argv;
    for (const std::u16string& argument : arguments) {
        argv.push_back(argument.c_str());
    }

    brindle::LaunchOptions options;
    CountingErrors errors;
    const bool accepted = brindle::ParseArguments(static_cast<int>(argv.size()), argv.data(), options, errors);
    if (accepted && (options.command.empty() || options.maxProc == 0 || errors.written != 0)) {
        std::abort();
    }
    if (!accepted && errors.written < brindle::kUsageText.size()) {
        std::abort();
    }
    return 0;
}
