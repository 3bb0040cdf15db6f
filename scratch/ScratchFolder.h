// A fresh folder for the child's TEMP and TMP, which lives for one run and is then
// deleted with everything the command left in it.
#pragma once

#include <string>

#include "platform/Owners.h"
#include "platform/StepResult.h"

namespace brindle {

class ScratchFolder {
public:
    explicit ScratchFolder(Platform& platform) : platform_(platform), hold_(platform) {}
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Creates "brindle-<pid>-<n>" (the first n whose name is free) in the user's LocalLow
    // folder for a child whose token reads back Low, which Windows labels Low, so that no
    // label needs writing; otherwise in brindle's own temporary folder, where processes of
    // lower integrity cannot plant anything (any Low process may write in LocalLow, and
    // plant what a Medium or High child loads from its TEMP). The folder is created and
    // held open in one step, without FILE_SHARE_DELETE, until it is deleted through that
    // same handle, so that it can be neither renamed nor replaced by a link from its
    // creation to its end. Says why when it cannot be made; verbose names it when it is.
    StepResult Create(bool lowIntegrity, bool verbose);

    // The folder's full path, once it was created; empty before and without one.
    const std::u16string& Path() const { return path_; }

    // Deletes everything in the folder, and then the folder through its hold, never
    // reopened by name. Each entry below it is opened as itself: a link is
    // deleted and never followed, and every folder above the entry being deleted is held
    // open without FILE_SHARE_DELETE, so none can be swapped for a link on the way.
    // Entries still in use (by a process the job has not yet ended, or one outside any
    // job) are tried again for up to 5 s; then it says what is left. Returns whether the
    // folder is gone.
    bool Remove();

private:
    // Creates and holds the first free "brindle-<pid>-<n>" in parent. Creation fails on
    // any name that is taken, a link planted there included, so the folder is new.
    StepResult MakeFreshFolder(const std::u16string& parent);

    Platform& platform_;
    UniqueHandle hold_;
    std::u16string path_;
};

}  // namespace brindle
