// Test side of the fake Win32 layer: scripted outcomes, the recorded calls on a
// virtual clock, and what the platform holds (children, open handles).
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace fake {

// What a launched child does when asked to end.
enum class Child {
    EndsOnQuit,   // ends when its primary thread receives WM_QUIT
    IgnoresQuit,  // runs on until it is terminated
    AlreadyEnded, // has ended by itself before anyone asks
    Unkillable,   // ignores WM_QUIT, and terminating it fails
    EndsLate,     // ignores WM_QUIT; terminated, it is gone kEndLagMs later (its I/O drains)
    NeverEnds,    // ignores WM_QUIT; terminated, it is never gone (its I/O never completes)
};

// How long an EndsLate child takes to be gone once terminated.
const DWORD kEndLagMs = 250;

// The outcome of one CreateProcessA: a child, or failure with `error`.
struct Launch {
    Child child;
    DWORD error;
};

struct Call {
    DWORD time;
    std::string text;
};

struct Report {
    DWORD time;
    SERVICE_STATUS status;
};

// The handle that tests use as the service's status handle.
extern const SERVICE_STATUS_HANDLE kStatusHandle;

// Outcomes of CreateProcessA in order; once they run out, children end on WM_QUIT.
extern std::deque<Launch> launches;

// The path GetModuleFileNameA gives, cut to the caller's capacity as Windows does.
extern std::string modulePath;

// What RegisterServiceCtrlHandlerA returns, and the last-error value it leaves
// (0: it leaves the thread's value as it was, as a successful call does).
extern SERVICE_STATUS_HANDLE registrationHandle;
extern DWORD registrationError;
// The handler registered last.
extern LPHANDLER_FUNCTION handler;

// Plays the service control manager for StartServiceCtrlDispatcherA; when
// empty, the dispatcher fails as it does in a process started by hand.
extern std::function<BOOL(const SERVICE_TABLE_ENTRYA* table)> dispatcher;

// The job calls that fail ("CreateJobObjectA", "SetInformationJobObject",
// "AssignProcessToJobObject"), each every time it is called.
extern std::set<std::string> failing;

// Makes the next calloc fail.
extern bool failNextCalloc;

extern std::vector<Call> calls;     // every platform call, in order
extern std::vector<Report> reports; // every SetServiceStatus, with a copy of the record
// Misuses of the platform that real Windows would punish: closing a handle that
// is not open, taking a lock this thread already holds, leaving one it does not.
extern std::vector<std::string> faults;

// A fresh platform: clock at 0, nothing launched, nothing open, nothing scripted.
void Reset();
// Forgets the calls and reports so far and restarts the clock at 0.
void StartTrace();

DWORD Now();
// Open handles of children (processes and threads), and of jobs.
int OpenHandles();
int OpenJobs();
bool IsOpen(HANDLE handle);
bool IsRunning(DWORD processId);
// The record CreateProcessA handed out with this process handle; all zero for
// a handle that no launch handed out.
PROCESS_INFORMATION LaunchRecord(HANDLE process);
// The command line buffer handed to the last CreateProcessA.
LPSTR LastCommandLine();

} // namespace fake
