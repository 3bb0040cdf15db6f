// Every piece is non-empty and holds no separator, and the pieces joined by ";" are
// the list with its empty places removed: nothing is lost, trimmed or reordered.
#include <cstdlib>

#include "FuzzInput.h"
#include "dirs/GrantWritableDirs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string list;
    for (const std::u16string& part : brindle::fuzzing::ArgumentsFrom(data, size)) {
        list += part;  // separators of the input format are dropped; ";" comes from the data itself
    }
    const std::vector<std::u16string> pieces = brindle::SplitDirectoryList(list);

    std::u16string joined;
    for (const std::u16string& piece : pieces) {
        if (piece.empty() || piece.find(u';') != std::u16string::npos) {
            std::abort();
        }
        joined += (joined.empty() ? u"" : u";") + piece;
    }
    std::u16string expected;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const bool emptyPlace = list[i] == u';' && (expected.empty() || expected.back() == u';');
        if (!emptyPlace) {
            expected += list[i];
        }
    }
    if (!expected.empty() && expected.back() == u';') {
        expected.pop_back();
    }
    if (joined != expected) {
        std::abort();
    }
    return 0;
}
