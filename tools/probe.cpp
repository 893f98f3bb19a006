// probe: looks at the Windows side for the end-to-end tests and the benchmark. Its answer stands
// between the lines "begin probe" and "end <exit code>" (answer.h); an absence is an answer too.
//   probe pids <exe name>          "count=<n>", then the id of each running process of that name
//   probe wait-exit <pid> <ms>     "exited" (or "no process") and 0 once the process has ended,
//                                  "runs" and 1 if it still runs
//   probe handles <pid>            how many handles the process holds
//   probe terminate <pid>          ends the process from outside, as Task Manager does: "ended"
//   probe sddl <SDDL text>         the security descriptor as the platform's own parser reads
//                                  it: "control=0x<flags> owner=<SID or none>", then a line
//                                  "ace <type> 0x<flags> 0x<mask> <SID>" for each ACE of its DACL
//   probe version <file>           the version resource: its fixed part and every block's
//                                  key as stored, then the values read through the version API
//   probe manifest <file>          the application manifest resource, its bytes in hex on a line
//   probe acp                      the process's ANSI code page
#include "answer.h"

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

int Pids(const char* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "probe: no process snapshot: error %lu\n", GetLastError());
        return 1;
    }
    DWORD pids[1024];
    DWORD count = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && count < 1024;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, name) == 0) {
            pids[count++] = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    printf("count=%lu\n", count);
    for (DWORD i = 0; i < count; ++i) {
        printf("%lu\n", pids[i]);
    }
    return 0;
}

int WaitExit(DWORD pid, DWORD ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) {
        printf("no process\n");
        return 0;
    }
    DWORD result = WaitForSingleObject(process, ms);
    CloseHandle(process);
    printf(result == WAIT_OBJECT_0 ? "exited\n" : "runs\n");
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

int Terminate(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!process) {
        fprintf(stderr, "probe: no process %lu to end\n", pid);
        return 1;
    }
    BOOL ended = TerminateProcess(process, 1);
    CloseHandle(process);
    printf(ended ? "ended\n" : "not ended\n");
    return ended ? 0 : 1;
}

// A SID as text, such as S-1-5-18; "none" for no SID.
void PrintSid(PSID sid) {
    char* text = nullptr;
    if (sid && ConvertSidToStringSidA(sid, &text)) {
        printf("%s", text);
        LocalFree(text);
    } else {
        printf("none");
    }
}

int Sddl(const char* text) {
    wchar_t wide[4096];
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 4096) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(wide, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        fprintf(stderr, "probe: the platform does not parse it: error %lu\n", GetLastError());
        return 1;
    }
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    PSID owner;
    BOOL present, defaulted;
    PACL dacl;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    printf("control=0x%04x owner=", control);
    PrintSid(owner);
    printf("\n");
    for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
        // Allowed and denied ACEs share this layout; other types print their SID as none.
        ACCESS_ALLOWED_ACE* ace;
        GetAce(dacl, i, reinterpret_cast<void**>(&ace));
        BYTE type = ace->Header.AceType;
        printf("ace %u 0x%x 0x%lx ", type, ace->Header.AceFlags, ace->Mask);
        PrintSid(type <= ACCESS_DENIED_ACE_TYPE ? &ace->SidStart : nullptr);
        printf("\n");
    }
    LocalFree(descriptor);
    return 0;
}

// An entry of NtQuerySystemInformation's handle list, as Windows and Wine lay it out.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

struct HandleList {
    ULONG count;
    HandleEntry entries[1];
};

// GetProcessHandleCount gives 0 under Wine; the system's handle list does not.
int Handles(DWORD pid) {
    const auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    const auto kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    ULONG size = 1 << 16;
    HandleList* list = nullptr;
    NTSTATUS status;
    do {
        size *= 2;
        free(list);
        list = static_cast<HandleList*>(malloc(size));
        status = NtQuerySystemInformation(kSystemHandleInformation, list, size, nullptr);
    } while (status == kInfoLengthMismatch);
    if (status != 0) {
        fprintf(stderr, "probe: NtQuerySystemInformation failed: 0x%lx\n", status);
        return 1;
    }
    ULONG count = 0;
    for (ULONG i = 0; i < list->count; ++i) {
        count += list->entries[i].ownerPid == pid;
    }
    printf("%lu\n", count);
    free(list);
    return 0;
}

// One block of a version resource: length, value length, type, key, value, children.
struct Block {
    const BYTE* start;
    WORD length;
    const wchar_t* key;
    const BYTE* value;
    const BYTE* children;
};

const BYTE* Align(const BYTE* at, const BYTE* base) {
    return base + ((at - base + 3) & ~3);
}

