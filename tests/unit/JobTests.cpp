#include <algorithm>

#include "LaunchScenario.h"

namespace brindle::testing {
namespace {

using JobContainmentTest = LaunchScenario;

std::vector<BYTE> ExpectedLimitRecord(DWORD maxProc) {
    std::vector<BYTE> bytes(144, 0);
    bytes[16] = 0x08;  // LimitFlags: active-process limit | kill on job close (0x2008)
    bytes[17] = 0x20;
    for (int i = 0; i < 4; ++i) {
        bytes[40 + i] = static_cast<BYTE>(maxProc >> (8 * i));  // ActiveProcessLimit
    }
    return bytes;
}

// Position of the first call with this name, or the end.
std::size_t CallIndex(const std::vector<std::string>& calls, const std::string& name) {
    return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), name) - calls.begin());
}

TEST_F(JobContainmentTest, TheSuspendedChildGetsAJobWithExactlyTheLimitAndUiRecords) {
    EXPECT_EQ(Run({u"--verbose", u"--job-object", u"--max-processes=5", u"--", u"seven.exe"}), 7u);
    ASSERT_EQ(fake.Jobs().size(), 1u);
    const FakePlatform::Job& job = fake.Jobs()[0];
    EXPECT_EQ(job.extendedLimit, ExpectedLimitRecord(5));
    EXPECT_EQ(job.uiRestrictions, (std::vector<BYTE>{0x7A, 0, 0, 0}));
    EXPECT_EQ(job.processes, std::vector<std::size_t>{0});

    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[3], u"[brindle] Assigned process to Job Object (maxProc=5)\n");
    EXPECT_EQ(lines[4], u"[brindle] Verified: job, uiRestrictions\n");  // read back before the start
    EXPECT_EQ(lines[5].substr(0, 36), u"[brindle] Child process started (PID");

    // Limits, then UI restrictions, then assignment, all before the child runs.
    const std::vector<std::string>& calls = fake.Calls();
    EXPECT_LT(CallIndex(calls, "CreateProcessAsUserW"), CallIndex(calls, "CreateJobObjectW"));
    EXPECT_LT(CallIndex(calls, "SetInformationJobObject"), CallIndex(calls, "AssignProcessToJobObject"));
    EXPECT_LT(CallIndex(calls, "AssignProcessToJobObject"), CallIndex(calls, "ResumeThread"));
    EXPECT_EQ(fake.CountCalls("SetInformationJobObject"), 3u);  // with the completion port's
    // The job's port, and the child opened when the port reported it, close after the job.
    EXPECT_EQ(fake.CloseOrder(), (std::vector<std::string>{"query token", "child token", "thread", "process", "job",
                                                           "opened process", "port", "own token"}));
}

