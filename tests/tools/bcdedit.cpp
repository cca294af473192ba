// A stand-in for bcdedit that tests put first on PATH. Each run appends one line to <folder>/journal.txt:
//   its arguments, then ";RunOnce=" and ";LastAliveStamp=" with 1 or 0: whether the agent's RunOnce entry and
//   the reliability stamp exist at that moment, read through this build's registry calls.
// A successful "/set <entry> bootstatuspolicy <policy>" records "<entry>=<policy>" in <folder>/policy.txt.
// Environment: TALVO_FAKE_BCDEDIT_DIR the folder (nothing is written without it); TALVO_FAKE_BCDEDIT_EXIT the exit
// code (0 by default); TALVO_FAKE_BCDEDIT_FAIL_ON, when set, limits that code to runs whose arguments contain it.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

bool runOnceExists() {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    const bool found = RegQueryValueExA(key, "Vantrell", NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

bool stampExists() {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    const bool found = RegQueryValueExW(key, L"LastAliveStamp", NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void recordPolicy(const std::string& folder, const std::string& entry, const std::string& policy) {
    std::map<std::string, std::string> policies;
    {
        std::ifstream in(folder + "/policy.txt");
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) policies[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    policies[entry] = policy;
    std::ofstream out(folder + "/policy.txt", std::ios::trunc);
    for (const auto& [name, value] : policies) out << name << "=" << value << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string args;
    for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);
    const std::string folder = env("TALVO_FAKE_BCDEDIT_DIR");
    const std::string failOn = env("TALVO_FAKE_BCDEDIT_FAIL_ON");
    int code = 0;
    if (failOn.empty() || args.find(failOn) != std::string::npos) code = std::atoi(env("TALVO_FAKE_BCDEDIT_EXIT").c_str());
    if (!folder.empty()) {
        std::ofstream(folder + "/journal.txt", std::ios::app)
            << args << ";RunOnce=" << runOnceExists() << ";LastAliveStamp=" << stampExists() << "\n";
        if (code == 0 && argc == 5 && std::string(argv[1]) == "/set" && std::string(argv[3]) == "bootstatuspolicy")
            recordPolicy(folder, argv[2], argv[4]);
    }
    return code;
}
