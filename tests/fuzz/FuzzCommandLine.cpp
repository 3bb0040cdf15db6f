// The composed command line, split again by the rules the child's runtime uses, gives
// back every argument after the program exactly, and the program too when its name
// holds no double quote (a file name never does).
#include <cstdlib>

#include "../unit/ArgvParser.h"
#include "FuzzInput.h"
#include "cli/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::u16string> arguments = brindle::fuzzing::ArgumentsFrom(data, size);
    if (arguments[0].find(u'"') != std::u16string::npos) {
        return 0;
    }
    std::u16string command;
    for (const std::u16string& argument : arguments) {
        brindle::AppendCommandArgument(command, argument);
    }
    if (brindle::testing::SplitCommandLine(command) != arguments) {
        std::abort();
    }
    return 0;
}
