#pragma once

#include <windows.h>

// Carries out one control request and reports the status record, exactly once:
//   1 stop, 2 pause, 3 continue, 4 interrogate;
//   128 + index restarts that child, 255 restarts every child;
//   every other code only reports.
void WINAPI ControlHandler(DWORD control);
