#include "service/service_main.h"

#include "service/control_handler.h"
#include "service/service_lock.h"
#include "service/service_name.h"
#include "service/service_status.h"
#include "supervisor/child_control.h"
#include "supervisor/child_table.h"

namespace {

const DWORD kStartErrorCode = 0x0FFFFFFF; // service-specific exit code of a failed start

const DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;

} // namespace

void WINAPI ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    EnterCriticalSection(&g_serviceLock);
    // Start pending is never reported: the first report says running or stopped.
    g_serviceStatus = {SERVICE_WIN32, SERVICE_START_PENDING, kAcceptedControls, 0, 0, 0, 0};

    // A value left on this thread by earlier code must not read as a failed registration.
    SetLastError(0);
    g_statusHandle = RegisterServiceCtrlHandlerA(g_serviceName, ControlHandler);
    if (g_statusHandle == nullptr) {
        LeaveCriticalSection(&g_serviceLock);
        return;
    }

    DWORD error = GetLastError();
    if (error != 0) {
        g_serviceStatus.dwCurrentState = SERVICE_STOPPED;
        g_serviceStatus.dwWin32ExitCode = error;
        g_serviceStatus.dwServiceSpecificExitCode = kStartErrorCode;
        g_serviceStatus.dwCheckPoint = 0;
        g_serviceStatus.dwWaitHint = 0;
        LeaveCriticalSection(&g_serviceLock);
        ReportStatus();
        return;
    }

    g_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = 0;
    ReportStatus();

    for (int i = 0; i < g_childCount; ++i) {
        g_children[i] = ChildSlot{};
        StartChild(i);
    }
    LeaveCriticalSection(&g_serviceLock);
}
