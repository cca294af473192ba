#include "ChildProcess.h"

#include "CommandLineQuoting.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;
#endif

namespace {

// The environment changes with the last one given for a name winning.
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

}  // namespace

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

namespace {

// A built program's path as this process opens it.
std::string builtProgram(const char* built) {
    std::string path = built;
#ifdef _WIN32
    // Wine shows this machine's root folder as drive Z.
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        path = "Z:" + path;
    }
#endif
    return path;
}

}  // namespace

std::string vantrellPath() { return builtProgram(TALVO_VANTRELL_PATH); }
std::string corbelinePath() { return builtProgram(TALVO_CORBELINE_PATH); }
std::string argvDumpPath() { return builtProgram(TALVO_ARGV_DUMP_PATH); }

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

HANDLE openOutput(const std::string& path) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    if (path.empty()) {
        return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    }
    return CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// This process's environment with the options' changes, sorted as Windows expects.
std::wstring environmentBlock(const ChildOptions& options) {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : lastChangeOfEachName(options)) {
        const std::wstring prefix = widen(name) + L"=";
        std::vector<std::wstring> kept;
        for (auto& entry : entries) {
            if (_wcsnicmp(entry.c_str(), prefix.c_str(), prefix.size()) != 0) kept.push_back(entry);
        }
        if (!value.empty()) kept.push_back(prefix + widen(value));
        entries.swap(kept);
    }
    std::sort(entries.begin(), entries.end(),
              [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    std::wstring block;
    for (const auto& entry : entries) block += entry + L'\0';
    block += L'\0';
    return block;
}

}  // namespace

ChildResult runChild(const ChildOptions& options) {
    ChildResult result;
    const std::wstring program = widen(options.program);
    std::wstring commandLine = quoteWindowsArgument(program);
    for (const auto& arg : options.args) commandLine += L" " + quoteWindowsArgument(widen(arg));
    std::wstring environment = environmentBlock(options);
    std::wstring workdir;
    if (!options.workdir.empty()) {
        wchar_t full[MAX_PATH];
        GetFullPathNameW(widen(options.workdir).c_str(), MAX_PATH, full, nullptr);
        workdir = full;
    }
    HANDLE out = openOutput(options.stdoutPath);
    HANDLE err = openOutput(options.stderrPath);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!options.stdinPath.empty()) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        in = CreateFileW(widen(options.stdinPath).c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0,
                         nullptr);
    }
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                        workdir.empty() ? nullptr : workdir.c_str(), &startup, &process);
    CloseHandle(out);
    CloseHandle(err);
    if (!options.stdinPath.empty()) CloseHandle(in);
    if (!created) return result;
    result.started = true;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.deadlineMs)) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

#else

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
    if (!options.stdinPath.empty()) posix_spawn_file_actions_addopen(&actions, 0, options.stdinPath.c_str(), O_RDONLY, 0);
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

#endif

// Test tools run as separate processes.

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
