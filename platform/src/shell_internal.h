// Shared pieces of the stand-in's shell and folder calls.
#pragma once
#include <windows.h>

#include <string>

namespace platform::detail {
// True, with the error to report, when a fault was injected into this CreateDirectoryA call.
bool takeCreateDirectoryFault(DWORD& error);
// A path with '/' separators whose drive ("C:/...") is a folder below the stand-in's root; others unchanged.
std::string mapDrive(const std::string& path);
}  // namespace platform::detail
