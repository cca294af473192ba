#pragma once
// A whole checkpoint as real processes on a machine of its own (the stand-in's root): the agent, the provider
// service and its commit, the local and peer servers, and the party outside that reads the status block or runs
// the frozen moment. Linux only: the stand-in's VSS scenario, its registry and its service store.
#include "AgentSandbox.h"

#include <platform/testing.h>

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// One http_test_server process with its request folder.
class E2eServer {
public:
    // `args` as the program takes them ("--status", "500", ...). port() is 0 when it did not start.
    E2eServer(const std::string& folder, const std::vector<std::string>& args);
    ~E2eServer();
    E2eServer(const E2eServer&) = delete;
    E2eServer& operator=(const E2eServer&) = delete;
    unsigned short port() const { return m_port; }
    // The request targets received so far, in order.
    std::vector<std::string> targets() const;
    void stop();

private:
    std::string m_folder;
    pid_t m_pid = 0;
    unsigned short m_port = 0;
};

class E2eMachine {
public:
    // The stamp every machine starts with.
    static const std::vector<BYTE> kStamp;
    // The provider's hold limit: how long its commit keeps the volumes frozen without a thaw.
    static constexpr int kProviderHoldMs = 2000;

    // A fresh machine: the reliability stamp set, the RunOnce key empty, the fake bcdedit on PATH, a VSS with one
    // volume whose provider commit is vss_provider_commit (with `commitArgs` added), and no provider service.
    explicit E2eMachine(const std::vector<std::string>& commitArgs = {});
    ~E2eMachine();
    E2eMachine(const E2eMachine&) = delete;
    E2eMachine& operator=(const E2eMachine&) = delete;

    // The short waits of every run, and `more` tweak lines after them.
    static const char* const kTweaks;
    void writeTweaks(const std::string& more);

    AgentSandbox& sandbox() { return m_sandbox; }
    const std::string& folder() const { return m_folder; }

    // Registers "TalvoVssProvider", stopped, as stand_in_provider with `script`.
    void registerProvider(const std::string& script = "--pending 2 --step-ms 50");
    // Replaces the VSS scenario (the commit stays the machine's unless the scenario names one).
    void setVss(platform_test::VssScenario scenario);
    platform_test::VssScenario defaultVss() const;

    // The provider commit's journal, times left out: "freeze", "thaw 0", "thaw 258", "commit", "fail".
    std::vector<std::string> providerJournal() const;
    // Whether the guards' registry values are as they were before the run.
    bool stampIsBack() const;
    bool runOnceIsGone() const;
    // Lines of the fake bcdedit's journal.
    std::vector<std::string> bcdeditJournal() const;

    // The outside party (status_runner `part`), started now; its journal is read with runnerJournal().
    void startRunner(const std::string& part, int delayMs = 0, int maxMs = 30000);
    // Lets the runner end (stop file), waits for it, and returns its journal without times.
    std::vector<std::string> stopRunner();

    // The agent's environment for this machine: PATH, the fake bcdedit, and `more`.
    std::vector<std::pair<std::string, std::string>> agentEnv(
        const std::vector<std::pair<std::string, std::string>>& more = {}) const;
    AgentSandbox::Run runAgent(const std::vector<std::string>& args,
                               const std::vector<std::pair<std::string, std::string>>& env = {},
                               int deadlineMs = 60000);
    // Starts the agent without waiting; its output goes to <folder>/<tag>.out and .err.
    pid_t startAgent(const std::vector<std::string>& args, const std::string& tag,
                     const std::vector<std::pair<std::string, std::string>>& env = {});

private:
    AgentSandbox m_sandbox;
    std::string m_folder;
    std::vector<std::string> m_commitArgs;
    pid_t m_runner = 0;
    std::string m_runnerJournal;
    int m_runners = 0;
    std::vector<pid_t> m_agents;
};

// One checkpoint on an E2eMachine: the servers started, the outside party, the agent run to its end.
struct E2eRunOptions {
    bool externallyInitiated = false;
    // The status_runner part ("read", "answer", ...); "" for no outside party at all.
    std::string runner = "read";
    int runnerDelayMs = 0;
    // http_test_server arguments of the local server; {"refuse"}: a port that refuses connections.
    std::vector<std::string> local = {};
    // The peer's, the same way; empty: no peer (0.0.0.0).
    std::vector<std::string> peer = {"none"};
    std::string name = "checkpoint";
    std::vector<std::pair<std::string, std::string>> env;
    int deadlineMs = 60000;
};
struct E2eRun {
    AgentSandbox::Run agent;
    std::vector<std::string> runner;  // the outside party's journal, times left out
    std::vector<std::string> provider;
    std::vector<std::string> local, peer;  // request targets
    std::string block;                     // the status block's value when the party ended ("none": no block)
    long long ms = 0;                      // the agent's run time
};
E2eRun runCheckpoint(E2eMachine& machine, const E2eRunOptions& options);
std::string pingTarget();
// The insert target's encoded name, or "" when `target` is no insert.
std::string insertedName(const std::string& target);
// The decoded names of the inserts among `targets`, in order.
std::vector<std::string> insertedNames(const std::vector<std::string>& targets);

// The exit status of `pid` as the agent's code, or a value below -100000 when it did not end within `ms` (it is
// then killed) or ended by a signal.
constexpr int kNotEnded = -100001;
constexpr int kSignalled = -100002;
int waitForAgent(pid_t pid, int ms);
// Waits up to `ms` for a line of `path` that contains `text`.
bool waitForFileLine(const std::string& path, const std::string& text, int ms);
// Status runner journal lines with `prefix`.
std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
// Whether a message of the per-run log contains `text`.
bool logHas(const std::vector<LogLine>& lines, const std::string& text);
// The last lines of a log, for a failure's message.
std::string logTail(const std::vector<LogLine>& lines, size_t count = 25);
// The agent ended by itself, without a sanitizer report.
void expectEnded(const E2eRun& run);
// What every run leaves whatever its fault: expectEnded, and the guards' values as they were.
void expectCleanEnd(const E2eRun& run, E2eMachine& machine);
