#pragma once

#include "supervisor/child_table.h"

// The service's name: filled by the process entry, offered to the dispatcher
// and used by the service main to register the control handler.
extern char g_serviceName[kTextBufferSize];
