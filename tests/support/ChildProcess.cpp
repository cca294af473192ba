#include "ChildProcess.h"

#include "ChildProcessDetail.h"
#include "CommandLineQuoting.h"

#ifndef TALVO_TOOLS_DIR
#error TALVO_TOOLS_DIR names the folder of the test tools (ChildProcess::toolPath)
#endif

std::vector<std::pair<std::string, std::string>> lastChangeOfEachName(const ChildOptions& options) {
    std::vector<std::pair<std::string, std::string>> changes;
    for (const auto& change : options.env) {
        for (auto it = changes.begin(); it != changes.end();) {
            it = it->first == change.first ? changes.erase(it) : it + 1;
        }
        changes.push_back(change);
    }
    return changes;
}

int agentExitCodeFromByte(int byte) {
    static const std::pair<int, int> kCodes[] = {{24, -1000}, {23, -1001}, {22, -1002}, {20, -1004},
                                                 {19, -1005}, {18, -1006}, {17, -1007}};
    for (const auto& [low, code] : kCodes) {
        if (byte == low) return code;
    }
    return byte;
}

std::wstring quoteWindowsArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    return quoteCommandLineArgument(arg);
}

std::string vantrellPath() { return builtProgram(TALVO_VANTRELL_PATH); }
std::string corbelinePath() { return builtProgram(TALVO_CORBELINE_PATH); }
std::string argvDumpPath() { return builtProgram(TALVO_ARGV_DUMP_PATH); }
