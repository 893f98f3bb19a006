#pragma once

#include <windows.h>

// The one service of this process, and the null entry that ends the table.
extern SERVICE_TABLE_ENTRYA g_dispatchTable[2];

// The process's work: prepares the names, the child table and the lock, then
// hands the thread to the service dispatcher until the service has stopped.
// Returns the exit status: 0 when the dispatcher ran, its error when it did
// not (the process was started by hand), ERROR_NOT_ENOUGH_MEMORY without a
// child table.
int ProcessEntry();
