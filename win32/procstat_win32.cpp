// qrx-procstat: the Windows handles of a running program, for the soak under
// Wine, where the server's handles live in Wine's server and /proc does not
// show them.
//
//   qrx-procstat NAME FILE MS   finds the process whose image is NAME
//                               (e.g. ScanServer.exe) and, every MS
//                               milliseconds until it ends, writes its
//                               handle count to FILE, replacing the file
//                               whole, so a reader never sees half of it.
//
// Wine answers GetProcessHandleCount for another process with 0, so the
// handles are counted in the system's handle list, which Wine's server keeps.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
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

// The handles the system's handle list gives process pid; -1 when the list
// cannot be read.
long handlesListed(DWORD pid) {
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
    const int kSystemHandleInformation = 16;
    const LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::string buffer(1 << 16, '\0');
    for (int tries = 0; query != nullptr && tries < 12; ++tries) {
        ULONG needed = 0;
        const LONG status =
            query(kSystemHandleInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) break;
        const List* list = reinterpret_cast<const List*>(buffer.data());
        return std::count_if(list->entries, list->entries + list->count,
                             [pid](const Entry& entry) { return entry.ownerPid == pid; });
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qrx-procstat NAME FILE MS\n");
        return 3;
    }
    DWORD pid = 0;
    for (int tries = 0; (pid = processOf(argv[1])) == 0 && tries < 600; ++tries) Sleep(100);
    HANDLE process = pid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    if (process == nullptr) {
        std::fprintf(stderr, "qrx-procstat: cannot find or open %s: error %lu\n", argv[1],
                     GetLastError());
        return 1;
    }
    const std::string part = std::string(argv[2]) + ".part";
    do {
        FILE* file = std::fopen(part.c_str(), "wb");
        if (file == nullptr) continue;
        std::fprintf(file, "%ld\n", handlesListed(pid));
        std::fclose(file);
        MoveFileExA(part.c_str(), argv[2], MOVEFILE_REPLACE_EXISTING);
    } while (WaitForSingleObject(process, static_cast<DWORD>(std::atoi(argv[3]))) == WAIT_TIMEOUT);
    CloseHandle(process);
    return 0;
}
