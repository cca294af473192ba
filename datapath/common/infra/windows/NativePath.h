#pragma once
#include <string>

// The programs build Windows paths ('\' separators). Files opened through the C++ runtime go through this,
// so the Linux build finds them where its stand-in of the Windows calls puts them.
#ifdef _WIN32
inline std::string nativePath(const std::string& windowsPath) { return windowsPath; }
#else
#include <platform/paths.h>
inline std::string nativePath(const std::string& windowsPath) { return platform::nativePath(windowsPath); }
#endif
