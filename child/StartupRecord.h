#pragma once

#include <array>
#include <memory>
#include <vector>

#include "console/PrivateConsole.h"
#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

// The startup record the child is created with, by both creation calls alike. The child
// shares the launcher's standard handles. Without more, it also inherits every handle
// the launcher holds as inheritable, with the access it was opened with, whatever the
// child's token; with the standard handles only, an attribute list names the handles
// the child may inherit and no other reaches it.
//
// The record owns what it makes for that: the attribute list (deleted once) and the
// inheritable duplicates of standard handles that were not inheritable (closed once,
// right after creation, since the child then holds its own).
class StartupRecord {
public:
    explicit StartupRecord(Platform& platform);
    ~StartupRecord();
    StartupRecord(const StartupRecord&) = delete;
    StartupRecord& operator=(const StartupRecord&) = delete;

    // Fills the record with the standard handles. With stdHandlesOnly, adds the handle
    // list; when it cannot be built, the failing call has printed why and the record is
    // left as without the option.
    StepResult Prepare(bool stdHandlesOnly);
    // Fills the record with the streams of a console of the child's own, named alone by
    // the handle list, so that no other handle (none of brindle's console) reaches it.
    StepResult PrepareOwnStreams(const StandardStreams& streams);

    STARTUPINFOW* Get() { return &record_.StartupInfo; }
    BOOL InheritHandles() const { return inheritHandles_; }
    DWORD CreationFlags() const { return record_.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0; }

    // After creation the child holds its own copies of the duplicates; the launcher's go.
    void ReleaseDuplicates();

private:
    StepResult Fill(const StandardStreams& streams, bool listOnly);
    StepResult ListStandardHandles();
    StepResult BuildHandleList();
    void DropHandleList();

    Platform& platform_;
    STARTUPINFOEXW record_{};
    BOOL inheritHandles_ = TRUE;
    // The attribute list keeps a pointer to handles_: both live as long as the record.
    std::array<HANDLE, 3> handles_{};
    std::size_t handleCount_ = 0;
    std::vector<std::unique_ptr<UniqueHandle>> duplicates_;
    std::vector<BYTE> listBuffer_;
    bool listInitialised_ = false;
};

}  // namespace brindle
