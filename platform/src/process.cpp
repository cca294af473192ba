// The module file name and process creation over posix_spawn.
#include "internal.h"
#include "launcher_internal.h"
#include "text_internal.h"

#include <platform/testing_launcher.h>
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

using namespace platform::detail;

namespace {

constexpr size_t kCommandLineLimit = 32767;  // characters, the terminating zero included

std::mutex g_journalLock;
std::vector<std::string> g_journal;

// A started process. Waiting on it polls a descriptor of the process, which never reaps it.
class Process : public KernelObject {
public:
    explicit Process(pid_t pid) : m_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~Process() override {
        if (m_fd >= 0) close(m_fd);
    }
    DWORD wait(DWORD milliseconds) override {
        if (m_fd < 0) return WAIT_FAILED;
        const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT_MAX));
        pollfd fd{m_fd, POLLIN, 0};
        for (;;) {
            const int rc = poll(&fd, 1, timeout);
            if (rc > 0) return WAIT_OBJECT_0;
            if (rc == 0) return WAIT_TIMEOUT;
            if (errno != EINTR) return WAIT_FAILED;
        }
    }

private:
    int m_fd;
};

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The Windows C runtime's split of a command line. The program name ends at the next blank or, quoted, at the
// next quote. In the other arguments 2n backslashes and a quote give n backslashes and toggle the quoting,
// 2n+1 backslashes and a quote give n backslashes and a literal quote, "" inside quotes gives a quote, and
// backslashes before anything else stand for themselves.
std::vector<std::wstring> splitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> args;
    size_t i = 0;
    const size_t n = line.size();
    std::wstring program;
    if (i < n && line[i] == L'"') {
        ++i;
        while (i < n && line[i] != L'"') program += line[i++];
        if (i < n) ++i;
    } else {
        while (i < n && !isBlank(line[i])) program += line[i++];
    }
    args.push_back(program);
    for (;;) {
        while (i < n && isBlank(line[i])) ++i;
        if (i >= n) break;
        std::wstring arg;
        bool quoted = false;
        while (i < n) {
            size_t backslashes = 0;
            while (i < n && line[i] == L'\\') ++backslashes, ++i;
            if (i < n && line[i] == L'"') {
                arg.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    arg += L'"';
                } else if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            arg.append(backslashes, L'\\');
            if (i >= n || (!quoted && isBlank(line[i]))) break;
            arg += line[i++];
        }
        args.push_back(arg);
    }
    return args;
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::string moduleFileName() {
    if (const char* overridden = std::getenv(platform_test::kModuleFileNameEnv); overridden && *overridden) {
        return overridden;
    }
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// The name as given, then, for "x.exe", "x".
std::vector<std::string> namesToTry(const std::string& name) {
    std::vector<std::string> names{name};
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0) {
        names.push_back(name.substr(0, name.size() - 4));
    }
    return names;
}

// The program's file: a path is taken as it is; a bare name is looked up in the launcher's folder, the current
// folder, then PATH.
std::string findProgram(const std::string& name) {
    std::vector<std::string> folders;
    if (name.find('/') == std::string::npos) {
        folders.push_back(folderOf(moduleFileName()));
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd))) folders.push_back(cwd);
        if (const char* path = std::getenv("PATH")) {
            const std::string list = path;
            size_t start = 0;
            for (;;) {
                const size_t colon = list.find(':', start);
                const std::string folder = list.substr(start, colon == std::string::npos ? colon : colon - start);
                folders.push_back(folder.empty() ? "." : folder);
                if (colon == std::string::npos) break;
                start = colon + 1;
            }
        }
    } else {
        folders.push_back("");
    }
    for (const auto& folder : folders) {
        for (const auto& candidate : namesToTry(name)) {
            const std::string path = folder.empty() ? candidate : folder + "/" + candidate;
            if (isRegularFile(path)) return path;
        }
    }
    return std::string();
}

DWORD win32FromSpawnError(int error) {
    switch (error) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
        case E2BIG: return ERROR_FILENAME_EXCED_RANGE;
        default: return win32FromErrno(error, false);
    }
}

}  // namespace

namespace platform::detail {

void journal(const std::string& entry) {
    std::lock_guard<std::mutex> lock(g_journalLock);
    g_journal.push_back(entry);
}

}  // namespace platform::detail

namespace platform_test {

void setModuleFileName(const std::string& path) {
    if (path.empty()) {
        unsetenv(kModuleFileNameEnv);
    } else {
        setenv(kModuleFileNameEnv, path.c_str(), 1);
    }
}

std::vector<std::string> launcherJournal() {
    std::lock_guard<std::mutex> lock(g_journalLock);
    return g_journal;
}

void clearLauncherJournal() {
    std::lock_guard<std::mutex> lock(g_journalLock);
    g_journal.clear();
}

}  // namespace platform_test

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const std::string path = moduleFileName();
    if (size == 0 || fileName == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // A path that does not fit is cut, terminated, and reported with the buffer's size.
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                    LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
    if ((applicationName == nullptr && commandLine == nullptr) || environment != nullptr || startupInfo == nullptr ||
        processInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring line = commandLine ? commandLine : L"";
    if (line.size() + 1 > kCommandLineLimit) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::vector<std::wstring> wideArgs = splitCommandLine(line);
    const std::wstring programName = applicationName ? std::wstring(applicationName) : wideArgs[0];
    const std::string program = findProgram(toUtf8(programName));
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::vector<std::string> args;
    for (const auto& arg : wideArgs) args.push_back(toUtf8(arg));
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (creationFlags & CREATE_NO_WINDOW) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (!inheritHandles) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::string directory;
    if (currentDirectory) {
        directory = toUtf8(currentDirectory);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: the launcher's terminal and its end do not reach the child.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        SetLastError(win32FromSpawnError(rc));
        return FALSE;
    }
    auto* process = new Process(pid);
    process->refs.fetch_add(1);  // one reference for each of the two handles
    processInformation->hProcess = publish(process);
    processInformation->hThread = publish(process);
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);
    journal("CreateProcessW " + std::to_string(pid));
    return TRUE;
}
