// The checking brindle: for each probe it launches itself with the probe's options and
// the probe as the command, reads what the probe said, and, where the probe cannot know
// whether its attack got through, looks for itself.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/MachineCheck.h"
#include "check/WindowsCheck.h"
#include "cli/CommandLine.h"
#include "platform/Text.h"

namespace brindle {
namespace {

constexpr DWORD kLaunchPatienceMs = 20000;
constexpr DWORD kNoStatus = 0xFFFFFFFF;  // the launch did not end in time

// What one launch left: its exit status and the first line of each stream.
struct Launch {
    DWORD status = kNoStatus;
    bool outlived = false;  // the checker had to end it: it never got past the wait
    std::u16string out;
    std::u16string err;
};

// The first line of what is waiting in the pipe, without reading past it: a grandchild
// may hold the pipe open, so its end is never waited for.
std::u16string FirstLine(HANDLE pipe) {
    std::string bytes;
    DWORD available = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        const std::size_t start = bytes.size();
        bytes.resize(start + available);
        DWORD read = 0;
        if (!::ReadFile(pipe, &bytes[start], available, &read, nullptr)) {
            break;
        }
        bytes.resize(start + read);
    }
    bytes = bytes.substr(0, bytes.find_first_of("\r\n"));
    std::u16string line(bytes.size(), u'\0');
    line.resize(static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                               Wide(line.data()), static_cast<int>(line.size()))));
    return line;
}

// An inheritable pipe's write end for the launch, and its read end kept here.
bool MakePipe(OwnedHandle& read, OwnedHandle& write) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    return ::CreatePipe(read.put(), write.put(), &inheritable, 1 << 16) &&
           ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
}

// `"<self>" <options> -- "<self>" --probe=NAME <values>`, standard output and error on
// pipes, handles inherited (so the launch passes on what the probe needs), 20 s at most.
Launch RunLaunch(const ProbeSpec& probe, const std::vector<std::u16string>& values) {
    const std::u16string self = OwnPath();
    std::u16string commandLine;
    AppendCommandArgument(commandLine, self);
    commandLine += u" " + std::u16string(probe.options) + u" --";
    AppendCommandArgument(commandLine, self);
    AppendCommandArgument(commandLine, u"--probe=" + std::u16string(probe.name));
    for (const std::u16string& value : values) {
        AppendCommandArgument(commandLine, value);
    }
    Launch launch;
    OwnedHandle outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        launch.err = u"CreatePipe failed: " + Decimal(::GetLastError());
        return launch;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();
    PROCESS_INFORMATION created = {};
    if (!::CreateProcessW(Wide(self), Wide(commandLine.data()), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &created)) {
        launch.err = u"CreateProcessW failed: " + Decimal(::GetLastError());
        return launch;
    }
    const OwnedHandle process(created.hProcess);
    const OwnedHandle thread(created.hThread);
    const DWORD waited = ::WaitForSingleObject(process.get(), kLaunchPatienceMs);
    if (waited == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.get(), &launch.status);
    } else {
        launch.outlived = waited == WAIT_TIMEOUT;
        ::TerminateProcess(process.get(), 1);  // its job, made kill-on-close, ends the probe with it
        launch.err = u"no end within 20 s";
    }
    launch.out = FirstLine(outRead.get());
    const std::u16string err = FirstLine(errRead.get());
    if (!err.empty()) {
        launch.err = err.rfind(u"[brindle] ", 0) == 0 ? err.substr(10) : err;
    }
    return launch;
}

// What the probe found, read from its status; a launch that never reached its own end is
// "not tried", with what brindle said.
ProbeOutcome Read(const ProbeSpec& probe, const Launch& launch) {
    const ProbeResult result = ResultOfStatus(probe, launch.status);
    const bool probeSpoke = launch.status == kProbeHeld || launch.status == kProbeSucceeded ||
                            launch.status == kProbeCouldNotTry;
    std::u16string evidence = probeSpoke ? launch.out : launch.err;
    if (evidence.empty()) {
        evidence = launch.status == kNoStatus ? u"brindle did not start" : u"brindle exited " + Decimal(launch.status);
    }
    return {&probe, result, evidence};
}

