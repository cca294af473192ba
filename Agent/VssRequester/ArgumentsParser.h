#pragma once
#include "Arguments.h"

#include <map>
#include <string>
#include <vector>

// Parses `<local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]` from argv[1] on (argv[0] is
// the program and is not read). 0 when accepted; 1 after the usage was printed. A "backupType" value without
// leading digits throws std::invalid_argument, one beyond 32 bits std::out_of_range.
int ParseDr(int argc, wchar_t** argv, Arguments& arguments);

// Reads the keyword=value arguments from argv[6] on into `out` (emptied first); the first occurrence of a
// keyword wins. -1, after a message on the standard output, for an argument without '=' or an unknown keyword.
int parse_keyword_args(std::vector<std::wstring> allowed, std::map<std::wstring, std::wstring>& out, int argc,
                       wchar_t** argv);

// Replaces `volumes` with the comma-separated items of `value`, as getline delivers them: empty items are kept,
// a trailing comma adds none, and nothing is trimmed.
void splitVolumesArgument(const std::wstring& value, std::vector<std::wstring>& volumes);

// The usage on the standard output.
void printUsage();
