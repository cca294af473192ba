// A stand-in for the provider service "TalvoVssProvider": a service program whose start-up is scripted by its
// command line (the service's registered binary path):
//   --pending <n>          report SERVICE_START_PENDING n times, checkpoints 1..n (default 2)
//   --step-ms <ms>         between two reports (default 50)
//   --hint <ms>            the wait hint of the pending reports (default 3000)
//   --stop-while-pending   end the start by reporting SERVICE_STOPPED instead of running
//   --crash-while-pending  end the process during the start without a report
//   --pause                report SERVICE_PAUSED once running
// A stop request reports SERVICE_STOP_PENDING, then SERVICE_STOPPED.
#include <windows.h>
#include <winsvc.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Script {
    DWORD pending = 2;
    DWORD stepMs = 50;
    DWORD hint = 3000;
    bool stopWhilePending = false;
    bool crashWhilePending = false;
    bool pause = false;
} g_script;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
wchar_t g_name[] = L"TalvoVssProvider";

void report(DWORD state, DWORD checkPoint, DWORD hint, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING || state == SERVICE_PAUSED ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = hint;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP: SetEvent(g_stopEvent); return NO_ERROR;
        case SERVICE_CONTROL_PAUSE: report(SERVICE_PAUSED, 0, 0); return NO_ERROR;
        case SERVICE_CONTROL_CONTINUE: report(SERVICE_RUNNING, 0, 0); return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(g_name, &handler, nullptr);
    if (!g_statusHandle) return;
    g_stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (DWORD checkPoint = 1; checkPoint <= g_script.pending; ++checkPoint) {
        report(SERVICE_START_PENDING, checkPoint, g_script.hint);
        Sleep(g_script.stepMs);
    }
    if (g_script.crashWhilePending) std::_Exit(3);
    if (g_script.stopWhilePending) {
        report(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    report(g_script.pause ? SERVICE_PAUSED : SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(g_stopEvent, INFINITE);
    report(SERVICE_STOP_PENDING, 1, 2000);
    Sleep(g_script.stepMs);
    report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&] { return i + 1 < argc ? static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10)) : 0; };
        if (arg == "--pending") g_script.pending = number();
        else if (arg == "--step-ms") g_script.stepMs = number();
        else if (arg == "--hint") g_script.hint = number();
        else if (arg == "--stop-while-pending") g_script.stopWhilePending = true;
        else if (arg == "--crash-while-pending") g_script.crashWhilePending = true;
        else if (arg == "--pause") g_script.pause = true;
        else return 2;
    }
    SERVICE_TABLE_ENTRYW table[] = {{g_name, &serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
