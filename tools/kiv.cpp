// kiv: a sample companion for the service. It creates its message queue at
// once and ends when its primary thread receives WM_QUIT.
//
// Its behaviour is chosen by the first word of "kiv.mode" beside it, read at
// every start, so that one executable serves every test:
//   obey    (also without the file) ends on WM_QUIT
//   ignore  notes WM_QUIT and runs on until it is terminated
//   exit    ends by itself at once
//   crash   dies at once of an unhandled access violation
//
// It records what happens to it in "kiv.log" beside it, a line an event:
//   <Unix time in ms> <process id> started <mode> | quit | quit-ignored | exited | crashing
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

char g_folder[MAX_PATH]; // with its trailing backslash
DWORD g_processId;

void PathBeside(char* path, const char* fileName) {
    snprintf(path, MAX_PATH, "%s%s", g_folder, fileName);
}

long long UnixTimeMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks; // 100 ns since 1601
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<long long>((ticks.QuadPart - 116444736000000000ULL) / 10000);
}

void Record(const char* event) {
    char path[MAX_PATH], line[128];
    PathBeside(path, "kiv.log");
    int length = snprintf(line, sizeof line, "%lld %lu %s\n", UnixTimeMs(), g_processId, event);
    HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(log, line, static_cast<DWORD>(length), &written, nullptr);
        CloseHandle(log);
    }
}

void ReadMode(char* mode, size_t size) {
    char path[MAX_PATH];
    PathBeside(path, "kiv.mode");
    snprintf(mode, size, "obey");
    FILE* file = fopen(path, "r");
    if (file) {
        char word[16];
        if (fscanf(file, "%15s", word) == 1) {
            snprintf(mode, size, "%s", word);
        }
        fclose(file);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); // creates the message queue

    GetModuleFileNameA(nullptr, g_folder, sizeof g_folder);
    char* lastBackslash = strrchr(g_folder, '\\');
    if (lastBackslash) {
        lastBackslash[1] = '\0';
    }
    g_processId = GetCurrentProcessId();

    char mode[16], started[32];
    ReadMode(mode, sizeof mode);
    snprintf(started, sizeof started, "started %s", mode);
    Record(started);

    if (strcmp(mode, "exit") == 0) {
        Record("exited");
        return 0;
    }
    if (strcmp(mode, "crash") == 0) {
        Record("crashing");
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == -1) {
            return 1;
        }
        if (got == 0) {
            if (strcmp(mode, "ignore") != 0) {
                Record("quit");
                return 0;
            }
            Record("quit-ignored");
            continue;
        }
        DispatchMessageA(&message);
    }
}
