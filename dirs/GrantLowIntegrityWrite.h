#pragma once

#include <string>

#include "platform/Platform.h"

namespace brindle {

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
// granted. The label is written by name, so the directory's parents are trusted: they
// must not be writable by the programs the launcher runs.
//
// Returns false, after any message, when the directory was not made writable; a
// missing directory is reported only when verbose is set.
bool GrantLowIntegrityWrite(Platform& platform, const std::u16string& path, bool verbose);

}  // namespace brindle
