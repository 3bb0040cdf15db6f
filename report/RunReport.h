// The run report: a JSON account of one run, for scripts to read instead of parsing
// standard error.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "report/RunRecord.h"
#include "platform/Platform.h"

namespace brindle {

// The report's text: one JSON object, keys in a fixed order, ending in a line feed.
std::string ComposeReport(const RunRecord& record);

// The report of one run, written as the run goes: a first one while the command is
// still to run (outcome "running"), so that a brindle that is ended early never leaves
// an earlier run's report in place, and the final one at the end. Each is written so
// that a reader sees the old file or the whole new one: to "<path>.<pid>.tmp" beside it,
// then moved over it. The child, which runs with fewer rights and may know brindle's
// process id, could plant a link at that name: it is deleted first and then created
// new, opening a reparse point itself rather than following it. A report that cannot
// be written is said once per run; the run's exit status stays as it is. Without a
// path nothing is written.
class RunReport {
public:
    RunReport(Platform& platform, std::u16string path) : platform_(platform), path_(std::move(path)) {}

    void Write(const RunRecord& record);
    // Any report's text, written the same way.
    void WriteText(const std::string& text);

    // The command may rewrite a report inside a directory it may write. Says so, once the
    // directories are handled, when the report's path lies in one that was made (or
    // already was) writable at Low integrity.
    void WarnIfWritableByTheCommand(const std::vector<WritableDir>& directories);

private:
    static constexpr DWORD kReaderPatienceMs = 2000;
    static constexpr DWORD kReaderRetryMs = 100;

    // Moves the written report over the path, tried again while a reader holds the path open.
    StepResult MoveOver(const std::u16string& temporary);

    Platform& platform_;
    const std::u16string path_;
    bool failureSaid_ = false;
};

}  // namespace brindle
