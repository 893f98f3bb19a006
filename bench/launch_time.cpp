// launch_time <exe> <runs>: how long CreateProcessA takes to launch the
// companion as the service launches it, in microseconds, once a line. Each
// child is then asked to quit and waited for.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: launch_time <exe> <runs>\n");
        return 2;
    }
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    char commandLine[] = "kiv.exe";
    for (int run = atoi(argv[2]); run > 0; --run) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.wShowWindow = SW_SHOW;
        PROCESS_INFORMATION child;
        QueryPerformanceCounter(&begin);
        BOOL launched = CreateProcessA(argv[1], commandLine, nullptr, nullptr, FALSE,
                                       NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child);
        QueryPerformanceCounter(&end);
        if (!launched) {
            fprintf(stderr, "launch_time: CreateProcess failed with error %lu\n", GetLastError());
            return 1;
        }
        printf("%lld\n", (end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart);
        Sleep(500); // until its message queue exists
        PostThreadMessageA(child.dwThreadId, WM_QUIT, 0, 0);
        if (WaitForSingleObject(child.hProcess, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(child.hProcess, 0);
        }
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    return 0;
}
