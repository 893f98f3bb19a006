#pragma once

#include <windows.h>

// The job that binds every launched child to the service process. Only the service holds its
// handle, and never closes it: when the service process ends, however it ends, the system closes
// the handle, and the job's kill-on-close limit ends the child with it. Null until a launch has
// made it.
extern HANDLE g_childJob;

// Puts a child that was just launched into the job, making the job first if there is none yet.
// A job that cannot be made, or a child that cannot be put into it, is passed over: that child
// runs unbound, and the next launch tries again.
void BindChildToService(HANDLE process);
