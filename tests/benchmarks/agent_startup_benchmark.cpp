// The agent's start-up as a user sees it: 20 runs of the real Vantrell program, each in a fresh sandbox, with five
// positional values and no wait for a reader at the end. Per run: from the wall clock just before the spawn to
// the time stamp of the log's last line before the snapshot flow, and from the spawn to the exit.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 20;
// The last line of the start-up before the flow: the provider check's result, or the requester's choice once a
// provider runs.
const char* const kLastLines[] = {",failed to start vss provider service due to :", ",VssRequester requester"};

// Milliseconds since the epoch of a log line's "YYYY-MM-DD HH:MM:SS.mmm" (UTC); -1 when it is not one.
long long logTimeMs(const std::string& line) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7) {
        return -1;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<long long>(timegm(&tm)) * 1000 + ms;
}

long long lastStartUpLineMs(const std::string& logPath) {
    std::ifstream in(logPath);
    long long found = -1;
    for (std::string line; std::getline(in, line);) {
        for (const char* text : kLastLines) {
            if (line.find(text) != std::string::npos) found = logTimeMs(line);
        }
    }
    return found;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main() {
    const fs::path base = fs::absolute("agent_startup_" + std::to_string(getpid()));
    std::vector<double> toLastLine, toExit;
    for (int run = 0; run < kRuns; ++run) {
        const fs::path sandbox = base / std::to_string(run);
        fs::create_directories(sandbox / "cwd");
        std::ofstream(sandbox / "cwd" / "tweaks_extension.txt")
            << "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=0\n";

        std::vector<std::string> env;
        for (char** p = environ; *p; ++p) env.emplace_back(*p);
        env.push_back("TALVO_STANDIN_ROOT=" + (sandbox / "machine").string());
        env.push_back("TALVO_COMMON_APPDATA=C:\\ProgramData");
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = {TALVO_VANTRELL_PATH, "127.0.0.1", "8080", "0.0.0.0", "8080", "bench"};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, (sandbox / "cwd").c_str());
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const auto wallBefore = std::chrono::system_clock::now();
        const auto steadyBefore = std::chrono::steady_clock::now();
        pid_t pid;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            std::cerr << "cannot start " << argv[0] << std::endl;
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        const auto steadyAfter = std::chrono::steady_clock::now();
        posix_spawn_file_actions_destroy(&actions);

        const long long lastLine =
            lastStartUpLineMs((sandbox / "machine/drive_c/ProgramData/Talvo/logs/Vantrell.exe.current.log.txt").string());
        if (lastLine < 0) {
            std::cerr << "run " << run << ": no start-up line in the log (exit " << WEXITSTATUS(status) << ")"
                      << std::endl;
            return 1;
        }
        const double wallMs =
            std::chrono::duration<double, std::milli>(wallBefore.time_since_epoch()).count();
        toLastLine.push_back(static_cast<double>(lastLine) - wallMs);
        toExit.push_back(std::chrono::duration<double, std::milli>(steadyAfter - steadyBefore).count());
    }
    fs::remove_all(base);
    std::cout << "agent start-up, " << kRuns << " runs:" << std::endl
              << "  spawn to the last line before the flow: median " << median(toLastLine) << " ms (log time stamps"
              << " have millisecond resolution)" << std::endl
              << "  spawn to exit: median " << median(toExit) << " ms" << std::endl;
    return 0;
}
