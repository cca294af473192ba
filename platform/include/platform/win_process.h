// Stand-in declarations: the module file name and process creation.
#pragma once
#include <windows.h>

typedef void* HMODULE;
typedef BYTE* LPBYTE;

#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193u
#endif

#define CREATE_NO_WINDOW 0x08000000u

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// The running program's path (or the one a test set, see platform/testing_launcher.h). Only the null module.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// Starts a program through posix_spawn, never a shell. The command line is split into arguments by the Windows C
// runtime's rules and handed over as UTF-8. Without an application name the first argument is looked up in the
// launcher's folder, the current folder, then PATH, as given and then without ".exe". CREATE_NO_WINDOW puts the
// standard streams on /dev/null; the child runs in a session of its own and inherits no other descriptor. Only
// the caller's environment (null) is supported. The child is neither waited for nor reaped: a wait on its
// handles returns once it ended.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
