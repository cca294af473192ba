#include "ChildProcess.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <platform/testing.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#ifndef TALVO_TOOLS_DIR
#error TALVO_TOOLS_DIR names the folder of the test tools
#endif

ChildProcess::~ChildProcess() {
    if (m_running) {
        kill();
        wait(5000);
    }
#ifdef _WIN32
    if (m_process) CloseHandle(m_process);
#endif
}

#ifdef _WIN32

std::string ChildProcess::toolPath(const std::string& name) {
    std::string path = std::string(TALVO_TOOLS_DIR) + "/" + name + ".exe";
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // a Linux path of the build, seen through Wine
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    std::string line = "\"" + program + "\"";
    for (const auto& a : args) line += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program.c_str(), line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_running = true;
    return true;
}

int ChildProcess::wait(int ms) {
    if (!m_running) return m_exitCode;
    if (WaitForSingleObject(m_process, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    m_exitCode = static_cast<int>(code);
    m_running = false;
    return m_exitCode;
}

void ChildProcess::kill() {
    if (m_running) TerminateProcess(m_process, 137);
}

void useOwnStandinRoot() {}

#else

std::string ChildProcess::toolPath(const std::string& name) { return std::string(TALVO_TOOLS_DIR) + "/" + name; }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    m_pid = pid;
    m_running = true;
    return true;
}

int ChildProcess::wait(int ms) {
    if (!m_running) return m_exitCode;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_running = false;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exitCode;
        }
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill() {
    if (m_running) ::kill(m_pid, SIGKILL);
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

#endif
