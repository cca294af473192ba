#pragma once
#include "ChildProcess.h"

#include <string>
#include <utility>
#include <vector>

// One column-split line of a CSV log: the message is everything after the sixth comma.
struct LogLine {
    std::string time, level, thread, component, className, method, message;
};
// The log lines of a log file's text; banner and blank lines are left out.
std::vector<LogLine> parseLogLines(const std::string& text);

// A run of the real agent in a folder of its own: its working directory (tweak files) and, on Linux, its own
// machine (the stand-in's root, which holds the common application-data folder). Under Wine all runs share the
// machine's application-data folder.
class AgentSandbox {
public:
    // The read-notification wait of every sandboxed run ("t_requesterEventWaitForSharedMemoryReadTimeoutMsec").
    static constexpr int kReadNotificationWaitMs = 300;
    AgentSandbox();
    ~AgentSandbox();
    AgentSandbox(const AgentSandbox&) = delete;
    AgentSandbox& operator=(const AgentSandbox&) = delete;

    struct Run {
        ChildResult result;
        std::string out;  // standard output
        std::string err;  // standard error
        std::vector<LogLine> perRunLog;
    };

    // Runs on the machine at `root` (the stand-in's, on Linux) instead of one of its own, so that this process
    // shares the agent's registry, services and named objects; "" is the machine this process runs on.
    void useMachine(const std::string& root) { m_machine = root; }
    // The tweak file "tweaks_extension.txt" of the working directory.
    void writeTweaks(const std::string& text);
    // The read-notification wait of the runs from now on, instead of kReadNotificationWaitMs.
    void setReadNotificationWait(int ms);
    // Runs Vantrell with `args` (UTF-8) and these environment changes added to the sandbox's own.
    Run run(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env = {},
            int deadlineMs = 60000);

    // The folder of the agent's logs, as this process opens it.
    std::string logsFolder() const;
    std::string mainLogText() const;
    std::string perRunLogText() const;
    // The sandbox's stand-in root (Linux).
    const std::string& machine() const { return m_machine; }
    const std::string& workdir() const { return m_workdir; }

private:
    std::string m_root, m_workdir, m_machine;
    int m_runs = 0;
};

// The messages of the lines logged by the function `method` (class column empty).
std::vector<std::string> messagesOf(const std::vector<LogLine>& lines, const std::string& method);
bool hasMessage(const std::vector<LogLine>& lines, const std::string& message);
// Lines split at '\n', '\r' removed.
std::vector<std::string> textLines(const std::string& text);
// `text` without its '\r'.
std::string normalised(const std::string& text);
// What every run must show whatever its outcome: an ended process, no sanitizer report.
void expectCleanEnd(const AgentSandbox::Run& run);
