#include "Directories.h"

#include "Logger.h"

#include <direct.h>

#include <cerrno>
#include <iostream>

void Directories::ensureExists(const std::string& dir) {
    // The last '\' before the final character: a trailing separator does not make a parent.
    const size_t sep = dir.size() < 2 ? std::string::npos : dir.rfind('\\', dir.size() - 2);
    if (sep != std::string::npos) {
        const std::string parent = dir.substr(0, sep);
        if (_mkdir(parent.c_str()) != 0 && errno != EEXIST) {
            std::cerr << "mkdir failed for parent " << parent << " and it does not exist" << std::endl;
        }
    }
    if (_mkdir(dir.c_str()) != 0) {
        const int error = errno;
        ASSERT_MSG_TEXT(Assert, error == EEXIST, "(*_errno()) == 17",
                        "mkdir failed for dir " << dir << " and it does not exist");
    }
}
