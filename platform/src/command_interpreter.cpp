#include "settings_internal.h"

#include <platform/runtime_system.h>
#include <platform/testing.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

extern char** environ;

namespace {

std::mutex g_lock;  // one run at a time: the SIGCHLD disposition below is process-wide
std::string g_defaultInterpreter = "/bin/sh";

// While SIGCHLD is ignored the kernel reaps children itself and their exit code is lost; the default disposition
// is put in place for the run and the caller's put back afterwards.
class ReapableChildren {
public:
    ReapableChildren() {
        struct sigaction current {};
        sigaction(SIGCHLD, nullptr, &current);
        if (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT)) {
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            m_saved = current;
            m_changed = sigaction(SIGCHLD, &dfl, nullptr) == 0;
        }
    }
    ~ReapableChildren() {
        if (m_changed) sigaction(SIGCHLD, &m_saved, nullptr);
    }

private:
    struct sigaction m_saved {};
    bool m_changed = false;
};

// 0 with the child's id, or the errno of the failed start. The default interpreter is looked up on PATH when it
// is a bare name, as the Windows runtime does for its fallback.
int start(const std::string& interpreter, const char* command, bool search, pid_t* pid) {
    char* argv[] = {const_cast<char*>(interpreter.c_str()), const_cast<char*>("-c"), const_cast<char*>(command),
                    nullptr};
    return search ? posix_spawnp(pid, interpreter.c_str(), nullptr, nullptr, argv, environ)
                  : posix_spawn(pid, interpreter.c_str(), nullptr, nullptr, argv, environ);
}

}  // namespace

int platform::runtimeSystem(const char* command) {
    std::lock_guard<std::mutex> lock(g_lock);
    const char* comspec = std::getenv("COMSPEC");
    if (!command) {
        if (comspec && *comspec && access(comspec, X_OK) == 0) return 1;
        return access(g_defaultInterpreter.c_str(), X_OK) == 0 ? 1 : 0;
    }
    platform::detail::journalCall("system", "", command);
    ReapableChildren reapable;
    pid_t pid = 0;
    int error = ENOENT;
    if (comspec && *comspec) error = start(comspec, command, false, &pid);
    if (error == ENOENT || error == EACCES) error = start(g_defaultInterpreter, command, true, &pid);
    if (error != 0) {
        errno = error;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);  // as a shell reports a command ended by a signal
}

void platform_test::setDefaultCommandInterpreter(const char* path) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_defaultInterpreter = path ? path : "/bin/sh";
}
