// Common ground of the unit tests: a fresh fake platform, a child table of a
// chosen size and a running service record.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_win32.h"
#include "service/service_name.h"
#include "service/service_status.h"
#include "supervisor/child_job.h"
#include "supervisor/child_table.h"

// Where the tests' service finds its companion, and how the trace shows it.
const char kCompanionPath[] = "C:\\Services\\kiv.exe";
const char kCompanionPathText[] = "\"C:\\Services\\kiv.exe\"";

// The calls since the last fake::StartTrace(), each as "time text". Closes
// made at one moment compare in any order.
inline std::vector<std::string> Trace() {
    std::vector<std::string> lines;
    for (const fake::Call& call : fake::calls) {
        lines.push_back(std::to_string(call.time) + " " + call.text);
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].find(" CloseHandle(") != std::string::npos && lines[i] < lines[i - 1] &&
            lines[i - 1].find(" CloseHandle(") != std::string::npos) {
            std::swap(lines[i], lines[i - 1]);
        }
    }
    return lines;
}

// The launch call of StartChild, naming `applicationName` as the trace shows it.
inline std::string Launch(const char* applicationName) {
    return "CreateProcessA(" + std::string(applicationName) +
           ", \"kiv.exe\", null, null, 0, 0x20, null, null, {cb=" +
           std::to_string(sizeof(STARTUPINFOA)) + ", wShowWindow=5})";
}

inline bool IsEmpty(const ChildSlot& slot) {
    return !slot.hProcess && !slot.hThread && !slot.dwProcessId && !slot.dwThreadId;
}

class ServiceTest : public ::testing::Test {
  protected:
    // Table tests call SetUp again for each row; a row's misuse of the platform is checked here.
    void SetUp() override {
        EXPECT_EQ(fake::faults, std::vector<std::string>{});
        fake::Reset();
        g_childJob = nullptr;
        UseTable(1);
        strcpy(g_childCommandLine, "kiv.exe");
        strcpy(g_childApplicationName, kCompanionPath);
        strcpy(g_serviceName, "Pelmorane");
        g_serviceStatus = {SERVICE_WIN32, SERVICE_RUNNING, 3, 0, 0, 0, 0};
        g_statusHandle = fake::kStatusHandle;
    }

    void TearDown() override {
        EXPECT_EQ(fake::faults, std::vector<std::string>{});
        fake::faults.clear();
        g_children = nullptr;
        g_childCount = 0;
    }

    void UseTable(int count) {
        table_.assign(count, ChildSlot{});
        g_children = table_.data();
        g_childCount = count;
    }

  private:
    std::vector<ChildSlot> table_;
};
