// test-traits: linux-only agent-process
// The agent's finish as a real process on a machine of its own: the outcome on disk before the final wait for a
// reader, a failed flow ending without that wait, and the backup type each kind of command line hands to VSS.
#include "E2eMachine.h"
#include "TestSupport.h"

#include <signal.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

std::vector<std::string> wmainMessages(const std::vector<LogLine>& lines) { return messagesOf(lines, "wmain"); }

bool hasMessageStartingWith(const std::vector<LogLine>& lines, const std::string& prefix) {
    for (const auto& line : lines) {
        if (line.message.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

// The backup type of each SetBackupState call in the machine's VSS journal.
Strings backupTypesSet(E2eMachine& machine) {
    Strings types;
    for (const auto& line : textLines(readFile(machine.sandbox().machine() + "/vss/journal.txt"))) {
        const std::string call = "\tSetBackupState ";
        const size_t at = line.find(call);
        if (at == std::string::npos) continue;
        std::istringstream args(line.substr(at + call.size()));
        std::string selectComponents, bootable, type;
        args >> selectComponents >> bootable >> type;
        types.push_back(type);
    }
    return types;
}

}  // namespace

// The agent ended while it waits for a reader of the status block (nobody reads it here): the outcome is in its
// log all the same, because the log was on disk before the wait began.
TEST(E2eFinishTest, OutcomeIsLoggedBeforeTheFinalWait) {
    struct Row {
        const char* name;
        bool provider;
        bool externally;
        Strings lines;  // in the per-run log after the kill
        std::string done;
    };
    const Row rows[] = {
        {"checkpoint reported", true, false, {"writing 0 to shared memory buffer", "Done taking CP."},
         "Vantrell.exe done. ret=0 "},
        {"externally initiated", true, true,
         {"receive freeze success, setting freeze event", "writing 0 to shared memory buffer"},
         "Vantrell.exe done. ret=0 "},
        {"no provider service", false, false,
         {"writing -1006 to shared memory buffer",
          "fire event  eventNameStr=Global\\TalvoRunnerEventFreezeComplete "},
         "Vantrell.exe done. ret=-1006 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        if (row.provider) machine.registerProvider();
        machine.sandbox().setReadNotificationWait(120000);
        std::unique_ptr<E2eServer> server;
        Strings args = {"-ExternallyInitiated"};
        if (row.externally) {
            // Thaws the volumes and never sets the read notification.
            machine.startRunner("answer-only");
        } else {
            server = std::make_unique<E2eServer>(machine.folder() + "/server", Strings{});
            ASSERT_NE(server->port(), 0);
            args = {"127.0.0.1", std::to_string(server->port()), "0.0.0.0", "0", "checkpoint"};
        }
        const pid_t agent = machine.startAgent(args, "agent");
        ASSERT_NE(agent, 0);
        // Only the finish logs this line, and it waits 120 s after it: the line is on disk during the wait, or the
        // wait outlasts this test's patience.
        const std::string perRunLog = machine.sandbox().logsFolder() + "/Vantrell.exe.current.log.txt";
        const bool doneOnDisk = waitForFileLine(perRunLog, row.done, 20000);
        kill(agent, SIGKILL);
        EXPECT_EQ(waitForAgent(agent, 10000), kSignalled);
        machine.stopRunner();
        const auto lines = parseLogLines(machine.sandbox().perRunLogText());
        EXPECT_TRUE(doneOnDisk) << logTail(lines);
        for (const auto& line : row.lines) EXPECT_TRUE(logHas(lines, line)) << line << "\n" << logTail(lines);
        const auto main = wmainMessages(lines);
        ASSERT_FALSE(main.empty()) << logTail(lines);
        EXPECT_EQ(main.back(), row.done);
    }
}

// In -GUI mode the success box is modal: the agent ended while the user has not closed it (the user ends it, the
// machine restarts) has its outcome in its log all the same, because the log was on disk before the box went up.
TEST(E2eFinishTest, OutcomeIsLoggedBeforeTheSuccessBox) {
    E2eMachine machine;
    machine.registerProvider();
    E2eServer server(machine.folder() + "/server", Strings{});
    ASSERT_NE(server.port(), 0);
    const std::string boxes = machine.folder() + "/boxes.txt";
    // The box is recorded as it goes up, and stays up far longer than this test waits.
    const pid_t agent =
        machine.startAgent({"-GUI", "127.0.0.1", std::to_string(server.port()), "0.0.0.0", "0", "checkpoint"}, "agent",
                           {{platform_test::kMessageBoxLogEnv, boxes}, {platform_test::kMessageBoxHoldMsEnv, "120000"}});
    ASSERT_NE(agent, 0);
    const bool shown = waitForFileLine(boxes, "The VSS checkpoint request has been initiated.", 20000);
    // Read while the box is up: nothing written after this counts.
    const auto lines = parseLogLines(machine.sandbox().perRunLogText());
    kill(agent, SIGKILL);
    EXPECT_EQ(waitForAgent(agent, 10000), kSignalled);
    ASSERT_TRUE(shown) << logTail(lines);
    const auto shownBoxes = platform_test::readRecordedMessageBoxes(boxes);
    ASSERT_EQ(shownBoxes.size(), 1u);
    EXPECT_EQ(shownBoxes[0].caption, "Add VSS Checkpoint Status");
    for (const std::string line : {"writing 0 to shared memory buffer", "Done taking CP."}) {
        EXPECT_TRUE(logHas(lines, line)) << line << "\n" << logTail(lines);
    }
    EXPECT_FALSE(hasMessageStartingWith(lines, "Vantrell.exe done.")) << "logged after the box is closed";
}

// A failed flow ends the run at once: no read-notification wait, nothing logged after its failure line. The
// reader here answers every 20 ms, so only the log tells whether the wait ran.
TEST(E2eFinishTest, FailedFlowEndsWithoutTheFinalWait) {
    struct Row {
        const char* name;
        Strings commit;  // the provider's commit arguments
        Strings local;   // the local server's
        int exitCode;
    };
    const Row rows[] = {
        {"no server answers", {}, {"refuse"}, -1002},
        {"the volumes never freeze", {"--never-freeze"}, {}, -1001},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine(row.commit);
        machine.registerProvider();
        machine.writeTweaks("t_requesterQuiescedEventWaitTimeoutMsec=1000\n");
        E2eRunOptions options;
        options.local = row.local;
        const E2eRun run = runCheckpoint(machine, options);
        expectCleanEnd(run, machine);
        EXPECT_EQ(run.agent.result.exitCode, row.exitCode);
        const auto& lines = run.agent.perRunLog;
        ASSERT_FALSE(lines.empty());
        const std::string failed = "SnapshotFlow failed ret=" + std::to_string(row.exitCode) + " ";
        EXPECT_EQ(lines.back().method + ": " + lines.back().message, "wmain: " + failed) << logTail(lines);
        EXPECT_FALSE(hasMessageStartingWith(lines, "Vantrell.exe done.")) << logTail(lines);
        EXPECT_FALSE(hasMessageStartingWith(lines, "Waiting for event ")) << logTail(lines);
    }
}

// The backup type VSS is given: 5 unless the line names one, whichever way the agent was started.
TEST(E2eFinishTest, BackupTypeThatReachesVss) {
    struct Row {
        const char* name;
        bool externally;
        Strings before, after;  // around the five positional values
        std::string type;
    };
    const Row rows[] = {
        {"plain line", false, {}, {}, "5"},
        {"-GUI", false, {"-GUI"}, {}, "5"},
        {"externally initiated", true, {}, {}, "5"},
        {"backupType given", false, {}, {"backupType=1"}, "1"},
        {"-GUI with backupType", false, {"-GUI"}, {"backupType=2"}, "2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        machine.registerProvider();
        std::unique_ptr<E2eServer> server;
        Strings args = {"-ExternallyInitiated"};
        if (row.externally) {
            machine.startRunner("answer");
        } else {
            machine.startRunner("read");
            server = std::make_unique<E2eServer>(machine.folder() + "/server", Strings{});
            ASSERT_NE(server->port(), 0);
            args = row.before;
            for (const auto& value : {std::string("127.0.0.1"), std::to_string(server->port()), std::string("0.0.0.0"),
                                      std::string("0"), std::string("checkpoint")}) {
                args.push_back(value);
            }
            args.insert(args.end(), row.after.begin(), row.after.end());
        }
        const auto run = machine.runAgent(args);
        machine.stopRunner();
        EXPECT_FALSE(run.result.timedOut);
        EXPECT_EQ(run.result.exitCode, 0);
        // Each of the flow's snapshots.
        const Strings types = backupTypesSet(machine);
        ASSERT_FALSE(types.empty()) << logTail(run.perRunLog);
        for (const auto& type : types) EXPECT_EQ(type, row.type);
        EXPECT_TRUE(logHas(run.perRunLog, " vssBackupType=" + row.type + " ")) << logTail(run.perRunLog);
    }
}
