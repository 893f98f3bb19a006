#include "service/control_handler.h"
#include "service_test.h"
#include "supervisor/child_control.h"

using ControlHandling = ServiceTest;

namespace {

std::string Report(DWORD state) {
    return "SetServiceStatus(status, {0x30, " + std::to_string(state) + ", 3, 0, 0x0, 0, 0})";
}

// The lines of the trace that are calls of `call`.
std::vector<std::string> CallsOf(const std::string& call) {
    std::vector<std::string> lines;
    for (const std::string& line : Trace()) {
        if (line.find(" " + call + "(") != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

int CountOf(const std::string& call) {
    return static_cast<int>(CallsOf(call).size());
}

// Launches every slot, then starts the trace afresh.
void LaunchAll() {
    for (int i = 0; i < g_childCount; ++i) {
        StartChild(i);
    }
    fake::StartTrace();
}

} // namespace

TEST_F(ControlHandling, RestartOfARunningChild) {
    fake::launches = {{fake::Child::IgnoresQuit, 0}};
    LaunchAll();
    ControlHandler(128);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "0 EnterCriticalSection",
                           "0 PostThreadMessageA(tid1, 0x12, 0, 0)",
                           "0 Sleep(1000)",
                           "1000 TerminateProcess(process1, 0)",
                           "1000 WaitForSingleObject(process1, 5000)",
                           "1000 CloseHandle(process1)",
                           "1000 CloseHandle(thread1)",
                           "1000 " + Launch(kCompanionPathText),
                           "1000 AssignProcessToJobObject(job1, process2)",
                           "1000 Sleep(1000)",
                           "2000 LeaveCriticalSection",
                           "2000 " + Report(SERVICE_RUNNING),
                       }));
    EXPECT_EQ(fake::LastCommandLine(), g_childCommandLine);
    EXPECT_EQ(g_children[0].dwThreadId, 204u);
}

enum Effect { kReportOnly, kRestart, kStop };

struct CodeCase {
    DWORD code;
    DWORD stateBefore;
    DWORD stateAfter;
    Effect effect;
};

const CodeCase kCodeCases[] = {
    {1, SERVICE_RUNNING, SERVICE_STOPPED, kStop},
    {1, SERVICE_PAUSED, SERVICE_STOPPED, kStop},
    {2, SERVICE_RUNNING, SERVICE_PAUSED, kReportOnly},
    {2, SERVICE_PAUSED, SERVICE_PAUSED, kReportOnly},
    {3, SERVICE_PAUSED, SERVICE_RUNNING, kReportOnly},
    {3, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {4, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {4, SERVICE_PAUSED, SERVICE_PAUSED, kReportOnly},
    {128, SERVICE_RUNNING, SERVICE_RUNNING, kRestart},
    {128, SERVICE_PAUSED, SERVICE_PAUSED, kRestart},
    {255, SERVICE_RUNNING, SERVICE_RUNNING, kRestart},
    {255, SERVICE_PAUSED, SERVICE_PAUSED, kRestart},
    {129, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {200, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {254, SERVICE_PAUSED, SERVICE_PAUSED, kReportOnly},
    {0, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {5, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {6, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {127, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {256, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {256 + 128, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {256 + 255, SERVICE_RUNNING, SERVICE_RUNNING, kReportOnly},
    {0xFFFFFFFF, SERVICE_PAUSED, SERVICE_PAUSED, kReportOnly},
};

TEST_F(ControlHandling, WhatEachCodeDoes) {
    for (const CodeCase& c : kCodeCases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        SetUp();
        LaunchAll();
        g_serviceStatus.dwCurrentState = c.stateBefore;
        ControlHandler(c.code);

        std::vector<std::string> trace = Trace();
        EXPECT_EQ(fake::reports.size(), 1u);
        EXPECT_EQ(trace.back().substr(trace.back().find(' ') + 1), Report(c.stateAfter));
        EXPECT_EQ(CountOf("PostThreadMessageA"), c.effect == kReportOnly ? 0 : 1);
        EXPECT_EQ(CountOf("CreateProcessA"), c.effect == kRestart ? 1 : 0);
        EXPECT_EQ(fake::OpenHandles(), c.effect == kStop ? 0 : 2);
        if (c.effect == kReportOnly) {
            EXPECT_EQ(trace.size(), 3u);
        }
    }
}

TEST_F(ControlHandling, SeveralSlotsStopDownAndLaunchUp) {
    UseTable(3);
    LaunchAll();
    ControlHandler(255);
    EXPECT_EQ(CallsOf("PostThreadMessageA"), (std::vector<std::string>{
                                                 "0 PostThreadMessageA(tid3, 0x12, 0, 0)",
                                                 "1000 PostThreadMessageA(tid2, 0x12, 0, 0)",
                                                 "2000 PostThreadMessageA(tid1, 0x12, 0, 0)",
                                             }));
    EXPECT_EQ(Trace().back(), "6000 " + Report(SERVICE_RUNNING));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g_children[i].dwThreadId, 100u * (4 + i) + 4) << "slot " << i;
    }

    // 128 + index restarts that slot alone.
    fake::StartTrace();
    ControlHandler(129);
    EXPECT_EQ(CallsOf("PostThreadMessageA"),
              std::vector<std::string>{"0 PostThreadMessageA(tid5, 0x12, 0, 0)"});
    EXPECT_EQ(CountOf("CreateProcessA"), 1);
    EXPECT_EQ(g_children[1].dwThreadId, 704u);

    fake::StartTrace();
    ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(CallsOf("PostThreadMessageA"), (std::vector<std::string>{
                                                 "0 PostThreadMessageA(tid6, 0x12, 0, 0)",
                                                 "1000 PostThreadMessageA(tid7, 0x12, 0, 0)",
                                                 "2000 PostThreadMessageA(tid4, 0x12, 0, 0)",
                                             }));
    EXPECT_EQ(Trace().back(), "3000 " + Report(SERVICE_STOPPED));
}

TEST_F(ControlHandling, Code255MeansSlot127WhileTheTableHasIt) {
    UseTable(128);
    LaunchAll();
    ControlHandler(255);
    EXPECT_EQ(CallsOf("PostThreadMessageA"),
              std::vector<std::string>{"0 PostThreadMessageA(tid128, 0x12, 0, 0)"});
    EXPECT_EQ(CountOf("CreateProcessA"), 1);
}

TEST_F(ControlHandling, StopWithoutAChildReportsAtOnce) {
    g_serviceStatus.dwWin32ExitCode = 5;
    ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"0 EnterCriticalSection", "0 LeaveCriticalSection",
                                                 "0 " + Report(SERVICE_STOPPED)}));
}
