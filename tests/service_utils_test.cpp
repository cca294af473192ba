// test-traits: linux-only
// Linux-only: the service control manager's answers are scripted and its calls made to fail, and the clock is the
// stand-in's fake tick count, so that waits of minutes take no time.
#include "ServiceUtils.h"
#include "TestSupport.h"

#include <platform/testing.h>
#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

using platform_test::ServiceCall;

namespace {

const char* const kService = "TalvoVssProvider";
const DWORD kQueryGuardError = 1460;  // ERROR_TIMEOUT: a wait that never ends fails the test instead of hanging it

SERVICE_STATUS_PROCESS st(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = 0) {
    SERVICE_STATUS_PROCESS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwWin32ExitCode = exitCode;
    s.dwCheckPoint = checkPoint;
    s.dwWaitHint = waitHint;
    return s;
}

std::vector<SERVICE_STATUS_PROCESS> repeat(std::vector<SERVICE_STATUS_PROCESS> head, SERVICE_STATUS_PROCESS s,
                                           int times) {
    for (int i = 0; i < times; ++i) head.push_back(s);
    return head;
}

struct Injection {
    ServiceCall call;
    unsigned nth;
    DWORD error;
};

struct Case {
    const char* what;
    bool registered;
    std::vector<SERVICE_STATUS_PROCESS> statuses;
    DWORD startError;
    std::vector<Injection> injections;
    int result;
    // "<level> <message>" of every line of startService, in order.
    std::vector<std::string> lines;
    bool started;  // StartServiceW was called
    std::vector<DWORD> sleeps;  // empty: not checked
    size_t sleepCount = 0;      // checked when sleeps is empty and this is not 0
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

class ServiceUtilsTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        sharedClient().clear();
        platform_test::clearServiceScripts();
        platform_test::clearServiceCalls();
        platform_test::useFakeTickClock(5000);
    }
    void TearDown() override {
        platform_test::useRealTickClock();
        platform_test::clearServiceScripts();
    }

    // "<level> <message>" of the lines logged by startService.
    static std::vector<std::string> serviceLines() {
        std::vector<std::string> out;
        for (const auto& line : sharedClient().linesWith(",NON,ServiceUtils,startService,")) {
            size_t pos = 0;
            std::vector<size_t> commas;
            while (commas.size() < 6 && (pos = line.find(',', pos)) != std::string::npos) commas.push_back(pos++);
            const std::string level = line.substr(commas[0] + 1, commas[1] - commas[0] - 1);
            std::string message = line.substr(commas[5] + 1);
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
            out.push_back(level + " " + message);
        }
        return out;
    }
};

std::vector<Case> cases() {
    const auto pending3 = [](DWORD cp) { return st(SERVICE_START_PENDING, cp, 3000); };
    return {
        {"no access to the manager", false, {}, 0, {{ServiceCall::OpenSCManager, 1, 5}}, 5,
         {"Error OpenSCManager failed with error code 5"}, false, {}},
        {"service not installed", false, {}, 0, {}, 1060, {"Error OpenService failed with error code 1060"}, false, {}},
        {"first query fails", true, {st(SERVICE_STOPPED)}, 0, {{ServiceCall::QueryStatus, 1, 5}}, 5,
         {"Error QueryServiceStatusEx failed with error code 5"}, false, {}},
        {"running", true, {st(SERVICE_RUNNING)}, 0, {}, 0,
         {"Info Cannot start the service because it is already running"}, false, {}},
        {"start pending", true, {st(SERVICE_START_PENDING, 1, 3000)}, 0, {}, 0,
         {"Info Cannot start the service because it is already running"}, false, {}},
        {"paused", true, {st(SERVICE_PAUSED)}, 0, {}, 0,
         {"Info Cannot start the service because it is already running"}, false, {}},
        {"pause pending", true, {st(SERVICE_PAUSE_PENDING)}, 0, {}, 0,
         {"Info Cannot start the service because it is already running"}, false, {}},
        {"continue pending", true, {st(SERVICE_CONTINUE_PENDING)}, 0, {}, 0,
         {"Info Cannot start the service because it is already running"}, false, {}},
        {"stopped, started", true,
         {st(SERVICE_STOPPED), pending3(1), pending3(2), pending3(3), st(SERVICE_RUNNING)}, 0, {}, 0,
         {"Info Service start pending...", "Info Service started successfully."}, true, {1000, 1000, 1000}},
        {"start refused: disabled", true, {st(SERVICE_STOPPED)}, ERROR_SERVICE_DISABLED, {}, 1058,
         {"Error StartService failed with error code 1058"}, true, {}},
        {"started by someone else after the query", true, {st(SERVICE_STOPPED)}, ERROR_SERVICE_ALREADY_RUNNING, {},
         0, {"Info Cannot start the service because it is already running"}, true, {}},
        {"query fails right after the start", true, {st(SERVICE_STOPPED)}, 0, {{ServiceCall::QueryStatus, 2, 6}}, 6,
         {"Info Service start pending...", "Error QueryServiceStatusEx failed with error code 6"}, true, {}},
        {"query fails during the start wait", true, {st(SERVICE_STOPPED), st(SERVICE_START_PENDING, 1, 2000, 0)}, 0,
         {{ServiceCall::QueryStatus, 3, 6}}, 6,
         {"Info Service start pending...", "Error QueryServiceStatusEx failed with error code 6",
          "Error Service not started.", "Error Current State: 2", "Error Exit Code: 0", "Error Check Point: 1",
          "Error Wait Hint: 2000"},
         true, {1000}},
        {"start does not reach running: hint 0", true, {st(SERVICE_STOPPED), st(SERVICE_START_PENDING, 4, 0)}, 0, {},
         0,
         {"Info Service start pending...", "Error Service not started.", "Error Current State: 2",
          "Error Exit Code: 0", "Error Check Point: 4", "Error Wait Hint: 0"},
         true, {1000}},
        {"stops itself while start pending", true,
         {st(SERVICE_STOPPED), pending3(1), st(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR)}, 0, {}, 0,
         {"Info Service start pending...", "Error Service not started.", "Error Current State: 1",
          "Error Exit Code: 1066", "Error Check Point: 0", "Error Wait Hint: 0"},
         true, {1000}},
        {"stop never ends", true, {st(SERVICE_STOP_PENDING, 1, 3000)}, 0, {}, 0,
         {"Error Timeout waiting for service to stop"}, false, {1000, 1000, 1000, 1000}},
        {"stop ends, then the start", true,
         {st(SERVICE_STOP_PENDING, 1, 15000), st(SERVICE_STOP_PENDING, 2, 15000), st(SERVICE_STOPPED),
          st(SERVICE_START_PENDING, 1, 200000), st(SERVICE_RUNNING)},
         0, {}, 0, {"Info Service start pending...", "Info Service started successfully."}, true,
         {1500, 1500, 10000}},
        {"query fails during the stop wait", true, {st(SERVICE_STOP_PENDING, 1, 3000)}, 0,
         {{ServiceCall::QueryStatus, 2, 6}}, 6, {"Error QueryServiceStatusEx failed with error code 6"}, false,
         {1000}},
        // 300000 ms hint: 10 s polls; checkpoint 2 at the 20th poll restarts the clock, then 31 polls pass
        // 300000 ms (30 polls reach it without passing it).
        {"hint 300000 with a checkpoint rise", true,
         repeat(repeat({st(SERVICE_STOPPED), st(SERVICE_START_PENDING, 1, 300000)},
                       st(SERVICE_START_PENDING, 1, 300000), 19),
                st(SERVICE_START_PENDING, 2, 300000), 1),
         0, {}, 0,
         {"Info Service start pending...", "Error Service not started.", "Error Current State: 2",
          "Error Exit Code: 0", "Error Check Point: 2", "Error Wait Hint: 300000"},
         true, {}, 51},
    };
}

}  // namespace

