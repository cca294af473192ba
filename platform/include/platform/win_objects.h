// Named kernel objects shared across processes (events, mutexes, file mappings), their security descriptors, and
// the 32-bit tick count. Included from windows.h.
#pragma once

#ifndef ERROR_NOT_OWNER
#define ERROR_NOT_OWNER 288u
#endif
#ifndef ERROR_INVALID_ADDRESS
#define ERROR_INVALID_ADDRESS 487u
#endif
#ifndef ERROR_MAPPED_ALIGNMENT
#define ERROR_MAPPED_ALIGNMENT 1132u
#endif
#ifndef ERROR_UNKNOWN_REVISION
#define ERROR_UNKNOWN_REVISION 1305u
#endif
#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123u
#endif

#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x001F0001u

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

#define SECURITY_DESCRIPTOR_REVISION 1u
#define SE_DACL_PRESENT 0x0004u
#define SE_DACL_DEFAULTED 0x0008u

typedef void* PSID;
typedef void* PACL;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;

// An absolute security descriptor: the stand-in reads only whether its DACL is present and null.
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef void* PSECURITY_DESCRIPTOR;

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl, BOOL daclDefaulted);

// Names are exact ("Global\" is part of the name) and share one namespace across kinds and processes. An object
// lives while a handle or a view in any process holds it.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name);
HANDLE OpenEventW(DWORD access, BOOL inheritHandle, LPCWSTR name);

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inheritHandle, LPCSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inheritHandle, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Only mappings backed by the paging file (INVALID_HANDLE_VALUE) are supported.
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCSTR name);
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name);
HANDLE OpenFileMappingA(DWORD access, BOOL inheritHandle, LPCSTR name);
HANDLE OpenFileMappingW(DWORD access, BOOL inheritHandle, LPCWSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID view);

// Milliseconds since boot in 32 bits: wraps after about 49.7 days.
DWORD GetTickCount();
