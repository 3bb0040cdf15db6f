// How a program named the way people type it is found: `npm`, `npx`, `yarn`, `pnpm` and
// `tsc` are batch files on Windows, which process creation never looks for.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace brindle {

struct ProgramLookup {
    enum class Result { AsNamed, BatchFile, NotFound };
    Result result = Result::AsNamed;
    std::u16string path;  // the batch file's full path, when one was found
};

// A program named without a folder (no "\", "/" or ":") and without a "." is looked up:
// when SearchPathW finds it as an .exe, Windows' own search finds it as before (AsNamed).
// Otherwise each entry of brindle's PATH, in order (quotes removed; empty and relative
// entries skipped), is searched for the name with each extension of PATHEXT
// (".COM;.EXE;.BAT;.CMD" when unset) that is .bat or .cmd, in PATHEXT's order; the first
// regular file found is the BatchFile. The current folder is never searched for one, so
// that a workspace cannot supply the program. NotFound when nothing is.
ProgramLookup LookUpProgram(Platform& platform, std::u16string_view program);

}  // namespace brindle
