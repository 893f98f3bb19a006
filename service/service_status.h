#pragma once

#include <windows.h>

// The one status record of the service and the handle it is reported under.
extern SERVICE_STATUS g_serviceStatus;
extern SERVICE_STATUS_HANDLE g_statusHandle;

// Sends the whole record to the service control manager. A failed report is
// ignored: the record keeps its values and the next request reports them again.
void ReportStatus();
