#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Runs a program as a child process and waits for it within a deadline.
struct ChildOptions {
    std::string program;
    std::vector<std::string> args;  // UTF-8, after the program name
    // Set in the child's environment; an empty value removes the variable.
    std::vector<std::pair<std::string, std::string>> env;
    std::string workdir;     // "" keeps this process's
    std::string stdinPath;   // "" keeps this process's
    std::string stdoutPath;  // "" discards
    std::string stderrPath;
    int deadlineMs = 60000;  // then the child is killed
};

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    bool signalled = false;  // ended by a signal (Linux)
    // The exit code as the program returned it: Linux keeps only 8 bits, mapped back to the agent's codes.
    int exitCode = 0;
};

ChildResult runChild(const ChildOptions& options);

// The agent's exit code from the 8 bits Linux keeps; any other value is returned as it is.
int agentExitCodeFromByte(int byte);

// The Windows runtime's quoting of one argument of a command line.
std::wstring quoteWindowsArgument(const std::wstring& arg);

// The built Vantrell program.
std::string vantrellPath();


// A helper program of the tests (tests/tools) run as a separate process. Killed when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The path of the tool `name` of this build.
    static std::string toolPath(const std::string& name);
    bool start(const std::string& program, const std::vector<std::string>& args);
    // The exit code, or -1 when the process has not ended within `ms`.
    int wait(int ms);
    void kill();
    bool running() const { return m_running; }

private:
    bool m_running = false;
    std::intptr_t m_process = 0;  // its handle on Windows, its process id elsewhere
    int m_exitCode = -1;
};

// Points the stand-in's machine state at a fresh folder of this test process (Linux); nothing on Windows.
void useOwnStandinRoot();
// The built Corbeline program.
std::string corbelinePath();
// The built program that writes down its arguments (tests/helpers/argv_dump.cpp).
std::string argvDumpPath();
