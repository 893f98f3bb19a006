#include "fake_win32.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace fake {

const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5757);
std::deque<Launch> launches;
std::vector<Call> calls;
std::vector<Report> reports;
std::vector<std::string> faults;
std::string modulePath;
SERVICE_STATUS_HANDLE registrationHandle;
DWORD registrationError;
LPHANDLER_FUNCTION handler;
std::function<BOOL(const SERVICE_TABLE_ENTRYA*)> dispatcher;
std::set<std::string> failing;
bool failNextCalloc;

namespace {

const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_INVALID_THREAD_ID = 1444;
const DWORD ERROR_NOT_SUPPORTED = 50;

// Launch n (counting from 1) gets process id 100n and thread id 100n + 4;
// the trace names its handles processN and threadN and its thread id tidN.
struct Process {
    HANDLE process;
    HANDLE thread;
    DWORD id;
    DWORD threadId;
    Child child;
    bool running;
    DWORD endsAt; // once terminated, when it is gone: kNever while it still runs
};

const DWORD kNever = 0xFFFFFFFF;

DWORD g_now;
DWORD g_lastError;
LPSTR g_lastCommandLine;
std::vector<Process> g_processes;
std::map<HANDLE, std::string> g_handleNames;
std::set<HANDLE> g_open;
int g_jobsMade;

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Record(const std::string& text) {
    calls.push_back({g_now, text});
}

HANDLE NewHandle(const std::string& name) {
    HANDLE handle = reinterpret_cast<HANDLE>(0x100 + 4 * g_handleNames.size());
    g_handleNames[handle] = name;
    g_open.insert(handle);
    return handle;
}

std::string Name(HANDLE handle) {
    auto named = g_handleNames.find(handle);
    return named != g_handleNames.end() ? named->second : handle ? "unknown" : "null";
}

std::string ThreadName(DWORD threadId) {
    return threadId % 100 == 4 ? Format("tid%u", threadId / 100) : Format("%u", threadId);
}

std::string Text(const char* text) {
    return text ? Format("\"%s\"", text) : "null";
}

const char* Pointer(const void* pointer) {
    return pointer ? "set" : "null";
}

// Shows cb and wShowWindow; any other field that is set is called out.
std::string Startup(const STARTUPINFOA* s) {
    bool othersZero = !s->lpReserved && !s->lpDesktop && !s->lpTitle && !s->dwX && !s->dwY &&
                      !s->dwXSize && !s->dwYSize && !s->dwXCountChars && !s->dwYCountChars &&
                      !s->dwFillAttribute && !s->dwFlags && !s->cbReserved2 && !s->lpReserved2 &&
                      !s->hStdInput && !s->hStdOutput && !s->hStdError;
    return Format("{cb=%u, wShowWindow=%u%s}", s->cb, s->wShowWindow,
                  othersZero ? "" : ", other fields set");
}

// A terminated child is gone once the clock reaches its end.
Process& Settled(Process& p) {
    if (p.running && g_now >= p.endsAt) {
        p.running = false;
    }
    return p;
}

Process* ByHandle(HANDLE handle) {
    for (Process& p : g_processes) {
        if (p.process == handle && g_open.count(handle)) {
            return &Settled(p);
        }
    }
    return nullptr;
}

BOOL Fail(DWORD error) {
    g_lastError = error;
    return FALSE;
}

} // namespace

void Reset() {
    g_now = 0;
    g_lastError = 0;
    g_lastCommandLine = nullptr;
    g_processes.clear();
    g_handleNames.clear();
    g_open.clear();
    g_jobsMade = 0;
    failing.clear();
    launches.clear();
    calls.clear();
    reports.clear();
    faults.clear();
    modulePath = "C:\\Services\\pelmorane.exe";
    registrationHandle = kStatusHandle;
    registrationError = 0;
    handler = nullptr;
    dispatcher = nullptr;
    failNextCalloc = false;
}

void StartTrace() {
    g_now = 0;
    calls.clear();
    reports.clear();
}

DWORD Now() {
    return g_now;
}

int OpenJobs() {
    return static_cast<int>(std::count_if(g_open.begin(), g_open.end(), [](HANDLE handle) {
        return g_handleNames[handle].compare(0, 3, "job") == 0;
    }));
}

int OpenHandles() {
    return static_cast<int>(g_open.size()) - OpenJobs();
}

bool IsOpen(HANDLE handle) {
    return g_open.count(handle) != 0;
}

bool IsRunning(DWORD processId) {
    for (Process& p : g_processes) {
        if (p.id == processId) {
            return Settled(p).running;
        }
    }
    return false;
}

PROCESS_INFORMATION LaunchRecord(HANDLE process) {
    for (const Process& p : g_processes) {
        if (p.process == process) {
            return {p.process, p.thread, p.id, p.threadId};
        }
    }
    return {};
}

LPSTR LastCommandLine() {
    return g_lastCommandLine;
}

} // namespace fake

