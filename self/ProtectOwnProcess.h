// brindle's own process and main thread, closed to the child it starts.
#pragma once

#include <vector>

#include "platform/Platform.h"
#include "platform/StepResult.h"

namespace brindle {

// A process of the same user (and, without --low-il, of the same integrity) may open
// brindle with the rights its default DACL gives that user: read brindle's memory (the
// environment that --clear-env kept from the child), duplicate brindle's job handle out
// and rewrite the job, or take over brindle's thread. This replaces the DACLs of the
// process and of its main thread with exactly three entries: OWNER RIGHTS and the token
// user may only wait on, query and (the process) end it; SYSTEM keeps every right. The
// OWNER RIGHTS entry takes away the owner's implicit right to read and rewrite the DACL,
// so the child cannot put the old one back. Handles opened before keep their access.
//
// Both DACLs are written even when the first fails. A failure prints
// "[brindle] Warning: could not protect brindle's own process: %lu\n" with the first
// error, and the run goes on. threadDacl receives the thread's DACL once it is built,
// for every thread brindle creates later; it stays empty when it could not be built.
StepResult ProtectOwnProcess(Platform& platform, std::vector<DWORD>& threadDacl);

// brindle's own primary token, closed to a child created with a reduced token. The process
// DACL still lets the user query brindle (PROCESS_QUERY_LIMITED_INFORMATION), and that is
// enough to open its token: a restricted child could duplicate and impersonate it and have
// the Administrators group back. Its DACL becomes SYSTEM TOKEN_ALL_ACCESS, OWNER RIGHTS
// READ_CONTROL and the token user TOKEN_QUERY. Set right before the child is resumed, after
// everything brindle itself opens its token for; handles opened before keep their access.
// A failure prints the same warning as ProtectOwnProcess.
StepResult ProtectOwnToken(Platform& platform);

}  // namespace brindle
