#include "service_test.h"
#include "supervisor/child_control.h"

using ChildControl = ServiceTest;
using fake::Child;

TEST_F(ChildControl, IndexOutsideTheTableDoesNothing) {
    // The slot just past the end holds a child, so a stop that reaches it shows.
    UseTable(2);
    StartChild(0);
    StartChild(1);
    g_childCount = 1;
    fake::StartTrace();
    StopChild(-1);
    StopChild(g_childCount);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(ChildControl, EmptySlotStopsAtOnce) {
    StopChild(0);
    EXPECT_TRUE(Trace().empty());
}

// Nor does it make or fill a job: nothing but the launch is called.
TEST_F(ChildControl, FailedLaunchReturnsAtOnceAndLeavesTheSlot) {
    fake::launches = {{Child::EndsOnQuit, 2}};
    EXPECT_EQ(StartChild(0), 0);
    EXPECT_EQ(Trace(), std::vector<std::string>{"0 " + Launch(kCompanionPathText)});
    EXPECT_TRUE(IsEmpty(g_children[0]));
}

TEST_F(ChildControl, WithoutTheCompanionPathNothingIsLaunched) {
    g_childApplicationName[0] = '\0';
    EXPECT_EQ(StartChild(0), 0);
    EXPECT_TRUE(Trace().empty());
}

// Each launched child is put into the one job, made at the first launch. A job call that fails
// leaves the launch, its slot and its result as they are without a job; the next launch tries
// again.
struct JobCase {
    const char* failing;                    // the job call that fails at the first launch
    std::vector<std::string> first, second; // the job calls of the first launch, and the next
};

const std::string kMakeJob1 = "CreateJobObjectA(null, null)";
const std::string kLimitJob1 = "SetInformationJobObject(job1, 9, {LimitFlags=0x3000})";

const JobCase kJobCases[] = {
    {"",
     {kMakeJob1, kLimitJob1, "AssignProcessToJobObject(job1, process1)"},
     {"AssignProcessToJobObject(job1, process2)"}},
    {"CreateJobObjectA",
     {kMakeJob1},
     {kMakeJob1, kLimitJob1, "AssignProcessToJobObject(job1, process2)"}},
    {"SetInformationJobObject",
     {kMakeJob1, kLimitJob1, "CloseHandle(job1)"},
     {kMakeJob1, "SetInformationJobObject(job2, 9, {LimitFlags=0x3000})",
      "AssignProcessToJobObject(job2, process2)"}},
    {"AssignProcessToJobObject",
     {kMakeJob1, kLimitJob1, "AssignProcessToJobObject(job1, process1)"},
     {"AssignProcessToJobObject(job1, process2)"}},
};

TEST_F(ChildControl, LaunchesBindChildrenToOneJobOrRunThemUnbound) {
    for (const JobCase& c : kJobCases) {
        SCOPED_TRACE(std::string("failing: ") + c.failing);
        SetUp();
        fake::failing = {c.failing};
        for (const auto* jobCalls : {&c.first, &c.second}) {
            fake::StartTrace();
            EXPECT_EQ(StartChild(0), 1);
            std::vector<std::string> expected = {"0 " + Launch(kCompanionPathText)};
            for (const std::string& call : *jobCalls) {
                expected.push_back("0 " + call);
            }
            expected.push_back("0 Sleep(1000)");
            EXPECT_EQ(Trace(), expected);
            PROCESS_INFORMATION launched = fake::LaunchRecord(g_children[0].hProcess);
            EXPECT_EQ(memcmp(&launched, &g_children[0], sizeof launched), 0);
            fake::failing.clear();
            StopChild(0);
        }
        EXPECT_EQ(fake::OpenJobs(), 1);
        EXPECT_TRUE(fake::IsOpen(g_childJob));
    }
}

// A stop asks, waits, terminates, and releases the child once it is gone: it waits for that, up
// to 5 s, where the termination took, and not at all where it failed.
struct StopCase {
    Child child;
    DWORD bound;   // the wait for the child to be gone
    DWORD done;    // when the stop returns
    bool released; // the handles closed and the slot emptied
};

const StopCase kStopCases[] = {
    {Child::EndsOnQuit, 0, 1000, true},
    {Child::IgnoresQuit, 5000, 1000, true},
    {Child::AlreadyEnded, 0, 1000, true},
    {Child::Unkillable, 0, 1000, false},
    {Child::EndsLate, 5000, 1000 + fake::kEndLagMs, true},
    {Child::NeverEnds, 5000, 6000, false},
};

TEST_F(ChildControl, StopAsksThenTerminatesAndReleasesAChildThatIsGone) {
    for (const StopCase& c : kStopCases) {
        SCOPED_TRACE("child kind " + std::to_string(static_cast<int>(c.child)));
        SetUp();
        fake::launches = {{c.child, 0}};
        StartChild(0);
        ChildSlot before = g_children[0];
        fake::StartTrace();
        StopChild(0);

        std::vector<std::string> expected = {"0 PostThreadMessageA(tid1, 0x12, 0, 0)",
                                             "0 Sleep(1000)", "1000 TerminateProcess(process1, 0)",
                                             "1000 WaitForSingleObject(process1, " +
                                                 std::to_string(c.bound) + ")"};
        if (c.released) {
            expected.push_back(std::to_string(c.done) + " CloseHandle(process1)");
            expected.push_back(std::to_string(c.done) + " CloseHandle(thread1)");
        }
        EXPECT_EQ(Trace(), expected);
        EXPECT_EQ(fake::Now(), c.done);
        EXPECT_EQ(fake::IsRunning(before.dwProcessId), !c.released);
        EXPECT_EQ(fake::OpenHandles(), c.released ? 0 : 2);
        if (c.released) {
            EXPECT_TRUE(IsEmpty(g_children[0]));
        } else {
            EXPECT_EQ(memcmp(&before, &g_children[0], sizeof before), 0);
        }
    }
}

// Whether terminating it fails or it outlasts its termination, a child that runs on keeps its
// slot: a restart launches nothing beside it, and the next stop tries again.
TEST_F(ChildControl, ChildThatRunsOnIsNeitherDoubledNorForgotten) {
    for (Child child : {Child::Unkillable, Child::NeverEnds}) {
        SCOPED_TRACE("child kind " + std::to_string(static_cast<int>(child)));
        SetUp();
        fake::launches = {{child, 0}};
        StartChild(0);
        StopChild(0);
        fake::StartTrace();
        EXPECT_EQ(StartChild(0), 0);
        StopChild(0);
        EXPECT_EQ(Trace().front(), "0 PostThreadMessageA(tid1, 0x12, 0, 0)");
        EXPECT_EQ(fake::OpenHandles(), 2);
    }
}

TEST_F(ChildControl, RestartsLeaveNoHandleOfAReplacedChildOpen) {
    const fake::Launch cycle[] = {{Child::EndsOnQuit, 0},
                                  {Child::IgnoresQuit, 0},
                                  {Child::AlreadyEnded, 0},
                                  {Child::EndsLate, 0},
                                  {Child::EndsOnQuit, 2}};
    StartChild(0);
    for (int round = 0; round < 15; ++round) {
        const fake::Launch& next = cycle[round % 5];
        fake::launches = {next};
        StopChild(0);
        StartChild(0);
        const ChildSlot& slot = g_children[0];
        if (next.error) {
            EXPECT_TRUE(IsEmpty(slot));
            EXPECT_EQ(fake::OpenHandles(), 0);
        } else {
            EXPECT_EQ(fake::OpenHandles(), 2);
            EXPECT_TRUE(fake::IsOpen(slot.hProcess) && fake::IsOpen(slot.hThread));
        }
    }
}
