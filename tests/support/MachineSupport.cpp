#include "MachineSupport.h"

#include <cstdlib>

std::string environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

void prependToPath(const std::string& folder) {
    const std::string path = environment("PATH");
    setEnvironment("PATH", path.empty() ? folder : folder + pathListSeparator() + path);
}

std::string testToolsFolder() { return TALVO_TEST_TOOLS_DIR; }
