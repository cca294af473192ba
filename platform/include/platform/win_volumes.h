// Volume enumeration: the volume GUID paths ("\\?\Volume{...}\") of the machine. Included from windows.h.
#pragma once
#ifndef ERROR_MORE_DATA
#define ERROR_MORE_DATA 234u
#endif

HANDLE FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength);
BOOL FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength);
BOOL FindVolumeClose(HANDLE findVolume);
