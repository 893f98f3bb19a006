#pragma once

#include <windows.h>

// A slot holds the process record of its child. An Empty slot (null handles,
// zero ids) holds no child.
typedef PROCESS_INFORMATION ChildSlot;

// Size of the fixed text buffers (child command line, service name).
const int kTextBufferSize = 504;

extern int g_childCount;
extern ChildSlot* g_children;
// The command line every slot is launched with ("kiv.exe"), and the full path
// of the companion in the service's own folder. Either may be empty.
extern char g_childCommandLine[kTextBufferSize];
extern char g_childApplicationName[kTextBufferSize];
