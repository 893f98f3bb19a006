#include "service/control_handler.h"
#include "service/service_lock.h"
#include "service/service_main.h"
#include "service_test.h"

class ServiceMainTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        memset(&g_serviceStatus, 0xAB, sizeof g_serviceStatus); // every field must be written
        memset(&g_children[0], 0xCD, sizeof(ChildSlot));        // cleared before the launch
        g_statusHandle = nullptr;
        InitializeCriticalSection(&g_serviceLock);
        fake::StartTrace();
    }

    void TearDown() override {
        EXPECT_FALSE(g_serviceLock.held);
        ServiceTest::TearDown();
    }
};

namespace {

const std::string kRunning = "SetServiceStatus(status, {0x30, 4, 3, 0, 0x0, 0, 0})";

const std::vector<std::string> kRegistration = {
    "0 EnterCriticalSection",
    "0 SetLastError(0)",
    "0 RegisterServiceCtrlHandlerA(\"Pelmorane\")",
};

std::vector<std::string> Then(std::vector<std::string> lines, std::vector<std::string> more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

} // namespace

TEST_F(ServiceMainTest, ReportsRunningThenLaunches) {
    ServiceMain(0, nullptr);
    EXPECT_EQ(Trace(),
              Then(kRegistration, {
                                      "0 GetLastError",
                                      "0 " + kRunning,
                                      "0 " + Launch(kCompanionPathText),
                                      "0 CreateJobObjectA(null, null)",
                                      "0 SetInformationJobObject(job1, 9, {LimitFlags=0x3000})",
                                      "0 AssignProcessToJobObject(job1, process1)",
                                      "0 Sleep(1000)",
                                      "1000 LeaveCriticalSection",
                                  }));
    EXPECT_EQ(fake::handler, &ControlHandler);
    EXPECT_EQ(g_children[0].dwThreadId, 104u);
}

TEST_F(ServiceMainTest, StaleLastErrorStillStarts) {
    SetLastError(1450);
    ServiceMain(0, nullptr);
    ASSERT_FALSE(fake::reports.empty());
    EXPECT_EQ(fake::reports[0].status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ServiceMainTest, ArgumentsChangeNothing) {
    ServiceMain(0, nullptr);
    std::vector<std::string> without = Trace();
    SetUp();
    char first[] = "Pelmorane", second[] = "--verbose";
    LPSTR argv[] = {first, second, nullptr};
    ServiceMain(2, argv);
    EXPECT_EQ(Trace(), without);
}

TEST_F(ServiceMainTest, NullHandleReportsAndLaunchesNothing) {
    fake::registrationHandle = nullptr;
    ServiceMain(0, nullptr);
    EXPECT_EQ(Trace(), Then(kRegistration, {"0 LeaveCriticalSection"}));
}

TEST_F(ServiceMainTest, RegistrationErrorReportsStoppedOutsideTheLock) {
    fake::registrationError = 1063;
    ServiceMain(0, nullptr);
    const std::string stopped = "0 SetServiceStatus(status, {0x30, 1, 3, 1063, 0xfffffff, 0, 0})";
    EXPECT_EQ(Trace(), Then(kRegistration, {"0 GetLastError", "0 LeaveCriticalSection", stopped}));

    // A stop that waited for the lock finds the service stopped and keeps the exit codes.
    fake::StartTrace();
    ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Trace().back(), stopped);
}

TEST_F(ServiceMainTest, WithoutACompanionRunsWithNoChildAndStopsAtOnce) {
    g_childApplicationName[0] = '\0';
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake::reports.size(), 1u);
    EXPECT_TRUE(IsEmpty(g_children[0]));

    fake::StartTrace();
    ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Trace().back(), "0 SetServiceStatus(status, {0x30, 1, 3, 0, 0x0, 0, 0})");
}

TEST_F(ServiceMainTest, FailedLaunchesLeaveTheServiceWithoutAChild) {
    // At the start (file not found): running, with no child.
    fake::launches = {{fake::Child::EndsOnQuit, 2}};
    ServiceMain(0, nullptr);
    EXPECT_EQ(fake::reports.back().status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(IsEmpty(g_children[0]));

    // In a restart while paused (access denied): at once, the state kept, still no child.
    ControlHandler(SERVICE_CONTROL_PAUSE);
    fake::launches = {{fake::Child::EndsOnQuit, 5}};
    fake::StartTrace();
    ControlHandler(128);
    EXPECT_EQ(Trace().back(), "0 SetServiceStatus(status, {0x30, 7, 3, 0, 0x0, 0, 0})");
    EXPECT_TRUE(IsEmpty(g_children[0]));

    // The next restart launches again.
    ControlHandler(128);
    EXPECT_TRUE(fake::IsRunning(g_children[0].dwProcessId));
}
