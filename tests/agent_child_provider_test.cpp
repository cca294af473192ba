// test-traits: agent-process machine-names machine-registry
// The Vantrell program as a real process against the provider service (the stand-in provider registered, disabled
// or missing in the machine's service manager: the stand-in's on Linux, Wine's own on Windows), with this test as
// the outside reader: the status the agent leaves in the block when the service cannot run, the runner's wake-up,
// the finish's wait for the read notification, and a started service.
#include "AgentSandbox.h"
#include "BootSettingsSupport.h"
#include "ChildProcess.h"
#include "ChildSupport.h"
#include "MachineSupport.h"
#include "TestSupport.h"

#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

const char* const kFreezeComplete = "Global\\TalvoRunnerEventFreezeComplete";
const char* const kReadNotification = "Global\\RequesterEventWaitForReadNotificationName";
constexpr int kReadWaitMs = 1500;

long long msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

class AgentChildProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static FakeBcdedit* bcdedit = new FakeBcdedit();  // the guards of a started flow never run the real one
        (void)bcdedit;
    }

    void SetUp() override {
        // This process reads and sets the objects of the agent's machine (Linux; Wine has one machine).
        setEnvironment("TALVO_STANDIN_ROOT", sandbox.machine());
        readWait(kReadWaitMs);
        m_manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_manager, nullptr);
        InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&m_descriptor, TRUE, NULL, FALSE);
        m_attributes = {sizeof(SECURITY_ATTRIBUTES), &m_descriptor, FALSE};
        // Held from before the agent starts, so no signal is lost.
        m_freezeComplete = CreateEventA(&m_attributes, FALSE, FALSE, kFreezeComplete);
        m_readNotification = CreateEventA(&m_attributes, FALSE, FALSE, kReadNotification);
        ASSERT_TRUE(m_freezeComplete && m_readNotification);
    }
    void TearDown() override {
        if (m_service) {
            SERVICE_STATUS status{};
            if (ControlService(m_service, SERVICE_CONTROL_STOP, &status)) {
                EXPECT_TRUE(waitUntil([&] { return serviceState() == SERVICE_STOPPED; }, 10000));
            }
            EXPECT_TRUE(DeleteService(m_service));
            CloseServiceHandle(m_service);
        }
        if (m_manager) CloseServiceHandle(m_manager);
        if (m_freezeComplete) CloseHandle(m_freezeComplete);
        if (m_readNotification) CloseHandle(m_readNotification);
    }

    // The finish's wait, in the last tweak file (the sandbox keeps its own there).
    void readWait(int ms) {
        std::ofstream(sandbox.workdir() + "/test_appdata/tweaks_extension_upgrade_surviving.txt",
                      std::ios::binary | std::ios::trunc)
            << "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=" << ms << "\n";
    }

    void registerProvider(const std::string& script, DWORD startType) {
        const std::string line = "\"" + ChildProcess::toolPath("stand_in_provider") + "\" " + script;
        const std::wstring wide(line.begin(), line.end());
        m_service = CreateServiceW(m_manager, L"TalvoVssProvider", L"Talvo VSS Provider", SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, wide.c_str(), NULL,
                                   NULL, NULL, NULL, NULL);
        ASSERT_NE(m_service, nullptr);
    }

    DWORD serviceState() {
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(m_service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s,
                                  &needed)) {
            return 0;
        }
        return s.dwCurrentState;
    }

    // The status block's value, read the way an outside reader does; `found` false when there is no block.
    static i32 readBlock(bool* found) {
        HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"Global\\ProcessSharedMemory");
        *found = mapping != nullptr;
        if (!mapping) return 0;
        i32 value = 0;
        if (void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 200)) {
            value = *static_cast<volatile i32*>(view);
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
        return value;
    }

    AgentSandbox sandbox;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    SECURITY_DESCRIPTOR m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
    HANDLE m_freezeComplete = nullptr;
    HANDLE m_readNotification = nullptr;
};

}  // namespace

