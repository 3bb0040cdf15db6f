// End-to-end tests of --job-object: the child is put in a job before it runs,
// and every process it leaves behind is ended when the launcher lets go of the
// job. probe.exe's "grandchild" mode starts a process that creates a marker
// file some time later; whether the marker appears tells whether that process
// outlived the launcher.
//
// Wine does not enforce the job's limit on active processes or its memory limits:
// those tests expect Windows' result on Windows and say what Wine shows under Wine.

#include "Harness.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {
namespace {

TEST(JobObject, VerboseRunReportsTheAssignmentRightBeforeTheStart) {
    const std::vector<VerboseSteps> cases = {
        {{L"--verbose", L"--job-object", L"--max-processes=5"},
         "lowIL=0 restrictedToken=0 jobObject=1 maxProc=5 timeout=0",
         "[brindle] Assigned process to Job Object (maxProc=5)\n" + ReadBackLines(false, false, kJobFlags, true)},
        {{L"--verbose", L"--job-object"}, "lowIL=0 restrictedToken=0 jobObject=1 maxProc=64 timeout=0",
         "[brindle] Assigned process to Job Object (maxProc=64)\n" + ReadBackLines(false, false, kJobFlags, true)},
        // The job comes after the token steps.
        {{L"--job-object", L"--verbose", L"--low-il", L"--max-processes=5", L"--restricted-token", L"--timeout=30"},
         "lowIL=1 restrictedToken=1 jobObject=1 maxProc=5 timeout=30",
         "[brindle] Created restricted token (admin SIDs deny-only, privileges stripped)\n"
         "[brindle] Set token to Low Integrity Level\n"
         "[brindle] Assigned process to Job Object (maxProc=5)\n" + ReadBackLines(true, true, kJobFlags, true)},
        // A limit alone asks for no job.
        {{L"--verbose", L"--max-processes=5"}, "lowIL=0 restrictedToken=0 jobObject=0 maxProc=5 timeout=0", ""},
    };
    ExpectVerboseSteps(cases);
}

// Wine accepts the memory and CPU-time limits without enforcing them; what it shows is
// that they are read, that they bring the job, and what verbose mode says of them.
TEST(JobObject, ResourceLimitsBringTheJobAndAreListedAfterTheAssignment) {
    ExpectVerboseSteps({
        {{L"--verbose", L"--max-memory=512M", L"--max-process-memory=256M", L"--cpu-time=60"},
         "lowIL=0 restrictedToken=0 jobObject=1 maxProc=64 timeout=0",
         "[brindle] Assigned process to Job Object (maxProc=64)\n"
         "[brindle] Job limits: memory=536870912 processMemory=268435456 cpuRate=none cpuTime=60s\n" +
             ReadBackLines(false, false, 0x230C, true)},
    });
}

// Wine refuses a CPU rate with 87: a warning, and the child runs in the job all the same;
// under --strict the command does not run.
TEST(JobObject, ARefusedCpuRateWarnsOrUnderStrictRefuses) {
    const std::string warning = "[brindle] Warning: SetInformationJobObject(CpuRateControl) failed: 87\n";
    const RunResult soft = RunBrindle({L"--cpu-rate=50", L"--", ProbePath(), L"exit", L"6"});
    EXPECT_EQ(soft.err, warning + ReadBackLines(false, false, kJobFlags));
    EXPECT_EQ(soft.exitCode, 6u);

    const RunResult strict = RunBrindle({L"--strict", L"--cpu-rate=50", L"--", ProbePath(), L"args", L"ran"});
    EXPECT_EQ(strict.err, warning + ReadBackLines(false, false, kJobFlags) + kStrictRefusal);
    EXPECT_EQ(strict.out, "");
    EXPECT_EQ(strict.exitCode, 1u);
}

// The child is one of the two processes the job allows, so the second process it
// starts is the job's third; Wine starts it all the same.
TEST(JobObject, TheProcessLimitKeepsTheThirdProcessFromStarting) {
    const RunResult run = RunBrindle({L"--job-object", L"--max-processes=2", L"--", ProbePath(), L"spawn", L"2",
                                      L"3000"});
    EXPECT_EQ(run.err, ReadBackLines(false, false, kJobFlags));
    EXPECT_EQ(run.exitCode, 0u);
    if (UnderWine()) {
        EXPECT_EQ(run.out, "started\nstarted\n");
    } else {
        EXPECT_EQ(run.out.substr(0, 15), "started\nfailed ") << run.out;
    }
}

// A process that reaches its memory limit sees the allocation fail; Wine accepts the
// limit and does not enforce it.
TEST(JobObject, TheProcessMemoryLimitFailsALargerAllocation) {
    const RunResult run = RunBrindle({L"--max-process-memory=64M", L"--", ProbePath(), L"allocate", L"256"});
    EXPECT_EQ(run.err, ReadBackLines(false, false, kJobFlags | 0x100));
    EXPECT_EQ(run.exitCode, 0u);
    if (UnderWine()) {
        EXPECT_EQ(run.out, "allocated\n");
    } else {
        EXPECT_EQ(run.out.substr(0, 7), "failed ") << run.out;
    }
}

// How long after its marker is due a grandchild is given before the test
// concludes that it was ended.
constexpr std::chrono::milliseconds kSlack(1000);

struct GrandchildRun {
    std::vector<std::wstring> options;  // besides --job-object
    DWORD markerDelayMs;                // after its start, the grandchild creates its marker
    DWORD childWaitMs;                  // after starting the grandchild, the child waits
    std::string err;                    // what the launcher prints, with or without the job
    DWORD exitCode;
};

// Runs the child that starts a grandchild twice: in a job, and then without
// one. Without a job the grandchild outlives the launcher and leaves its
// marker, which shows that it did start; in the job it must be ended before it
// can.
void ExpectGrandchildEndedOnlyInJob(const GrandchildRun& r) {
    const TempPath inJob(L"job-marker");
    const TempPath withoutJob(L"free-marker");
    const auto probe = [&r](const TempPath& marker) {
        return std::vector<std::wstring>{ProbePath(), L"grandchild", marker.Get(), std::to_wstring(r.markerDelayMs),
                                         std::to_wstring(r.childWaitMs)};
    };
    const RunResult contained = RunBrindle(Concat(Concat({L"--job-object"}, r.options), Concat({L"--"}, probe(inJob))));
    const RunResult free = RunBrindle(Concat(r.options, Concat({L"--"}, probe(withoutJob))));

    for (const RunResult* run : {&contained, &free}) {
        SCOPED_TRACE(run == &contained ? "with --job-object" : "without --job-object");
        EXPECT_EQ(run->err, (run == &contained ? ReadBackLines(false, false, kJobFlags) : "") + r.err);
        EXPECT_EQ(run->out, "");
        EXPECT_EQ(run->exitCode, r.exitCode);
    }
    const std::chrono::milliseconds markerDelay(r.markerDelayMs);
    EXPECT_TRUE(WaitForPath(withoutJob.Get(), free.finished + markerDelay + kSlack))
        << "without a job the grandchild should have outlived the launcher";
    EXPECT_FALSE(WaitForPath(inJob.Get(), contained.finished + markerDelay + kSlack))
        << "the grandchild in the job should have been ended with the launcher";
}

TEST(JobObject, EndsWhatTheChildLeavesRunningWhenItExits) {
    ExpectGrandchildEndedOnlyInJob({{}, 1500, 0, "", 0});
}

// The child is still running when the time limit ends it; the grandchild's
// marker is due a second after that.
TEST(JobObject, EndsWhatTheChildLeavesRunningWhenTheTimeLimitEndsIt) {
    ExpectGrandchildEndedOnlyInJob(
        {{L"--timeout=1"}, 2000, 8000, "[brindle] Child process timed out after 1 seconds, terminating\n", 1});
}

}  // namespace
}  // namespace e2e
