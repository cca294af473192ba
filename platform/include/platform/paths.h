// Where the programs' Windows paths ('\' separators) become paths of this system.
#pragma once
#include <string>

namespace platform {
std::string nativePath(const std::string& windowsPath);

// The Windows runtime's rename: an existing target is never replaced (errno EACCES, as that runtime reports it).
int runtimeRename(const char* from, const char* to);
}
