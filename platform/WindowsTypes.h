// The Windows types and constants the launcher uses. On Windows they come from
// the system headers; elsewhere they are defined here with the same names and the
// same 64-bit layouts, so that the logic and its tests build on any machine.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

// The Windows SDK defines it; some MinGW-w64 headers do not.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740L
#endif

#else

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using ULONG_PTR = std::uint64_t;
using SIZE_T = std::uint64_t;
using ULONGLONG = std::uint64_t;
// The launcher reads only QuadPart.
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};
using HANDLE = void*;
using DWORD_PTR = std::uint64_t;
struct PROC_THREAD_ATTRIBUTE_LIST;  // opaque: Windows lays it out in a buffer of the size it asks for
using LPPROC_THREAD_ATTRIBUTE_LIST = PROC_THREAD_ATTRIBUTE_LIST*;
using PSID = void*;
using LPVOID = void*;
using SECURITY_INFORMATION = DWORD;
using PSECURITY_DESCRIPTOR = void*;
using HLOCAL = void*;
using PVOID = void*;
// Only ever handled by pointer: a job's messages carry a process id in its place.
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

#define WINAPI
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
using PHANDLER_ROUTINE = BOOL (*)(DWORD controlType);

struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    PSID Owner;
    PSID Group;
    void* Sacl;
    void* Dacl;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};

struct STARTUPINFOW {
    DWORD cb;
    char16_t* lpReserved;
    char16_t* lpDesktop;
    char16_t* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct STARTUPINFOEXW {
    STARTUPINFOW StartupInfo;
    LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_GROUPS {
    DWORD GroupCount;
    SID_AND_ATTRIBUTES Groups[1];
};

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_MANDATORY_LABEL {
    SID_AND_ATTRIBUTES Label;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEM_INFO {
    DWORD dwOemId;  // a union with the processor architecture in Windows' headers
    DWORD dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};

struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

struct TOKEN_ELEVATION {
    DWORD TokenIsElevated;
};

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};

struct FILE_ATTRIBUTE_TAG_INFO {
    DWORD FileAttributes;
    DWORD ReparseTag;
};

struct FILE_ID_128 {
    BYTE Identifier[16];
};

struct FILE_ID_INFO {
    ULONGLONG VolumeSerialNumber;
    FILE_ID_128 FileId;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};

// Zero times and zero attributes leave those of the file as they are.
struct FILE_BASIC_INFO {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    DWORD FileAttributes;
};

struct FILE_DISPOSITION_INFO {
    BYTE DeleteFile;  // a BOOLEAN: deleted when its last handle closes
};

struct FILE_STANDARD_INFO {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    DWORD NumberOfLinks;
    BYTE DeletePending;
    BYTE Directory;
};

// One entry of a folder listing; NextEntryOffset is 0 on the last in the buffer.
struct FILE_FULL_DIR_INFO {
    DWORD NextEntryOffset;
    DWORD FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    DWORD FileAttributes;
    DWORD FileNameLength;  // in bytes, without a terminator
    DWORD EaSize;
    char16_t FileName[1];
};

using HRESULT = LONG;
struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};

struct SYSTEM_MANDATORY_LABEL_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
};

struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
};

struct IO_COUNTERS {
    std::uint64_t ReadOperationCount;
    std::uint64_t WriteOperationCount;
    std::uint64_t OtherOperationCount;
    std::uint64_t ReadTransferCount;
    std::uint64_t WriteTransferCount;
    std::uint64_t OtherTransferCount;
};

struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    LARGE_INTEGER PerProcessUserTimeLimit;
    LARGE_INTEGER PerJobUserTimeLimit;
    DWORD LimitFlags;
    SIZE_T MinimumWorkingSetSize;
    SIZE_T MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    ULONG_PTR Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
};

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    SIZE_T ProcessMemoryLimit;
    SIZE_T JobMemoryLimit;
    SIZE_T PeakProcessMemoryUsed;
    SIZE_T PeakJobMemoryUsed;
};

