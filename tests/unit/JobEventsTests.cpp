// What the job's completion port tells: the processes that ran in the job and the
// limits that fired, in the run report and on standard error, whatever the order of the
// messages and the child's end.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

#include "LaunchScenario.h"

namespace brindle::testing {
namespace {

using Json = nlohmann::json;

const std::u16string kReport = u"r.json";

Json Process(std::size_t n, Json image, Json exitCode) {
    return {{"pid", FakePlatform::ProcessId(n)}, {"image", image}, {"exitCode", exitCode}};
}

Json Unseen(DWORD processId) { return {{"pid", processId}, {"image", nullptr}, {"exitCode", nullptr}}; }

struct Row {
    std::string name;
    std::vector<std::u16string> options;
    FakeProgram program;
    DWORD status;
    std::vector<std::u16string> lines;
    Json processes;
    Json limitsReached;
    Json activeProcesses = 0;  // when the job's figures were read
};

// Runs the program as "tree.exe" with --report and these options; returns the report.
Json RunTree(FakePlatform& fake, const FakeProgram& program, std::vector<std::u16string> options, DWORD& status) {
    fake.AddProgram(u"tree.exe", program);
    options.insert(options.begin(), u"--report=" + kReport);
    options.insert(options.end(), {u"--", u"tree.exe"});
    status = Launch(fake, options);
    return Json::parse(fake.Files().at(kReport));
}

const std::string kTree = "C:\\Windows\\System32\\tree.exe";

TEST(JobEventsTest, ThePortSaysWhatRanInTheJobAndWhichLimitsFired) {
    FakeProgram exits{7, false};
    FakeProgram tree = exits;
    tree.descendants = {{u"C:\\t\\tool.exe", 3},
                        {u"C:\\t\\server.exe", 0, true},
                        {u"C:\\t\\quick.exe", 0, false, true},
                        {u"C:\\t\\other.exe", 0, false, false, true}};
    FakeProgram limits = exits;
    limits.jobMessages = {{JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 0}, {JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, 0},
                          {JOB_OBJECT_MSG_JOB_MEMORY_LIMIT, 0},     {JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT, 0},
                          {JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT, 0}, {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0},
                          {JOB_OBJECT_MSG_END_OF_PROCESS_TIME, FakePlatform::ProcessId(1)}};
    FakeProgram cpuTime{0, true};
    cpuTime.jobMessages = {{JOB_OBJECT_MSG_END_OF_JOB_TIME, 0}};
    FakeProgram spins = cpuTime;
    spins.jobMessages.clear();
    spins.spins = true;
    // Heard after the child's end, while a descendant still runs.
    FakeProgram cpuTimeAtTheEnd = exits;
    cpuTimeAtTheEnd.descendants = {{u"C:\\t\\server.exe", 0, true}};
    cpuTimeAtTheEnd.jobMessages = cpuTime.jobMessages;
    FakeProgram floods = exits;
    floods.floods = true;
    FakeProgram unseen = exits;
    unseen.jobMessages = {{JOB_OBJECT_MSG_EXIT_PROCESS, 9000}, {JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS, 9004}};
    const Row rows[] = {
        {"the child alone", {u"--job-object"}, exits, 7, {}, Json::array({Process(1, kTree, 7)}), Json::array()},
        // Read after the child's end: a descendant that exited, one still running, one gone
        // before it could be opened, one whose id a process outside the job took.
        {"descendants",
         {u"--job-object"},
         tree,
         7,
         {},
         Json::array({Process(1, kTree, 7), Process(2, "C:\\t\\tool.exe", 3), Process(3, "C:\\t\\server.exe", nullptr),
                      Process(4, nullptr, nullptr), Process(5, nullptr, nullptr)}),
         Json::array(),
         1},
        {"limits, each said once",
         {u"--job-object", u"--max-processes=5"},
         limits,
         7,
         {u"[brindle] The job refused a new process: at most 5 may run\n",
          u"[brindle] The job reached its memory limit\n",
          u"[brindle] A process reached the per-process memory limit\n"},
         Json::array({Process(1, kTree, 7)}),
         Json::array({"processes", "jobMemory", "processMemory"})},
        // Windows only posts the message; brindle ends the job as Windows would have.
        {"the CPU-time limit ends the job",
         {u"--cpu-time=1"},
         cpuTime,
         ERROR_NOT_ENOUGH_QUOTA,
         {u"[brindle] The job reached its CPU-time limit\n"},
         Json::array({Process(1, kTree, ERROR_NOT_ENOUGH_QUOTA)}),
         Json::array({"cpuTime"})},
        // Windows does not promise the message: the job's user time is read as well.
        {"the CPU-time limit without its message",
         {u"--cpu-time=1", u"--timeout=5"},
         spins,
         ERROR_NOT_ENOUGH_QUOTA,
         {u"[brindle] The job reached its CPU-time limit\n"},
         Json::array({Process(1, kTree, ERROR_NOT_ENOUGH_QUOTA)}),
         Json::array({"cpuTime"})},
        // Ended by brindle before the job's figures are read, so they count no process running.
        {"the CPU-time limit heard at the end",
         {u"--cpu-time=1"},
         cpuTimeAtTheEnd,
         7,
         {u"[brindle] The job reached its CPU-time limit\n"},
         Json::array({Process(1, kTree, 7), Process(2, "C:\\t\\server.exe", ERROR_NOT_ENOUGH_QUOTA)}),
         Json::array({"cpuTime"}),
         0},
        // A job the child nests in brindle's posts to its port too: brindle set no such limit.
        {"a CPU-time limit of the child's own", {u"--job-object"}, cpuTimeAtTheEnd, 7, {},
         Json::array({Process(1, kTree, 7), Process(2, "C:\\t\\server.exe", nullptr)}), Json::array(), 1},
        // A process left in the job that keeps the port busy does not keep the run from its end.
        {"a flood of messages",
         {u"--job-object"},
         floods,
         7,
         {u"[brindle] The job reached its memory limit\n"},
         Json::array({Process(1, kTree, 7)}),
         Json::array({"jobMemory"})},
        {"exits whose starts went unheard",
         {u"--job-object"},
         unseen,
         7,
         {},
         Json::array({Process(1, kTree, 7), Unseen(9000), Unseen(9004)}),
         Json::array()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        DWORD status = 0;
        const Json report = RunTree(fake, row.program, row.options, status);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(fake.ErrorLines(), row.lines);
        EXPECT_EQ(report["processes"], row.processes);
        EXPECT_EQ(report["limitsReached"], row.limitsReached);
        EXPECT_EQ(report["job"]["activeProcesses"], row.activeProcesses);
        EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
    }
}

TEST(JobEventsTest, TheListHoldsTheFirst1024Processes) {
    FakePlatform fake;
    FakeProgram many{0, false};
    for (DWORD i = 0; i < 1100; ++i) {
        many.jobMessages.emplace_back(JOB_OBJECT_MSG_NEW_PROCESS, 100000 + 4 * i);
    }
    DWORD status = 1;
    const Json report = RunTree(fake, many, {u"--job-object"}, status);
    ASSERT_EQ(report["processes"].size(), 1024u);
    EXPECT_EQ(report["processes"][1023], Unseen(100000 + 4 * 1022));
    EXPECT_EQ(fake.CountCalls("OpenProcess"), 1024u);
    EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
}

// Wine names a new process only once it has begun to run: an image that could not be
// read at the start is asked for again at the end.
TEST(JobEventsTest, AnImageUnreadAtTheStartIsAskedForAgainAtTheEnd) {
    for (const int failures : {1, 2}) {
        FakePlatform fake;
        for (int call = 1; call <= failures; ++call) {
            fake.Fail("QueryFullProcessImageNameW", ERROR_ACCESS_DENIED, call);
        }
        DWORD status = 0;
        const Json report = RunTree(fake, FakeProgram{7, false}, {u"--job-object"}, status);
        EXPECT_EQ(report["processes"], Json::array({Process(1, failures == 1 ? Json(kTree) : Json(), 7)}));
        EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
    }
}

// A tree that keeps the port busy does not keep the run past its deadline; after the port
// fails, the child alone is waited for, for the time that is left, and Windows is to end
// the job at its CPU-time limit itself, since no one reads that limit's message now.
TEST(JobEventsTest, TheDeadlineHoldsWhileMessagesKeepComingAndAfterThePortFails) {
    struct Case {
        int failingRead;  // 0: none
        std::vector<std::u16string> lines;
        DWORD lastChildWait;
    };
    const std::u16string timedOut = u"[brindle] Child process timed out after 1 seconds, terminating\n";
    const Case cases[] = {
        {0, {timedOut}, 0},
        // The child's start, two messages 7 ms apart, then the failure: 986 ms are left.
        {4, {u"[brindle] GetQueuedCompletionStatus failed: 6\n", timedOut}, 1000 - 2 * FakePlatform::kChatterMs},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        if (c.failingRead != 0) {
            fake.Fail("GetQueuedCompletionStatus", ERROR_INVALID_HANDLE, c.failingRead);
        }
        FakeProgram chatty{0, true};
        chatty.chatters = true;
        DWORD status = 0;
        const Json report = RunTree(fake, chatty, {u"--job-object", u"--timeout=1", u"--cpu-time=5"}, status);
        EXPECT_EQ(status, 1u);
        ASSERT_EQ(fake.Jobs().size(), 1u);
        JOBOBJECT_END_OF_JOB_TIME_INFORMATION endOfJob{};
        ASSERT_EQ(fake.Jobs()[0].endOfJobTime.size(), sizeof(endOfJob));
        std::memcpy(&endOfJob, fake.Jobs()[0].endOfJobTime.data(), sizeof(endOfJob));
        EXPECT_EQ(endOfJob.EndOfJobTimeAction, c.failingRead != 0 ? 0u : 1u);  // TERMINATE_AT_, POST_AT_END_OF_JOB
        EXPECT_EQ(fake.ErrorLines(), c.lines);
        EXPECT_EQ(report["elapsedMs"], 1000);
        EXPECT_EQ(report["processes"], Json::array({Process(1, kTree, 1)}));
        const std::vector<DWORD> waits = fake.WaitLimits();  // the last one for the ended child to be gone
        ASSERT_GE(waits.size(), 2u);
        EXPECT_EQ(waits[waits.size() - 2], c.lastChildWait);
        const std::vector<DWORD>& reads = fake.PortWaits();
        EXPECT_TRUE(std::all_of(reads.begin(), reads.end(), [](DWORD read) { return read <= 100; }));
        EXPECT_EQ(fake.Problems(), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace brindle::testing
