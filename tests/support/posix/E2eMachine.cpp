#include "E2eMachine.h"

#include <gtest/gtest.h>

#include "BootSettingsSupport.h"
#include "CheckpointRequest.h"
#include "ChildProcess.h"
#include "HttpTestServer.h"
#include "MachineSupport.h"
#include "TestSupport.h"
#include "VssRequester.h"

#include <winsvc.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

const wchar_t* const kVolume = L"\\\\?\\Volume{3B5C4D2A-0000-4000-8000-000000000001}\\";

std::string toolsBin() { return testToolsFolder(); }

// posix_spawn with this process's environment changed by `env` (an empty value removes the variable).
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::pair<std::string, std::string>>& env, const std::string& workdir,
            const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        bool replaced = false;
        for (const auto& change : env) replaced = replaced || var.compare(0, change.first.size() + 1, change.first + "=") == 0;
        if (!replaced) vars.push_back(var);
    }
    // A later change of the same variable wins.
    for (size_t i = 0; i < env.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < env.size(); ++j) later = later || env[j].first == env[i].first;
        if (!later && !env[i].second.empty()) vars.push_back(env[i].first + "=" + env[i].second);
    }
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.empty() ? "/dev/null" : outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.empty() ? "/dev/null" : errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!workdir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

// The exit code, -1 after a signal, or -2 when it did not end within `ms` (it is then killed).
int waitFor(pid_t pid, int ms) {
    const auto until = steady_clock::now() + milliseconds(ms);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -1;
        if (steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> withoutTimes(const std::vector<std::string>& lines, bool timeFirst) {
    std::vector<std::string> out;
    for (const auto& line : lines) {
        if (line.empty()) continue;
        if (timeFirst) {
            const size_t space = line.find(' ');
            out.push_back(space == std::string::npos ? "" : line.substr(space + 1));
        } else {
            const size_t space = line.rfind(' ');
            out.push_back(space == std::string::npos ? line : line.substr(0, space));
        }
    }
    return out;
}

}  // namespace

E2eServer::E2eServer(const std::string& folder, const std::vector<std::string>& args) : m_folder(folder) {
    fs::create_directories(folder);
    std::vector<std::string> words{folder};
    words.insert(words.end(), args.begin(), args.end());
    m_pid = spawn(ChildProcess::toolPath("../http_test_server"), words, {}, "", folder + "/server.out",
                  folder + "/server.err");
    if (waitForFileLine(folder + "/port", "", 10000)) {
        m_port = static_cast<unsigned short>(std::stoi(readFile(folder + "/port")));
    }
}

E2eServer::~E2eServer() { stop(); }

void E2eServer::stop() {
    if (!m_pid) return;
    std::ofstream(m_folder + "/stop") << "";
    waitFor(m_pid, 5000);
    m_pid = 0;
}

std::vector<std::string> E2eServer::targets() const {
    std::vector<std::string> out;
    for (int n = 1;; ++n) {
        const std::string path = m_folder + "/request-" + std::to_string(n) + ".http";
        if (!fs::exists(path)) break;
        const std::string bytes = readFile(path);
        const size_t first = bytes.find(' ');
        const size_t second = bytes.find(' ', first + 1);
        out.push_back(first == std::string::npos || second == std::string::npos
                          ? ""
                          : bytes.substr(first + 1, second - first - 1));
    }
    return out;
}

const char* const E2eMachine::kTweaks =
    "t_requesterQuiescedEventWaitTimeoutMsec=8000\n"
    "t_requesterEventWaitForThawStartTimeoutMsec=1000\n"
    "t_WaitAsyncTimeoutMsec=8000\n"
    "t_httpClientTimeoutMsec=3000\n";

void E2eMachine::writeTweaks(const std::string& more) {
    // A tweak defined twice is refused: a default is left out where `more` sets it.
    std::string text;
    for (const auto& line : textLines(kTweaks)) {
        const std::string name = line.substr(0, line.find('=') + 1);
        if (!name.empty() && more.find(name) == std::string::npos) text += line + "\n";
    }
    m_sandbox.writeTweaks(text + more);
}

const std::vector<BYTE> E2eMachine::kStamp = {0x00, 0xe1, 0xf5, 0x05, 0xa1, 0xb2, 0xc3, 0xd4};

E2eMachine::E2eMachine(const std::vector<std::string>& commitArgs) : m_commitArgs(commitArgs) {
    m_folder = fs::path(m_sandbox.machine()).parent_path().string() + "/e2e";
    fs::create_directories(m_folder + "/bcdedit");
    platform_test::setStandinRoot(m_sandbox.machine().c_str());
    createRunOnceKey();
    createReliabilityKey();
    setStamp(StoredValue{REG_BINARY, kStamp});
    setVss(defaultVss());
    writeTweaks("");
}

E2eMachine::~E2eMachine() {
    for (pid_t agent : m_agents) waitFor(agent, 0);
    if (m_runner) waitFor(m_runner, 0);
    // The provider runs detached from this process: ended by its process id.
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"TalvoVssProvider", SERVICE_ALL_ACCESS) : nullptr;
    if (service) {
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed) &&
            s.dwProcessId) {
            kill(static_cast<pid_t>(s.dwProcessId), SIGKILL);
        }
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
}

