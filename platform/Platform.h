// The one door to the operating system. Every Windows operation the launcher
// performs goes through this interface, so the same launch runs against the real
// system (WindowsPlatform) and against a model of it in tests. Each operation keeps
// its Windows name, arguments and result convention: most report failure by result
// and leave the code for GetLastError; the two named-security calls return theirs.
#pragma once

#include <string>
#include <string_view>

#include "platform/WindowsTypes.h"

namespace brindle {

// Where the launcher's messages go: standard error, one whole line per call. The last
// line of brindle's own ("[brindle] ...") is kept: the run report names the line that
// decided how a run ended.
class ErrorStream {
public:
    virtual ~ErrorStream() = default;

    void WriteStandardError(std::u16string_view text) {
        constexpr std::u16string_view kPrefix = u"[brindle] ";
        if (text.substr(0, kPrefix.size()) == kPrefix && !text.empty() && text.back() == u'\n') {
            lastLine_.assign(text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1));
        }
        WriteError(text);
    }

    // The last line brindle wrote of its own, without "[brindle] " and the line feed.
    const std::u16string& LastLine() const { return lastLine_; }

protected:
    virtual void WriteError(std::u16string_view text) = 0;

private:
    std::u16string lastLine_;
};

class Platform : public ErrorStream {
public:
    // Standard output belongs to the child; brindle writes there only its version.
    virtual void WriteStandardOutput(std::u16string_view text) = 0;
    // Milliseconds since the system started, for how long the child ran.
    virtual ULONGLONG GetTickCount64() = 0;
    // The time of day in UTC, in 100-ns units since 1601, for when a run began and ended.
    virtual void GetSystemTimeAsFileTime(FILETIME* time) = 0;

