#pragma once
#include <string>

class Directories {
public:
    // Makes `dir` and, when missing, its parent (one level only). A folder that cannot be made ends the process.
    static void ensureExists(const std::string& dir);
};
