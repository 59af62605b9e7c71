// qrx-procstat: what Windows counts for a running program, for the soak
// under Wine, where the server's handles are Windows handles that /proc
// does not show.
//
//   qrx-procstat NAME FILE MS   finds the process whose image is NAME
//                               (e.g. ScanServer.exe) and, every MS
//                               milliseconds until it ends, writes one line
//                               to FILE: "PID HANDLES PRIVATE WORKING-SET"
//                               (the last two in bytes). The line replaces
//                               the one before whole, so a reader never sees
//                               half of it.
//
// Wine answers GetProcessHandleCount and the private bytes of another
// process with 0; there the handles are counted in the system's handle
// list (which Wine's server keeps), and private bytes stay 0 for the
// reader to take from elsewhere.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

DWORD processOf(const char* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    DWORD found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
         more = Process32Next(snapshot, &entry))
        if (lstrcmpiA(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

// The handles the system's handle list gives process pid, or 0 when the
// list cannot be read.
DWORD handlesListed(DWORD pid) {
    struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
        ULONG ownerPid;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct List {  // SYSTEM_HANDLE_INFORMATION
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    const int kSystemHandleInformation = 16;
    const LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::string buffer(1 << 16, '\0');
    for (int tries = 0; tries < 12; ++tries) {
        ULONG needed = 0;
        const LONG status =
            query(kSystemHandleInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) return 0;
        const List* list = reinterpret_cast<const List*>(buffer.data());
        DWORD count = 0;
        for (ULONG i = 0; i < list->count; ++i)
            if (list->entries[i].ownerPid == pid) ++count;
        return count;
    }
    return 0;
}

bool writeLine(const std::string& path, const std::string& line) {
    const std::string part = path + ".part";
    FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) return false;
    std::fputs(line.c_str(), file);
    std::fclose(file);
    return MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qrx-procstat NAME FILE MS\n");
        return 3;
    }
    const DWORD every = static_cast<DWORD>(std::atoi(argv[3]));
    DWORD pid = 0;
    for (int tries = 0; pid == 0 && tries < 600; ++tries) {
        pid = processOf(argv[1]);
        if (pid == 0) Sleep(100);
    }
    if (pid == 0) {
        std::fprintf(stderr, "qrx-procstat: no process %s\n", argv[1]);
        return 1;
    }
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        std::fprintf(stderr, "qrx-procstat: cannot open process %lu: error %lu\n", pid,
                     GetLastError());
        return 1;
    }
    do {
        DWORD handles = 0;
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof(memory);
        if (!GetProcessHandleCount(process, &handles) || handles == 0) handles = handlesListed(pid);
        GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof(memory));
        char line[128];
        std::snprintf(line, sizeof(line), "%lu %lu %lu %lu\n", pid, handles,
                      static_cast<unsigned long>(memory.PrivateUsage),
                      static_cast<unsigned long>(memory.WorkingSetSize));
        writeLine(argv[2], line);
    } while (WaitForSingleObject(process, every) == WAIT_TIMEOUT);
    CloseHandle(process);
    return 0;
}
