// Prepares and inspects the machine a checkpoint runs on, through the system's own calls (the stand-in's on Linux,
// Windows' or Wine's otherwise):
//   machine_setup register-provider <command line>  registers "TalvoVssProvider" (demand start, stopped) to run
//                                                   that command line, replacing an earlier registration
//   machine_setup stop-provider                     asks a running provider to stop and waits up to 10 s for it
//   machine_setup delete-provider                   stops it as above and removes its registration
//   machine_setup provider                          prints the provider's state and process id
//   machine_setup set-stamp <hex bytes>             the reliability key with "LastAliveStamp" (REG_BINARY)
//   machine_setup guards                            prints the RunOnce entry "Vantrell" and "LastAliveStamp"
// Exit code 0 on success, 1 on a failure (printed on standard error), 2 on a usage error.
#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t* const kService = L"TalvoVssProvider";
const char* const kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t* const kReliabilityKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";

int fail(const char* what, DWORD error) {
    std::fprintf(stderr, "machine_setup: %s failed with %lu\n", what, static_cast<unsigned long>(error));
    return 1;
}

std::wstring widened(const std::string& text) {
    std::wstring out;
    for (unsigned char c : text) out += static_cast<wchar_t>(c);
    return out;
}

bool queryState(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status), sizeof *status,
                                &needed) != FALSE;
}

// Stops the service when it runs; true once it reads stopped.
bool stopService(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    if (!queryState(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    SERVICE_STATUS plain{};
    ControlService(service, SERVICE_CONTROL_STOP, &plain);
    for (int waited = 0; waited < 10000; waited += 20) {
        if (queryState(service, &status) && status.dwCurrentState == SERVICE_STOPPED) return true;
        Sleep(20);
    }
    return false;
}

int withService(const std::string& command, const std::string& argument) {
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerW", GetLastError());
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_ALL_ACCESS);
    int rc = 0;
    if (command == "register-provider") {
        if (service) {
            stopService(service);
            DeleteService(service);
            CloseServiceHandle(service);
            service = nullptr;
        }
        const std::wstring image = widened(argument);
        service = CreateServiceW(manager, kService, L"Talvo VSS Provider", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), NULL, NULL, NULL, NULL,
                                 NULL);
        if (!service) rc = fail("CreateServiceW", GetLastError());
    } else if (!service) {
        rc = command == "provider" ? (std::printf("provider: not registered\n"), 0) : fail("OpenServiceW", GetLastError());
    } else if (command == "stop-provider" || command == "delete-provider") {
        if (!stopService(service)) rc = fail("stopping the provider", GetLastError());
        if (rc == 0 && command == "delete-provider" && !DeleteService(service)) rc = fail("DeleteService", GetLastError());
    } else {
        SERVICE_STATUS_PROCESS status{};
        if (!queryState(service, &status)) {
            rc = fail("QueryServiceStatusEx", GetLastError());
        } else {
            std::printf("provider: state %lu, process %lu\n", static_cast<unsigned long>(status.dwCurrentState),
                        static_cast<unsigned long>(status.dwProcessId));
        }
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

int setStamp(const std::string& hex) {
    std::vector<BYTE> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    HKEY key = NULL;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS) return fail("RegCreateKeyExW", static_cast<DWORD>(rc));
    rc = RegSetValueExW(key, L"LastAliveStamp", 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return fail("RegSetValueExW", static_cast<DWORD>(rc));
    // The RunOnce key exists on every Windows machine.
    rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS) return fail("RegCreateKeyExA", static_cast<DWORD>(rc));
    RegCloseKey(key);
    return 0;
}

int printGuards() {
    HKEY key = NULL;
    bool runOnce = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        runOnce = RegQueryValueExA(key, "Vantrell", NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    std::printf("RunOnce entry Vantrell: %s\n", runOnce ? "present" : "absent");
    std::string stamp = "absent";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        BYTE data[256];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegQueryValueExW(key, L"LastAliveStamp", NULL, &type, data, &size) == ERROR_SUCCESS) {
            stamp.clear();
            for (DWORD i = 0; i < size; ++i) {
                char byte[3];
                std::snprintf(byte, sizeof byte, "%02x", data[i]);
                stamp += byte;
            }
            if (type != REG_BINARY) stamp += " (type " + std::to_string(type) + ")";
        }
        RegCloseKey(key);
    }
    std::printf("LastAliveStamp: %s\n", stamp.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    if ((command == "register-provider" || command == "set-stamp") && argc != 3) return 2;
    if (command == "register-provider" || command == "stop-provider" || command == "delete-provider" ||
        command == "provider") {
        return withService(command, argc > 2 ? argv[2] : "");
    }
    if (command == "set-stamp") return setStamp(argv[2]);
    if (command == "guards") return printGuards();
    return 2;
}
