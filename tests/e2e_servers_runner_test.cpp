// test-traits: linux-only agent-process
// The whole agent as a real process, with the provider, the management servers and the outside runner as
// processes of their own: servers that refuse, hang or fail, names that must reach the server intact, and runners
// that are absent, late, early or never read the status.
#include "E2eMachine.h"
#include "TestSupport.h"

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
const Strings kFrozenAndThawed = {"freeze", "thaw 0", "commit"};

}  // namespace

// Which servers answer decides whether the flow runs and where the checkpoint goes.
TEST(E2eServersTest, ServersThatRefuseHangOrFail) {
    struct Row {
        const char* name;
        Strings local, peer;
        int exitCode;
        std::string block;  // "none": the flow stopped before writing it
        Strings localInserts, peerInserts;
        std::string cause;
    };
    const Strings none = {"none"};
    const Row rows[] = {
        {"local refuses", {"refuse"}, none, -1002, "none", {}, {}, "No connection either to local or peer"},
        // Each WinHTTP wait is cut to 1 s here.
        {"local hangs past the timeout", {"--mode", "silent"}, none, -1002, "none", {}, {},
         "Error 12002 in WinHttpReceiveResponse."},
        {"local answers 500", {"--status", "500"}, none, 0, "0", {"checkpoint"}, {}, "Done taking CP."},
        {"peer down, local answers", {}, {"refuse"}, 0, "0", {"checkpoint"}, {},
         "Done pinging peer KESTRUM, m_peerClientConnected = 0"},
        {"local down, peer answers", {"refuse"}, {}, 0, "0", {}, {"checkpoint"},
         "Done pinging local KESTRUM, m_localClientConnected = 0"},
        {"both answer", {}, {}, 0, "0", {"checkpoint"}, {"checkpoint"}, "Done taking CP on peer KESTRUM."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        machine.registerProvider();
        machine.writeTweaks("t_httpClientTimeoutMsec=1000\n");
        E2eRunOptions options;
        options.local = row.local;
        options.peer = row.peer;
        const E2eRun run = runCheckpoint(machine, options);
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, row.exitCode);
        EXPECT_EQ(run.block, row.block);
        EXPECT_EQ(insertedNames(run.local), row.localInserts);
        EXPECT_EQ(insertedNames(run.peer), row.peerInserts);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause << "\n" << logTail(run.agent.perRunLog);
        if (row.exitCode == 0) {
            EXPECT_EQ(run.provider, kFrozenAndThawed);
        } else {
            // Nothing frozen, nothing guarded.
            EXPECT_EQ(run.provider, Strings{});
            EXPECT_EQ(machine.bcdeditJournal(), Strings{});
        }
    }
}

// The name travels on the command line and in the URL path, and reaches the server as it was typed.
TEST(E2eServersTest, CheckpointNamesReachTheServerIntact) {
    std::string long10k;
    while (long10k.size() < 10240) long10k += "Name \xf0\x9f\x98\x80 \"q\" \\b ";
    const std::string names[] = {
        "say \"hello\"",
        "C:\\backups\\ \\\" \\\\",
        "\xf0\x9f\x98\x80 \xf0\x9d\x84\x9e \xe6\x97\xa5\xe6\x9c\xac",  // two characters beyond the BMP, two in it
        "'single' & <angle> %20 / ? #",
        long10k,
    };
    E2eMachine machine;
    machine.registerProvider();
    for (const auto& name : names) {
        SCOPED_TRACE(name.substr(0, 40));
        E2eRunOptions options;
        options.name = name;
        options.peer = {};
        const E2eRun run = runCheckpoint(machine, options);
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, 0);
        EXPECT_EQ(insertedNames(run.local), Strings{name});
        EXPECT_EQ(insertedNames(run.peer), Strings{name});
    }
}

// The externally initiated mode: the runner's part decides when the volumes thaw; the agent thaws in time
// whatever the runner does.
TEST(E2eRunnerTest, RunnersAbsentLateEarlyOrNotReading) {
    struct Row {
        const char* name;
        bool registered;
        std::string part;  // "": no runner
        int delayMs;
        int exitCode;
        Strings seen;  // the runner's freeze-complete and thaw-complete lines
        std::string cause;
        bool causeLogged;
        long long minMs;
    };
    const Row rows[] = {
        {"answers", true, "answer", 0, 0, {"freeze-complete 0", "thaw-complete 0"},
         "received event from runner to continue to thaw logic", true, 0},
        {"absent", true, "", 0, 0, {}, "returned WAIT_TIMEOUT", true, 1000},
        // Thaw-start comes after the agent's 1 s wait: the agent has thawed by then.
        {"late", true, "answer", 2000, 0, {"freeze-complete 0", "thaw-complete 0"}, "returned WAIT_TIMEOUT", true,
         1000},
        // Thaw-start set before the agent started is an earlier run's: dropped, so the agent waits its time.
        {"early", true, "early", 0, 0, {"freeze-complete 0", "thaw-complete 0"}, "returned WAIT_TIMEOUT", true, 1000},
        // Nobody sets the read notification: the agent's last wait runs its full time.
        {"never reads the status", true, "answer-only", 0, 0, {"freeze-complete 0", "thaw-complete 0"},
         "was timed out.", true, AgentSandbox::kReadNotificationWaitMs},
        {"reads the status", true, "answer", 0, 0, {"freeze-complete 0", "thaw-complete 0"}, "was timed out.", false,
         0},
        // No provider: the runner is woken at once and reads the start-up's failure.
        {"no provider", false, "never", 0, -1006, {"freeze-complete -1006", "no-thaw-complete -1006"},
         "failed to start vss provider service due to :1060", true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        if (row.registered) machine.registerProvider();
        E2eRunOptions options;
        options.externallyInitiated = true;
        options.runner = row.part;
        options.runnerDelayMs = row.delayMs;
        const E2eRun run = runCheckpoint(machine, options);
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, row.exitCode);
        Strings seen = linesStartingWith(run.runner, "freeze-complete");
        for (const auto& line : run.runner) {
            if (line.find("thaw-complete") != std::string::npos) seen.push_back(line);
        }
        EXPECT_EQ(seen, row.seen);
        EXPECT_EQ(logHas(run.agent.perRunLog, row.cause), row.causeLogged) << row.cause;
        EXPECT_GE(run.ms, row.minMs);
        EXPECT_EQ(run.provider, row.registered ? kFrozenAndThawed : Strings{});
        if (row.exitCode == 0) {
            EXPECT_EQ(run.agent.out, "The VSS checkpoint request has been initiated.\n");
        }
    }
}
