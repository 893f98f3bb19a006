#pragma once

#include <windows.h>

// Orders control requests after the start-up. ServiceMain holds it from before
// the control handler is registered until every child has been launched;
// ControlHandler holds it while it works on the child table and the status
// record. Initialized by the process entry, it lives as long as the process.
// Neither holds it while reporting stopped: under Wine that report waits for
// the dispatcher, which may itself be waiting for this lock.
extern CRITICAL_SECTION g_serviceLock;
