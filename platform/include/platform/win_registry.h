// Stand-in for the registry calls and the version query.
// The registry is a file-backed store under platform::standinRoot(). Keys are folders, values are files (type and
// bytes). Names are compared without regard to ASCII case; the A and W calls share one store, narrow names being
// UTF-8. Data is kept byte-exact: an A call's REG_SZ is not widened.
#pragma once

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef BYTE* LPBYTE;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)

// Access rights.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

#ifndef ERROR_MORE_DATA
#define ERROR_MORE_DATA 234u
#endif
#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018u
#endif
#ifndef ERROR_BADKEY
#define ERROR_BADKEY 1010u
#endif

// Never creates a key: a missing one gives ERROR_FILE_NOT_FOUND.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
// Creates every missing key on the path; the class and security attributes are not kept.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
// A buffer too small gives ERROR_MORE_DATA with the needed size and the type set, and copies nothing.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
// Deletes a key without subkeys, with its values.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// Syncs the key's values and folder to disk.
LSTATUS RegFlushKey(HKEY key);
LSTATUS RegCloseKey(HKEY key);

// The version query. The version reported is the one a program without a compatibility manifest gets on current
// Windows (6.2), unless a test sets another.
typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

#define VER_PLATFORM_WIN32_NT 2u

// Fails with ERROR_INSUFFICIENT_BUFFER unless dwOSVersionInfoSize is the size of one of the two structures.
BOOL GetVersionExW(LPOSVERSIONINFOW info);
