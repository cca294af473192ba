#pragma once
#include <cstdio>
#include <string>
#include <sys/stat.h>

// The programs build Windows paths ('\' separators). Files opened or renamed through the C++ runtime go through
// these, so the Linux build finds them where its stand-in of the Windows calls puts them.
#ifdef _WIN32
inline std::string nativePath(const std::string& windowsPath) { return windowsPath; }
inline int runtimeRename(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
#else
#include <platform/paths.h>
inline std::string nativePath(const std::string& windowsPath) { return platform::nativePath(windowsPath); }
inline int runtimeRename(const std::string& from, const std::string& to) {
    return platform::runtimeRename(from.c_str(), to.c_str());
}
#endif

inline int runtimeRemove(const std::string& path) { return std::remove(nativePath(path).c_str()); }

inline bool pathExists(const std::string& path) {
    struct stat st;
    return stat(nativePath(path).c_str(), &st) == 0;
}

inline bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(nativePath(path).c_str(), &st) == 0 && (st.st_mode & S_IFDIR) != 0;
}
