// svcctl: a small client of the service control manager, for the demo and the
// end-to-end tests.
//
//   svcctl create <name> <binary path>    a demand-start service of its own process
//   svcctl delete <name>
//   svcctl start <name> [argument...]     returns once the service has first reported
//   svcctl control <name> <code>          sends a control code (1 stop, 2 pause, ...)
//   svcctl query <name>
//   svcctl wait <name> <state> <ms>       until the service reports <state>, at most <ms>
//   svcctl idle                           does nothing until ended: keeps a Wine prefix up
//
// Its answer stands between the lines "begin svcctl" and "end <exit code>" (answer.h). Every
// command that reaches the service answers with its status on one line:
//   state=4 type=0x30 accepted=3 win32=0 specific=0x0 checkpoint=0 hint=0 pid=36 ms=2003 us=2003117
// where ms and us say how long the call took. A failure answers "error=<n>" and exits 1: a
// service that does not exist, "error=1060".
#include "answer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

LARGE_INTEGER g_frequency;

long long NowUs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000000 / g_frequency.QuadPart;
}

int Failed(const char* what) {
    DWORD error = GetLastError();
    printf("error=%lu\n", error);
    fprintf(stderr, "svcctl: %s failed with error %lu\n", what, error);
    return 1;
}

// `us` is how long the call took, in microseconds; the line gives it in ms as well.
int PrintStatus(SC_HANDLE service, long long us) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof status, &needed)) {
        return Failed("QueryServiceStatusEx");
    }
    printf("state=%lu type=0x%lx accepted=%lu win32=%lu specific=0x%lx checkpoint=%lu hint=%lu "
           "pid=%lu ms=%lld us=%lld\n",
           status.dwCurrentState, status.dwServiceType, status.dwControlsAccepted,
           status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
           status.dwWaitHint, status.dwProcessId, us / 1000, us);
    return 0;
}

int Create(SC_HANDLE manager, const char* name, const char* binaryPath) {
    SC_HANDLE service = CreateServiceA(
        manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        return Failed("CreateService");
    }
    CloseServiceHandle(service);
    return 0;
}

int Delete(SC_HANDLE service) {
    return DeleteService(service) ? 0 : Failed("DeleteService");
}

int Start(SC_HANDLE service, int argc, const char** argv) {
    long long begin = NowUs();
    if (!StartServiceA(service, static_cast<DWORD>(argc), argv)) {
        return Failed("StartService");
    }
    return PrintStatus(service, NowUs() - begin);
}

int Control(SC_HANDLE service, DWORD code) {
    SERVICE_STATUS status;
    long long begin = NowUs();
    BOOL done = ControlService(service, code, &status);
    // Under Wine a stopped service's process may end before the manager has read the
    // handler's answer; the manager then fails a stop that was carried out with
    // ERROR_BROKEN_PIPE. The status tells whether it was.
    if (!done && GetLastError() == ERROR_BROKEN_PIPE && code == SERVICE_CONTROL_STOP) {
        done = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
        SetLastError(ERROR_BROKEN_PIPE);
    }
    if (!done) {
        return Failed("ControlService");
    }
    return PrintStatus(service, NowUs() - begin);
}

int Wait(SC_HANDLE service, DWORD state, long long timeoutMs) {
    long long begin = NowUs();
    for (;;) {
        SERVICE_STATUS status;
        if (!QueryServiceStatus(service, &status)) {
            return Failed("QueryServiceStatus");
        }
        if (status.dwCurrentState == state) {
            return PrintStatus(service, NowUs() - begin);
        }
        if (NowUs() - begin > timeoutMs * 1000) {
            PrintStatus(service, NowUs() - begin);
            fprintf(stderr, "svcctl: the service did not reach state %lu\n", state);
            return 1;
        }
        Sleep(10);
    }
}

int Usage() {
    fprintf(stderr, "usage: svcctl create <name> <binary path> | delete <name> |\n"
                    "       start <name> [argument...] | control <name> <code> | query <name> |\n"
                    "       wait <name> <state> <ms> | idle\n");
    return 2;
}

int Run(int argc, char** argv) {
    QueryPerformanceFrequency(&g_frequency);
    if (argc == 2 && strcmp(argv[1], "idle") == 0) {
        Sleep(INFINITE);
    }
    if (argc < 3) {
        return Usage();
    }
    const char* command = argv[1];
    const char* name = argv[2];

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        return Failed("OpenSCManager");
    }
    if (strcmp(command, "create") == 0 && argc == 4) {
        return Create(manager, name, argv[3]);
    }
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (!service) {
        return Failed("OpenService");
    }
    if (strcmp(command, "delete") == 0 && argc == 3) {
        return Delete(service);
    }
    if (strcmp(command, "start") == 0) {
        return Start(service, argc - 3, const_cast<const char**>(argv + 3));
    }
    if (strcmp(command, "control") == 0 && argc == 4) {
        return Control(service, strtoul(argv[3], nullptr, 0));
    }
    if (strcmp(command, "query") == 0 && argc == 3) {
        return PrintStatus(service, 0);
    }
    if (strcmp(command, "wait") == 0 && argc == 5) {
        return Wait(service, strtoul(argv[3], nullptr, 0), strtoll(argv[4], nullptr, 0));
    }
    return Usage();
}

} // namespace

int main(int argc, char** argv) {
    return Answer("svcctl", Run, argc, argv);
}
