// The machine of a Linux test: the stand-in's state under a root folder of the test's own.
#include "MachineSupport.h"

#include "TestSupport.h"

#include <platform/testing.h>

#include <stdlib.h>

#include <filesystem>

void useOwnMachineState(const std::string& prefix) {
    const std::filesystem::path root = std::filesystem::absolute(uniqueName(prefix));
    std::filesystem::create_directories(root);
    platform_test::setStandinRoot(root.string().c_str());
}

void setEnvironment(const std::string& name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

char pathListSeparator() { return ':'; }

std::string commonAppDataPath(const std::string& standinRoot, const std::string& relative) {
    return standinRoot + "/drive_c/ProgramData/" + relative;
}
