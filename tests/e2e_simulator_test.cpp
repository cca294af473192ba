// test-traits: agent-process machine-names machine-registry
// The whole agent as a real process with the requester simulator, on Linux and under Wine alike: the provider
// service registered stopped in the machine's service manager, the local and peer servers and the outside reader
// or runner as processes of their own. After every run: the guards' registry values, the status block as the
// outside party read it, the requests the servers received, the exit code and the log line of the cause.
#include "AgentSandbox.h"
#include "BootSettingsSupport.h"
#include "CheckpointRequest.h"
#include "ChildProcess.h"
#include "HttpTestServer.h"
#include "MachineSupport.h"
#include "TestSupport.h"

#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;
const std::vector<BYTE> kStamp = {0x00, 0xe1, 0xf5, 0x05, 0xa1, 0xb2, 0xc3, 0xd4};

bool waitForText(const std::string& path, const std::string& text, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (fs::exists(path) && readFile(path).find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Lines without their leading time ("<ms> <what>").
Strings withoutTimes(const std::string& text) {
    Strings lines;
    for (const auto& line : textLines(text)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) lines.push_back(line.substr(space + 1));
    }
    return lines;
}

// A http_test_server process, a port that refuses connections, or no server at all ("0.0.0.0").
class Server {
public:
    Server(const std::string& folder, const Strings& args) : m_folder(folder) {
        if (args == Strings{"none"}) return;
        m_url = "127.0.0.1";
        if (args == Strings{"refuse"}) {
            m_refusing = std::make_unique<RefusingPort>();
            m_port = std::to_string(m_refusing->port());
            return;
        }
        fs::create_directories(folder);
        Strings words{folder};
        words.insert(words.end(), args.begin(), args.end());
        EXPECT_TRUE(m_process.start(ChildProcess::toolPath("../http_test_server"), words));
        EXPECT_TRUE(waitForText(folder + "/port", "", 10000));
        m_port = readFile(folder + "/port");
    }
    ~Server() { stop(); }
    void stop() {
        if (!m_process.running()) return;
        std::ofstream(m_folder + "/stop") << "";
        m_process.wait(10000);
    }
    // The decoded names of the inserts received.
    Strings inserts() const {
        Strings names;
        for (int n = 1; fs::exists(m_folder + "/request-" + std::to_string(n) + ".http"); ++n) {
            const auto request =
                parseCheckpointRequest(requestTarget(readFile(m_folder + "/request-" + std::to_string(n) + ".http")));
            if (request.kind == CheckpointRequest::Kind::Insert) names.push_back(request.name);
        }
        return names;
    }
    const std::string& url() const { return m_url; }
    const std::string& port() const { return m_port; }

private:
    std::string m_folder;
    std::string m_url = "0.0.0.0";
    std::string m_port = "0";
    ChildProcess m_process;
    std::unique_ptr<RefusingPort> m_refusing;
};

class E2eSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnMachineState("e2e_machine");
        sandbox.useMachine(environment("TALVO_STANDIN_ROOT"));
        sandbox.writeTweaks(
            "t_requesterSimulativeVss=1\n"
            "t_requesterQuiescedEventWaitTimeoutMsec=8000\n"
            "t_requesterEventWaitForThawStartTimeoutMsec=1000\n"
            "t_httpClientTimeoutMsec=3000\n");
        m_manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_manager, nullptr);
        removeProvider();
    }
    void TearDown() override {
        removeProvider();
        CloseServiceHandle(m_manager);
    }

    void registerProvider() {
        const std::string line = "\"" + ChildProcess::toolPath("stand_in_provider") + "\" --pending 2 --step-ms 50";
        const std::wstring wide(line.begin(), line.end());
        SC_HANDLE service = CreateServiceW(m_manager, L"TalvoVssProvider", L"Talvo VSS Provider", SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           wide.c_str(), NULL, NULL, NULL, NULL, NULL);
        ASSERT_NE(service, nullptr) << GetLastError();
        CloseServiceHandle(service);
    }
    // Stops the provider when it runs and removes its registration.
    void removeProvider() {
        SC_HANDLE service = OpenServiceW(m_manager, L"TalvoVssProvider", SERVICE_ALL_ACCESS);
        if (!service) return;
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int waited = 0; waited < 10000; waited += 20) {
            SERVICE_STATUS_PROCESS s{};
            DWORD needed = 0;
            if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s,
                                      &needed) ||
                s.dwCurrentState == SERVICE_STOPPED) {
                break;
            }
            Sleep(20);
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }

    struct Run {
        AgentSandbox::Run agent;
        Strings runner;
        std::string block;
        Strings local, peer;
        long long ms = 0;  // the agent's run
    };
    // One checkpoint with the outside party `part` ("" for none) and the two servers.
    Run run(bool externally, const std::string& part, int delayMs, const Strings& local, const Strings& peer,
            const std::string& name) {
        const std::string tag = uniqueName("run");
        Run result;
        Server localServer(tag + "_local", local);
        Server peerServer(tag + "_peer", peer);
        const std::string journal = tag + "_runner.txt";
        ChildProcess runner;
        if (!part.empty()) {
            EXPECT_TRUE(runner.start(ChildProcess::toolPath("status_runner"),
                                     {part, journal, std::to_string(delayMs), "30000"}));
            EXPECT_TRUE(waitForText(journal, "ready", 10000));
        }
        // A peer with the local server's address would be taken for the local one: it is named by its host name.
        const std::string peerUrl = peerServer.url() == "127.0.0.1" ? "localhost" : peerServer.url();
        const Strings args = externally ? Strings{"-ExternallyInitiated"}
                                        : Strings{localServer.url(), localServer.port(), peerUrl, peerServer.port(), name};
        const auto started = std::chrono::steady_clock::now();
        result.agent = sandbox.run(args);
        result.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                        .count();
        if (!part.empty()) {
            std::ofstream(journal + ".stop") << "";
            EXPECT_GE(runner.wait(10000), 0) << "the runner did not end";
            result.runner = withoutTimes(readFile(journal));
            for (const auto& line : result.runner) {
                if (line.compare(0, 4, "end ") == 0) result.block = line.substr(4);
            }
        }
        localServer.stop();
        peerServer.stop();
        result.local = localServer.inserts();
        result.peer = peerServer.inserts();
        return result;
    }

    static bool logHas(const std::vector<LogLine>& lines, const std::string& text) {
        for (const auto& line : lines) {
            if (line.message.find(text) != std::string::npos) return true;
        }
        return false;
    }

    AgentSandbox sandbox;
    SC_HANDLE m_manager = nullptr;
};

}  // namespace

