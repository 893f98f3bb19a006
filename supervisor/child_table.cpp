#include "supervisor/child_table.h"

int g_childCount;
ChildSlot* g_children;
char g_childCommandLine[kTextBufferSize];
char g_childApplicationName[kTextBufferSize];