// Memory and CPU-time limits go into the one limit record; the CPU rate is its own call,
// made after the UI restrictions and before the assignment.
TEST_F(JobContainmentTest, ResourceLimitsAreSetExactlyAndShownInVerboseMode) {
    EXPECT_EQ(Run({u"--verbose", u"--max-memory=512M", u"--max-process-memory=256M", u"--cpu-time=60",
                   u"--cpu-rate=50", u"--", u"seven.exe"}),
              7u);
    ASSERT_EQ(fake.Jobs().size(), 1u);
    std::vector<BYTE> limits = ExpectedLimitRecord(64);
    const auto put = [&limits](std::size_t offset, std::uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            limits[offset + i] = static_cast<BYTE>(value >> (8 * i));
        }
    };
    limits[16] = 0x0C;                     // LimitFlags 0x230C: job time, active processes,
    limits[17] = 0x23;                     // process and job memory, kill on close
    put(8, 600000000);                     // PerJobUserTimeLimit: 60 s in 100-ns units
    put(112, std::uint64_t{256} << 20);    // ProcessMemoryLimit
    put(120, std::uint64_t{512} << 20);    // JobMemoryLimit
    EXPECT_EQ(fake.Jobs()[0].extendedLimit, limits);
    EXPECT_EQ(fake.Jobs()[0].cpuRate, (std::vector<BYTE>{0x05, 0, 0, 0, 0x88, 0x13, 0, 0}));  // hard cap, 5000

    const std::vector<std::string>& calls = fake.Calls();
    const std::size_t assign = CallIndex(calls, "AssignProcessToJobObject");
    EXPECT_EQ(std::count(calls.begin(), calls.begin() + assign, "SetInformationJobObject"), 5);
    // With a CPU-time limit the port is told of it, and Windows leaves ending the job to brindle.
    EXPECT_EQ(fake.Jobs()[0].endOfJobTime, (std::vector<BYTE>{1, 0, 0, 0}));
    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[1], u"[brindle] Options: lowIL=0 restrictedToken=0 jobObject=1 maxProc=64 timeout=0\n");
    EXPECT_EQ(lines[3], u"[brindle] Assigned process to Job Object (maxProc=64)\n");
    EXPECT_EQ(lines[4],
              u"[brindle] Job limits: memory=536870912 processMemory=268435456 cpuRate=50% cpuTime=60s\n");
    EXPECT_EQ(lines[5], u"[brindle] Verified: job, uiRestrictions, cpuRate\n");
    // One limit alone is listed too, the others as none.
    FakePlatform cpuTime;
    cpuTime.AddProgram(u"seven.exe", FakeProgram{7, false});
    Launch(cpuTime, {u"--verbose", u"--cpu-time=30", u"--", u"seven.exe"});
    const std::vector<std::u16string> cpuTimeLines = cpuTime.ErrorLines();
    ASSERT_EQ(cpuTimeLines.size(), 8u);
    EXPECT_EQ(cpuTimeLines[4], u"[brindle] Job limits: memory=none processMemory=none cpuRate=none cpuTime=30s\n");
}

// Wine refuses the CPU rate with 87: the job and its other limits stay, and the child runs.
TEST_F(JobContainmentTest, ARefusedCpuRateIsAWarningAndTheJobStays) {
    fake.Fail("SetInformationJobObject", ERROR_INVALID_PARAMETER, 3);
    EXPECT_EQ(Run({u"--verbose", u"--cpu-rate=50", u"--", u"seven.exe"}), 7u);
    const std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[3], u"[brindle] Warning: SetInformationJobObject(CpuRateControl) failed: 87\n");
    EXPECT_EQ(lines[5], u"[brindle] Job limits: memory=none processMemory=none cpuRate=50% cpuTime=none\n");
    ASSERT_EQ(fake.Jobs().size(), 1u);
    EXPECT_EQ(fake.Jobs()[0].processes, std::vector<std::size_t>{0});
    EXPECT_TRUE(fake.Jobs()[0].cpuRate.empty());

    // Under --strict the same refusal keeps the command from running.
    FakePlatform strict;
    strict.AddProgram(u"seven.exe", FakeProgram{7, false});
    strict.Fail("SetInformationJobObject", ERROR_INVALID_PARAMETER, 3);
    EXPECT_EQ(Launch(strict, {u"--strict", u"--cpu-rate=50", u"--", u"seven.exe"}), 1u);
    ASSERT_EQ(strict.Processes().size(), 1u);
    EXPECT_FALSE(strict.Processes()[0].resumed);
    EXPECT_EQ(strict.ErrorLines().back(),
              u"[brindle] Strict: a requested restriction could not be applied; the command was not run\n");
    EXPECT_EQ(strict.Problems(), std::vector<std::string>{});
}

TEST_F(JobContainmentTest, TheDefaultLimitIs64) {
    Run({u"--job-object", u"--", u"child.exe"});
    ASSERT_EQ(fake.Jobs().size(), 1u);
    EXPECT_EQ(fake.Jobs()[0].extendedLimit, ExpectedLimitRecord(64));
    EXPECT_EQ(fake.StandardError(), u"");
}