struct JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
    LARGE_INTEGER TotalUserTime;
    LARGE_INTEGER TotalKernelTime;
    LARGE_INTEGER ThisPeriodTotalUserTime;
    LARGE_INTEGER ThisPeriodTotalKernelTime;
    DWORD TotalPageFaultCount;
    DWORD TotalProcesses;
    DWORD ActiveProcesses;
    DWORD TotalTerminatedProcesses;
};

// Windows names the second field in a union with the weight; only CpuRate is used.
struct JOBOBJECT_CPU_RATE_CONTROL_INFORMATION {
    DWORD ControlFlags;
    DWORD CpuRate;
};

struct JOBOBJECT_BASIC_UI_RESTRICTIONS {
    DWORD UIRestrictionsClass;
};

struct JOBOBJECT_ASSOCIATE_COMPLETION_PORT {
    PVOID CompletionKey;
    HANDLE CompletionPort;
};

struct JOBOBJECT_END_OF_JOB_TIME_INFORMATION {
    DWORD EndOfJobTimeAction;
};

enum TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups = 2,
    TokenPrivileges = 3,
    TokenElevation = 20,
    TokenIntegrityLevel = 25
};
enum SECURITY_IMPERSONATION_LEVEL { SecurityImpersonation = 2 };
enum TOKEN_TYPE { TokenPrimary = 1 };
enum JOBOBJECTINFOCLASS {
    JobObjectBasicAccountingInformation = 1,
    JobObjectBasicUIRestrictions = 4,
    JobObjectEndOfJobTimeInformation = 6,
    JobObjectAssociateCompletionPortInformation = 7,
    JobObjectExtendedLimitInformation = 9,
    JobObjectCpuRateControlInformation = 15,
};
enum WELL_KNOWN_SID_TYPE { WinLocalSystemSid = 22, WinCreatorOwnerRightsSid = 71 };
enum SE_OBJECT_TYPE { SE_FILE_OBJECT = 1, SE_KERNEL_OBJECT = 6 };
enum FILE_INFO_BY_HANDLE_CLASS {
    FileBasicInfo = 0,
    FileStandardInfo = 1,
    FileDispositionInfo = 4,
    FileAttributeTagInfo = 9,
    FileFullDirectoryInfo = 14,
    FileFullDirectoryRestartInfo = 15,
    FileIdInfo = 18
};

// A name surrogate (junction, symbolic link, mount point) names another object.
constexpr bool IsReparseTagNameSurrogate(DWORD tag) { return (tag & 0x20000000) != 0; }
// A console's input records; the relay reads only key events.
struct KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        char16_t UnicodeChar;
        char AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
};
struct INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
    } Event;
};
constexpr WORD KEY_EVENT = 0x1;
constexpr WORD VK_RETURN = 0x0D;
constexpr DWORD ENABLE_LINE_INPUT = 0x2;
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_ELEVATION_REQUIRED = 740;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
constexpr DWORD STILL_ACTIVE = 259;
// NtCreateFile's status, options and disposition.
using NTSTATUS = LONG;
constexpr DWORD OBJ_CASE_INSENSITIVE = 0x40;
constexpr DWORD FILE_OPEN = 0x1;
constexpr DWORD FILE_CREATE = 0x2;
constexpr DWORD FILE_DIRECTORY_FILE = 0x1;
constexpr DWORD FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr DWORD FILE_OPEN_FOR_BACKUP_INTENT = 0x4000;
constexpr DWORD FILE_OPEN_REPARSE_POINT = 0x200000;

