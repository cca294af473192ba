#pragma once
#include <string>

// One argument of a Windows command line, in double quotes, so that the C runtime's split gives it back exactly:
// n backslashes before a quote become 2n+1 backslashes and the quote, n backslashes at the end become 2n, every
// other character stands for itself.
std::wstring quoteCommandLineArgument(const std::wstring& argument);
