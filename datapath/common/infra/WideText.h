#pragma once
#include <string>

// Wide text as UTF-8, for the logs and the standard output. wchar_t holds UTF-16 on Windows and UTF-32 on Linux;
// a unit that is not a character (a lone surrogate, a value past U+10FFFF) becomes U+FFFD. Never throws.
std::string toUtf8(const std::wstring& text);
std::string toUtf8(const wchar_t* text);
