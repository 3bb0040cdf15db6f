#include "platform/WindowsPlatform.h"

#include <cwchar>
#include <string>

#include "platform/Text.h"
#include "platform/Wide.h"

namespace brindle {
namespace {

// A console takes UTF-16 as it is; anything else (a pipe, a file) gets UTF-8.
void WriteText(DWORD standardStream, std::u16string_view text) {
    const HANDLE stream = ::GetStdHandle(standardStream);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(stream, &mode)) {
        ::WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = EncodeUtf8(text);
    ::WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// A function of a system DLL that brindle needs only for some options: the DLL is
// loaded from the system folder alone, never from the current or the program's folder,
// and stays loaded for the rest of the run. Null, with the code for GetLastError, when
// it cannot be had.
template <typename Function>
Function SystemFunction(const wchar_t* library, const char* name) {
    const HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const FARPROC address = module != nullptr ? ::GetProcAddress(module, name) : nullptr;
    // Through the one function type that converts to every other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

void WindowsPlatform::GetSystemTimeAsFileTime(FILETIME* time) { ::GetSystemTimeAsFileTime(time); }

void WindowsPlatform::WriteError(std::u16string_view text) { WriteText(STD_ERROR_HANDLE, text); }

void WindowsPlatform::WriteStandardOutput(std::u16string_view text) { WriteText(STD_OUTPUT_HANDLE, text); }

ULONGLONG WindowsPlatform::GetTickCount64() { return ::GetTickCount64(); }

HANDLE WindowsPlatform::GetCurrentProcess() { return ::GetCurrentProcess(); }

HANDLE WindowsPlatform::GetCurrentThread() { return ::GetCurrentThread(); }

DWORD WindowsPlatform::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

BOOL WindowsPlatform::OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) {
    return ::OpenProcessToken(process, desiredAccess, token);
}

BOOL WindowsPlatform::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                          DWORD infoLength, DWORD* returnLength) {
    return ::GetTokenInformation(token, infoClass, info, infoLength, returnLength);
}

BOOL WindowsPlatform::SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                          DWORD infoLength) {
    return ::SetTokenInformation(token, infoClass, info, infoLength);
}

BOOL WindowsPlatform::AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                                               DWORD subAuthority0, DWORD subAuthority1, PSID* sid) {
    SID_IDENTIFIER_AUTHORITY writableAuthority = *authority;
    return ::AllocateAndInitializeSid(&writableAuthority, subAuthorityCount, subAuthority0, subAuthority1, 0, 0,
                                      0, 0, 0, 0, sid);
}

BOOL WindowsPlatform::EqualSid(PSID sid1, PSID sid2) { return ::EqualSid(sid1, sid2); }

DWORD WindowsPlatform::GetLengthSid(PSID sid) { return ::GetLengthSid(sid); }

void WindowsPlatform::FreeSid(PSID sid) { ::FreeSid(sid); }

BOOL WindowsPlatform::CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD* size) {
    return ::CreateWellKnownSid(type, domainSid, sid, size);
}

BOOL WindowsPlatform::CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                            SID_AND_ATTRIBUTES* sidsToDisable, DWORD deletePrivilegeCount,
                                            LUID_AND_ATTRIBUTES* privilegesToDelete, DWORD restrictedSidCount,
                                            SID_AND_ATTRIBUTES* sidsToRestrict, HANDLE* newToken) {
    return ::CreateRestrictedToken(existingToken, flags, disableSidCount, sidsToDisable, deletePrivilegeCount,
                                   privilegesToDelete, restrictedSidCount, sidsToRestrict, newToken);
}

BOOL WindowsPlatform::DuplicateTokenEx(HANDLE existingToken, DWORD desiredAccess, SECURITY_ATTRIBUTES* attributes,
                                       SECURITY_IMPERSONATION_LEVEL impersonationLevel, TOKEN_TYPE tokenType,
                                       HANDLE* newToken) {
    return ::DuplicateTokenEx(existingToken, desiredAccess, attributes, impersonationLevel, tokenType, newToken);
}

