#pragma once

#include "platform/Platform.h"

namespace brindle {

// The real seam: each operation forwards to the Windows function of the same name.
// It makes no decisions; the launch logic owns them all.
class WindowsPlatform final : public Platform {
public:
    void WriteError(std::u16string_view text) override;
    void GetSystemTimeAsFileTime(FILETIME* time) override;
    void WriteStandardOutput(std::u16string_view text) override;
    ULONGLONG GetTickCount64() override;

    HANDLE GetCurrentProcess() override;
    HANDLE GetCurrentThread() override;
    DWORD GetCurrentProcessId() override;
    BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) override;
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD infoLength,
                             DWORD* returnLength) override;
    BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                             DWORD infoLength) override;
    BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                  DWORD subAuthority0, DWORD subAuthority1, PSID* sid) override;
    BOOL EqualSid(PSID sid1, PSID sid2) override;
    DWORD GetLengthSid(PSID sid) override;
    void FreeSid(PSID sid) override;
    BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* size) override;
    BOOL CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                               SID_AND_ATTRIBUTES* sidsToDisable, DWORD deletePrivilegeCount,
                               LUID_AND_ATTRIBUTES* privilegesToDelete, DWORD restrictedSidCount,
                               SID_AND_ATTRIBUTES* sidsToRestrict, HANDLE* newToken) override;
    BOOL DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, SECURITY_ATTRIBUTES* attributes,
                          SECURITY_IMPERSONATION_LEVEL impersonationLevel, TOKEN_TYPE tokenType,
                          HANDLE* newToken) override;
    DWORD GetFileAttributesW(const char16_t* path) override;
    HANDLE CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                       SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                       HANDLE templateFile) override;
    BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) override;
    DWORD GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD length) override;
    BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                      DWORD infoLength) override;
    DWORD GetFullPathNameW(const char16_t* fileName, DWORD bufferLength, char16_t* buffer,
                           char16_t** filePart) override;
    BOOL GetVolumePathNameW(const char16_t* fileName, char16_t* volumePathName, DWORD bufferLength) override;
    DWORD GetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, ACL** dacl, ACL** sacl,
                                PSECURITY_DESCRIPTOR* securityDescriptor) override;
    HLOCAL LocalFree(HLOCAL memory) override;
    DWORD GetLongPathNameW(const char16_t* shortPath, char16_t* longPath, DWORD bufferLength) override;
    DWORD GetTempPathW(DWORD bufferLength, char16_t* buffer) override;
    HRESULT SHGetKnownFolderPath(const GUID& folder, DWORD flags, HANDLE token, char16_t** path) override;
    void CoTaskMemFree(void* memory) override;
    NTSTATUS NtCreateFile(HANDLE* file, DWORD desiredAccess, HANDLE rootDirectory, const char16_t* name,
                          DWORD objectAttributes, DWORD fileAttributes, DWORD shareAccess, DWORD createDisposition,
                          DWORD createOptions) override;
    DWORD RtlNtStatusToDosError(NTSTATUS status) override;
    BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                    DWORD infoLength) override;
    void Sleep(DWORD milliseconds) override;
    BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* overlapped) override;
    BOOL DeleteFileW(const char16_t* fileName) override;
    BOOL MoveFileExW(const char16_t* existingFileName, const char16_t* newFileName, DWORD flags) override;
    BOOL InitializeAcl(ACL* acl, DWORD aclLength, DWORD aclRevision) override;
    BOOL AddMandatoryAce(ACL* acl, DWORD aceRevision, DWORD aceFlags, DWORD mandatoryPolicy,
                         PSID labelSid) override;
    BOOL AddAccessAllowedAce(ACL* acl, DWORD aceRevision, DWORD accessMask, PSID sid) override;
    DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo, PSID owner,
                          PSID group, ACL* dacl, ACL* sacl) override;
    DWORD SetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID owner, PSID group, ACL* dacl,
                                ACL* sacl) override;
    BOOL GetHandleInformation(HANDLE handle, DWORD* flags) override;
    BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, HANDLE* targetHandle,
                         DWORD desiredAccess, BOOL inheritHandle, DWORD options) override;
    BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attributeCount, DWORD flags,
                                           SIZE_T* size) override;
    BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, void* value,
                                   SIZE_T size, void* previousValue, SIZE_T* returnSize) override;
    void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) override;
    BOOL GetEnvironmentStringsW(std::u16string& block) override;
    HANDLE GetStdHandle(DWORD stdHandle) override;
    DWORD SearchPathW(const char16_t* path, const char16_t* fileName, const char16_t* extension, DWORD bufferLength,
                      char16_t* buffer, char16_t** filePart) override;
    BOOL CreateProcessAsUserW(HANDLE token, const char16_t* applicationName, char16_t* commandLine,
                              SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                              BOOL inheritHandles, DWORD creationFlags, void* environment,
                              const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                              PROCESS_INFORMATION* processInformation) override;
    BOOL CreateProcessW(const char16_t* applicationName, char16_t* commandLine,
                        SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                        BOOL inheritHandles, DWORD creationFlags, void* environment,
                        const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                        PROCESS_INFORMATION* processInformation) override;
    DWORD ResumeThread(HANDLE thread) override;
    BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, SECURITY_ATTRIBUTES* attributes, DWORD size) override;
    BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) override;
    BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) override;
    HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                        void* parameter, DWORD creationFlags, DWORD* threadId) override;
    BOOL CancelSynchronousIo(HANDLE thread) override;
    BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) override;
    BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl,
                                   BOOL daclDefaulted) override;
    DWORD GetFileType(HANDLE file) override;
    BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* available,
                       DWORD* leftThisMessage) override;
    BOOL GetConsoleMode(HANDLE console, DWORD* mode) override;
    BOOL PeekConsoleInputW(HANDLE console, INPUT_RECORD* records, DWORD length, DWORD* read) override;
    HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                        const char16_t* name) override;
    BOOL SetEvent(HANDLE event) override;
    BOOL CompareObjectHandles(HANDLE first, HANDLE second) override;
    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override;
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;
    BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
    HANDLE CreateJobObjectW(SECURITY_ATTRIBUTES* attributes, const char16_t* name) override;
    BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD infoLength) override;
    BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) override;
    BOOL TerminateJobObject(HANDLE job, UINT exitCode) override;
    BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD infoLength,
                                   DWORD* returnLength) override;
    void GetSystemInfo(SYSTEM_INFO* info) override;
    HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR completionKey,
                                  DWORD concurrentThreads) override;
    BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytesTransferred, ULONG_PTR* completionKey,
                                   LPOVERLAPPED* overlapped, DWORD milliseconds) override;
    HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) override;
    BOOL IsProcessInJob(HANDLE process, HANDLE job, BOOL* result) override;
    BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* name, DWORD* size) override;
    BOOL CloseHandle(HANDLE handle) override;
    DWORD GetLastError() override;
    std::u16string ReadEnvironmentVariable(std::u16string_view name) override;
};

}  // namespace brindle
