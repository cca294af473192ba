#pragma once
#include <string>
#include <vector>

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
#ifdef _WIN32
    void* m_process = nullptr;
#else
    int m_pid = 0;
#endif
    int m_exitCode = -1;
};

// Points the stand-in's machine state at a fresh folder of this test process (Linux); nothing on Windows.
void useOwnStandinRoot();
