#include "MachineSupport.h"

#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <platform/testing.h>
#endif

void useOwnMachineState(const std::string& prefix) {
#ifdef _WIN32
    (void)prefix;
#else
    const std::filesystem::path root = std::filesystem::absolute(uniqueName(prefix));
    std::filesystem::create_directories(root);
    platform_test::setStandinRoot(root.string().c_str());
#endif
}

void setEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv((name + "=" + value).c_str());
#else
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
#endif
}

std::string environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

void prependToPath(const std::string& folder) {
#ifdef _WIN32
    const char separator = ';';
#else
    const char separator = ':';
#endif
    const std::string path = environment("PATH");
    setEnvironment("PATH", path.empty() ? folder : folder + separator + path);
}

std::string testToolsFolder() { return TALVO_TEST_TOOLS_DIR; }
