#include "ServiceUtils.h"

#include "Logger.h"

#include <windows.h>
#include <winsvc.h>

namespace {

// The poll interval for a reported wait hint: a tenth of it, never under a second nor over ten.
DWORD pollInterval(DWORD waitHint) {
    DWORD wait = waitHint / 10;
    if (wait < 1000) {
        wait = 1000;
    } else if (wait > 10000) {
        wait = 10000;
    }
    return wait;
}

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status),
                                sizeof(SERVICE_STATUS_PROCESS), &needed) != FALSE;
}

}  // namespace

int ServiceUtils::startService(std::string serviceName) {
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        const DWORD error = GetLastError();
        LOG(Error) << "OpenSCManager failed with error code " << error << std::endl;
        return static_cast<int>(error);
    }
    SC_HANDLE service = OpenServiceA(manager, serviceName.c_str(), SERVICE_ALL_ACCESS);
    if (!service) {
        const DWORD error = GetLastError();
        LOG(Error) << "OpenService failed with error code " << error << std::endl;
        CloseServiceHandle(manager);
        return static_cast<int>(error);
    }
    auto closeBoth = [&] {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    };
    auto queryFailed = [&] {
        const DWORD error = GetLastError();
        LOG_FN(Error, "ServiceUtils::startService") << "QueryServiceStatusEx failed with error code " << error
                                                    << std::endl;
        closeBoth();
        return static_cast<int>(error);
    };

    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(service, &status)) return queryFailed();
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        LOG(Info) << "Cannot start the service because it is already running" << std::endl;
        closeBoth();
        return 0;
    }

    DWORD start = GetTickCount();
    DWORD lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        Sleep(pollInterval(status.dwWaitHint));
        if (!queryStatus(service, &status)) return queryFailed();
        if (status.dwCheckPoint > lastCheckPoint) {
            start = GetTickCount();
            lastCheckPoint = status.dwCheckPoint;
        } else if (status.dwCurrentState == SERVICE_STOP_PENDING && GetTickCount() - start > status.dwWaitHint) {
            // Only a stop still pending can time out: a stopped service reports a wait hint of 0.
            LOG(Error) << "Timeout waiting for service to stop" << std::endl;
            closeBoth();
            return 0;
        }
    }

    if (!StartServiceW(service, 0, NULL)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) {
            // Someone started it between the query and the start: it runs, which is all the caller needs.
            LOG(Info) << "Cannot start the service because it is already running" << std::endl;
            closeBoth();
            return 0;
        }
        LOG(Error) << "StartService failed with error code " << error << std::endl;
        closeBoth();
        return static_cast<int>(error);
    }
    LOG(Info) << "Service start pending..." << std::endl;
    if (!queryStatus(service, &status)) return queryFailed();

    int result = 0;
    start = GetTickCount();
    lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        Sleep(pollInterval(status.dwWaitHint));
        SERVICE_STATUS_PROCESS latest{};
        if (!queryStatus(service, &latest)) {
            const DWORD error = GetLastError();
            result = static_cast<int>(error);
            LOG(Error) << "QueryServiceStatusEx failed with error code " << error << std::endl;
            break;  // the report below shows the last status that was read
        }
        status = latest;
        if (status.dwCheckPoint > lastCheckPoint) {
            start = GetTickCount();
            lastCheckPoint = status.dwCheckPoint;
        } else if (GetTickCount() - start > status.dwWaitHint) {
            break;
        }
    }

    if (status.dwCurrentState == SERVICE_RUNNING) {
        LOG(Info) << "Service started successfully." << std::endl;
    } else {
        LOG(Error) << "Service not started." << std::endl;
        LOG(Error) << "Current State: " << status.dwCurrentState << std::endl;
        LOG(Error) << "Exit Code: " << status.dwWin32ExitCode << std::endl;
        LOG(Error) << "Check Point: " << status.dwCheckPoint << std::endl;
        LOG(Error) << "Wait Hint: " << status.dwWaitHint << std::endl;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
