// Shared pieces of the stand-in's dialogs and process creation.
#pragma once
#include <string>

namespace platform::detail {

void journal(const std::string& entry);

}  // namespace platform::detail
