// test-traits: linux-only agent-process
// The whole agent as a real process, with the provider service, its commit, the local server and the outside
// reader as processes of their own: the provider's faults and the VSS backup sequence's. After every run: the
// volumes thawed, the guards' registry values back, the status block, the exit code and the log line of the cause.
#include "E2eMachine.h"
#include "TestSupport.h"

#include <vsbackup.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
const Strings kFrozenAndThawed = {"freeze", "thaw 0", "commit"};
const HRESULT kVeto = static_cast<HRESULT>(0x80042306u);
const HRESULT kProviderError = static_cast<HRESULT>(0x8004230fu);  // VSS_E_UNEXPECTED_PROVIDER_ERROR

std::string block(HRESULT hr) { return std::to_string(static_cast<int>(hr)); }

}  // namespace

// The provider service as the agent finds it; the flow runs once it runs, or does not start at all.
TEST(E2eProviderTest, ProviderServiceStates) {
    struct Row {
        const char* name;
        const char* script;  // nullptr: not registered
        int exitCode;
        std::string block;
        Strings provider;
        std::string cause;
        long long minMs = 0;
    };
    const Row rows[] = {
        {"not registered", nullptr, -1006, "-1006", {}, "failed to start vss provider service due to :1060"},
        {"stopped, starts", "--pending 2 --step-ms 50", 0, "0", kFrozenAndThawed, "Service started successfully."},
        // Start-pending past the agent's first status poll (one second at least).
        {"slow to start", "--pending 3 --step-ms 600 --hint 3000", 0, "0", kFrozenAndThawed,
         "Service started successfully.", 1200},
        // Start-pending without progress past its wait hint: the agent gives up waiting and goes on.
        {"never reaches running", "--pending 1 --step-ms 60000 --hint 500", 0, "0", kFrozenAndThawed,
         "Current State: 2"},
        {"ends during its start", "--pending 1 --step-ms 10 --stop-while-pending", 0, "0", kFrozenAndThawed,
         "Current State: 1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        if (row.script) machine.registerProvider(row.script);
        const E2eRun run = runCheckpoint(machine, {});
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, row.exitCode);
        EXPECT_EQ(run.block, row.block);
        EXPECT_EQ(run.provider, row.provider);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause;
        EXPECT_GE(run.ms, row.minMs);
        if (row.exitCode == 0) {
            EXPECT_EQ(run.agent.out, "The VSS checkpoint request has been initiated.\n");
            ASSERT_EQ(run.local.size(), 2u);
            EXPECT_EQ(insertedName(run.local[1]), "checkpoint");
        } else {
            EXPECT_TRUE(run.local.empty());
            EXPECT_TRUE(machine.bcdeditJournal().empty());
        }
    }
}

// A provider whose commit misbehaves once the flow runs.
TEST(E2eProviderTest, ProviderCommitFaults) {
    struct Row {
        const char* name;
        Strings commit;
        int exitCode;
        std::string block;
        Strings provider;
        std::string cause;
        bool inserted;
    };
    const Row rows[] = {
        // The quiesced wait (1 s here) runs out; the flow sets the thaw event, which the provider takes.
        {"never freezes", {"--never-freeze"}, -1001, "0", {"freeze", "thaw 0", "commit"}, "returned WAIT_TIMEOUT", false},
        // The snapshot set ends in a provider error, which its Wait returns: the requester's result is that error.
        {"dies while frozen", {"--die-frozen"}, 0, block(kProviderError), {"freeze", "commit"},
         "VSS_E_UNEXPECTED_PROVIDER_ERROR", true},
        {"fails before freezing", {"--fail-before-freeze"}, 0, block(kProviderError), {"fail", "commit"},
         "VSS_E_UNEXPECTED_PROVIDER_ERROR", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine(row.commit);
        machine.registerProvider();
        machine.writeTweaks("t_requesterQuiescedEventWaitTimeoutMsec=1000\n");
        const E2eRun run = runCheckpoint(machine, {});
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, row.exitCode);
        EXPECT_EQ(run.block, row.block);
        EXPECT_EQ(run.provider, row.provider);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause;
        EXPECT_EQ(run.local.size(), row.inserted ? 2u : 1u);
    }
}

