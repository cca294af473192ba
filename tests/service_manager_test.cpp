// test-traits: linux-only
// Linux-only: the stand-in's file-backed service control manager with the stand-in provider as a real process,
// registered, started, failed or left missing by the tests; startService is driven against it on the real clock.
#include "ChildProcess.h"
#include "ServiceUtils.h"
#include "TestSupport.h"

#include <platform/testing.h>
#include <windows.h>
#include <winsvc.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

const char* const kService = "TalvoVssProvider";

class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
        platform_test::clearServiceScripts();
        m_manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_manager, nullptr);
    }
    void TearDown() override {
        if (m_service) {
            SERVICE_STATUS_PROCESS s{};
            if (query(&s) && s.dwProcessId) {
                kill(static_cast<pid_t>(s.dwProcessId), SIGKILL);
                waitForState(SERVICE_STOPPED);
            }
            DeleteService(m_service);
            CloseServiceHandle(m_service);
        }
        CloseServiceHandle(m_manager);
    }

    void registerProvider(const std::string& script, DWORD startType = SERVICE_DEMAND_START) {
        const std::string line = "\"" + ChildProcess::toolPath("stand_in_provider") + "\" " + script;
        const std::wstring wide(line.begin(), line.end());
        m_service = CreateServiceW(m_manager, L"TalvoVssProvider", L"Talvo VSS Provider", SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, wide.c_str(), NULL,
                                   NULL, NULL, NULL, NULL);
        ASSERT_NE(m_service, nullptr);
    }
    bool query(SERVICE_STATUS_PROCESS* s) {
        DWORD needed = 0;
        return QueryServiceStatusEx(m_service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(s), sizeof *s,
                                    &needed) != FALSE;
    }
    // Polls until the service reports `state`, up to `ms`.
    bool waitForState(DWORD state, int ms = 10000) {
        const auto until = steady_clock::now() + milliseconds(ms);
        SERVICE_STATUS_PROCESS s{};
        while (steady_clock::now() < until) {
            if (query(&s) && s.dwCurrentState == state) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }
    static std::vector<std::string> messages(const char* text) { return sharedClient().linesWith(text); }

    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

}  // namespace

TEST_F(ServiceManagerTest, MissingProviderIsNotInstalled) {
    SetLastError(0);
    EXPECT_EQ(OpenServiceA(m_manager, kService, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(ServiceUtils::startService(kService), 1060);
    EXPECT_EQ(messages("OpenService failed with error code 1060").size(), 1u);
}

TEST_F(ServiceManagerTest, StoppedProviderIsStartedAsItsOwnProcessAndStopsOnRequest) {
    registerProvider("--pending 3 --step-ms 100 --hint 3000");
    SERVICE_STATUS_PROCESS s{};
    ASSERT_TRUE(query(&s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);

    EXPECT_EQ(ServiceUtils::startService(kService), 0);
    EXPECT_EQ(messages("Service start pending...").size(), 1u);
    EXPECT_EQ(messages("Service started successfully.").size(), 1u);
    ASSERT_TRUE(query(&s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(s.dwProcessId, 0u);
    EXPECT_NE(s.dwProcessId, GetCurrentProcessId());

    // Running: a second start is refused, and the agent goes on.
    SetLastError(0);
    EXPECT_FALSE(StartServiceW(m_service, 0, NULL));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(ServiceUtils::startService(kService), 0);
    EXPECT_EQ(messages("Cannot start the service because it is already running").size(), 1u);

    SERVICE_STATUS plain{};
    ASSERT_TRUE(ControlService(m_service, SERVICE_CONTROL_STOP, &plain));
    EXPECT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(query(&s));
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwProcessId, 0u);
}

TEST_F(ServiceManagerTest, DisabledProviderFailsToStart) {
    registerProvider("", SERVICE_DISABLED);
    EXPECT_EQ(ServiceUtils::startService(kService), 1058);
    EXPECT_EQ(messages("StartService failed with error code 1058").size(), 1u);
}

TEST_F(ServiceManagerTest, ProviderThatEndsDuringItsStartIsReportedNotStarted) {
    struct Row {
        const char* script;
        const char* exitCode;
    };
    for (const Row& row : {Row{"--pending 1 --step-ms 10 --stop-while-pending", "Exit Code: 1066"},
                           Row{"--pending 1 --step-ms 10 --crash-while-pending", "Exit Code: 1067"}}) {
        SCOPED_TRACE(row.script);
        sharedClient().clear();
        registerProvider(row.script);
        EXPECT_EQ(ServiceUtils::startService(kService), 0);
        EXPECT_EQ(messages("Service not started.").size(), 1u);
        EXPECT_EQ(messages("Current State: 1").size(), 1u);
        EXPECT_EQ(messages(row.exitCode).size(), 1u);
        ASSERT_TRUE(DeleteService(m_service));
        CloseServiceHandle(m_service);
        m_service = nullptr;
    }
}

TEST_F(ServiceManagerTest, KilledProviderReadsAsStoppedAndCanBeStartedAgain) {
    registerProvider("--pending 1 --step-ms 10");
    ASSERT_TRUE(StartServiceW(m_service, 0, NULL));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS s{};
    ASSERT_TRUE(query(&s));
    ASSERT_NE(s.dwProcessId, 0u);
    kill(static_cast<pid_t>(s.dwProcessId), SIGKILL);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(query(&s));
    EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(ServiceUtils::startService(kService), 0);
    EXPECT_EQ(messages("Service started successfully.").size(), 1u);
}

TEST_F(ServiceManagerTest, PausedProviderIsLeftPaused) {
    registerProvider("--pending 1 --step-ms 10 --pause");
    ASSERT_TRUE(StartServiceW(m_service, 0, NULL));
    ASSERT_TRUE(waitForState(SERVICE_PAUSED));
    EXPECT_EQ(ServiceUtils::startService(kService), 0);
    EXPECT_EQ(messages("Cannot start the service because it is already running").size(), 1u);
    SERVICE_STATUS_PROCESS s{};
    ASSERT_TRUE(query(&s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_PAUSED);
}

TEST_F(ServiceManagerTest, ServiceProgramRunOutsideTheManagerCannotConnect) {
    ChildProcess direct;
    ASSERT_TRUE(direct.start(ChildProcess::toolPath("stand_in_provider"), {}));
    EXPECT_EQ(direct.wait(10000), 1);
}