// A provider service that cannot run: the agent writes its code to the block, wakes the runner, and waits for the
// reader's notification (or its time-out) before it ends with that code.
TEST_F(AgentChildProviderTest, ServiceThatCannotRunIsReportedToTheRunner) {
    struct Case {
        const char* name;
        bool registered;
        bool notify;  // this reader sets the read notification once it has read the block
        i32 status;
        std::vector<std::string> serviceLines;
    };
    const Case cases[] = {
        {"not registered, reader notifies", false, true, -1006, {"OpenService failed with error code 1060"}},
        {"not registered, nobody notifies", false, false, -1006, {"OpenService failed with error code 1060"}},
        {"disabled, reader notifies", true, true, -1007, {"StartService failed with error code 1058"}},
        {"disabled, nobody notifies", true, false, -1007, {"StartService failed with error code 1058"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.registered && !m_service) registerProvider("", SERVICE_DISABLED);
        std::atomic<bool> ended{false};
        AgentSandbox::Run run;
        Clock::time_point endedAt;
        std::thread agent([&] {
            run = sandbox.run({"-ExternallyInitiated"}, {}, 30000);
            endedAt = Clock::now();
            ended = true;
        });
        const DWORD woken = WaitForSingleObject(m_freezeComplete, 20000);
        const auto wokenAt = Clock::now();
        bool found = false;
        const i32 value = woken == WAIT_OBJECT_0 ? readBlock(&found) : 0;
        if (c.notify) {
            // The agent discards a notification set before its wait begins: set it until the agent has ended.
            while (!ended && Clock::now() < wokenAt + std::chrono::seconds(20)) {
                SetEvent(m_readNotification);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        agent.join();
        ASSERT_EQ(woken, static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(found);
        EXPECT_EQ(value, c.status);
        EXPECT_FALSE(run.result.timedOut);
        EXPECT_EQ(run.result.exitCode, c.status);
        for (const auto& line : c.serviceLines) {
            EXPECT_EQ(messagesOf(run.perRunLog, "startService"), std::vector<std::string>{line});
        }
        const std::string done = "Vantrell.exe done. ret=" + std::to_string(c.status) + " ";
        const auto main = messagesOf(run.perRunLog, "wmain");
        ASSERT_GE(main.size(), 2u);
        EXPECT_EQ(main[main.size() - 2],
                  "failed to start vss provider service due to :" + std::string(c.registered ? "1058" : "1060"));
        EXPECT_EQ(main.back(), done);
        const auto waitLines = messagesOf(run.perRunLog, "waitForSignal");
        const bool timedOut = std::any_of(waitLines.begin(), waitLines.end(), [](const std::string& m) {
            return m.find("was timed out.") != std::string::npos;
        });
        EXPECT_EQ(timedOut, !c.notify);
        if (c.notify) {
            EXPECT_LT(msBetween(wokenAt, endedAt), kReadWaitMs) << "the notification ended the finish";
        } else {
            EXPECT_GE(msBetween(wokenAt, endedAt), kReadWaitMs - 20) << "the finish waited its time";
        }
        EXPECT_FALSE(hasMessage(run.perRunLog, "Talvo VSS Provider service is started."));
        EXPECT_FALSE(hasMessage(run.perRunLog, "Creating mutex"));
    }
}

// A stopped provider is started as its own process and left running; the requester follows the tweak.
TEST_F(AgentChildProviderTest, StoppedServiceIsStartedAndTheRequesterChosen) {
    registerProvider("--pending 2 --step-ms 50 --hint 3000", SERVICE_DEMAND_START);
    readWait(200);
    struct Case {
        const char* name;
        const char* simulative;
        const char* choice;
    };
    const Case cases[] = {
        {"simulator", "1", "VssRequesterSimulator requester"},
        {"VSS requester", "0", "VssRequester requester"},
    };
    bool first = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox.writeTweaks(std::string("t_requesterSimulativeVss=") + c.simulative +
                            "\nt_requesterEventWaitForThawStartTimeoutMsec=200\n"
                            "t_requesterQuiescedEventWaitTimeoutMsec=5000\n");
        const auto run = sandbox.run({"-ExternallyInitiated"}, {}, 30000);
        EXPECT_FALSE(run.result.timedOut);
        EXPECT_EQ(run.result.exitCode, 0);
        const auto service = messagesOf(run.perRunLog, "startService");
        if (first) {
            EXPECT_EQ(service, (std::vector<std::string>{"Service start pending...", "Service started successfully."}));
        } else {
            EXPECT_EQ(service, std::vector<std::string>{"Cannot start the service because it is already running"});
        }
        first = false;
        const auto main = messagesOf(run.perRunLog, "wmain");
        const auto started = std::find(main.begin(), main.end(), "Talvo VSS Provider service is started.");
        ASSERT_NE(started, main.end());
        ASSERT_NE(started + 1, main.end());
        EXPECT_EQ(*(started + 1), c.choice);
        EXPECT_TRUE(hasMessage(run.perRunLog, "Creating mutex"));
        EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_RUNNING));
        // The frozen moment went to the runner (this test, which never answers).
        EXPECT_EQ(WaitForSingleObject(m_freezeComplete, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    }
}

// A malformed thaw-start time-out ends the agent in the listener's preparation: nothing frozen, nothing guarded,
// the reliability stamp where it was.
TEST_F(AgentChildProviderTest, MalformedThawStartTimeoutEndsTheRunBeforeAnyFreeze) {
    registerProvider("--pending 1 --step-ms 10", SERVICE_DEMAND_START);
    resetBootSettings();
    const StoredValue stamp{REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}};
    setStamp(stamp);
    sandbox.writeTweaks("t_requesterSimulativeVss=1\nt_requesterEventWaitForThawStartTimeoutMsec=\"soon\"\n");
    const auto run = sandbox.run({"-ExternallyInitiated"}, {}, 30000);
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitCode, 3) << "the fatal stop's code";
    EXPECT_TRUE(hasMessage(run.perRunLog, "Talvo VSS Provider service is started."));
    EXPECT_FALSE(hasMessage(run.perRunLog, "Invoking requester"));
    EXPECT_FALSE(hasMessage(run.perRunLog, "Now quiesced"));
    EXPECT_EQ(WaitForSingleObject(m_freezeComplete, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(storedStamp(), stamp);
    EXPECT_FALSE(storedRunOnce().has_value());
}
