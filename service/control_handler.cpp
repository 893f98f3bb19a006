#include "service/control_handler.h"

#include "service/service_lock.h"
#include "service/service_status.h"
#include "supervisor/child_control.h"
#include "supervisor/child_table.h"

namespace {

const DWORD kFirstUserCode = 128;
const DWORD kLastUserCode = 255;
const DWORD kIndexBits = 0x7F;
const int kEveryChild = 127; // the index of code 255

// Stops run from the highest index down; the count is taken once.
void StopEveryChild() {
    for (int i = g_childCount - 1; i >= 0; --i) {
        StopChild(i);
    }
}

// The index test comes first: code 255 means every child only while the
// table has at most 127 slots.
void RestartChildren(int index) {
    if (index < g_childCount) {
        StopChild(index);
        StartChild(index);
    } else if (index == kEveryChild) {
        StopEveryChild();
        for (int i = 0; i < g_childCount; ++i) {
            StartChild(i);
        }
    }
}

// Changes the status record and the children as the request asks.
void CarryOut(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        g_serviceStatus.dwWin32ExitCode = 0;
        g_serviceStatus.dwCurrentState = SERVICE_STOPPED;
        g_serviceStatus.dwCheckPoint = 0;
        g_serviceStatus.dwWaitHint = 0;
        StopEveryChild();
        break;
    case SERVICE_CONTROL_PAUSE:
        g_serviceStatus.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        g_serviceStatus.dwCurrentState = SERVICE_RUNNING;
        break;
    default: // interrogate and every other code only report
        if (control >= kFirstUserCode && control <= kLastUserCode) {
            RestartChildren(static_cast<int>(control & kIndexBits));
        }
        break;
    }
}

} // namespace

void WINAPI ControlHandler(DWORD control) {
    // Waits here while the service main is still launching the children.
    EnterCriticalSection(&g_serviceLock);
    // Once the start has failed, a request changes nothing, so that its exit codes survive.
    if (g_serviceStatus.dwCurrentState != SERVICE_STOPPED) {
        CarryOut(control);
    }
    LeaveCriticalSection(&g_serviceLock);
    // The last act: once stopped is reported, the process may end and free the child table.
    ReportStatus();
}
