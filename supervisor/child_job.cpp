#include "supervisor/child_job.h"

HANDLE g_childJob;

namespace {

// Ends every child in the job when its last handle closes. Lets the child's own children leave
// the job silently: only the child the service launched is bound to it.
const DWORD kChildJobLimits =
    JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;

// A job counts as made only once its limits are set: a job without them would bind nothing.
bool HaveChildJob() {
    if (g_childJob != nullptr) {
        return true;
    }
    HANDLE job = CreateJobObjectA(nullptr, nullptr); // not inheritable
    if (job == nullptr) {
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = kChildJobLimits;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return false;
    }
    g_childJob = job;
    return true;
}

} // namespace

void BindChildToService(HANDLE process) {
    // Fails where the service itself runs in a job that forbids breakaway (before Windows 8).
    if (HaveChildJob()) {
        AssignProcessToJobObject(g_childJob, process);
    }
}
