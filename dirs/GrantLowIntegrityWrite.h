#pragma once

#include <optional>
#include <string>

#include "platform/Platform.h"

namespace brindle {

// What became of one writable directory, in the words of the run report.
enum class GrantResult { Granted, AlreadyLow, Missing, NotADirectory, Refused, Failed };

struct DirectoryGrant {
    GrantResult result = GrantResult::Failed;
    std::optional<DWORD> error;  // the failing call's code, when one failed

    // A Low child may write there.
    bool Writable() const { return result == GrantResult::Granted || result == GrantResult::AlreadyLow; }
};

// Relabels one directory Low, so that a child running at Low integrity may create and
// change files in it (and, through inheritance, in what is created below it). Only
// the label part of the directory's security descriptor is written: owner, group and
// access list stay as they are, so the label never grants access that the access list
// denies. The change is made on disk and outlasts the run; nothing undoes it. The path
// is used exactly as given.
//
// A junction, symbolic link or mount point is refused (the label would land on its
// target), and so is a volume root (the label would spread over the whole volume). A
// directory already labelled Low with write-up forbidden is left alone and counts as
// writable. The label is written by name, so the directory's parents are trusted: they
// must not be writable by the programs the launcher runs.
//
// Every failure prints its line, except a missing directory, which is named only when
// sayMissing is set; verbose adds the success lines.
DirectoryGrant GrantLowIntegrityWrite(Platform& platform, const std::u16string& path, bool verbose,
                                      bool sayMissing);

}  // namespace brindle
