// qrx-msi-actions.dll: the MSI package's custom actions, run by Windows
// Installer from the package's Binary table (win32/installer/QRXScanServer.wxs).
// All but CheckSettings and KeepSettings are deferred and run without impersonation; each
// reads its CustomActionData, which the package sets from its properties.
//
//   CheckSettings   (immediate, before anything changes) refuses ADDRESS,
//                   ADDRESSEX or SCANMODE values that Server.ini cannot take.
//   KeepSettings    (immediate, at an upgrade, before the older version is
//                   removed) keeps its Server.ini and Server.ini.installed in
//                   the property KEPTSETTINGS.
//   StopServer      ends every running ScanServer.exe (the watcher and its
//                   server), as setup.exe does, before files are removed or
//                   replaced; waits up to 10 s for them to end.
//   ApplySettings   "INSTALLDIR|ADDRESS|ADDRESSEX|SCANMODE|KEPTSETTINGS": puts
//                   back what KeepSettings kept where the removal took it,
//                   makes Server.ini from Server.ini.default when there is
//                   none and writes the properties given into it
//                   (deployed_settings.h).
//   StartServer     "INSTALLDIR": starts "ScanServer.exe --watch" as the user
//                   logged on at the console, as the logon entry would, from
//                   the system folder; nobody logged on: it starts at logon.
//   ForgetSettings  "INSTALLDIR": at uninstall, removes Server.ini unless the
//                   desk changed it, and Server.ini.installed.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>
// clang-format on

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "deployed_settings.h"

using qrx::installer::SettingsFiles;

namespace {

// A line in the installer's log (msiexec /l*v), and with error, in its
// error box too.
void say(MSIHANDLE install, const std::string& text, bool error = false) {
    PMSIHANDLE record = MsiCreateRecord(1);
    // The text as a field, not as the template: no [...] in it is expanded.
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, text.c_str());
    MsiProcessMessage(
        install,
        error ? INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR) : INSTALLMESSAGE_INFO,
        record);
}

std::string property(MSIHANDLE install, const char* name) {
    char empty[1] = "";
    DWORD size = 0;
    MsiGetPropertyA(install, name, empty, &size);
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    MsiGetPropertyA(install, name, value.data(), &size);
    value.resize(size);
    return value;
}

std::string actionData(MSIHANDLE install) {
    return property(install, "CustomActionData");
}

std::vector<std::string> fields(const std::string& data) {
    std::vector<std::string> out(1);
    for (char c : data) {
        if (c == '|')
            out.emplace_back();
        else
            out.back().push_back(c);
    }
    return out;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whole or not at all: written beside it, then moved over it.
bool writeFile(const std::string& path, const std::string& text) {
    const std::string fresh = path + ".new";
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();  // before the move, which an open file would stop
    if (out && MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileA(fresh.c_str());
    return false;
}

// The three settings files in the install folder, as they are now; false
// when the shipped one cannot be read (files->shipped is then empty).
bool readSettingsFiles(const std::string& folder, SettingsFiles* files) {
    const std::optional<std::string> shipped = readFile(folder + "Server.ini.default");
    files->shipped = shipped.value_or(std::string());
    files->settings = readFile(folder + "Server.ini");
    files->installed = readFile(folder + "Server.ini.installed");
    return shipped.has_value();
}

std::vector<DWORD> serverProcesses() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (lstrcmpiA(entry.szExeFile, "ScanServer.exe") == 0) ids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

}  // namespace

extern "C" {

__declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    for (const auto& setting : qrx::installer::kDeployedSettings) {
        const std::string value = property(install, setting.property);
        const std::string problem = qrx::installer::deployedSettingProblem(setting.property, value);
        if (!problem.empty()) {
            say(install, problem, true);
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall StopServer(MSIHANDLE install) {
    for (int round = 0; round < 40; ++round) {
        const std::vector<DWORD> ids = serverProcesses();
        if (ids.empty()) return ERROR_SUCCESS;
        for (DWORD id : ids) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
            if (process == nullptr) continue;
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
        Sleep(250);
    }
    say(install,
        "ScanServer.exe still runs after 10 s; its files are replaced at the next restart");
    return ERROR_SUCCESS;
}

// The settings files of the installed copy, in the upgrade's own property,
// before the older version's removal takes them away.
__declspec(dllexport) UINT __stdcall KeepSettings(MSIHANDLE install) {
    SettingsFiles files;
    readSettingsFiles(property(install, "INSTALLDIR"), &files);
    MsiSetPropertyA(install, "KEPTSETTINGS", qrx::installer::keptSettings(files).c_str());
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall ApplySettings(MSIHANDLE install) {
    const std::vector<std::string> given = fields(actionData(install));
    if (given.size() != 5) {
        say(install,
            "the settings' action data is not INSTALLDIR|ADDRESS|ADDRESSEX|SCANMODE|KEPTSETTINGS",
            true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::string folder = given[0];
    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 0; i < 3; ++i)
        values.emplace_back(qrx::installer::kDeployedSettings[i].key, given[i + 1]);
    SettingsFiles files;
    if (!readSettingsFiles(folder, &files)) {
        say(install, "cannot read " + folder + "Server.ini.default", true);
        return ERROR_INSTALL_FAILURE;
    }
    const SettingsFiles after =
        qrx::installer::afterInstall(qrx::installer::withKept(files, given[4]), values);
    if (after.settings != files.settings && !writeFile(folder + "Server.ini", *after.settings)) {
        say(install, "cannot write " + folder + "Server.ini", true);
        return ERROR_INSTALL_FAILURE;
    }
    if (after.installed != files.installed &&
        !writeFile(folder + "Server.ini.installed", *after.installed))
        say(install, "cannot write " + folder +
                         "Server.ini.installed: an uninstall will keep Server.ini as changed");
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall StartServer(MSIHANDLE install) {
    const std::wstring folder = [&] {
        const std::string narrow = actionData(install);
        std::wstring wide(narrow.size() + 1, L'\0');
        wide.resize(MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, wide.data(),
                                        static_cast<int>(wide.size())) -
                    1);
        return wide;
    }();
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) {
        say(install, "nobody is logged on: ScanServer.exe starts at the next logon");
        return ERROR_SUCCESS;
    }
    const std::wstring program = folder + L"ScanServer.exe";
    std::wstring command = L"\"" + program + L"\" --watch";
    wchar_t system[MAX_PATH] = L"";
    GetSystemDirectoryW(system, MAX_PATH);
    wchar_t desktop[] = L"winsta0\\default";
    // The user's own environment, as a logon gives it, not this service's.
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION started{};
    if (CreateProcessAsUserW(token, program.c_str(), command.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT, environment, system, &startup, &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        say(install, "started ScanServer.exe --watch as the logged-on user");
    } else {
        say(install, "could not start ScanServer.exe (error " + std::to_string(GetLastError()) +
                         "): it starts at the next logon");
    }
    if (environment != nullptr) DestroyEnvironmentBlock(environment);
    CloseHandle(token);
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall ForgetSettings(MSIHANDLE install) {
    const std::string folder = actionData(install);
    SettingsFiles files;
    readSettingsFiles(folder, &files);
    if (qrx::installer::unchangedByDesk(files))
        DeleteFileA((folder + "Server.ini").c_str());
    else if (files.settings)
        say(install, "kept " + folder + "Server.ini, which holds the desk's changed settings");
    DeleteFileA((folder + "Server.ini.installed").c_str());
    return ERROR_SUCCESS;
}

}  // extern "C"
