// The benchmark's reference: a service that does nothing. It registers its
// handler, reports running, answers every control with a report (stop, pause
// and continue change the state) and ends once stopped.
//
// Built with REFERENCE_IMPORTS_USER32 it also imports USER32, as the service
// must to post WM_QUIT, from a branch that no control code reaches.
#include <windows.h>

namespace {

#ifdef REFERENCE_IMPORTS_USER32
char g_name[] = "ReferenceUser32";
#else
char g_name[] = "Reference";
#endif
SERVICE_STATUS g_status = {SERVICE_WIN32,
                           SERVICE_START_PENDING,
                           SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                           0,
                           0,
                           0,
                           0};
SERVICE_STATUS_HANDLE g_handle;

void WINAPI Handler(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        g_status.dwCurrentState = SERVICE_STOPPED;
        break;
    case SERVICE_CONTROL_PAUSE:
        g_status.dwCurrentState = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        g_status.dwCurrentState = SERVICE_RUNNING;
        break;
#ifdef REFERENCE_IMPORTS_USER32
    case 0xFFFFFFFF: // never sent: the service control manager passes on no such code
        PostThreadMessageA(0, WM_QUIT, 0, 0);
        break;
#endif
    default:
        break;
    }
    SetServiceStatus(g_handle, &g_status);
}

void WINAPI Main(DWORD /*argc*/, LPSTR* /*argv*/) {
    g_handle = RegisterServiceCtrlHandlerA(g_name, Handler);
    g_status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(g_handle, &g_status);
}

} // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{g_name, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}
