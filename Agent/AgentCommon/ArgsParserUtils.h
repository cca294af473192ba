#pragma once

class ArgsParserUtils {
public:
    // Logs the command line after the program name, one argument a line, each cut to 49 bytes. A character
    // beyond ASCII (a surrogate pair counts as one) is shown as '?', so the log stays plain UTF-8.
    static void printArgs(int argc, wchar_t** argv);
};