DWORD WindowsPlatform::GetFileAttributesW(const char16_t* path) { return ::GetFileAttributesW(Wide(path)); }

HANDLE WindowsPlatform::CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                                    SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                    DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(Wide(fileName), desiredAccess, shareMode, securityAttributes, creationDisposition,
                         flagsAndAttributes, templateFile);
}

BOOL WindowsPlatform::GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    return ::GetFileInformationByHandle(file, info);
}

DWORD WindowsPlatform::GetFinalPathNameByHandleW(HANDLE file, char16_t* path, DWORD length) {
    return ::GetFinalPathNameByHandleW(file, Wide(path), length, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
}

BOOL WindowsPlatform::GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                                   DWORD infoLength) {
    return ::GetFileInformationByHandleEx(file, infoClass, info, infoLength);
}

DWORD WindowsPlatform::GetFullPathNameW(const char16_t* fileName, DWORD bufferLength, char16_t* buffer,
                                        char16_t** filePart) {
    return ::GetFullPathNameW(Wide(fileName), bufferLength, Wide(buffer), reinterpret_cast<wchar_t**>(filePart));
}

BOOL WindowsPlatform::GetVolumePathNameW(const char16_t* fileName, char16_t* volumePathName, DWORD bufferLength) {
    return ::GetVolumePathNameW(Wide(fileName), Wide(volumePathName), bufferLength);
}

DWORD WindowsPlatform::GetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                             SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, ACL** dacl,
                                             ACL** sacl, PSECURITY_DESCRIPTOR* securityDescriptor) {
    return ::GetNamedSecurityInfoW(Wide(objectName), objectType, securityInfo, owner, group, dacl, sacl,
                                   securityDescriptor);
}

HLOCAL WindowsPlatform::LocalFree(HLOCAL memory) { return ::LocalFree(memory); }

DWORD WindowsPlatform::GetLongPathNameW(const char16_t* shortPath, char16_t* longPath, DWORD bufferLength) {
    return ::GetLongPathNameW(Wide(shortPath), Wide(longPath), bufferLength);
}

DWORD WindowsPlatform::GetTempPathW(DWORD bufferLength, char16_t* buffer) {
    return ::GetTempPathW(bufferLength, Wide(buffer));
}

HRESULT WindowsPlatform::SHGetKnownFolderPath(const GUID& folder, DWORD flags, HANDLE token, char16_t** path) {
    using Function = HRESULT(WINAPI*)(const GUID&, DWORD, HANDLE, PWSTR*);
    const auto function = SystemFunction<Function>(L"shell32.dll", "SHGetKnownFolderPath");
    if (function == nullptr) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    return function(folder, flags, token, reinterpret_cast<PWSTR*>(path));
}

void WindowsPlatform::CoTaskMemFree(void* memory) {
    using Function = void(WINAPI*)(LPVOID);
    if (const auto function = SystemFunction<Function>(L"ole32.dll", "CoTaskMemFree")) {
        function(memory);
    }
}

NTSTATUS WindowsPlatform::NtCreateFile(HANDLE* file, DWORD desiredAccess, HANDLE rootDirectory,
                                       const char16_t* name, DWORD objectAttributes, DWORD fileAttributes,
                                       DWORD shareAccess, DWORD createDisposition, DWORD createOptions) {
    using Function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                      ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    const auto function = SystemFunction<Function>(L"ntdll.dll", "NtCreateFile");
    const std::size_t bytes = std::char_traits<char16_t>::length(name) * sizeof(char16_t);
    if (function == nullptr) {
        return static_cast<NTSTATUS>(0xC000007A);  // STATUS_PROCEDURE_NOT_FOUND
    }
    if (bytes > 0xFFFE) {  // a UNICODE_STRING counts its bytes in 16 bits
        return static_cast<NTSTATUS>(0xC0000106);  // STATUS_NAME_TOO_LONG
    }
    UNICODE_STRING text{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), const_cast<PWSTR>(Wide(name))};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, objectAttributes, rootDirectory, nullptr);
    IO_STATUS_BLOCK status{};
    return function(file, desiredAccess, &attributes, &status, nullptr, fileAttributes, shareAccess,
                    createDisposition, createOptions, nullptr, 0);
}

