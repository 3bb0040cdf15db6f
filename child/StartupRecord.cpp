#include "child/StartupRecord.h"

#include <algorithm>

#include "platform/Text.h"

namespace brindle {
namespace {

bool IsHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A standard handle is a file, a console or a pipe. A caller may leave a value it has
// closed, which in brindle may name one of brindle's own handles (its token): made
// inheritable for the child, that would hand the child what it must never hold.
bool IsStream(Platform& platform, HANDLE handle) {
    const DWORD type = platform.GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

}  // namespace

StartupRecord::StartupRecord(Platform& platform) : platform_(platform) {}

StartupRecord::~StartupRecord() { DropHandleList(); }

StepResult StartupRecord::Prepare(bool stdHandlesOnly) {
    return Fill({platform_.GetStdHandle(STD_INPUT_HANDLE), platform_.GetStdHandle(STD_OUTPUT_HANDLE),
                 platform_.GetStdHandle(STD_ERROR_HANDLE)},
                stdHandlesOnly);
}

StepResult StartupRecord::PrepareOwnStreams(const StandardStreams& streams) { return Fill(streams, true); }

StepResult StartupRecord::Fill(const StandardStreams& streams, bool listOnly) {
    STARTUPINFOW& startup = record_.StartupInfo;
    startup.cb = sizeof(STARTUPINFOW);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams.input;
    startup.hStdOutput = streams.output;
    startup.hStdError = streams.error;
    if (!listOnly) {
        return StepResult::Applied();
    }
    const STARTUPINFOW shared = startup;
    StepResult result = ListStandardHandles();
    if (result.applied && handleCount_ == 0) {
        inheritHandles_ = FALSE;  // nothing to inherit, and no list to say so
        return result;
    }
    if (result.applied) {
        result = BuildHandleList();
    }
    if (!result.applied) {
        DropHandleList();
        startup = shared;
    }
    return result;
}

// Each valid standard handle goes into the list once (output and error are often one
// handle, and Windows rejects a list that names a handle twice); one that is not
// inheritable is replaced, for the child, by an inheritable duplicate. A handle that is
// not valid, or not a stream, is passed as none.
StepResult StartupRecord::ListStandardHandles() {
    STARTUPINFOW& startup = record_.StartupInfo;
    std::array<std::pair<HANDLE, HANDLE>, 3> replaced{};  // standard handle, what the child gets
    std::size_t replacedCount = 0;
    for (HANDLE* standard : {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError}) {
        const auto seen = std::find_if(replaced.begin(), replaced.begin() + replacedCount,
                                       [standard](const auto& pair) { return pair.first == *standard; });
        if (seen != replaced.begin() + replacedCount) {
            *standard = seen->second;
            continue;
        }
        DWORD flags = 0;
        HANDLE forChild = nullptr;
        if (IsHandle(*standard) && IsStream(platform_, *standard) &&
            platform_.GetHandleInformation(*standard, &flags)) {
            forChild = *standard;
            if ((flags & HANDLE_FLAG_INHERIT) == 0) {
                duplicates_.push_back(std::make_unique<UniqueHandle>(platform_));
                const HANDLE self = platform_.GetCurrentProcess();
                if (!platform_.DuplicateHandle(self, *standard, self, duplicates_.back()->put(), 0, TRUE,
                                               DUPLICATE_SAME_ACCESS)) {
                    const DWORD error = platform_.GetLastError();
                    platform_.WriteStandardError(FailedLine(u"DuplicateHandle", error));
                    return StepResult::Failed(error);
                }
                forChild = duplicates_.back()->get();
            }
            handles_[handleCount_++] = forChild;
        }
        replaced[replacedCount++] = {*standard, forChild};
        *standard = forChild;
    }
    return StepResult::Applied();
}

StepResult StartupRecord::BuildHandleList() {
    SIZE_T size = 0;
    // The first call fails by design and reports the size the list needs.
    platform_.InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    listBuffer_.assign(size, 0);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer_.data());
    if (size == 0 || !platform_.InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        const DWORD error = platform_.GetLastError();
        platform_.WriteStandardError(FailedLine(u"InitializeProcThreadAttributeList", error));
        return StepResult::Failed(error);
    }
    listInitialised_ = true;
    if (!platform_.UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                             handleCount_ * sizeof(HANDLE), nullptr, nullptr)) {
        const DWORD error = platform_.GetLastError();
        platform_.WriteStandardError(FailedLine(u"UpdateProcThreadAttribute(HandleList)", error));
        return StepResult::Failed(error);
    }
    record_.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    record_.lpAttributeList = list;
    return StepResult::Applied();
}

void StartupRecord::ReleaseDuplicates() { duplicates_.clear(); }

void StartupRecord::DropHandleList() {
    if (listInitialised_) {
        platform_.DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer_.data()));
        listInitialised_ = false;
    }
    record_.lpAttributeList = nullptr;
    record_.StartupInfo.cb = sizeof(STARTUPINFOW);
    duplicates_.clear();
    handleCount_ = 0;
}

}  // namespace brindle
