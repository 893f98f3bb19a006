#include "service/process_entry.h"

#include <cstdlib>
#include <cstring>

#include "service/service_lock.h"
#include "service/service_main.h"
#include "service/service_name.h"
#include "supervisor/child_table.h"

SERVICE_TABLE_ENTRYA g_dispatchTable[2] = {{g_serviceName, ServiceMain}, {nullptr, nullptr}};

namespace {

const DWORD kModulePathCapacity = 500;
const char kCompanion[] = "kiv.exe";
const char kServiceName[] = "Pelmorane";

// Names the companion in the service's own folder. A path that was cut, or
// that names no folder, or a result too long for the buffer, names nothing.
void NameCompanionBesideService(const char* modulePath, DWORD length) {
    const char* lastBackslash = strrchr(modulePath, '\\');
    if (length >= kModulePathCapacity || lastBackslash == nullptr) {
        return;
    }
    auto folderLength = static_cast<size_t>(lastBackslash + 1 - modulePath);
    if (folderLength + sizeof kCompanion > sizeof g_childApplicationName) {
        return;
    }
    memcpy(g_childApplicationName, modulePath, folderLength);
    memcpy(g_childApplicationName + folderLength, kCompanion, sizeof kCompanion);
}

} // namespace

int ProcessEntry() {
    char modulePath[kTextBufferSize] = {};
    DWORD length = GetModuleFileNameA(nullptr, modulePath, kModulePathCapacity);
    modulePath[length] = '\0';
    // Only a path with a three-letter extension names a companion.
    if (length > 4 && modulePath[length - 4] == '.') {
        memcpy(g_childCommandLine, kCompanion, sizeof kCompanion);
        NameCompanionBesideService(modulePath, length);
    }
    memcpy(g_serviceName, kServiceName, sizeof kServiceName);

    g_childCount = 1;
    g_children = static_cast<ChildSlot*>(calloc(g_childCount, sizeof(ChildSlot)));
    if (g_children == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    InitializeCriticalSection(&g_serviceLock);

    BOOL dispatched = StartServiceCtrlDispatcherA(g_dispatchTable);
    DWORD status = dispatched ? 0 : GetLastError();
    free(g_children);
    return static_cast<int>(status);
}
