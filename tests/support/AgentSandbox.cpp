#include "AgentSandbox.h"

#include "MachineSupport.h"
#include "TestSupport.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<LogLine> parseLogLines(const std::string& text) {
    std::vector<LogLine> lines;
    for (const std::string& line : textLines(text)) {
        std::string columns[7];
        size_t start = 0;
        int column = 0;
        for (; column < 6; ++column) {
            const size_t comma = line.find(',', start);
            if (comma == std::string::npos) break;
            columns[column] = line.substr(start, comma - start);
            start = comma + 1;
        }
        if (column < 6 || columns[0].empty() || !std::isdigit(static_cast<unsigned char>(columns[0][0]))) continue;
        columns[6] = line.substr(start);
        lines.push_back(
            LogLine{columns[0], columns[1], columns[2], columns[3], columns[4], columns[5], columns[6]});
    }
    return lines;
}

std::string normalised(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

void expectCleanEnd(const AgentSandbox::Run& run) {
    EXPECT_TRUE(run.result.started);
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_FALSE(run.result.signalled);
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
}

std::vector<std::string> messagesOf(const std::vector<LogLine>& lines, const std::string& method) {
    std::vector<std::string> messages;
    for (const auto& line : lines) {
        if (line.method == method) messages.push_back(line.message);
    }
    return messages;
}

bool hasMessage(const std::vector<LogLine>& lines, const std::string& message) {
    for (const auto& line : lines) {
        if (line.message == message) return true;
    }
    return false;
}

AgentSandbox::AgentSandbox() {
    m_root = fs::absolute(uniqueName("agent_sandbox")).string();
    m_workdir = m_root + "/cwd";
    m_machine = m_root + "/machine";
    fs::create_directories(m_workdir);
    fs::create_directories(m_machine);
    // Nobody sets the read notification for these runs: without this the finish would wait its full 80 s. The
    // last of the tweak files, so a test's own tweaks_extension.txt keeps every other value.
    fs::create_directories(m_workdir + "/test_appdata");
    setReadNotificationWait(kReadNotificationWaitMs);
}

void AgentSandbox::setReadNotificationWait(int ms) {
    std::ofstream(m_workdir + "/test_appdata/tweaks_extension_upgrade_surviving.txt", std::ios::binary | std::ios::trunc)
        << "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=" << ms << "\n";
}

AgentSandbox::~AgentSandbox() {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

void AgentSandbox::writeTweaks(const std::string& text) {
    std::ofstream(m_workdir + "/tweaks_extension.txt", std::ios::binary | std::ios::trunc) << text;
}

AgentSandbox::Run AgentSandbox::run(const std::vector<std::string>& args,
                                    const std::vector<std::pair<std::string, std::string>>& env, int deadlineMs) {
    const std::string tag = m_root + "/run" + std::to_string(++m_runs);
    ChildOptions options;
    options.program = vantrellPath();
    options.args = args;
    options.workdir = m_workdir;
    options.stdoutPath = tag + ".out";
    options.stderrPath = tag + ".err";
    options.deadlineMs = deadlineMs;
    options.env = {{"TALVO_STANDIN_ROOT", m_machine}, {"TALVO_COMMON_APPDATA", "C:\\ProgramData"}};
    for (const auto& change : env) options.env.push_back(change);
    Run run;
    run.result = runChild(options);
    run.out = readFile(options.stdoutPath);
    run.err = readFile(options.stderrPath);
    run.perRunLog = parseLogLines(perRunLogText());
    return run;
}

std::string AgentSandbox::logsFolder() const { return commonAppDataPath(m_machine, "Talvo/logs"); }

std::string AgentSandbox::mainLogText() const { return readFile(logsFolder() + "/Vantrell.exe.log.txt"); }

std::string AgentSandbox::perRunLogText() const {
    return readFile(logsFolder() + "/Vantrell.exe.current.log.txt");
}