TEST_P(ServiceUtilsTest, FollowsTheServiceToItsResult) {
    const Case& c = GetParam();
    if (c.registered) platform_test::scriptService(kService, c.statuses, c.startError);
    bool guardQueries = true;
    for (const auto& i : c.injections) {
        platform_test::failServiceCall(i.call, i.nth, i.error);
        if (i.call == ServiceCall::QueryStatus) guardQueries = false;
    }
    if (guardQueries) platform_test::failServiceCall(ServiceCall::QueryStatus, 200, kQueryGuardError);

    EXPECT_EQ(ServiceUtils::startService(kService), c.result);
    EXPECT_EQ(serviceLines(), c.lines);

    const std::vector<std::string> calls = platform_test::serviceCalls();
    bool started = false;
    for (const auto& call : calls) started = started || call == "StartServiceW";
    EXPECT_EQ(started, c.started);
    // Every handle opened is closed, the service's before the manager's.
    std::vector<std::string> closes;
    for (const auto& call : calls) {
        if (call.rfind("CloseServiceHandle", 0) == 0) closes.push_back(call);
    }
    const bool managerOpened = !(c.injections.size() == 1 && c.injections[0].call == ServiceCall::OpenSCManager);
    std::vector<std::string> expectedCloses;
    if (c.registered) expectedCloses.push_back("CloseServiceHandle(service)");
    if (managerOpened) expectedCloses.push_back("CloseServiceHandle(manager)");
    EXPECT_EQ(closes, expectedCloses);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), expectedCloses.empty() ? std::string("OpenSCManagerW") : expectedCloses.back());

    const std::vector<DWORD> sleeps = platform_test::recordedSleeps();
    if (!c.sleeps.empty()) {
        EXPECT_EQ(sleeps, c.sleeps);
    } else if (c.sleepCount) {
        EXPECT_EQ(sleeps.size(), c.sleepCount);
        for (DWORD s : sleeps) EXPECT_EQ(s, 10000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, ServiceUtilsTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string n;
                             for (char ch : std::string(info.param.what)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return n;
                         });

// The elapsed time is an unsigned 32-bit difference: a tick count that wraps during the wait ends it on time.
TEST(ServiceUtilsClockTest, TickCountWrappingDuringTheWait) {
    sharedClient().clear();
    platform_test::clearServiceScripts();
    platform_test::scriptService(kService, {st(SERVICE_STOPPED), st(SERVICE_START_PENDING, 1, 3000)});
    platform_test::failServiceCall(ServiceCall::QueryStatus, 200, kQueryGuardError);
    platform_test::useFakeTickClock(0xFFFFFFFFu - 1500);
    EXPECT_EQ(ServiceUtils::startService(kService), 0);
    EXPECT_EQ(platform_test::recordedSleeps(), (std::vector<DWORD>{1000, 1000, 1000, 1000}));
    EXPECT_EQ(sharedClient().linesWith("Current State: 2").size(), 1u);
    platform_test::useRealTickClock();
    platform_test::clearServiceScripts();
}