DWORD WindowsPlatform::RtlNtStatusToDosError(NTSTATUS status) {
    using Function = ULONG(NTAPI*)(NTSTATUS);
    const auto function = SystemFunction<Function>(L"ntdll.dll", "RtlNtStatusToDosError");
    return function != nullptr ? function(status) : ::GetLastError();
}

BOOL WindowsPlatform::SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* info,
                                                 DWORD infoLength) {
    return ::SetFileInformationByHandle(file, infoClass, info, infoLength);
}

void WindowsPlatform::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

BOOL WindowsPlatform::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                                void* overlapped) {
    return ::WriteFile(file, buffer, bytesToWrite, bytesWritten, static_cast<OVERLAPPED*>(overlapped));
}

BOOL WindowsPlatform::DeleteFileW(const char16_t* fileName) { return ::DeleteFileW(Wide(fileName)); }

BOOL WindowsPlatform::MoveFileExW(const char16_t* existingFileName, const char16_t* newFileName, DWORD flags) {
    return ::MoveFileExW(Wide(existingFileName), Wide(newFileName), flags);
}

BOOL WindowsPlatform::InitializeAcl(ACL* acl, DWORD aclLength, DWORD aclRevision) {
    return ::InitializeAcl(acl, aclLength, aclRevision);
}

BOOL WindowsPlatform::AddMandatoryAce(ACL* acl, DWORD aceRevision, DWORD aceFlags, DWORD mandatoryPolicy,
                                      PSID labelSid) {
    return ::AddMandatoryAce(acl, aceRevision, aceFlags, mandatoryPolicy, labelSid);
}

BOOL WindowsPlatform::AddAccessAllowedAce(ACL* acl, DWORD aceRevision, DWORD accessMask, PSID sid) {
    return ::AddAccessAllowedAce(acl, aceRevision, accessMask, sid);
}

DWORD WindowsPlatform::SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION securityInfo,
                                       PSID owner, PSID group, ACL* dacl, ACL* sacl) {
    return ::SetSecurityInfo(handle, objectType, securityInfo, owner, group, dacl, sacl);
}

DWORD WindowsPlatform::SetNamedSecurityInfoW(const char16_t* objectName, SE_OBJECT_TYPE objectType,
                                             SECURITY_INFORMATION securityInfo, PSID owner, PSID group, ACL* dacl,
                                             ACL* sacl) {
    // The name is only read, though the Windows declaration takes it as writable.
    std::u16string name(objectName);
    return ::SetNamedSecurityInfoW(Wide(name.data()), objectType, securityInfo, owner, group, dacl, sacl);
}

BOOL WindowsPlatform::GetHandleInformation(HANDLE handle, DWORD* flags) {
    return ::GetHandleInformation(handle, flags);
}

BOOL WindowsPlatform::DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                                      HANDLE* targetHandle, DWORD desiredAccess, BOOL inheritHandle, DWORD options) {
    return ::DuplicateHandle(sourceProcess, sourceHandle, targetProcess, targetHandle, desiredAccess, inheritHandle,
                             options);
}

BOOL WindowsPlatform::InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attributeCount,
                                                        DWORD flags, SIZE_T* size) {
    return ::InitializeProcThreadAttributeList(list, attributeCount, flags, size);
}

BOOL WindowsPlatform::UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                                void* value, SIZE_T size, void* previousValue, SIZE_T* returnSize) {
    return ::UpdateProcThreadAttribute(list, flags, attribute, value, size, previousValue, returnSize);
}