    // Own process and thread. Their pseudo-handles need no closing.
    virtual HANDLE GetCurrentProcess() = 0;
    virtual HANDLE GetCurrentThread() = 0;
    virtual DWORD GetCurrentProcessId() = 0;
    virtual BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) = 0;

    // Token groups and user: a call with no buffer fails but writes the size it needs to
    // *returnLength; the SIDs of the record point into the caller's buffer.
    virtual BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                     DWORD infoLength, DWORD* returnLength) = 0;
    virtual BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                     DWORD infoLength) = 0;

    // SIDs. The launcher's SIDs have at most two sub-authorities; FreeSid releases
    // what AllocateAndInitializeSid made.
    virtual BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                          DWORD subAuthority0, DWORD subAuthority1, PSID* sid) = 0;
    virtual BOOL EqualSid(PSID sid1, PSID sid2) = 0;
    virtual DWORD GetLengthSid(PSID sid) = 0;
    virtual void FreeSid(PSID sid) = 0;
    // A well-known SID of the machine, written into the caller's buffer (at most
    // SECURITY_MAX_SID_SIZE bytes), which needs no release.
    virtual BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* size) = 0;

    // New primary tokens: a restricted copy (deny-only SIDs, privileges removed) and a plain duplicate.
    virtual BOOL CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                       SID_AND_ATTRIBUTES* sidsToDisable, DWORD deletePrivilegeCount,
                                       LUID_AND_ATTRIBUTES* privilegesToDelete, DWORD restrictedSidCount,
                                       SID_AND_ATTRIBUTES* sidsToRestrict, HANDLE* newToken) = 0;
    virtual BOOL DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, SECURITY_ATTRIBUTES* attributes,
                                  SECURITY_IMPERSONATION_LEVEL impersonationLevel, TOKEN_TYPE tokenType,
                                  HANDLE* newToken) = 0;

    // Directories. GetFileAttributesW describes a reparse point (junction, symbolic link)
    // itself, never its target.
    virtual DWORD GetFileAttributesW(const char16_t* path) = 0;
    // Opened with FILE_FLAG_OPEN_REPARSE_POINT, a handle names a reparse point itself, not
    // what it points to; FILE_FLAG_BACKUP_SEMANTICS lets it name a directory. Returns
    // INVALID_HANDLE_VALUE on failure.
    virtual HANDLE CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                               SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                              DWORD infoLength) = 0;
    // The volume serial and 64-bit index of an open file: what identifies it where
    // FileIdInfo is refused (file systems before ReFS-sized ids).
    virtual BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) = 0;
    // The path an open file really has, every link and substituted drive resolved
    // (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS: "\\?\C:\..." or "\\?\UNC\..."). Returns the
    // length written without its terminator; when the buffer is too small, the size it
    // needs with its terminator; 0 on failure.
    virtual DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD length) = 0;
    // Returns the length written without its terminator; when the buffer is too small, the
    // size it needs with its terminator; 0 on failure.
    virtual DWORD GetFullPathNameW(const char16_t* fileName, DWORD bufferLength, char16_t* buffer,
                                   char16_t** filePart) = 0;
    // The root of the volume the path lies on, with a trailing backslash: a drive root, a
    // share root or the folder a volume is mounted on.
    virtual BOOL GetVolumePathNameW(const char16_t* fileName, char16_t* volumePathName, DWORD bufferLength) = 0;

    // Directory labels. Both return their error code. GetNamedSecurityInfoW points *sacl into
    // *securityDescriptor, which the caller releases with LocalFree.
    virtual DWORD GetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                        SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, ACL** dacl,
                                        ACL** sacl, PSECURITY_DESCRIPTOR* securityDescriptor) = 0;
    virtual HLOCAL LocalFree(HLOCAL memory) = 0;
    // The long form of an existing path (no 8.3 short names in it); the length written
    // without its terminator, the size it needs when the buffer is too small, 0 on failure.
    virtual DWORD GetLongPathNameW(const char16_t* shortPath, char16_t* longPath, DWORD bufferLength) = 0;

    // The scratch folder. GetTempPathW gives the user's temporary folder with a trailing
    // backslash (the length written, or the size it needs when the buffer is too small).
    // SHGetKnownFolderPath gives a known folder without one, in memory the caller frees
    // with CoTaskMemFree; it returns its HRESULT.
    virtual DWORD GetTempPathW(DWORD bufferLength, char16_t* buffer) = 0;
    virtual HRESULT SHGetKnownFolderPath(const GUID& folder, DWORD flags, HANDLE token, char16_t** path) = 0;
    virtual void CoTaskMemFree(void* memory) = 0;
    // NtCreateFile of ntdll, the one call that creates a folder and opens it in the same
    // step (FILE_CREATE fails on any name that is taken, a link's included, with
    // STATUS_OBJECT_NAME_COLLISION), so that no other process can come between the two,
    // and that opens an entry by its name in a folder already open (rootDirectory), so
    // that no name above it is resolved again. It takes an NT name ("\??\C:\..." or
    // "\??\UNC\server\share\...") or, with rootDirectory, a name within that folder, the
    // object attributes' flags and no allocation size or extended attributes, and returns
    // its NTSTATUS, which RtlNtStatusToDosError turns into a Windows error code.
    virtual NTSTATUS NtCreateFile(HANDLE* file, DWORD desiredAccess, HANDLE rootDirectory, const char16_t* name,
                                  DWORD objectAttributes, DWORD fileAttributes, DWORD shareAccess,
                                  DWORD createDisposition, DWORD createOptions) = 0;
    virtual DWORD RtlNtStatusToDosError(NTSTATUS status) = 0;
    // Lists a folder from its handle (FileFullDirectoryInfo: as many entries as fit, then
    // ERROR_NO_MORE_FILES; FileFullDirectoryRestartInfo starts again from the first), never
    // by a name that could lead elsewhere.
    // SetFileInformationByHandle with FileDispositionInfo marks the file or empty folder
    // the handle names for deletion when its last handle closes; it needs DELETE access,
    // and fails on a read-only entry, which FileBasicInfo can make writable first.
    virtual BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                            DWORD infoLength) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;

    // Files, for the run report.
    virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                           void* overlapped) = 0;
    virtual BOOL DeleteFileW(const char16_t* fileName) = 0;
    // With MOVEFILE_REPLACE_EXISTING the new name replaces an existing file in one step,
    // so a reader sees the old file or the new one, never a part.
    virtual BOOL MoveFileExW(const char16_t* existingFileName, const char16_t* newFileName, DWORD flags) = 0;
    virtual BOOL InitializeAcl(ACL* acl, DWORD aclLength, DWORD aclRevision) = 0;
    virtual BOOL AddMandatoryAce(ACL* acl, DWORD aceRevision, DWORD aceFlags, DWORD mandatoryPolicy,
                                 PSID labelSid) = 0;
    virtual BOOL AddAccessAllowedAce(ACL* acl, DWORD aceRevision, DWORD accessMask, PSID sid) = 0;
    // Replaces parts of a kernel object's security descriptor (for brindle's own process
    // and thread, their DACLs); returns its error code.
    virtual DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo,
                                  PSID owner, PSID group, ACL* dacl, ACL* sacl) = 0;
    virtual DWORD SetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                        SECURITY_INFORMATION securityInfo, PSID owner, PSID group, ACL* dacl,
                                        ACL* sacl) = 0;

    // What the child inherits. A handle reaches the child only when it is inheritable and
    // creation inherits handles; a PROC_THREAD_ATTRIBUTE_HANDLE_LIST narrows that to the
    // handles it names, each of which must be inheritable and named once.
    virtual BOOL GetHandleInformation(HANDLE handle, DWORD* flags) = 0;
    virtual BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                                 HANDLE* targetHandle, DWORD desiredAccess, BOOL inheritHandle, DWORD options) = 0;
    // Called first with no list, it fails and writes the size the list needs.
    virtual BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attributeCount,
                                                   DWORD flags, SIZE_T* size) = 0;
    // The list keeps a pointer to value, which must stay alive until the child is created.
    virtual BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                           void* value, SIZE_T size, void* previousValue, SIZE_T* returnSize) = 0;
    virtual void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) = 0;
    // The launcher's whole environment block: "NAME=value" entries each ending in a null,
    // then one more null. False, with the code for GetLastError, when it cannot be read.
    virtual BOOL GetEnvironmentStringsW(std::u16string& block) = 0;

    // Processes. Both creation calls may write into commandLine, which must be writable.
    // With EXTENDED_STARTUPINFO_PRESENT, startupInfo is the first member of a STARTUPINFOEXW.
    virtual HANDLE GetStdHandle(DWORD stdHandle) = 0;
    // Windows' own search for a program (its folder, the system folders, PATH); the length
    // of the path found, the size it needs when the buffer is too small, 0 when not found.
    virtual DWORD SearchPathW(const char16_t* path, const char16_t* fileName, const char16_t* extension,
                              DWORD bufferLength, char16_t* buffer, char16_t** filePart) = 0;
    virtual BOOL CreateProcessAsUserW(HANDLE token, const char16_t* applicationName, char16_t* commandLine,
                                      SECURITY_ATTRIBUTES* processAttributes,
                                      SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                                      DWORD creationFlags, void* environment, const char16_t* currentDirectory,
                                      STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) = 0;
    virtual BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine,
                                SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                                BOOL inheritHandles, DWORD creationFlags, void* environment,
                                const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                                PROCESS_INFORMATION* processInformation) = 0;
    virtual DWORD ResumeThread(HANDLE thread) = 0;

    // Pipes and threads, for the child's console of its own. ReadFile on a pipe fails with
    // ERROR_BROKEN_PIPE once every write end is closed (its end of file), and blocks until
    // then; CancelSynchronousIo makes a read or write that blocks another thread fail with
    // ERROR_OPERATION_ABORTED (and fails with ERROR_NOT_FOUND when none is under way).
    virtual BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, SECURITY_ATTRIBUTES* attributes, DWORD size) = 0;
    virtual BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) = 0;
    virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) = 0;
    virtual HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                void* parameter, DWORD creationFlags, DWORD* threadId) = 0;
    virtual BOOL CancelSynchronousIo(HANDLE thread) = 0;
    virtual BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) = 0;
    virtual BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl,
                                           BOOL daclDefaulted) = 0;
    // The relay's waiting without a read left pending. GetFileType says whether a handle is
    // a disk file, a character device (a console, NUL) or a pipe. PeekNamedPipe reports in
    // *available how many bytes a read would get at once, and fails with ERROR_BROKEN_PIPE
    // once the pipe has ended. PeekConsoleInputW copies records waiting in a console's input
    // without taking them; GetConsoleMode fails on anything but a console. A manual-reset
    // event stays set once SetEvent has set it.
    virtual DWORD GetFileType(HANDLE file) = 0;
    virtual BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* available,
                               DWORD* leftThisMessage) = 0;
    virtual BOOL GetConsoleMode(HANDLE console, DWORD* mode) = 0;
    virtual BOOL PeekConsoleInputW(HANDLE console, INPUT_RECORD* records, DWORD length, DWORD* read) = 0;
    virtual HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                                const char16_t* name) = 0;
    virtual BOOL SetEvent(HANDLE event) = 0;
    // Whether two handles name one kernel object (kernelbase, Windows 10 and later; where it
    // is missing it fails with ERROR_PROC_NOT_FOUND). GetFileInformationByHandle gives a disk
    // file's volume serial number and file index, which name the file whatever the handle.
    virtual BOOL CompareObjectHandles(HANDLE first, HANDLE second) = 0;
    // Windows calls the handler on a thread of its own when the console is interrupted.
    virtual BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual BOOL TerminateProcess(HANDLE process, UINT exitCode) = 0;
    virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;

    // Jobs. Closing the last handle of a job made with kill-on-close ends every process in it.
    virtual HANDLE CreateJobObjectW(SECURITY_ATTRIBUTES* attributes, const char16_t* name) = 0;
    virtual BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info,
                                         DWORD infoLength) = 0;
    virtual BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) = 0;
    // Ends every process in the job, the child's descendants included, with exitCode.
    virtual BOOL TerminateJobObject(HANDLE job, UINT exitCode) = 0;
    // The job's accounting and limits; returnLength may be null.
    virtual BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD infoLength,
                                           DWORD* returnLength) = 0;
    // The page size in dwPageSize: Windows keeps a job's memory limits in whole pages.
    virtual void GetSystemInfo(SYSTEM_INFO* info) = 0;

    // A job's messages. A completion port made with INVALID_HANDLE_VALUE for a file is
    // a queue of its own; associated with a job (JobObjectAssociateCompletionPortInformation),
    // it receives a packet for each event of the job: the message in *bytesTransferred,
    // the key given at the association in *completionKey, and, for the messages about one
    // process, its id in the place of *overlapped. Windows may drop packets when the
    // queue is full, so what the port reports is not everything that happened.
    // GetQueuedCompletionStatus that waits longer than milliseconds fails with
    // WAIT_TIMEOUT and a null *overlapped.
    virtual HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR completionKey,
                                          DWORD concurrentThreads) = 0;
    virtual BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytesTransferred, ULONG_PTR* completionKey,
                                           LPOVERLAPPED* overlapped, DWORD milliseconds) = 0;
    // A process by its id, which Windows may already have given to another process once the
    // one it named has ended; IsProcessInJob tells whether the handle's process is in the job.
    virtual HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) = 0;
    virtual BOOL IsProcessInJob(HANDLE process, HANDLE job, BOOL* result) = 0;
    // The full path of the process's program; *size holds the buffer's length in and the
    // length written, without its terminator, out. Works on a process that has exited
    // while the handle is open.
    virtual BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* name, DWORD* size) = 0;

    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual DWORD GetLastError() = 0;

    // The value of one variable of the launcher's environment; empty when it is not set.
    // Windows matches the name without regard to case.
    virtual std::u16string ReadEnvironmentVariable(std::u16string_view name) = 0;
};

}  // namespace brindle