Block ReadBlock(const BYTE* at, const BYTE* base) {
    Block block;
    block.start = at;
    memcpy(&block.length, at, sizeof block.length);
    WORD valueLength, type;
    memcpy(&valueLength, at + 2, sizeof valueLength);
    memcpy(&type, at + 4, sizeof type);
    block.key = reinterpret_cast<const wchar_t*>(at + 6);
    block.value = Align(at + 6 + 2 * (wcslen(block.key) + 1), base);
    block.children = Align(block.value + valueLength * (type == 1 ? 2 : 1), base);
    return block;
}

// Prints the key of every block from `first` to `end`, and of their children, in the order
// stored, each after its depth: "1 StringFileInfo", "2 040904e4", "3 CompanyName", ...
void PrintBlocks(const BYTE* first, const BYTE* end, const BYTE* base, int depth) {
    for (const BYTE* at = first; at < end;) {
        Block block = ReadBlock(at, base);
        printf("%d %ls\n", depth, block.key);
        PrintBlocks(block.children, block.start + block.length, base, depth + 1);
        at = Align(at + block.length, base);
    }
}

int Version(const char* file) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(1), RT_VERSION) : nullptr;
    if (!found) {
        fprintf(stderr, "probe: no version resource in %s\n", file);
        return 1;
    }
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Block root = ReadBlock(base, base);
    const VS_FIXEDFILEINFO* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(root.value);
    printf("signature=0x%lx fileos=0x%lx filetype=0x%lx\n", fixed->dwSignature, fixed->dwFileOS,
           fixed->dwFileType);

    PrintBlocks(root.children, base + root.length, base, 1);

    DWORD size = GetFileVersionInfoSizeA(file, nullptr);
    void* data = malloc(size);
    GetFileVersionInfoA(file, 0, size, data);
    WORD* translation;
    UINT length;
    if (VerQueryValueA(data, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                       &length)) {
        printf("translation=%04x,%u\n", translation[0], translation[1]);
    }
    const char* names[] = {"CompanyName",    "FileDescription", "Web Site",
                           "E-Mail",         "FileVersion",     "ProductVersion",
                           "LegalCopyright", "SVN Revision",    "SVN Revision Date"};
    for (const char* name : names) {
        char path[128];
        char* value;
        snprintf(path, sizeof path, "\\StringFileInfo\\040904e4\\%s", name);
        if (VerQueryValueA(data, path, reinterpret_cast<void**>(&value), &length)) {
            printf("value %s=%s\n", name, value);
        }
    }
    free(data);
    return 0;
}

// The manifest that the loader reads: resource 1 of type RT_MANIFEST.
int Manifest(const char* file) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found =
        module ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    if (!found) {
        fprintf(stderr, "probe: no manifest in %s\n", file);
        return 1;
    }
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    for (DWORD i = 0, size = SizeofResource(module, found); i < size; ++i) {
        printf("%02x", bytes[i]);
    }
    printf("\n");
    FreeLibrary(module);
    return 0;
}

// A process id or a time in ms: a whole number, and for a process id not 0, so that an empty or
// garbled argument is refused rather than read as a process that is not there.
bool Number(const char* text, DWORD* value, bool zeroAllowed) {
    char* end;
    *value = strtoul(text, &end, 10);
    return *text && !*end && (zeroAllowed || *value);
}

int Run(int argc, char** argv) {
    DWORD pid, ms;
    if (argc == 3 && strcmp(argv[1], "pids") == 0) {
        return Pids(argv[2]);
    }
    if (argc == 4 && strcmp(argv[1], "wait-exit") == 0 && Number(argv[2], &pid, false) &&
        Number(argv[3], &ms, true)) {
        return WaitExit(pid, ms);
    }
    if (argc == 3 && strcmp(argv[1], "handles") == 0 && Number(argv[2], &pid, false)) {
        return Handles(pid);
    }
    if (argc == 3 && strcmp(argv[1], "terminate") == 0 && Number(argv[2], &pid, false)) {
        return Terminate(pid);
    }
    if (argc == 3 && strcmp(argv[1], "sddl") == 0) {
        return Sddl(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "version") == 0) {
        return Version(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "manifest") == 0) {
        return Manifest(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "acp") == 0) {
        printf("%u\n", GetACP());
        return 0;
    }
    fprintf(stderr, "usage: probe pids <exe name> | wait-exit <pid> <ms> | handles <pid> | "
                    "terminate <pid> | sddl <SDDL text> | version <file> | manifest <file> | "
                    "acp\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    return Answer("probe", Run, argc, argv);
}
