// Any argument vector either parses into options the launch can rely on (a command
// to run, a non-zero process limit) or is refused with the usage text, or with the one
// line that refuses an argument a batch file cannot be given safely.
#include <cstdlib>

#include "FuzzInput.h"
#include "cli/ParseArguments.h"

namespace {

class CapturedErrors final : public brindle::ErrorStream {
public:
    void WriteError(std::u16string_view text) override { written += text; }
    std::u16string written;
};

bool EndsWith(const std::u16string& text, std::u16string_view end) {
    return text.size() >= end.size() && std::u16string_view(text).substr(text.size() - end.size()) == end;
}

// Whether what was written is warnings of brindle's alone (an argument quoted in one may
// hold a line feed of its own, so the lines are not told apart).
bool OnlyWarnings(const std::u16string& text) {
    return text.empty() || (text.rfind(u"[brindle] Warning: ", 0) == 0 && text.back() == u'\n' &&
                            text.find(brindle::kUsageText) == std::u16string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> arguments = brindle::fuzzing::ArgumentsFrom(data, size);
    arguments.insert(arguments.begin(), u"brindle.exe");
    std::vector<const char16_t*> argv;
    for (const std::u16string& argument : arguments) {
        argv.push_back(argument.c_str());
    }

    brindle::LaunchOptions options;
    CapturedErrors errors;
    const bool accepted = brindle::ParseArguments(static_cast<int>(argv.size()), argv.data(), options, errors);
    // An accepted command line says nothing but what it read leniently.
    if (accepted && (options.command.empty() || options.maxProc == 0 || !OnlyWarnings(errors.written))) {
        std::abort();
    }
    const bool batchRefusal = errors.written.rfind(u"[brindle] Cannot pass this argument safely to a batch file: ", 0) == 0;
    const bool endedQuietly = (options.versionRequested || options.checkRequested) && errors.written.empty();
    if (!accepted && !EndsWith(errors.written, brindle::kUsageText) && !batchRefusal && !endedQuietly) {
        std::abort();
    }
    return 0;
}
