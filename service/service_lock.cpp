#include "service/service_lock.h"

CRITICAL_SECTION g_serviceLock;
