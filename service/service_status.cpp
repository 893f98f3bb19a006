#include "service/service_status.h"

SERVICE_STATUS g_serviceStatus;
SERVICE_STATUS_HANDLE g_statusHandle;

void ReportStatus() {
    SetServiceStatus(g_statusHandle, &g_serviceStatus);
}