// The grandchild the job-end probe started must be gone once the run has ended. The
// checker only looks: once the grandchild is gone its id may name another process, which
// must not be ended, and a grandchild that outlived the job ends itself after its 30 s.
ProbeOutcome JobEnd(const ProbeSpec& probe, const Launch& launch) {
    // The checker's own end of the launch closes the job too, so a grandchild gone then
    // shows nothing of brindle's time limit, which should have ended the run long before.
    if (launch.outlived) {
        const std::u16string late = u"the run did not end at its time limit";
        return {&probe, ProbeResult::DoesNotHold, launch.out.empty() ? late : launch.out + u": " + late};
    }
    const std::u16string prefix = u"grandchild ";
    if (launch.out.rfind(prefix, 0) != 0) {
        return Read(probe, launch);
    }
    const DWORD id = static_cast<DWORD>(LeadingNumber(std::u16string_view(launch.out).substr(prefix.size())));
    const OwnedHandle grandchild(::OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!grandchild && ::GetLastError() != ERROR_INVALID_PARAMETER) {  // 87: no process has that id
        return {&probe, ProbeResult::NotTried,
                launch.out + u": OpenProcess failed: " + Decimal(::GetLastError())};
    }
    const bool gone = !grandchild || ::WaitForSingleObject(grandchild.get(), 2000) == WAIT_OBJECT_0;
    const std::u16string evidence = launch.out + (gone ? u" ended with the job" : u" outlived the job");
    return {&probe, gone ? ProbeResult::Holds : ProbeResult::DoesNotHold, evidence};
}

// An attack the probe made without knowing where it landed: it holds when the checker's
// own object shows nothing of it.
ProbeOutcome Observed(const ProbeSpec& probe, const Launch& launch, bool reached, const std::u16string& holds,
                      const std::u16string& fails) {
    if (launch.status != kProbeHeld && launch.status != kProbeSucceeded) {
        return Read(probe, launch);
    }
    return {&probe, reached ? ProbeResult::DoesNotHold : ProbeResult::Holds, reached ? fails : holds};
}

// The key-ups of F24 without a character waiting in the console's input.
DWORD CountF24(HANDLE input) {
    DWORD waiting = 0;
    ::GetNumberOfConsoleInputEvents(input, &waiting);
    std::vector<INPUT_RECORD> records(waiting + 1);
    DWORD read = 0;
    ::PeekConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()), &read);
    DWORD count = 0;
    for (DWORD index = 0; index < read; ++index) {
        const KEY_EVENT_RECORD& key = records[index].Event.KeyEvent;
        count += records[index].EventType == KEY_EVENT && !key.bKeyDown && key.wVirtualKeyCode == VK_F24 &&
                         key.uChar.UnicodeChar == 0
                     ? 1
                     : 0;
    }
    return count;
}

ProbeOutcome PrivateConsole(const ProbeSpec& probe) {
    const OwnedHandle input(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!input) {
        return {&probe, ProbeResult::NotTried, u"brindle has no console to attack"};
    }
    const DWORD before = CountF24(input.get());
    const Launch launch = RunLaunch(probe, {});
    return Observed(probe, launch, CountF24(input.get()) > before, u"brindle's console input holds no key from the child",
                    u"the child's key reached brindle's console");
}

ProbeOutcome StdHandlesOnly(const ProbeSpec& probe) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    const OwnedHandle event(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    if (!event) {
        return {&probe, ProbeResult::NotTried, u"CreateEventW failed: " + Decimal(::GetLastError())};
    }
    const Launch launch = RunLaunch(probe, {Decimal(reinterpret_cast<std::uintptr_t>(event.get()))});
    return Observed(probe, launch, ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0,
                    u"the checker's event stays unsignalled", u"the child signalled the checker's event");
}

ProbeOutcome ClearEnv(const ProbeSpec& probe) {
    LARGE_INTEGER now = {};
    ::QueryPerformanceCounter(&now);
    const std::u16string secret = Decimal(now.QuadPart ^ ::GetCurrentProcessId());
    ::SetEnvironmentVariableW(L"BRINDLE_CHECK_SECRET", Wide(secret));
    const Launch launch = RunLaunch(probe, {});
    ::SetEnvironmentVariableW(L"BRINDLE_CHECK_SECRET", nullptr);
    return Read(probe, launch);
}

ProbeOutcome Network(const ProbeSpec& probe) {
    Winsock winsock;
    const unsigned short port = winsock.Listen();
    if (port == 0) {
        return {&probe, ProbeResult::NotTried, u"listening failed: " + Decimal(winsock.Error())};
    }
    return Read(probe, RunLaunch(probe, {Decimal(port)}));
}