void WindowsPlatform::DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) {
    ::DeleteProcThreadAttributeList(list);
}

BOOL WindowsPlatform::GetEnvironmentStringsW(std::u16string& block) {
    wchar_t* const strings = ::GetEnvironmentStringsW();
    if (strings == nullptr) {
        return FALSE;
    }
    // The block ends at the first empty entry.
    const wchar_t* end = strings;
    while (*end != L'\0') {
        end += std::wcslen(end) + 1;
    }
    block.assign(reinterpret_cast<const char16_t*>(strings), static_cast<std::size_t>(end - strings) + 1);
    ::FreeEnvironmentStringsW(strings);
    return TRUE;
}

HANDLE WindowsPlatform::GetStdHandle(DWORD stdHandle) { return ::GetStdHandle(stdHandle); }

DWORD WindowsPlatform::SearchPathW(const char16_t* path, const char16_t* fileName, const char16_t* extension,
                                   DWORD bufferLength, char16_t* buffer, char16_t** filePart) {
    return ::SearchPathW(Wide(path), Wide(fileName), Wide(extension), bufferLength, Wide(buffer),
                         reinterpret_cast<wchar_t**>(filePart));
}

BOOL WindowsPlatform::CreateProcessAsUserW(HANDLE token, const char16_t* applicationName, char16_t* commandLine,
                                           SECURITY_ATTRIBUTES* processAttributes,
                                           SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                                           DWORD creationFlags, void* environment,
                                           const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                                           PROCESS_INFORMATION* processInformation) {
    return ::CreateProcessAsUserW(token, Wide(applicationName), Wide(commandLine), processAttributes,
                                  threadAttributes, inheritHandles, creationFlags, environment,
                                  Wide(currentDirectory), startupInfo, processInformation);
}

BOOL WindowsPlatform::CreateProcessW(const char16_t* applicationName, char16_t* commandLine,
                                     SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                                     BOOL inheritHandles, DWORD creationFlags, void* environment,
                                     const char16_t* currentDirectory, STARTUPINFOW* startupInfo,
                                     PROCESS_INFORMATION* processInformation) {
    return ::CreateProcessW(Wide(applicationName), Wide(commandLine), processAttributes, threadAttributes,
                            inheritHandles, creationFlags, environment, Wide(currentDirectory), startupInfo,
                            processInformation);
}

DWORD WindowsPlatform::ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

BOOL WindowsPlatform::CreatePipe(HANDLE* readPipe, HANDLE* writePipe, SECURITY_ATTRIBUTES* attributes, DWORD size) {
    return ::CreatePipe(readPipe, writePipe, attributes, size);
}

BOOL WindowsPlatform::SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
    return ::SetHandleInformation(handle, mask, flags);
}

BOOL WindowsPlatform::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    return ::ReadFile(file, buffer, bytesToRead, bytesRead, static_cast<OVERLAPPED*>(overlapped));
}

HANDLE WindowsPlatform::CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                     void* parameter, DWORD creationFlags, DWORD* threadId) {
    return ::CreateThread(attributes, stackSize, start, parameter, creationFlags, threadId);
}

BOOL WindowsPlatform::CancelSynchronousIo(HANDLE thread) { return ::CancelSynchronousIo(thread); }

BOOL WindowsPlatform::InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) {
    return ::InitializeSecurityDescriptor(descriptor, revision);
}

BOOL WindowsPlatform::SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl,
                                                BOOL daclDefaulted) {
    return ::SetSecurityDescriptorDacl(descriptor, daclPresent, dacl, daclDefaulted);
}

DWORD WindowsPlatform::GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL WindowsPlatform::PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* available,
                                    DWORD* leftThisMessage) {
    return ::PeekNamedPipe(pipe, buffer, bufferSize, bytesRead, available, leftThisMessage);
}

BOOL WindowsPlatform::GetConsoleMode(HANDLE console, DWORD* mode) { return ::GetConsoleMode(console, mode); }

