#include "service/process_entry.h"
#include "service/service_lock.h"
#include "service/service_main.h"
#include "service_test.h"

class ProcessEntryTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        g_childCommandLine[0] = g_childApplicationName[0] = g_serviceName[0] = '\0';
        g_childCount = 0;
        g_children = nullptr;
    }
};

namespace {

// A path of `length` characters: "C:\ddd...d\p.exe".
std::string PathOfLength(size_t length) {
    return "C:\\" + std::string(length - 9, 'd') + "\\p.exe";
}

struct PathCase {
    std::string modulePath;
    std::string commandLine;
    std::string applicationName;
};

const PathCase kPathCases[] = {
    {"C:\\Services\\pelmorane.exe", "kiv.exe", "C:\\Services\\kiv.exe"},
    {"C:\\Services\\pelmorane.ex", "", ""}, // the dot is not the fourth-last character
    {"C:\\Services\\pelmorane", "", ""},
    {".exe", "", ""},         // four characters or fewer
    {"", "", ""},             // the path could not be read
    {"a.exe", "kiv.exe", ""}, // no folder
    {PathOfLength(499), "kiv.exe", PathOfLength(499).substr(0, 494) + "kiv.exe"},
    {PathOfLength(500), "kiv.exe", ""}, // cut at 499 characters, ".ex" still in place
    {PathOfLength(501), "", ""},        // cut, and the dot is no longer fourth-last
    // A dot in the last folder's name: the companion's path would not fit its buffer.
    {"C:\\" + std::string(492, 'd') + ".x\\a", "kiv.exe", ""},
};

} // namespace

TEST_F(ProcessEntryTest, ModulePathNamesTheCompanion) {
    for (const PathCase& c : kPathCases) {
        SCOPED_TRACE("module path of " + std::to_string(c.modulePath.size()) +
                     " characters: " + c.modulePath.substr(0, 40));
        SetUp();
        fake::modulePath = c.modulePath;
        ProcessEntry();
        EXPECT_EQ(g_childCommandLine, c.commandLine);
        EXPECT_EQ(g_childApplicationName, c.applicationName);
    }
}

TEST_F(ProcessEntryTest, HandsTheServiceToTheDispatcher) {
    fake::dispatcher = [](const SERVICE_TABLE_ENTRYA* table) {
        EXPECT_STREQ(table[0].lpServiceName, "Pelmorane");
        EXPECT_EQ(table[0].lpServiceProc, &ServiceMain);
        EXPECT_EQ(table[1].lpServiceName, nullptr);
        EXPECT_EQ(table[1].lpServiceProc, nullptr);
        EXPECT_EQ(g_childCount, 1);
        EXPECT_TRUE(g_children && IsEmpty(g_children[0]));

        table[0].lpServiceProc(0, nullptr);
        EXPECT_TRUE(fake::IsRunning(g_children[0].dwProcessId));
        fake::handler(SERVICE_CONTROL_STOP);
        return TRUE;
    };
    EXPECT_EQ(ProcessEntry(), 0);
    EXPECT_EQ(fake::reports.back().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_FALSE(g_serviceLock.held);
}

TEST_F(ProcessEntryTest, ExitStatus) {
    // Started by hand: the dispatcher's error, read right after the call.
    EXPECT_EQ(ProcessEntry(), 1063);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "0 GetModuleFileNameA(null, 500)",
                           "0 InitializeCriticalSection",
                           "0 StartServiceCtrlDispatcherA",
                           "0 GetLastError",
                       }));

    // A failed start is the service's to report; the dispatcher itself ran.
    SetUp();
    fake::registrationError = 1450;
    fake::dispatcher = [](const SERVICE_TABLE_ENTRYA* table) {
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    };
    EXPECT_EQ(ProcessEntry(), 0);
    EXPECT_EQ(fake::reports.back().status.dwWin32ExitCode, 1450u);

    // Without a child table the dispatcher is not entered.
    SetUp();
    fake::failNextCalloc = true;
    EXPECT_EQ(ProcessEntry(), 8);
    EXPECT_EQ(Trace(), std::vector<std::string>{"0 GetModuleFileNameA(null, 500)"});
}
