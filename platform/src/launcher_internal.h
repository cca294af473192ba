// Shared pieces of the stand-in's dialogs and process creation.
#pragma once
#include <string>

namespace platform::detail {

// Wide text to UTF-8 (a unit that is not a character becomes U+FFFD) and back (a malformed byte becomes U+FFFD).
std::string wideToUtf8(const std::wstring& text);
std::wstring utf8ToWide(const std::string& text);

void journal(const std::string& entry);

}  // namespace platform::detail
