#include <platform/paths.h>

#include <cstdlib>

std::string platform::standinRoot() {
    const char* root = std::getenv("TALVO_STANDIN_ROOT");
    return root && *root ? std::string(root) : std::string("/tmp/talvo-standin");
}

#include <platform/testing.h>

void platform_test::setStandinRoot(const char* root) { setenv("TALVO_STANDIN_ROOT", root, 1); }
