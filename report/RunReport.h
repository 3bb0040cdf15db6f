// The run report: a JSON account of one run, for scripts to read instead of parsing
// standard error.
#pragma once

#include <string>

#include "app/RunRecord.h"
#include "platform/Platform.h"

namespace brindle {

// The report's text: one JSON object, keys in a fixed order, ending in a line feed.
std::string ComposeReport(const RunRecord& record);

// Writes the report so that a reader sees the old file or the whole new one: to
// "<path>.<pid>.tmp" beside it, then moved over it. The child, which runs with fewer
// rights and may know brindle's process id, could plant a link at that name: it is
// deleted first and then created new, opening a reparse point itself rather than
// following it. A report that cannot be written is reported; the run's exit status
// stays as it is.
void WriteReport(Platform& platform, const std::u16string& path, const std::string& text);

}  // namespace brindle
