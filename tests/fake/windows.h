// The part of <windows.h> that the product uses, for host builds. Records
// that hold pointers take the host's sizes; DWORD is exactly 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef void* HANDLE;
typedef HANDLE HMODULE;
typedef void* LPVOID;
typedef BYTE* LPBYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct ServiceStatusHandle* SERVICE_STATUS_HANDLE;
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD control);
typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);

const UINT WM_QUIT = 0x12;
const WORD SW_SHOW = 5;
const DWORD NORMAL_PRIORITY_CLASS = 0x20;
const DWORD WAIT_OBJECT_0 = 0;
const DWORD WAIT_TIMEOUT = 0x102;
const DWORD WAIT_FAILED = 0xFFFFFFFF;
const DWORD INFINITE = 0xFFFFFFFF;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;
const DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;

const DWORD JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK = 0x1000;
const DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;

const DWORD SERVICE_WIN32 = 0x30;
const DWORD SERVICE_STOPPED = 1;
const DWORD SERVICE_START_PENDING = 2;
const DWORD SERVICE_RUNNING = 4;
const DWORD SERVICE_PAUSED = 7;
const DWORD SERVICE_ACCEPT_STOP = 1;
const DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
const DWORD SERVICE_CONTROL_STOP = 1;
const DWORD SERVICE_CONTROL_PAUSE = 2;
const DWORD SERVICE_CONTROL_CONTINUE = 3;
const DWORD SERVICE_CONTROL_INTERROGATE = 4;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

enum JOBOBJECTINFOCLASS { JobObjectExtendedLimitInformation = 9 };

// Only the limit flags: the product sets nothing else.
struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    DWORD LimitFlags;
};

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
};

// The fake only tracks whether the lock is held.
struct CRITICAL_SECTION {
    bool held;
};

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void Sleep(DWORD milliseconds);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateJobObjectA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
void InitializeCriticalSection(CRITICAL_SECTION* lock);
void EnterCriticalSection(CRITICAL_SECTION* lock);
void LeaveCriticalSection(CRITICAL_SECTION* lock);
DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);