// The checker's folder, at the caller's integrity, for the probes' targets; removed with
// what it holds when the check ends. It is held open without delete sharing from its making
// to its end, so that no one can rename it and put a link to someone else's folder in its
// place: the files deleted at the end are then this check's own.
class CheckFolder {
public:
    CheckFolder() {
        std::u16string temporary(MAX_PATH + 1, u'\0');
        const DWORD length = ::GetTempPathW(static_cast<DWORD>(temporary.size()), Wide(temporary.data()));
        if (length == 0 || length >= temporary.size()) {  // failed, or too long and nothing written
            error_ = u"GetTempPathW failed: " + Decimal(length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
            return;  // a relative path would put the folder wherever the checker was started
        }
        temporary.resize(length);
        path_ = temporary + u"brindle-check-" + Decimal(::GetCurrentProcessId());
        created_ = ::CreateDirectoryW(Wide(path_), nullptr) != 0;
        if (!created_) {
            error_ = u"CreateDirectoryW failed: " + Decimal(::GetLastError());
            return;  // a folder already there may have been made writable to a Low child
        }
        hold_.emplace(::CreateFileW(Wide(path_), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!*hold_) {
            error_ = u"CreateFileW of the folder failed: " + Decimal(::GetLastError());
            return;
        }
        BY_HANDLE_FILE_INFORMATION information = {};
        if (!::GetFileInformationByHandle(hold_->get(), &information)) {
            error_ = u"GetFileInformationByHandle failed: " + Decimal(::GetLastError());
            return;
        }
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            error_ = u"the folder was replaced by a link";  // between its making and its opening
            return;
        }
        const OwnedHandle file(::CreateFileW(Wide(Secret()), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), "brindle check\n", 14, &written, nullptr);
    }
    ~CheckFolder() {
        if (error_.empty()) {  // only inside the folder this check made and still holds
            ::DeleteFileW(Wide(Secret()));
            ::DeleteFileW(Wide(path_ + u"\\low-integrity.txt"));  // left by a probe that could not delete it
        }
        hold_.reset();  // while held without delete sharing, the folder cannot be removed
        if (created_) {
            ::RemoveDirectoryW(Wide(path_));  // a link in its place goes, not what it points to
        }
    }
    CheckFolder(const CheckFolder&) = delete;
    CheckFolder& operator=(const CheckFolder&) = delete;

    // Empty when the folder was made by this check and is held; else why not.
    const std::u16string& Error() const { return error_; }
    const std::u16string& Path() const { return path_; }
    std::u16string Secret() const { return path_ + u"\\secret.txt"; }

private:
    std::u16string path_;
    bool created_ = false;
    std::optional<OwnedHandle> hold_;
    std::u16string error_;
};

ProbeOutcome RunOne(const ProbeSpec& probe, const CheckFolder& folder) {
    const std::u16string_view name = probe.name;
    if (name == u"job-end") {
        return JobEnd(probe, RunLaunch(probe, {}));
    }
    if (name == u"std-handles-only") {
        return StdHandlesOnly(probe);
    }
    if (name == u"private-console") {
        return PrivateConsole(probe);
    }
    if (name == u"clear-env") {
        return ClearEnv(probe);
    }
    if (name == u"network") {
        return Network(probe);
    }
    if ((name == u"low-integrity" || name == u"reads") && !folder.Error().empty()) {
        return {&probe, ProbeResult::NotTried, folder.Error()};
    }
    if (name == u"low-integrity") {
        return Read(probe, RunLaunch(probe, {folder.Path()}));
    }
    if (name == u"reads") {
        return Read(probe, RunLaunch(probe, {folder.Secret()}));
    }
    return Read(probe, RunLaunch(probe, {}));
}

}  // namespace

MachineFacts ReadMachineFacts() {
    MachineFacts facts;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    // RtlGetVersion tells the truth, where GetVersionEx answers as the manifest allows.
    const auto getVersion = NtdllFunction<LONG(NTAPI*)(OSVERSIONINFOW*)>("RtlGetVersion");
    if (getVersion != nullptr && getVersion(&version) >= 0) {
        facts.major = version.dwMajorVersion;
        facts.minor = version.dwMinorVersion;
        facts.build = version.dwBuildNumber;
    }
    OwnedHandle token;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    facts.elevated = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
                     ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
                     elevation.TokenIsElevated != 0;
    const auto wineVersion = NtdllFunction<const char*(CDECL*)()>("wine_get_version");
    if (wineVersion != nullptr) {
        const std::string text = wineVersion();
        facts.wine = std::u16string(text.begin(), text.end());
    }
    return facts;
}

std::vector<ProbeOutcome> RunProbes() {
    const CheckFolder folder;
    std::vector<ProbeOutcome> outcomes;
    for (const ProbeSpec& probe : kProbes) {
        outcomes.push_back(RunOne(probe, folder));
    }
    return outcomes;
}

}  // namespace brindle