// Each call of the backup sequence failing in turn, over the calls a whole run makes. The requester sets the
// quiesced event itself, so the flow goes on, reports the checkpoint and exits 0; the status block holds the
// requester's result: the call's failure, 1 where an operation's wait or a writer status failed, 0 where the
// failure is only logged.
TEST(E2eVssTest, EachCallOfTheBackupSequenceFailing) {
    const HRESULT failure = static_cast<HRESULT>(0x80042302u);  // VSS_E_UNEXPECTED
    struct Row {
        const char* method;
        std::string block;
        std::string cause;
        Strings provider;  // the flow's freeze only when the failure comes after it
    };
    const Row rows[] = {
        {"CreateVssBackupComponentsInternal", block(failure), "CreateVssBackupComponents failed with error code", {"commit"}},
        {"InitializeForBackup", block(failure), "InitializeForBackup failed with error code", {"commit"}},
        {"SetBackupState", block(failure), "SetBackupState failed with error code", {"commit"}},
        {"GatherWriterMetadata", block(failure), "GatherWriterMetadata failed with error code", {"commit"}},
        {"StartSnapshotSet", block(failure), "StartSnapshotSet failed with error code", {"commit"}},
        // The volume left out of the set: DoSnapshotSet then refuses the empty set.
        {"AddToSnapshotSet", block(static_cast<HRESULT>(0x80042301u)), "returned 80042302", {"commit"}},
        {"PrepareForBackup", block(failure), "PrepareForBackup failed with error code", {"commit"}},
        {"GatherWriterStatus", "1", "GatherWriterStatus failed with error code", {"commit"}},
        {"GetWriterStatusCount", "0", "GetWriterStatusCount failed with error code", kFrozenAndThawed},
        {"GetWriterStatus", "0", "GetWriterStatus 0 failed with error code", kFrozenAndThawed},
        {"FreeWriterStatus", "1", "FreeWriterStatus failed with error code", {"commit"}},
        {"DoSnapshotSet", block(failure), "DoSnapshotSet failed with error code", {"commit"}},
        {"BackupComplete", block(failure), "BackupComplete failed with error code", kFrozenAndThawed},
        {"Wait", "1", "pAsync->Wait() failed with error code", {"commit"}},
        {"QueryStatus", "1", "pAsync->QueryStatus() failed with error code", {"commit"}},
    };
    std::set<std::string> tabled;
    for (const auto& row : rows) tabled.insert(row.method);

    for (const auto& row : rows) {
        SCOPED_TRACE(row.method);
        E2eMachine machine;
        machine.registerProvider();
        auto vss = machine.defaultVss();
        platform_test::VssOutcome outcome;
        outcome.method = row.method;
        if (outcome.method == "Wait") {
            outcome.method = "GatherWriterMetadata";
            outcome.waitResult = failure;
        } else if (outcome.method == "QueryStatus") {
            outcome.method = "GatherWriterMetadata";
            outcome.queryResult = failure;
        } else {
            outcome.result = failure;
        }
        vss.outcomes = {outcome};
        machine.setVss(vss);
        const E2eRun run = runCheckpoint(machine, {});
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, 0);
        EXPECT_EQ(run.block, row.block);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause;
        EXPECT_EQ(run.provider, row.provider);
    }

    // Every call a whole run makes that can fail is a row above.
    E2eMachine machine;
    machine.registerProvider();
    const E2eRun run = runCheckpoint(machine, {});
    ASSERT_EQ(run.agent.result.exitCode, 0);
    const std::set<std::string> cannotFail = {"CoInitialize", "CoUninitialize", "Release", "AbortBackup",
                                                 "FindVolumeClose"};
    for (const auto& line : textLines(readFile(machine.sandbox().machine() + "/vss/journal.txt"))) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string method = line.substr(tab + 1, line.find(' ', tab) - tab - 1);
        if (method.compare(0, 5, "async") == 0) method = method.substr(method.find('.') + 1);
        if (cannotFail.count(method)) continue;
        EXPECT_TRUE(tabled.count(method)) << method << " is called but never failed here";
    }
}

// The backup sequence's other failures: a writer in a failed state, an operation that never ends, a veto.
TEST(E2eVssTest, WritersWaitsAndVeto) {
    struct Row {
        const char* name;
        std::function<void(platform_test::VssScenario&)> change;
        std::string block;
        std::string cause;
        Strings provider;
    };
    const Row rows[] = {
        {"a writer in a failed state",
         [](platform_test::VssScenario& s) {
             s.writers.push_back({u"Broken Writer", VSS_WS_FAILED_AT_PREPARE_BACKUP,
                                  static_cast<HRESULT>(0x800423F4u), GUID{}, GUID{}});
         },
         "0", "Broken Writer", kFrozenAndThawed},
        {"an async wait that times out",
         [](platform_test::VssScenario& s) {
             platform_test::VssOutcome o;
             o.method = "GatherWriterMetadata";
             o.neverEnds = true;
             s.outcomes = {o};
         },
         "1", "waitForAsync failed", {"commit"}},
        {"a provider veto",
         [](platform_test::VssScenario& s) {
             platform_test::VssOutcome o;
             o.method = "DoSnapshotSet";
             o.status = kVeto;
             s.outcomes = {o};
         },
         block(kVeto), "assumming timeout occured in VSS provider waiting for thaw", {"commit"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        machine.registerProvider();
        machine.writeTweaks("t_WaitAsyncTimeoutMsec=500\n");
        auto vss = machine.defaultVss();
        row.change(vss);
        machine.setVss(vss);
        const E2eRun run = runCheckpoint(machine, {});
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, 0);
        EXPECT_EQ(run.block, row.block);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause;
        EXPECT_EQ(run.provider, row.provider);
    }
}

// The provider's own veto: a server slower than the provider's hold limit keeps the volumes frozen until the
// provider gives up, thaws and vetoes the set. The checkpoint still reaches the server; the status block says the
// snapshot set was vetoed.
TEST(E2eVssTest, ProviderVetoesWhenTheFrozenWindowOutlastsItsHold) {
    E2eMachine machine;
    machine.registerProvider();
    E2eRunOptions options;
    options.local = {"--delay-ms", std::to_string(E2eMachine::kProviderHoldMs + 500)};
    machine.writeTweaks("t_httpClientTimeoutMsec=" + std::to_string(E2eMachine::kProviderHoldMs + 5000) + "\n");
    const E2eRun run = runCheckpoint(machine, options);
    expectCleanEnd(run, machine);
    EXPECT_EQ(run.agent.result.exitCode, 0);
    EXPECT_EQ(run.block, block(kVeto));
    EXPECT_EQ(run.provider, (Strings{"freeze", "thaw 258", "commit"}));
    EXPECT_TRUE(logHas(run.agent.perRunLog, "assumming timeout occured in VSS provider waiting for thaw"));
    EXPECT_EQ(insertedNames(run.local), Strings{"checkpoint"});
}