// The provider service missing: the runner is woken at once and reads the start-up's failure.
TEST_F(E2eSimulatorTest, ProviderNotRegistered) {
    const Run r = run(true, "never", 0, {"none"}, {"none"}, "");
    EXPECT_FALSE(r.agent.result.timedOut);
    EXPECT_EQ(r.agent.result.exitCode, -1006);
    EXPECT_EQ(r.runner.size() > 1 ? r.runner[1] : "", "freeze-complete -1006");
    EXPECT_EQ(r.block, "-1006");
    EXPECT_TRUE(logHas(r.agent.perRunLog, "failed to start vss provider service due to :1060"));
}

TEST_F(E2eSimulatorTest, ServersRunnersAndBootPolicy) {
    std::string long10k;
    while (long10k.size() < 10240) long10k += "Name \xf0\x9f\x98\x80 \"q\" \\b ";
    const std::string forging = "cp\r\n2026-01-01 00:00:00.000,Info,1,NON,,wmain,Vantrell.exe done. ret=0 ";
    const std::string odd = "say \"hi\" C:\\x\\ \\\" \xf0\x9f\x98\x80 \xf0\x9d\x84\x9e \xe6\x97\xa5";
    struct Row {
        const char* name;
        bool externally;
        std::string part;  // the outside party
        int delayMs;
        Strings local, peer;
        std::string tag;
        std::string bcdeditFailsOn;  // "" never
        int exitCode;
        std::string block;     // as the party read it at its end; "none": no block was written
        Strings seen;          // the runner's freeze-complete and thaw-complete lines
        Strings localInserts, peerInserts;
        bool runOnceGone;
        std::string cause;
    };
    const Strings none = {"none"};
    const Row rows[] = {
        {"local answers", false, "read", 0, {}, none, "checkpoint", "", 0, "0", {}, {"checkpoint"}, {}, true,
         "Done taking CP."},
        {"local refuses", false, "read", 0, {"refuse"}, none, "checkpoint", "", -1002, "none", {}, {}, {}, true,
         "No connection either to local or peer"},
        // Accepts the ping and never answers: the client's limit (3 s here) ends the wait, also under Wine.
        {"local silent", false, "read", 0, {"--mode", "silent"}, none, "checkpoint", "", -1002, "none", {}, {}, {},
         true, "in WinHttpReceiveResponse."},
        {"local answers 500", false, "read", 0, {"--status", "500"}, none, "checkpoint", "", 0, "0", {},
         {"checkpoint"}, {}, true, "Done taking CP."},
        {"peer down, local answers", false, "read", 0, {}, {"refuse"}, "checkpoint", "", 0, "0", {}, {"checkpoint"},
         {}, true, "m_peerClientConnected = 0"},
        {"a name with quotes, backslashes and characters beyond the BMP", false, "read", 0, {}, {}, odd, "", 0, "0",
         {}, {odd}, {odd}, true, "Done taking CP on peer KESTRUM."},
        // Logged with its line ends shown, so the rest cannot pass for a log record; the server gets it unchanged.
        {"a name with line ends", false, "read", 0, {}, none, forging, "", 0, "0", {}, {forging}, {}, true,
         "Tag: cp\\r\\n2026-01-01 00:00:00.000,Info,1,NON,,wmain,Vantrell.exe done. ret=0 "},
        {"a name of 10 kB", false, "read", 0, {}, none, long10k, "", 0, "0", {}, {long10k}, {}, true,
         "Done taking CP."},
        {"runner answers", true, "answer", 0, none, none, "", "", 0, "0", {"freeze-complete 0", "thaw-complete 0"},
         {}, {}, true, "received event from runner to continue to thaw logic"},
        {"runner absent", true, "", 0, none, none, "", "", 0, "", {}, {}, {}, true, "returned WAIT_TIMEOUT"},
        {"runner late", true, "answer", 2000, none, none, "", "", 0, "0", {"freeze-complete 0", "thaw-complete 0"},
         {}, {}, true, "returned WAIT_TIMEOUT"},
        {"runner early", true, "early", 0, none, none, "", "", 0, "0", {"freeze-complete 0", "thaw-complete 0"}, {},
         {}, true, "returned WAIT_TIMEOUT"},
        {"runner never reads the status", true, "answer-only", 0, none, none, "", "", 0, "",
         {"freeze-complete 0", "thaw-complete 0"}, {}, {}, true, "was timed out."},
        {"boot policy cannot be set", false, "read", 0, {}, none, "checkpoint", "ignoreallfailures", 0, "0", {},
         {"checkpoint"}, {}, true, "system returned 1"},
        // The policy stays as the frozen period left it: the RunOnce entry puts it back at the next start.
        {"boot policy cannot be restored", false, "read", 0, {}, none, "checkpoint", "displayallfailures", 0, "0", {},
         {"checkpoint"}, {}, false, "system returned 1"},
    };
    registerProvider();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        resetBootSettings();
        setStamp(StoredValue{REG_BINARY, kStamp});
        FakeBcdedit bcdedit;
        if (!row.bcdeditFailsOn.empty()) bcdedit.exitWith(1, row.bcdeditFailsOn);
        const Run r = run(row.externally, row.part, row.delayMs, row.local, row.peer, row.tag);
        EXPECT_TRUE(r.agent.result.started);
        EXPECT_FALSE(r.agent.result.timedOut);
        // No wait of a run here is longer than 8 s: a server that never answers is left at the client's limit.
        EXPECT_LT(r.ms, 20000);
        EXPECT_EQ(r.agent.err.find("Sanitizer"), std::string::npos) << r.agent.err;
        EXPECT_EQ(r.agent.result.exitCode, row.exitCode);
        if (!row.block.empty()) {
            EXPECT_EQ(r.block, row.block);
        }
        Strings seen;
        for (const auto& line : r.runner) {
            if (line.find("freeze-complete") != std::string::npos || line.find("thaw-complete") != std::string::npos) {
                seen.push_back(line);
            }
        }
        EXPECT_EQ(seen, row.seen);
        EXPECT_EQ(r.local, row.localInserts);
        EXPECT_EQ(r.peer, row.peerInserts);
        EXPECT_EQ(storedStamp(), (std::optional<StoredValue>{StoredValue{REG_BINARY, kStamp}}));
        EXPECT_EQ(!storedRunOnce().has_value(), row.runOnceGone);
        EXPECT_TRUE(logHas(r.agent.perRunLog, row.cause)) << row.cause;
        for (const auto& line : r.agent.perRunLog) {
            EXPECT_NE(line.time, "2026-01-01 00:00:00.000") << "a forged record: " << line.message;
        }
    }
}
