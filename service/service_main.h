#pragma once

#include <windows.h>

// Registers the control handler, reports the service running and launches
// every child. The arguments, start parameters included, are ignored.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
