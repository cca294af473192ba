// Shared by the registry and the command interpreter of the stand-in.
#pragma once
#include <string>

namespace platform::detail {
// Adds one entry to the test journal when it is on.
void journalCall(const char* function, const std::string& key, const std::string& value);
}
