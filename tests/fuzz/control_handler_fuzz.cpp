// Fuzzes the service's life on the fake platform: a start (sometimes a failed
// one) and then a sequence of control requests, any code, with children that
// obey, ignore WM_QUIT, have ended, cannot be terminated or fail to launch.
// After every request it checks what must always hold, and aborts if not.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_win32.h"
#include "service/control_handler.h"
#include "service/service_lock.h"
#include "service/service_main.h"
#include "service/service_name.h"
#include "service/service_status.h"
#include "supervisor/child_job.h"
#include "supervisor/child_table.h"

namespace {

void Require(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

// The input, read a byte or a word at a time; it runs out as zeros.
struct Input {
    const uint8_t* data;
    size_t size;

    uint8_t Byte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }

    uint32_t Word() {
        uint32_t word = 0;
        for (int i = 0; i < 4; ++i) {
            word = word << 8 | Byte();
        }
        return word;
    }
};

// Codes weighted towards those that do something; the rest cover every code.
DWORD NextCode(Input& in) {
    uint8_t kind = in.Byte();
    switch (kind % 8) {
    case 0:
        return kind < 32 ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_INTERROGATE;
    case 1:
        return SERVICE_CONTROL_PAUSE;
    case 2:
        return SERVICE_CONTROL_CONTINUE;
    case 3:
        return 128 + in.Byte() % 8;
    case 4:
        return 255;
    case 5:
        return in.Byte();
    default:
        return in.Word();
    }
}

void ScriptLaunches(Input& in) {
    fake::launches.clear();
    for (int i = 0; i < 4; ++i) {
        uint8_t kind = in.Byte() % 7;
        fake::launches.push_back(kind == 6 ? fake::Launch{fake::Child::EndsOnQuit, 2}
                                           : fake::Launch{static_cast<fake::Child>(kind), 0});
    }
}

// The state a request leaves, by the table of codes.
DWORD StateAfter(DWORD state, DWORD code) {
    if (state == SERVICE_STOPPED) {
        return state;
    }
    switch (code) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOPPED;
    case SERVICE_CONTROL_PAUSE:
        return SERVICE_PAUSED;
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_RUNNING;
    default:
        return state;
    }
}

void CheckTable(std::vector<uintptr_t>& lastProcess) {
    int occupied = 0;
    for (int i = 0; i < g_childCount; ++i) {
        const ChildSlot& slot = g_children[i];
        if (slot.hProcess == NULL) {
            Require(!slot.hThread && !slot.dwProcessId && !slot.dwThreadId,
                    "an empty slot holds nothing else");
            continue;
        }
        ++occupied;
        PROCESS_INFORMATION launched = fake::LaunchRecord(slot.hProcess);
        Require(memcmp(&launched, &slot, sizeof slot) == 0, "a slot holds one launch's record");
        Require(fake::IsOpen(slot.hProcess) && fake::IsOpen(slot.hThread),
                "a slot's handles are open");
        uintptr_t process = reinterpret_cast<uintptr_t>(slot.hProcess);
        Require(process >= lastProcess[i], "a slot holds the child last launched into it");
        lastProcess[i] = process;
    }
    Require(fake::OpenHandles() == 2 * occupied, "no handle of a replaced child stays open");
    Require(fake::OpenJobs() <= 1, "never more than one job");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in = {data, size};
    fake::Reset();
    g_childJob = NULL;
    std::vector<ChildSlot> table(1 + in.Byte() % 4);
    g_childCount = static_cast<int>(table.size());
    g_children = table.data();
    strcpy(g_childCommandLine, "kiv.exe");
    strcpy(g_childApplicationName, "C:\\Services\\kiv.exe");
    strcpy(g_serviceName, "Pelmorane");
    uint8_t start = in.Byte();
    fake::registrationError = start < 16 ? 1063 : 0;
    InitializeCriticalSection(&g_serviceLock);
    ScriptLaunches(in);
    const char* jobCalls[] = {"CreateJobObjectA", "SetInformationJobObject",
                              "AssignProcessToJobObject"};
    uint8_t failingJobCalls = in.Byte();
    for (int i = 0; i < 3; ++i) {
        if (failingJobCalls & (1 << i)) {
            fake::failing.insert(jobCalls[i]);
        }
    }
    ServiceMain(0, NULL);

    std::vector<uintptr_t> lastProcess(table.size());
    const SERVICE_STATUS started = g_serviceStatus;
    CheckTable(lastProcess);
    for (int request = 0; request < 64 && in.size > 0; ++request) {
        DWORD code = NextCode(in);
        ScriptLaunches(in);
        DWORD expected = StateAfter(g_serviceStatus.dwCurrentState, code);
        size_t reports = fake::reports.size();

        ControlHandler(code);
        Require(fake::reports.size() == reports + 1, "every request reports exactly once");
        Require(fake::calls.back().text.rfind("SetServiceStatus(", 0) == 0,
                "the report is the request's last act");
        Require(g_serviceStatus.dwCurrentState == expected, "the state follows the table of codes");
        Require(g_serviceStatus.dwServiceType == SERVICE_WIN32 &&
                    g_serviceStatus.dwControlsAccepted == 3 && g_serviceStatus.dwCheckPoint == 0 &&
                    g_serviceStatus.dwWaitHint == 0,
                "type, accepted controls, check point and wait hint never change");
        bool startFailed = started.dwCurrentState == SERVICE_STOPPED;
        Require(g_serviceStatus.dwWin32ExitCode == (startFailed ? 1063u : 0u) &&
                    g_serviceStatus.dwServiceSpecificExitCode == (startFailed ? 0x0FFFFFFFu : 0u),
                "the exit codes are the start's");
        Require(!g_serviceLock.held && fake::faults.empty(), "the platform is used soundly");
        CheckTable(lastProcess);
    }
    g_children = NULL;
    return 0;
}
