#include "supervisor/child_control.h"

#include <windows.h>

#include "supervisor/child_job.h"
#include "supervisor/child_table.h"

// The start-up record's size, which Windows checks, as each build of the service lays it out.
#if defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 104, "64-bit Windows");
#elif defined(_WIN32)
static_assert(sizeof(STARTUPINFOA) == 68, "32-bit Windows");
#endif

namespace {

const DWORD kSettleMs = 1000; // after a launch, before the caller goes on
const DWORD kGraceMs = 1000;  // for the child to end by itself after WM_QUIT
// For a terminated child to be gone: TerminateProcess only starts its end, which waits for the
// child's pending I/O. A stop runs in the control handler with the next request waiting, and
// both the manager and the packages wait 30 s at most for a stop; 1 s of grace and at most 5 s
// of this keep a stop and a restart far inside that, and a child that takes longer is kept.
const DWORD kEndMs = 5000;

} // namespace

int StartChild(int index) {
    // Without the companion's full path nothing is launched: a bare name would also be searched
    // for far beyond the service's folder. And a child that could not be stopped still holds its
    // slot: no second one is launched beside it.
    if (g_childApplicationName[0] == '\0' || g_children[index].hProcess != nullptr) {
        return 0;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.wShowWindow = SW_SHOW;

    // Launch into a record of our own, so that a failed launch leaves the slot as it was.
    PROCESS_INFORMATION launched = {};
    if (!CreateProcessA(g_childApplicationName, g_childCommandLine, nullptr, nullptr, FALSE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &launched)) {
        return 0;
    }
    // Until it is bound, a child would outlive a service that dies at this very moment. The
    // window is accepted: the child is launched as it always was, not suspended.
    BindChildToService(launched.hProcess);
    g_children[index] = launched;
    Sleep(kSettleMs);
    return 1;
}

void StopChild(int index) {
    if (index < 0 || index >= g_childCount) {
        return;
    }
    ChildSlot& slot = g_children[index];
    if (slot.hProcess == nullptr) {
        return;
    }
    PostThreadMessageA(slot.dwThreadId, WM_QUIT, 0, 0);
    Sleep(kGraceMs);
    BOOL terminated = TerminateProcess(slot.hProcess, 0);

    // Release the child only once it is gone, so that its replacement never runs beside it and a
    // reported stop leaves no kiv.exe loaded. A termination that failed was refused, or found
    // the child gone: there is nothing to wait for. A child that may still run keeps its
    // handles: a later stop tries again, a restart cannot launch a second child beside it, and
    // its thread id cannot be given to another thread while the thread handle is open.
    if (WaitForSingleObject(slot.hProcess, terminated ? kEndMs : 0) == WAIT_OBJECT_0) {
        CloseHandle(slot.hProcess);
        CloseHandle(slot.hThread);
        slot = ChildSlot{};
    }
}