constexpr DWORD TOKEN_ALL_ACCESS = 0xF01FF;
constexpr DWORD TOKEN_QUERY = 0x8;
constexpr DWORD READ_CONTROL = 0x20000;
constexpr DWORD WRITE_DAC = 0x40000;
constexpr DWORD DISABLE_MAX_PRIVILEGE = 0x1;
constexpr DWORD SE_GROUP_USE_FOR_DENY_ONLY = 0x10;
constexpr DWORD SE_GROUP_INTEGRITY = 0x20;
constexpr DWORD SE_GROUP_LOGON_ID = 0xC0000000;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;
constexpr DWORD SECURITY_MANDATORY_LOW_RID = 0x1000;
constexpr DWORD SECURITY_MAX_SID_SIZE = 68;

constexpr DWORD SYNCHRONIZE = 0x100000;
constexpr DWORD PROCESS_TERMINATE = 0x1;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x400;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;
constexpr DWORD THREAD_QUERY_LIMITED_INFORMATION = 0x800;
constexpr DWORD THREAD_ALL_ACCESS = 0x1FFFFF;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr DWORD STARTF_USESTDHANDLES = 0x100;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x200;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x400;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr DWORD EXTENDED_STARTUPINFO_PRESENT = 0x80000;
constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_HANDLE_LIST = 0x20002;
constexpr DWORD HANDLE_FLAG_INHERIT = 0x1;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD JOB_OBJECT_LIMIT_JOB_TIME = 0x4;
constexpr DWORD JOB_OBJECT_LIMIT_ACTIVE_PROCESS = 0x8;
constexpr DWORD JOB_OBJECT_LIMIT_PROCESS_MEMORY = 0x100;
constexpr DWORD JOB_OBJECT_LIMIT_JOB_MEMORY = 0x200;
constexpr DWORD JOB_OBJECT_CPU_RATE_CONTROL_ENABLE = 0x1;
constexpr DWORD JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP = 0x4;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;
constexpr DWORD JOB_OBJECT_UILIMIT_HANDLES = 0x1;
constexpr DWORD JOB_OBJECT_UILIMIT_READCLIPBOARD = 0x2;
constexpr DWORD JOB_OBJECT_UILIMIT_WRITECLIPBOARD = 0x4;
constexpr DWORD JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS = 0x8;
constexpr DWORD JOB_OBJECT_UILIMIT_DISPLAYSETTINGS = 0x10;
constexpr DWORD JOB_OBJECT_UILIMIT_GLOBALATOMS = 0x20;
constexpr DWORD JOB_OBJECT_UILIMIT_DESKTOP = 0x40;
constexpr DWORD JOB_OBJECT_UILIMIT_EXITWINDOWS = 0x80;
constexpr DWORD JOB_OBJECT_TERMINATE_AT_END_OF_JOB = 0;
constexpr DWORD JOB_OBJECT_POST_AT_END_OF_JOB = 1;
constexpr DWORD JOB_OBJECT_MSG_END_OF_JOB_TIME = 1;
constexpr DWORD JOB_OBJECT_MSG_END_OF_PROCESS_TIME = 2;
constexpr DWORD JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT = 3;
constexpr DWORD JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO = 4;
constexpr DWORD JOB_OBJECT_MSG_NEW_PROCESS = 6;
constexpr DWORD JOB_OBJECT_MSG_EXIT_PROCESS = 7;
constexpr DWORD JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS = 8;
constexpr DWORD JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT = 9;
constexpr DWORD JOB_OBJECT_MSG_JOB_MEMORY_LIMIT = 10;

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_LIST_DIRECTORY = 0x1;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x100;
constexpr DWORD DELETE = 0x10000;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD MAX_PATH = 260;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;
constexpr SECURITY_INFORMATION LABEL_SECURITY_INFORMATION = 0x10;
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0x0;
constexpr DWORD ACL_REVISION = 2;
constexpr BYTE SYSTEM_MANDATORY_LABEL_ACE_TYPE = 0x11;
constexpr DWORD OBJECT_INHERIT_ACE = 0x1;
constexpr DWORD CONTAINER_INHERIT_ACE = 0x2;
constexpr DWORD INHERIT_ONLY_ACE = 0x8;
constexpr DWORD INHERITED_ACE = 0x10;
constexpr DWORD SYSTEM_MANDATORY_LABEL_NO_WRITE_UP = 0x1;
constexpr DWORD SYSTEM_MANDATORY_LABEL_NO_READ_UP = 0x2;
constexpr DWORD SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP = 0x4;