TEST_F(JobContainmentTest, EveryFailureIsReportedAndTheChildStillRuns) {
    struct Case {
        std::string operation;
        int callNumber;
        std::u16string message;
        bool jobKept;
    };
    const Case cases[] = {
        {"CreateJobObjectW", 1, u"[brindle] CreateJobObject failed: 5\n", false},
        {"SetInformationJobObject", 1, u"[brindle] SetInformationJobObject(ExtendedLimit) failed: 5\n", false},
        {"SetInformationJobObject", 2, u"[brindle] Warning: SetInformationJobObject(UIRestrictions) failed: 5\n",
         true},
        {"AssignProcessToJobObject", 1, u"[brindle] Warning: AssignProcessToJobObject failed: 5\n", false},
    };
    for (const Case& c : cases) {
        FakePlatform scenario;
        scenario.AddProgram(u"seven.exe", FakeProgram{7, false});
        scenario.Fail(c.operation, ERROR_ACCESS_DENIED, c.callNumber);
        const std::u16string args[] = {u"brindle.exe", u"--job-object", u"--", u"seven.exe"};
        const char16_t* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str()};
        EXPECT_EQ(LauncherMain(4, argv, scenario), 7u);
        EXPECT_EQ(scenario.StandardError(), c.message);
        ASSERT_EQ(scenario.Processes().size(), 1u);
        EXPECT_EQ(scenario.Processes()[0].resumed, true);

        // A job given up is closed at once, before the child runs; a kept one after the child's handle.
        const std::vector<std::string>& calls = scenario.Calls();
        const std::size_t closeJob = CallIndex(calls, "CloseHandle(job)");
        const std::size_t resume = CallIndex(calls, "ResumeThread");
        EXPECT_EQ(scenario.PortWaits().empty(), !c.jobKept);  // a job given up takes its port along
        if (c.jobKept) {
            EXPECT_GT(closeJob, resume);
            EXPECT_EQ(scenario.CloseOrder(), (std::vector<std::string>{"query token", "child token", "thread", "process", "job",
                                                                       "opened process", "port", "own token"}));
        } else if (c.operation != "CreateJobObjectW") {
            EXPECT_LT(closeJob, resume);
        }
        EXPECT_EQ(scenario.Problems(), std::vector<std::string>{}) << c.operation;
    }
}

TEST_F(JobContainmentTest, AChildFromTheFallbackCreationIsContainedToo) {
    fake.Fail("CreateProcessAsUserW", ERROR_PRIVILEGE_NOT_HELD);
    Run({u"--job-object", u"--", u"child.exe"});
    ASSERT_EQ(fake.Jobs().size(), 1u);
    EXPECT_EQ(fake.Jobs()[0].processes, std::vector<std::size_t>{0});
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_EQ(fake.Processes()[0].tokenLabel, "own token");
}

TEST_F(JobContainmentTest, ClosingTheJobEndsWhatTheChildLeftRunning) {
    // A hang stands for a process still in the job when the run ends; here the wait
    // fails, so nothing but the job's closing can end it.
    fake.FailWaitWith(WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_EQ(Run({u"--job-object", u"--", u"hang.exe"}), 1u);
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_TRUE(fake.Processes()[0].endedByJobClose);
    EXPECT_FALSE(fake.Processes()[0].terminatedWith.has_value());
}

TEST_F(JobContainmentTest, WithoutAJobNothingEndsWhatTheChildLeftRunning) {
    fake.FailWaitWith(WAIT_FAILED, ERROR_INVALID_HANDLE);
    Run({u"--", u"hang.exe"});
    EXPECT_TRUE(fake.Jobs().empty());
    ASSERT_EQ(fake.Processes().size(), 1u);
    EXPECT_TRUE(fake.Processes()[0].resumed);
    EXPECT_TRUE(fake.Processes()[0].Running());
}

}  // namespace
}  // namespace brindle::testing