BOOL WindowsPlatform::PeekConsoleInputW(HANDLE console, INPUT_RECORD* records, DWORD length, DWORD* read) {
    return ::PeekConsoleInputW(console, records, length, read);
}

HANDLE WindowsPlatform::CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                                     const char16_t* name) {
    return ::CreateEventW(attributes, manualReset, initialState, Wide(name));
}

BOOL WindowsPlatform::SetEvent(HANDLE event) { return ::SetEvent(event); }

BOOL WindowsPlatform::CompareObjectHandles(HANDLE first, HANDLE second) {
    using Function = BOOL(WINAPI*)(HANDLE, HANDLE);
    const auto function = SystemFunction<Function>(L"kernelbase.dll", "CompareObjectHandles");
    return function != nullptr ? function(first, second) : FALSE;
}

BOOL WindowsPlatform::SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    return ::SetConsoleCtrlHandler(handler, add);
}

DWORD WindowsPlatform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}

BOOL WindowsPlatform::TerminateProcess(HANDLE process, UINT exitCode) {
    return ::TerminateProcess(process, exitCode);
}

BOOL WindowsPlatform::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
}

HANDLE WindowsPlatform::CreateJobObjectW(SECURITY_ATTRIBUTES* attributes, const char16_t* name) {
    return ::CreateJobObjectW(attributes, Wide(name));
}

BOOL WindowsPlatform::SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info,
                                              DWORD infoLength) {
    return ::SetInformationJobObject(job, infoClass, info, infoLength);
}

BOOL WindowsPlatform::AssignProcessToJobObject(HANDLE job, HANDLE process) {
    return ::AssignProcessToJobObject(job, process);
}

BOOL WindowsPlatform::TerminateJobObject(HANDLE job, UINT exitCode) { return ::TerminateJobObject(job, exitCode); }

BOOL WindowsPlatform::QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info,
                                                DWORD infoLength, DWORD* returnLength) {
    return ::QueryInformationJobObject(job, infoClass, info, infoLength, returnLength);
}

void WindowsPlatform::GetSystemInfo(SYSTEM_INFO* info) { ::GetSystemInfo(info); }

HANDLE WindowsPlatform::CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR completionKey,
                                               DWORD concurrentThreads) {
    return ::CreateIoCompletionPort(file, existingPort, completionKey, concurrentThreads);
}

BOOL WindowsPlatform::GetQueuedCompletionStatus(HANDLE port, DWORD* bytesTransferred, ULONG_PTR* completionKey,
                                                LPOVERLAPPED* overlapped, DWORD milliseconds) {
    return ::GetQueuedCompletionStatus(port, bytesTransferred, completionKey, overlapped, milliseconds);
}

HANDLE WindowsPlatform::OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    return ::OpenProcess(desiredAccess, inheritHandle, processId);
}

BOOL WindowsPlatform::IsProcessInJob(HANDLE process, HANDLE job, BOOL* result) {
    return ::IsProcessInJob(process, job, result);
}

BOOL WindowsPlatform::QueryFullProcessImageNameW(HANDLE process, DWORD flags, char16_t* name, DWORD* size) {
    return ::QueryFullProcessImageNameW(process, flags, Wide(name), size);
}

BOOL WindowsPlatform::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

DWORD WindowsPlatform::GetLastError() { return ::GetLastError(); }

std::u16string WindowsPlatform::ReadEnvironmentVariable(std::u16string_view name) {
    const std::u16string terminatedName(name);
    // The first call reports the size the value needs, its terminator included;
    // 0 means the variable is not set (or is empty).
    const DWORD size = ::GetEnvironmentVariableW(Wide(terminatedName.c_str()), nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::u16string value(size, u'\0');
    const DWORD length = ::GetEnvironmentVariableW(Wide(terminatedName.c_str()), Wide(value.data()), size);
    if (length == 0 || length >= size) {
        return {};
    }
    value.resize(length);
    return value;
}

}  // namespace brindle