#endif

namespace brindle {

// The extended disposition of a file (Windows 10 1607 and later, the read-only flag 1809).
// Windows' headers declare it only when built for those versions alone; brindle runs on
// older ones too, where the call fails, so it names the record itself.
struct DispositionInfoEx {
    DWORD Flags;
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;          // the name goes at once
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;         // no attribute is changed to delete it

// The statuses of NtCreateFile that mean "this name is taken, try the next one".
// Windows' headers define them only where they leave winnt.h's out.
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

}  // namespace brindle

// The sizes the launcher hands to Windows; they must match 64-bit Windows wherever it builds.
static_assert(sizeof(void*) == 8, "brindle is a 64-bit program");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW layout");
static_assert(sizeof(PROCESS_INFORMATION) == 24, "PROCESS_INFORMATION layout");
static_assert(sizeof(STARTUPINFOEXW) == 112, "STARTUPINFOEXW layout");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "JOBOBJECT_EXTENDED_LIMIT_INFORMATION layout");
static_assert(sizeof(JOBOBJECT_BASIC_UI_RESTRICTIONS) == 4, "JOBOBJECT_BASIC_UI_RESTRICTIONS layout");
static_assert(sizeof(JOBOBJECT_CPU_RATE_CONTROL_INFORMATION) == 8, "JOBOBJECT_CPU_RATE_CONTROL_INFORMATION layout");
static_assert(sizeof(TOKEN_MANDATORY_LABEL) == 16, "TOKEN_MANDATORY_LABEL layout");
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16, "SID_AND_ATTRIBUTES layout");
static_assert(sizeof(ACL) == 8, "ACL header layout");
static_assert(sizeof(SYSTEM_MANDATORY_LABEL_ACE) == 12, "SYSTEM_MANDATORY_LABEL_ACE layout");
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12, "ACCESS_ALLOWED_ACE layout");
static_assert(sizeof(TOKEN_USER) == 16, "TOKEN_USER layout");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES layout");
static_assert(sizeof(SYSTEM_INFO) == 48, "SYSTEM_INFO layout");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "SECURITY_DESCRIPTOR layout");
static_assert(sizeof(FILE_ATTRIBUTE_TAG_INFO) == 8, "FILE_ATTRIBUTE_TAG_INFO layout");
static_assert(sizeof(FILE_BASIC_INFO) == 40, "FILE_BASIC_INFO layout");
static_assert(sizeof(FILE_ID_INFO) == 24, "FILE_ID_INFO layout");
static_assert(sizeof(FILE_STANDARD_INFO) == 24, "FILE_STANDARD_INFO layout");
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "BY_HANDLE_FILE_INFORMATION layout");
static_assert(offsetof(FILE_FULL_DIR_INFO, FileName) == 68, "FILE_FULL_DIR_INFO layout");
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == 48, "JOBOBJECT_BASIC_ACCOUNTING_INFORMATION layout");
static_assert(sizeof(JOBOBJECT_ASSOCIATE_COMPLETION_PORT) == 16, "JOBOBJECT_ASSOCIATE_COMPLETION_PORT layout");
static_assert(sizeof(JOBOBJECT_END_OF_JOB_TIME_INFORMATION) == 4, "JOBOBJECT_END_OF_JOB_TIME_INFORMATION layout");
static_assert(sizeof(INPUT_RECORD) == 20 && offsetof(INPUT_RECORD, Event) == 4, "INPUT_RECORD layout");
static_assert(sizeof(KEY_EVENT_RECORD) == 16 && offsetof(KEY_EVENT_RECORD, uChar) == 10, "KEY_EVENT_RECORD layout");
