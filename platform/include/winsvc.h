// Service control manager of the stand-in: a file-backed store of services under the stand-in's root. A started
// service is its registered command line run as a separate, detached process.
#pragma once
#include <windows.h>

typedef BYTE* LPBYTE;

#ifndef ERROR_SERVICE_REQUEST_TIMEOUT
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#endif
#ifndef ERROR_SERVICE_NO_THREAD
#define ERROR_SERVICE_NO_THREAD 1054u
#endif
#ifndef ERROR_SERVICE_ALREADY_RUNNING
#define ERROR_SERVICE_ALREADY_RUNNING 1056u
#endif
#ifndef ERROR_SERVICE_DISABLED
#define ERROR_SERVICE_DISABLED 1058u
#endif
#ifndef ERROR_SERVICE_DOES_NOT_EXIST
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#endif
#ifndef ERROR_SERVICE_CANNOT_ACCEPT_CTRL
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#endif
#ifndef ERROR_SERVICE_NOT_ACTIVE
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#endif
#ifndef ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#endif
#ifndef ERROR_PROCESS_ABORTED
#define ERROR_PROCESS_ABORTED 1067u
#endif
#ifndef ERROR_SERVICE_DEPENDENCY_FAIL
#define ERROR_SERVICE_DEPENDENCY_FAIL 1068u
#endif
#ifndef ERROR_SERVICE_MARKED_FOR_DELETE
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#endif
#ifndef ERROR_SERVICE_EXISTS
#define ERROR_SERVICE_EXISTS 1073u
#endif
#ifndef ERROR_SERVICE_SPECIFIC_ERROR
#define ERROR_SERVICE_SPECIFIC_ERROR 1066u
#endif
#ifndef ERROR_CALL_NOT_IMPLEMENTED
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#endif
#ifndef NO_ERROR
#define NO_ERROR 0u
#endif

#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ALL_ACCESS 0x000F003Fu
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_ALL_ACCESS 0x000F01FFu
#define DELETE 0x00010000u

#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_BOOT_START 0u
#define SERVICE_SYSTEM_START 1u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_DISABLED 4u
#define SERVICE_ERROR_IGNORE 0u
#define SERVICE_ERROR_NORMAL 1u

#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u

#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u

#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u

typedef struct SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

typedef enum _SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 } SC_STATUS_TYPE;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef struct _SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

typedef struct _SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;

// Machine and database names other than NULL (the local machine, its active database) are refused.
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access);
// `binaryPathName` is the command line started by StartServiceW: the program and its arguments, blank-separated,
// a part in double quotes kept whole.
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password);
BOOL DeleteService(SC_HANDLE service);
BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                          LPCWSTR serviceStartName, LPCWSTR password, LPCWSTR displayName);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL CloseServiceHandle(SC_HANDLE handle);

// The service program's side.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