void E2eMachine::registerProvider(const std::string& script) {
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    const std::string line = "\"" + ChildProcess::toolPath("stand_in_provider") + "\" " + script;
    const std::wstring wide(line.begin(), line.end());
    SC_HANDLE service = CreateServiceW(manager, L"TalvoVssProvider", L"Talvo VSS Provider", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       wide.c_str(), NULL, NULL, NULL, NULL, NULL);
    EXPECT_NE(service, nullptr);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

platform_test::VssScenario E2eMachine::defaultVss() const {
    platform_test::VssScenario scenario;
    scenario.volumes = {kVolume};
    scenario.registeredProvider = ProviderId;
    scenario.writers = {{u"System Writer", VSS_WS_STABLE, S_OK, GUID{}, GUID{}}};
    scenario.commitProgram = ChildProcess::toolPath("vss_provider_commit");
    scenario.commitArgs = {"--journal", m_folder + "/provider.txt", "--hold-ms", std::to_string(kProviderHoldMs)};
    scenario.commitArgs.insert(scenario.commitArgs.end(), m_commitArgs.begin(), m_commitArgs.end());
    return scenario;
}

void E2eMachine::setVss(platform_test::VssScenario scenario) { platform_test::writeVssScenarioFile(scenario); }

std::vector<std::string> E2eMachine::providerJournal() const {
    return withoutTimes(textLines(readFile(m_folder + "/provider.txt")), false);
}

bool E2eMachine::stampIsBack() const {
    const auto stamp = storedStamp();
    return stamp && *stamp == StoredValue{REG_BINARY, kStamp};
}

bool E2eMachine::runOnceIsGone() const { return !storedRunOnce().has_value(); }

std::vector<std::string> E2eMachine::bcdeditJournal() const {
    std::vector<std::string> lines;
    for (const auto& line : textLines(readFile(m_folder + "/bcdedit/journal.txt"))) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void E2eMachine::startRunner(const std::string& part, int delayMs, int maxMs) {
    m_runnerJournal = m_folder + "/runner" + std::to_string(++m_runners) + ".txt";
    m_runner = spawn(ChildProcess::toolPath("status_runner"),
                     {part, m_runnerJournal, std::to_string(delayMs), std::to_string(maxMs)}, {}, "", "", "");
    ASSERT_NE(m_runner, 0);
    ASSERT_TRUE(waitForFileLine(m_runnerJournal, "ready", 10000));
}

std::vector<std::string> E2eMachine::stopRunner() {
    if (!m_runner) return {};
    std::ofstream(m_runnerJournal + ".stop") << "";
    EXPECT_GE(waitFor(m_runner, 10000), 0) << "the runner did not end";
    m_runner = 0;
    return withoutTimes(textLines(readFile(m_runnerJournal)), true);
}

std::vector<std::pair<std::string, std::string>> E2eMachine::agentEnv(
    const std::vector<std::pair<std::string, std::string>>& more) const {
    const char* path = std::getenv("PATH");
    std::vector<std::pair<std::string, std::string>> env = {
        {"PATH", toolsBin() + ":" + (path ? path : "/usr/bin:/bin")},
        {"TALVO_FAKE_BCDEDIT_DIR", m_folder + "/bcdedit"},
    };
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

AgentSandbox::Run E2eMachine::runAgent(const std::vector<std::string>& args,
                                       const std::vector<std::pair<std::string, std::string>>& env, int deadlineMs) {
    return m_sandbox.run(args, agentEnv(env), deadlineMs);
}

pid_t E2eMachine::startAgent(const std::vector<std::string>& args, const std::string& tag,
                             const std::vector<std::pair<std::string, std::string>>& env) {
    auto all = agentEnv(env);
    all.insert(all.begin(), {{"TALVO_STANDIN_ROOT", m_sandbox.machine()}, {"TALVO_COMMON_APPDATA", "C:\\ProgramData"}});
    const pid_t pid = spawn(vantrellPath(), args, all, m_sandbox.workdir(), m_folder + "/" + tag + ".out",
                            m_folder + "/" + tag + ".err");
    if (pid) m_agents.push_back(pid);
    return pid;
}

int waitForAgent(pid_t pid, int ms) {
    const int rc = waitFor(pid, ms);
    if (rc == -2) return kNotEnded;
    if (rc == -1) return kSignalled;
    return agentExitCodeFromByte(rc);
}

bool waitForFileLine(const std::string& path, const std::string& text, int ms) {
    const auto until = steady_clock::now() + milliseconds(ms);
    for (;;) {
        if (fs::exists(path)) {
            const std::string content = readFile(path);
            if (text.empty() ? !content.empty() : content.find(text) != std::string::npos) return true;
        }
        if (steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    }
    return out;
}

bool logHas(const std::vector<LogLine>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.message.find(text) != std::string::npos) return true;
    }
    return false;
}

namespace {

// A server of a run: a program, a refusing port, or none.
struct RunServer {
    std::unique_ptr<E2eServer> program;
    std::unique_ptr<RefusingPort> refusing;
    std::string url = "0.0.0.0";
    std::string port = "0";
    RunServer(const std::string& folder, const std::vector<std::string>& args) {
        if (args == std::vector<std::string>{"none"}) return;
        url = "127.0.0.1";
        if (args == std::vector<std::string>{"refuse"}) {
            refusing = std::make_unique<RefusingPort>();
            port = std::to_string(refusing->port());
        } else {
            program = std::make_unique<E2eServer>(folder, args);
            port = std::to_string(program->port());
        }
    }
    std::vector<std::string> targets() const { return program ? program->targets() : std::vector<std::string>{}; }
};

}  // namespace

E2eRun runCheckpoint(E2eMachine& machine, const E2eRunOptions& options) {
    static int runs = 0;
    const std::string tag = std::to_string(++runs);
    E2eRun run;
    RunServer local(machine.folder() + "/local" + tag, options.local);
    RunServer peer(machine.folder() + "/peer" + tag, options.peer);
    if (!options.runner.empty()) machine.startRunner(options.runner, options.runnerDelayMs);
    std::vector<std::string> args;
    if (options.externallyInitiated) {
        args = {"-ExternallyInitiated"};
    } else {
        // A peer with the local server's address is taken for the local one: the peer is named by its host name.
        const std::string peerUrl = peer.url == "127.0.0.1" ? "localhost" : peer.url;
        args = {local.url, local.port, peerUrl, peer.port, options.name};
    }
    const auto started = steady_clock::now();
    run.agent = machine.runAgent(args, options.env, options.deadlineMs);
    run.ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
    run.runner = machine.stopRunner();
    const auto ends = linesStartingWith(run.runner, "end ");
    run.block = ends.empty() ? "" : ends.back().substr(4);
    if (local.program) local.program->stop();
    if (peer.program) peer.program->stop();
    run.local = local.targets();
    run.peer = peer.targets();
    run.provider = machine.providerJournal();
    return run;
}

std::vector<std::string> insertedNames(const std::vector<std::string>& targets) {
    std::vector<std::string> names;
    for (const auto& target : targets) {
        if (parseCheckpointRequest(target).kind == CheckpointRequest::Kind::Insert) names.push_back(insertedName(target));
    }
    return names;
}

std::string pingTarget() { return "/KestrumService/AgentServer/ping"; }

std::string insertedName(const std::string& target) {
    const CheckpointRequest request = parseCheckpointRequest(target);
    return request.kind == CheckpointRequest::Kind::Insert ? request.name : "";
}

std::string logTail(const std::vector<LogLine>& lines, size_t count) {
    std::string tail = "the run's log ends:\n";
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        tail += lines[i].time + " " + lines[i].thread + " " + lines[i].method + ": " + lines[i].message + "\n";
    }
    return tail;
}

void expectEnded(const E2eRun& run) {
    EXPECT_TRUE(run.agent.result.started);
    EXPECT_FALSE(run.agent.result.timedOut) << logTail(run.agent.perRunLog);
    EXPECT_FALSE(run.agent.result.signalled);
    EXPECT_EQ(run.agent.err.find("Sanitizer"), std::string::npos) << run.agent.err;
    EXPECT_EQ(run.agent.err.find("runtime error"), std::string::npos) << run.agent.err;
}

void expectCleanEnd(const E2eRun& run, E2eMachine& machine) {
    expectEnded(run);
    EXPECT_TRUE(machine.stampIsBack());
    EXPECT_TRUE(machine.runOnceIsGone());
}