using namespace fake;

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation) {
    Record(Format("CreateProcessA(%s, %s, %s, %s, %d, 0x%x, %s, %s, %s)",
                  Text(applicationName).c_str(), Text(commandLine).c_str(),
                  Pointer(processAttributes), Pointer(threadAttributes), inheritHandles,
                  creationFlags, Pointer(environment), Text(currentDirectory).c_str(),
                  Startup(startupInfo).c_str()));
    g_lastCommandLine = commandLine;
    Launch launch = {Child::EndsOnQuit, 0};
    if (!launches.empty()) {
        launch = launches.front();
        launches.pop_front();
    }
    if (launch.error) {
        return Fail(launch.error);
    }
    DWORD n = static_cast<DWORD>(g_processes.size() + 1);
    Process p = {NewHandle(Format("process%u", n)),
                 NewHandle(Format("thread%u", n)),
                 100 * n,
                 100 * n + 4,
                 launch.child,
                 launch.child != Child::AlreadyEnded,
                 kNever};
    g_processes.push_back(p);
    *processInformation = {p.process, p.thread, p.id, p.threadId};
    return TRUE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    Record(Format("PostThreadMessageA(%s, 0x%x, %lu, %ld)", ThreadName(threadId).c_str(), message,
                  static_cast<unsigned long>(wParam), static_cast<long>(lParam)));
    for (Process& p : g_processes) {
        if (p.threadId == threadId && Settled(p).running) {
            if (message == WM_QUIT && p.child == Child::EndsOnQuit) {
                p.running = false;
            }
            return TRUE;
        }
    }
    return Fail(ERROR_INVALID_THREAD_ID);
}

void Sleep(DWORD milliseconds) {
    Record(Format("Sleep(%u)", milliseconds));
    g_now += milliseconds;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    Record(Format("TerminateProcess(%s, %u)", Name(process).c_str(), exitCode));
    Process* p = ByHandle(process);
    if (!p) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!p->running || p->child == Child::Unkillable) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (p->child == Child::EndsLate) {
        p->endsAt = std::min(p->endsAt, g_now + kEndLagMs);
    } else if (p->child != Child::NeverEnds) {
        p->running = false;
    }
    return TRUE;
}

// Returns as soon as the process is gone, on the virtual clock; waits on nothing else.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Record(Format("WaitForSingleObject(%s, %u)", Name(handle).c_str(), milliseconds));
    if (!g_open.count(handle)) {
        faults.push_back("WaitForSingleObject on a handle that is not open: " + Name(handle));
        g_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    Process* p = ByHandle(handle);
    if (!p) {
        // The product waits only on its children; a thread or a job would not answer at once.
        faults.push_back("WaitForSingleObject on a handle that is not a process's: " +
                         Name(handle));
        g_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (p->running) {
        if (p->endsAt == kNever && milliseconds == INFINITE) {
            // Nothing else runs here to end it: on Windows the call would never return.
            faults.push_back("an INFINITE wait on " + Name(handle) + ", which never ends");
            g_lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if (p->endsAt - g_now > milliseconds) {
            g_now += milliseconds;
            return WAIT_TIMEOUT;
        }
        g_now = p->endsAt;
        p->running = false;
    }
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    Record(Format("CloseHandle(%s)", Name(handle).c_str()));
    if (!g_open.erase(handle)) {
        faults.push_back("CloseHandle on a handle that is not open: " + Name(handle));
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

HANDLE CreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name) {
    Record(Format("CreateJobObjectA(%s, %s)", Pointer(attributes), Text(name).c_str()));
    if (failing.count("CreateJobObjectA")) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return NewHandle(Format("job%d", ++g_jobsMade));
}

BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length) {
    const auto* limits = static_cast<const JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(info);
    Record(Format("SetInformationJobObject(%s, %d, {LimitFlags=0x%x}%s)", Name(job).c_str(),
                  infoClass, limits->BasicLimitInformation.LimitFlags,
                  length == sizeof *limits ? "" : ", wrong length"));
    return failing.count("SetInformationJobObject") ? Fail(ERROR_NOT_SUPPORTED) : TRUE;
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    Record(Format("AssignProcessToJobObject(%s, %s)", Name(job).c_str(), Name(process).c_str()));
    return failing.count("AssignProcessToJobObject") ? Fail(ERROR_ACCESS_DENIED) : TRUE;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* s) {
    Record(Format("SetServiceStatus(%s, {0x%x, %u, %u, %u, 0x%x, %u, %u})",
                  handle == kStatusHandle ? "status"
                  : handle                ? "unknown"
                                          : "null",
                  s->dwServiceType, s->dwCurrentState, s->dwControlsAccepted, s->dwWin32ExitCode,
                  s->dwServiceSpecificExitCode, s->dwCheckPoint, s->dwWaitHint));
    reports.push_back({g_now, *s});
    return TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION* lock) {
    Record("InitializeCriticalSection");
    lock->held = false;
}

void EnterCriticalSection(CRITICAL_SECTION* lock) {
    Record("EnterCriticalSection");
    if (lock->held) {
        faults.push_back("EnterCriticalSection on a lock that is held: this thread waits forever");
    }
    lock->held = true;
}

void LeaveCriticalSection(CRITICAL_SECTION* lock) {
    Record("LeaveCriticalSection");
    if (!lock->held) {
        faults.push_back("LeaveCriticalSection on a lock that is not held");
    }
    lock->held = false;
}

DWORD GetLastError() {
    Record("GetLastError");
    return g_lastError;
}

void SetLastError(DWORD error) {
    Record(Format("SetLastError(%u)", error));
    g_lastError = error;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    Record(Format("GetModuleFileNameA(%s, %u)", Pointer(module), size));
    size_t length = std::min<size_t>(modulePath.size(), size - 1);
    memcpy(fileName, modulePath.data(), length);
    fileName[length] = '\0';
    if (modulePath.size() >= size) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(length);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION control) {
    Record(Format("RegisterServiceCtrlHandlerA(%s)", Text(serviceName).c_str()));
    handler = control;
    if (registrationError) {
        g_lastError = registrationError;
    }
    return registrationHandle;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    Record("StartServiceCtrlDispatcherA");
    return dispatcher ? dispatcher(serviceTable) : Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

// The unit tests link with --wrap=calloc, so that every calloc comes here.
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (failNextCalloc) {
        failNextCalloc = false;
        return nullptr;
    }
    return __real_calloc(count, size);
}
