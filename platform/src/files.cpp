#include "internal.h"

#include <direct.h>
#include <platform/paths.h>

#include <sys/stat.h>

std::string platform::nativePath(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

int _mkdir(const char* path) { return mkdir(platform::nativePath(path).c_str(), 0777); }

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (mkdir(platform::nativePath(path).c_str(), 0777) != 0) return platform::detail::failFromErrno(true);
    return TRUE;
}
