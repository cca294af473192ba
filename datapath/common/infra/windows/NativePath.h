#pragma once
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

// The programs build Windows paths ('\' separators). Files opened or renamed through the C++ runtime go through
// these, so the Linux build finds them where its stand-in of the Windows calls puts them.
#ifdef _WIN32
// The runtime's text mode writes "\r\n" for each '\n': file sizes count one byte more per line.
constexpr bool kTextModeAddsCarriageReturns = true;
inline std::string nativePath(const std::string& windowsPath) { return windowsPath; }
inline int runtimeRename(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
// The runtime's system(): the line runs through COMSPEC's interpreter; the result is the command's exit code.
inline int runtimeSystem(const char* commandLine) { return std::system(commandLine); }
#else
#include <platform/paths.h>
#include <platform/runtime_system.h>
constexpr bool kTextModeAddsCarriageReturns = false;
inline std::string nativePath(const std::string& windowsPath) { return platform::nativePath(windowsPath); }
inline int runtimeRename(const std::string& from, const std::string& to) {
    return platform::runtimeRename(from.c_str(), to.c_str());
}
inline int runtimeSystem(const char* commandLine) { return platform::runtimeSystem(commandLine); }
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

// Opens a file for reading as the Windows runtime does: a folder never opens as a file (Linux would open it, and
// reading it would look like an empty file).
inline void openInput(std::ifstream& in, const std::string& path, std::ios::openmode mode) {
    if (isDirectory(path)) {
        in.setstate(std::ios::failbit);
        return;
    }
    in.open(nativePath(path), mode);
}
