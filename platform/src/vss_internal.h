// Shared pieces of the stand-in's COM and VSS.
#pragma once
#include <windows.h>

#include <string>

namespace platform::detail {
// Appends one line to the VSS journal (in memory and in its file).
void vssJournal(const std::string& line);
// Lowercase hexadecimal of the code as 32 bits, without prefix.
std::string hexCode(HRESULT hr);
std::string utf8FromUtf16(const std::u16string& text);
std::u16string utf16FromUtf8(const std::string& text);
}  // namespace platform::detail
