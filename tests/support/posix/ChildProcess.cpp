// Child processes started with posix_spawn and waited for with waitpid.
#include "ChildProcess.h"
#include "ChildProcessDetail.h"

#include <platform/testing.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

std::string builtProgram(const char* built) { return built; }

ChildResult runChild(const ChildOptions& options) {
    ChildResult result;
    const auto changes = lastChangeOfEachName(options);
    std::vector<std::string> environment;
    for (char** p = environ; *p; ++p) {
        const std::string entry = *p;
        bool replaced = false;
        for (const auto& change : changes) {
            replaced = replaced || entry.compare(0, change.first.size() + 1, change.first + "=") == 0;
        }
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty()) environment.push_back(name + "=" + value);
    }
    std::vector<char*> envp, argv;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = options.program;
    std::vector<std::string> args = options.args;
    argv.push_back(program.data());
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.workdir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workdir.c_str());
    if (!options.stdinPath.empty())
        posix_spawn_file_actions_addopen(&actions, 0, options.stdinPath.c_str(), O_RDONLY, 0);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.empty() ? "/dev/null" : options.stdoutPath.c_str(),
                                     flags, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.empty() ? "/dev/null" : options.stderrPath.c_str(),
                                     flags, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its own group: a kill reaches its children
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return result;
    result.started = true;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.deadlineMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFSIGNALED(status)) {
        result.signalled = true;
        result.exitCode = -WTERMSIG(status);
    } else {
        result.exitCode = agentExitCodeFromByte(WEXITSTATUS(status));
    }
    return result;
}

ChildProcess::~ChildProcess() {
    if (m_running) {
        kill();
        wait(5000);
    }
}

std::string ChildProcess::toolPath(const std::string& name) { return std::string(TALVO_TOOLS_DIR) + "/" + name; }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    m_process = pid;
    m_running = true;
    return true;
}

int ChildProcess::wait(int ms) {
    if (!m_running) return m_exitCode;
    const pid_t pid = static_cast<pid_t>(m_process);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            m_running = false;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exitCode;
        }
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill() {
    if (m_running) ::kill(static_cast<pid_t>(m_process), SIGKILL);
}

void useOwnStandinRoot() {
    static const bool done = [] {
        char pattern[] = "/tmp/talvo-test-XXXXXX";
        const char* root = mkdtemp(pattern);
        if (root) {
            platform_test::setStandinRoot(root);
            static std::string folder = root;
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            });
        }
        return true;
    }();
    (void)done;
}
