// How our Windows tools answer, so that the Wine library can tell a tool that never started (Wine's
// loader failed) from one that started and then ended without its answer (killed at the step cap,
// or crashed, perhaps after it acted): "begin <tool>" is written before the tool does anything,
// and "end <exit code>" once its answer is whole.
#pragma once

#include <cstdio>

inline int Answer(const char* tool, int (*run)(int, char**), int argc, char** argv) {
    printf("begin %s\n", tool);
    fflush(stdout);
    int code = run(argc, argv);
    printf("end %d\n", code);
    return code;
}
