// test-traits: linux-only threaded
// Linux-only: the stand-in VSS (platform/testing_vss.h) runs the provider's commit as its own process for each
// snapshot set, while this test plays the flow: it holds the flow's mutex and events and allows the thaw.
#include "ChildProcess.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequester.h"

#include <platform/paths.h>
#include <platform/testing.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using platform_test::VssScenario;

namespace {

const wchar_t* const kVolume = L"\\\\?\\Volume{1A2B3C4D-0000-4000-8000-00000000000A}\\";
const HRESULT kVeto = static_cast<HRESULT>(0x80042306u);
const HRESULT kProviderError = static_cast<HRESULT>(0x8004230fu);  // VSS_E_UNEXPECTED_PROVIDER_ERROR

struct ProviderEvent {
    std::string what;  // "freeze", "thaw 0", "commit", ...
    long long ns;
};

std::vector<ProviderEvent> readJournal(const std::string& path) {
    std::vector<ProviderEvent> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto at = line.rfind(' ');
        events.push_back({line.substr(0, at), std::stoll(line.substr(at + 1))});
    }
    return events;
}

struct Case {
    const char* name;
    std::vector<std::string> options;
    bool flowRunning;   // the flow's mutex exists
    bool allowThaw;     // the flow sets the thaw event once the volumes are frozen
    bool freezes;       // the provider sets the quiesced event
    int result;
    std::vector<std::string> provider;  // the provider's journal, without times
    std::string error;                  // an Error line expected, or ""
    bool programMissing = false;
    bool thawEarly = false;  // the flow set the thaw event before the provider froze (its time-out path)
};

TEST(VssRequesterProviderTest, DoSnapshotAgainstTheProviderProcess) {
    useOwnStandinRoot();
    sharedClient();
    Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "15000");
    // The snapshot set's Wait returns the failure, which the requester returns in turn.
    const std::string unexpected = "pAsync->Wait() failed with error code 8004230f (VSS_E_UNEXPECTED_PROVIDER_ERROR) ";
    const std::vector<Case> cases = {
        {"thaw after the freeze", {}, true, true, true, 0, {"freeze", "thaw 0"}, ""},
        {"late freeze", {"--freeze-late", "300"}, true, true, true, 0, {"freeze", "thaw 0"}, ""},
        {"no thaw", {"--hold-ms", "400"}, true, false, true, kVeto, {"freeze", "thaw 258"},
         "assumming timeout occured in VSS provider waiting for thaw"},
        {"no flow", {}, false, false, false, 0, {"commit"}, ""},
        {"never freezes", {"--never-freeze", "--hold-ms", "400"}, true, false, false, kVeto, {"freeze", "thaw 258"},
         "assumming timeout occured in VSS provider waiting for thaw"},
        {"dies frozen", {"--die-frozen"}, true, false, true, kProviderError, {"freeze"}, unexpected},
        {"fails before freezing", {"--fail-before-freeze"}, true, false, false, kProviderError, {"fail"}, unexpected},
        {"provider absent", {}, true, false, false, kProviderError, {}, unexpected, true},
        {"thaw set before the freeze", {"--hold-ms", "3000"}, true, false, true, 0, {"freeze", "thaw 0"}, "", false,
         true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string journal = platform::standinRoot() + "/provider-" + std::to_string(++n) + ".txt";
        VssScenario scenario;
        scenario.volumes = {kVolume};
        scenario.registeredProvider = ProviderId;
        scenario.writers = {{u"System Writer", VSS_WS_STABLE, S_OK, GUID{}, GUID{}}};
        scenario.commitProgram =
            c.programMissing ? platform::standinRoot() + "/no-such-provider" : ChildProcess::toolPath("vss_provider_commit");
        scenario.commitArgs = {"--journal", journal};
        scenario.commitArgs.insert(scenario.commitArgs.end(), c.options.begin(), c.options.end());
        platform_test::setVssScenario(scenario);
        platform_test::clearVssJournal();
        sharedClient().clear();

        // The flow: its mutex, owned by this thread, and its two events, made before the requester starts.
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
        HANDLE mutex = c.flowRunning ? CreateMutexA(&attributes, TRUE, "Global\\TalvoVssMutex") : nullptr;
        HANDLE quiesced = CreateEventA(&attributes, FALSE, FALSE, "Global\\TalvoVssQuiescedEvent");
        HANDLE thaw = CreateEventA(&attributes, FALSE, FALSE, "Global\\TalvoVssThawEvent");
        ASSERT_TRUE(quiesced && thaw && (mutex || !c.flowRunning));

        if (c.thawEarly) SetEvent(thaw);
        int result = -1;
        const auto started = std::chrono::steady_clock::now();
        std::thread requester([&] { result = VssRequester().DoSnapshot(RequesterArgs()); });
        DWORD frozen = WAIT_TIMEOUT;
        if (c.freezes) {
            frozen = WaitForSingleObject(quiesced, 10000);
            if (frozen == WAIT_OBJECT_0 && c.allowThaw) SetEvent(thaw);
        }
        requester.join();
        const auto took = std::chrono::steady_clock::now() - started;
        if (!c.freezes) frozen = WaitForSingleObject(quiesced, 0);
        EXPECT_EQ(frozen, c.freezes ? WAIT_OBJECT_0 : WAIT_TIMEOUT);

        EXPECT_EQ(result, c.result);
        const auto events = readJournal(journal);
        std::vector<std::string> what;
        for (const auto& e : events) what.push_back(e.what);
        EXPECT_EQ(what, c.provider);
        if (what.size() == 2 && what[0] == "freeze") {
            EXPECT_LT(events[0].ns, events[1].ns);
        }
        if (c.result == kVeto) {
            EXPECT_GE(took, std::chrono::milliseconds(400)) << "vetoed before the hold limit";
        }
        if (!c.error.empty()) {
            EXPECT_FALSE(sharedClient().linesWith(c.error).empty()) << c.error;
        }
        const auto vss = platform_test::vssJournal();
        EXPECT_EQ(std::count(vss.begin(), vss.end(), "AbortBackup = 0"), c.result == 0 ? 0 : 1);
        EXPECT_EQ(std::count(vss.begin(), vss.end(), "Release 0"), 1);
        EXPECT_EQ(platform_test::setsInProgress(), 0);

        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
        CloseHandle(quiesced);
        CloseHandle(thaw);
    }
    platform_test::clearVssScenario();
}

}  // namespace
