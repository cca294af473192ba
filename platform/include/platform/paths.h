// Where the programs' Windows paths ('\' separators) become paths of this system.
#pragma once
#include <string>

namespace platform {
std::string nativePath(const std::string& windowsPath);
}
