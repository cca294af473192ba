// Stand-in for the shell's folder lookup.
#pragma once
#include <windows.h>

#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

// Only CSIDL_COMMON_APPDATA is known. Its folder is the Windows path named by the environment variable
// TALVO_COMMON_APPDATA (a drive path lives below the stand-in's root); unset, the lookup fails with E_FAIL.
// With CSIDL_FLAG_CREATE a missing folder is created. `path` takes MAX_PATH characters.
HRESULT SHGetFolderPathA(HWND owner, int csidl, HANDLE token, DWORD flags, LPSTR path);
