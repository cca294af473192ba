// test-traits: linux-only agent-process
// The whole agent as a real process: the guards' registry calls and boot-policy command failing, its log folder
// removed and its tweak file broken during a run, each tweak it reads malformed, two agents at once, and an agent
// killed while frozen followed by a run that succeeds on the same machine.
#include "DynamicTweaks.h"
#include "E2eMachine.h"
#include "TestSupport.h"

#include <signal.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;
const Strings kFrozenAndThawed = {"freeze", "thaw 0", "commit"};

// The first message of `lines` that contains `text`, with its time; empty when none.
LogLine firstWith(const std::vector<LogLine>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.message.find(text) != std::string::npos) return line;
    }
    return {};
}

}  // namespace

// A guard that cannot do its part leaves the checkpoint going; what it could not restore stays as it is, and the
// RunOnce entry stays as the safety net when the boot policy could not be put back.
TEST(E2eGuardsTest, RegistryCallsAndBootPolicyCommandFailing) {
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
        bool stampBack;
        bool runOnceGone;
        std::string cause;
    };
    const Row rows[] = {
        {"RunOnce entry cannot be written", {{"TALVO_STANDIN_FAIL_REGISTRY_CALL", "RegSetValueExA:1:5"}}, true, true,
         "Error 5 in RegSetValueEx."},
        {"stamp cannot be read", {{"TALVO_STANDIN_FAIL_REGISTRY_CALL", "RegQueryValueExW:1:5"}}, true, true,
         "Error 5 in RegQueryValueEx."},
        {"stamp cannot be removed", {{"TALVO_STANDIN_FAIL_REGISTRY_CALL", "RegDeleteValueW:1:5"}}, true, true,
         "Error 5 in RegDeleteValue."},
        {"stamp cannot be written back", {{"TALVO_STANDIN_FAIL_REGISTRY_CALL", "RegSetValueExW:1:5"}}, false, true,
         "Error 5 in RegSetValueEx."},
        {"RunOnce entry cannot be removed", {{"TALVO_STANDIN_FAIL_REGISTRY_CALL", "RegDeleteValueA:1:5"}}, true,
         false, "Error 5 in RegDeleteValue."},
        {"boot policy cannot be set",
         {{"TALVO_FAKE_BCDEDIT_EXIT", "1"}, {"TALVO_FAKE_BCDEDIT_FAIL_ON", "ignoreallfailures"}}, true, true,
         "system returned 1"},
        {"boot policy cannot be restored",
         {{"TALVO_FAKE_BCDEDIT_EXIT", "1"}, {"TALVO_FAKE_BCDEDIT_FAIL_ON", "displayallfailures"}}, true, false,
         "system returned 1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        machine.registerProvider();
        E2eRunOptions options;
        options.env = row.env;
        const E2eRun run = runCheckpoint(machine, options);
        expectEnded(run);
        EXPECT_EQ(run.agent.result.exitCode, 0);
        EXPECT_EQ(run.block, "0");
        EXPECT_EQ(run.provider, kFrozenAndThawed);
        EXPECT_EQ(machine.stampIsBack(), row.stampBack);
        EXPECT_EQ(machine.runOnceIsGone(), row.runOnceGone);
        EXPECT_TRUE(logHas(run.agent.perRunLog, row.cause)) << row.cause << "\n" << logTail(run.agent.perRunLog, 60);
    }
}

// A broken tweak file ends the process before anything is frozen or guarded, with its line on standard error:
// at its start when the value cannot be read at all, at the flow's first read of it otherwise.
TEST(E2eTweaksTest, CorruptOrTruncatedTweakFile) {
    const std::string name = "t_requesterQuiescedEventWaitTimeoutMsec";
    struct Row {
        const char* name;
        std::string text;
        std::string line;  // on standard error
    };
    const Row rows[] = {
        {"not a number", name + "=abc\n", "Assertion (false) failed"},
        {"cut inside a quoted value", name + "=\"80", "Assertion (val.length() > 1 && (val[val.length() -1] == '\"'))"},
        {"a text where a number is read", name + "=\"5\"\n", "longVal,Assertion (false) failed"},
        {"out of range", name + "=99999999999\n", "Assertion (ival <= ((u32)-1) / 2) failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        E2eMachine machine;
        machine.registerProvider();
        machine.sandbox().writeTweaks(row.text);
        const E2eRun run = runCheckpoint(machine, {});
        EXPECT_TRUE(run.agent.result.started);
        EXPECT_FALSE(run.agent.result.timedOut);
        EXPECT_NE(run.agent.result.exitCode, 0);
        EXPECT_NE(run.agent.err.find(row.line), std::string::npos) << run.agent.err;
        EXPECT_EQ(run.provider, Strings{});
        EXPECT_EQ(machine.bcdeditJournal(), Strings{});
        EXPECT_TRUE(machine.stampIsBack());
        EXPECT_TRUE(machine.runOnceIsGone());
        EXPECT_EQ(insertedNames(run.local), Strings{}) << "a checkpoint without frozen volumes";
    }
}

namespace {

// A value that the tweak file takes and the getter refuses: out of range for the 32-bit getters, a text for the
// 64-bit and bool ones.
const char* const kOutOfRange = "99999999999";
const char* const kText = "\"x\"";

struct SweptTweak {
    std::string name;
    std::string value;
    // Other tweak lines the read needs to be reached (the requester simulator).
    std::string more = "";
    bool externallyInitiated = false;
};

// Every tweak a run of the agent reads: its own, the logger's, the memory shield's and its worker's, and the memory
// watcher's at start-up, and each one the dynamic-tweaks cache reads when it is made. A tweak the agent reads that
// is missing here fails the sweep.
std::vector<SweptTweak> tweaksTheAgentReads() {
    std::vector<SweptTweak> tweaks = {
        {"t_enableMemshield", kText},
        {"t_quolmMaxFiles", kOutOfRange},
        {"t_TeskFlushFileMaxPeriodMs", kOutOfRange},
        {"t_percentOfLoggerMemoryforMinimalThreshold", kOutOfRange},
        {"t_GenFileLoggerMaxFiles", kOutOfRange},
        {"t_FileLoggerMaxFilesOverride", kOutOfRange},
        {"t_FileLoggerCompressOnRotate", kText},
        {"t_FileLoggerFlushEveryLine", kText},
        {"t_AsyncFileLoggerFlushEveryLine", kText},
        {"t_FileLoggerEnabled", kText},
        {"t_memshield_pre_margin_size", kOutOfRange},
        {"t_memshield_post_margin_size", kOutOfRange},
        {"t_allocationHistoryLengthMs", kOutOfRange},
        {"t_requesterSimulativeVss", kText},
        {"t_httpClientTimeoutMsec", kOutOfRange},
        {"t_requesterQuiescedEventWaitTimeoutMsec", kOutOfRange},
        {"t_WaitAsyncTimeoutMsec", kOutOfRange},
        {"t_requesterEventWaitForThawStartTimeoutMsec", kOutOfRange, "", true},
        {"t_requesterEventWaitForThawStartTimeoutMsec", kOutOfRange, "t_requesterSimulativeVss=1\n"},
        {"t_requesterEventWaitForSharedMemoryReadTimeoutMsec", kOutOfRange},
        {"t_simulativeCpuUsage", kText},                // the memory watcher's CPU monitor
        {"t_randomCpuUsage", kText, "t_simulativeCpuUsage=1\n"},
        {"t_TeskPriorityQueuePrintIntervalMs", kOutOfRange},  // the queue of the memory shield's worker
    };
    struct Dynamic {
        const char* name;
        const char* kind;
    };
    const Dynamic dynamic[] = {
#define TALVO_SWEPT_DYNAMIC_TWEAK(type, name, kind, def) {#name, #kind},
        TALVO_DYNAMIC_TWEAKS(TALVO_SWEPT_DYNAMIC_TWEAK)
#undef TALVO_SWEPT_DYNAMIC_TWEAK
    };
    for (const auto& d : dynamic) {
        const std::string kind = d.kind;
        if (kind == "Derived") continue;  // no tweak: set from the others
        const bool narrow = kind == "Int" || kind == "Uint" || kind == "UintAsBool";
        tweaks.push_back({d.name, narrow ? kOutOfRange : kText});
    }
    return tweaks;
}

// The boot policy was never set, or was set back to display all failures afterwards.
bool bootPolicyNeverLeftIgnoring(const Strings& journal) {
    return journal.empty() || journal.back().find("displayallfailures") != std::string::npos;
}

// Every freeze of the provider ended with the agent's thaw.
bool neverLeftFrozen(const Strings& provider) {
    for (size_t i = 0; i < provider.size(); ++i) {
        if (provider[i] == "freeze" && (i + 1 == provider.size() || provider[i + 1] != "thaw 0")) return false;
    }
    return true;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The tweaks a successful run read, as its finish lists them ("tweak read: <name>"), spelled in lower case.
std::set<std::string> tweaksRead(const std::vector<LogLine>& lines) {
    std::set<std::string> names;
    const std::string prefix = "tweak read: ";
    for (const auto& line : lines) {
        if (line.method != "printRead" || line.message.compare(0, prefix.size(), prefix) != 0) continue;
        names.insert(lowerCase(line.message.substr(prefix.size())));
    }
    return names;
}

}  // namespace

// Each tweak the agent reads, malformed in its tweak file, ends the agent: wherever the read is, it is read before
// the guards engage or after they ended, never while the machine is changed or the volumes frozen. First, the sweep
// is shown to hold every tweak a run without one reads, in each way the agent starts.
TEST(E2eTweaksTest, EveryTweakTheAgentReadsMalformed) {
    const std::vector<SweptTweak> swept = tweaksTheAgentReads();
    std::set<std::string> sweptNames;
    // Each way the agent starts: by its mode and by the tweaks that switch on code of their own; and each way a
    // row starts it.
    std::set<std::pair<std::string, bool>> starts = {
        {"", false}, {"", true}, {"t_requesterSimulativeVss=1\n", false}, {"t_simulativeCpuUsage=1\n", false}};
    for (const auto& tweak : swept) {
        sweptNames.insert(lowerCase(tweak.name));
        starts.insert({tweak.more, tweak.externallyInitiated});
    }
    for (const auto& [more, externallyInitiated] : starts) {
        SCOPED_TRACE("run without a malformed tweak: " + more + (externallyInitiated ? " -ExternallyInitiated" : ""));
        E2eMachine machine;
        machine.registerProvider();
        machine.writeTweaks(more);
        E2eRunOptions options;
        options.externallyInitiated = externallyInitiated;
        options.runner = externallyInitiated ? "answer" : "read";
        const E2eRun run = runCheckpoint(machine, options);
        expectEnded(run);
        ASSERT_EQ(run.agent.result.exitCode, 0) << logTail(run.agent.perRunLog);
        const std::set<std::string> read = tweaksRead(run.agent.perRunLog);
        EXPECT_TRUE(read.count("t_enablememshield")) << "no list of the tweaks read\n" << logTail(run.agent.perRunLog);
        for (const auto& name : read) EXPECT_TRUE(sweptNames.count(name)) << name << " is read but not swept";
    }

    for (const auto& tweak : swept) {
        const std::string line = tweak.name + "=" + tweak.value + "\n";
        SCOPED_TRACE(line + tweak.more + (tweak.externallyInitiated ? " -ExternallyInitiated" : ""));
        E2eMachine machine;
        machine.registerProvider();
        machine.writeTweaks(tweak.more + line);
        if (tweak.name == "t_requesterEventWaitForSharedMemoryReadTimeoutMsec") {
            // The sandbox sets this one in the last of the tweak files, which would win over the extension file.
            std::ofstream(machine.sandbox().workdir() + "/test_appdata/tweaks_extension_upgrade_surviving.txt",
                          std::ios::binary | std::ios::trunc)
                << line;
        }
        E2eRunOptions options;
        options.runner = "";
        options.externallyInitiated = tweak.externallyInitiated;
        options.deadlineMs = 30000;
        const E2eRun run = runCheckpoint(machine, options);
        expectEnded(run);
        EXPECT_NE(run.agent.result.exitCode, 0);
        EXPECT_NE(run.agent.err.find("Assertion ("), std::string::npos) << "the read did not stop the agent\n"
                                                                        << run.agent.err << logTail(run.agent.perRunLog);
        EXPECT_TRUE(machine.stampIsBack());
        EXPECT_TRUE(machine.runOnceIsGone());
        EXPECT_TRUE(bootPolicyNeverLeftIgnoring(machine.bcdeditJournal()));
        EXPECT_TRUE(neverLeftFrozen(run.provider)) << ::testing::PrintToString(run.provider);
    }
}

// The log folder removed while the volumes are frozen: the run goes on to its end, and logs it.
TEST(E2eLogsTest, LogFolderRemovedDuringTheRun) {
    E2eMachine machine;
    machine.registerProvider();
    machine.startRunner("answer", 500);
    const pid_t agent = machine.startAgent({"-ExternallyInitiated"}, "agent");
    ASSERT_NE(agent, 0);
    const std::string runner = machine.folder() + "/runner1.txt";
    ASSERT_TRUE(waitForFileLine(runner, "freeze-complete", 20000));
    std::error_code ignored;
    fs::remove_all(machine.sandbox().logsFolder(), ignored);
    EXPECT_EQ(waitForAgent(agent, 30000), 0);
    const Strings journal = machine.stopRunner();
    EXPECT_EQ(linesStartingWith(journal, "thaw-complete"), Strings{"thaw-complete 0"});
    EXPECT_EQ(machine.providerJournal(), kFrozenAndThawed);
    EXPECT_TRUE(machine.stampIsBack());
    EXPECT_TRUE(machine.runOnceIsGone());
    const std::string err = readFile(machine.folder() + "/agent.err");
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(readFile(machine.folder() + "/agent.out"), "The VSS checkpoint request has been initiated.\n");
    // The logger made the folder again: the rest of the run is in its log.
    const auto lines = parseLogLines(machine.sandbox().perRunLogText());
    EXPECT_TRUE(logHas(lines, "Setting thaw event")) << logTail(lines);
    EXPECT_TRUE(logHas(lines, "Vantrell.exe done. ret=0 ")) << logTail(lines);
}

// Two agents at once on one machine: the second waits for the machine-wide mutex and goes on only after the
// first released it. Only the order is certain: the first agent's second snapshot runs while the second's flow
// holds the mutex.
TEST(E2eConcurrencyTest, TwoAgentsAtOnce) {
    E2eMachine machine;
    machine.registerProvider();
    E2eServer server(machine.folder() + "/server", {"--delay-ms", "200"});
    ASSERT_NE(server.port(), 0);
    machine.startRunner("read");
    const Strings args = {"127.0.0.1", std::to_string(server.port()), "0.0.0.0", "0", "together"};
    const pid_t first = machine.startAgent(args, "a", {{"TALVO_COMMON_APPDATA", "C:\\ProgramData\\A"}});
    const pid_t second = machine.startAgent(args, "b", {{"TALVO_COMMON_APPDATA", "C:\\ProgramData\\B"}});
    ASSERT_TRUE(first && second);
    const int firstCode = waitForAgent(first, 60000);
    const int secondCode = waitForAgent(second, 60000);
    EXPECT_GT(firstCode, kNotEnded);
    EXPECT_GT(secondCode, kNotEnded);
    machine.stopRunner();
    auto logOf = [&](const char* folder) {
        return parseLogLines(readFile(machine.sandbox().machine() + "/drive_c/ProgramData/" + folder +
                                      "/Talvo/logs/Vantrell.exe.current.log.txt"));
    };
    const auto a = logOf("A");
    const auto b = logOf("B");
    const LogLine aGot = firstWith(a, "Creating events"), aReleased = firstWith(a, "Releasing mutex");
    const LogLine bGot = firstWith(b, "Creating events"), bReleased = firstWith(b, "Releasing mutex");
    ASSERT_FALSE(aGot.time.empty() || aReleased.time.empty() || bGot.time.empty() || bReleased.time.empty())
        << logTail(a) << logTail(b);
    EXPECT_TRUE(logHas(a, "Waiting for mutex") && logHas(b, "Waiting for mutex"));
    // Whichever took the mutex second took it after the other released it.
    if (aGot.time <= bGot.time) {
        EXPECT_GE(bGot.time, aReleased.time);
    } else {
        EXPECT_GE(aGot.time, bReleased.time);
    }
    EXPECT_EQ(insertedNames(server.targets()), (Strings{"together", "together"}));
}

// An agent killed while the volumes are frozen: the provider thaws when its hold limit runs out, the RunOnce
// safety net stays, and the next run on the same machine succeeds.
TEST(E2eConcurrencyTest, AgentKilledWhileFrozenThenANewRun) {
    E2eMachine machine;
    machine.registerProvider();
    machine.writeTweaks("t_requesterEventWaitForThawStartTimeoutMsec=20000\n");
    machine.startRunner("never", 10000);
    const pid_t agent = machine.startAgent({"-ExternallyInitiated"}, "killed");
    ASSERT_NE(agent, 0);
    ASSERT_TRUE(waitForFileLine(machine.folder() + "/runner1.txt", "freeze-complete 0", 20000));
    kill(agent, SIGKILL);
    EXPECT_EQ(waitForAgent(agent, 10000), kSignalled);
    EXPECT_TRUE(waitForFileLine(machine.folder() + "/provider.txt", "thaw", E2eMachine::kProviderHoldMs + 10000));
    EXPECT_EQ(machine.providerJournal(), (Strings{"freeze", "thaw 258"}));
    EXPECT_FALSE(machine.runOnceIsGone()) << "the safety net of a run that never ended";
    machine.stopRunner();

    machine.writeTweaks("");
    const E2eRun run = runCheckpoint(machine, {});
    expectEnded(run);
    EXPECT_EQ(run.agent.result.exitCode, 0);
    EXPECT_EQ(run.block, "0");
    EXPECT_EQ(run.provider, (Strings{"freeze", "thaw 258", "freeze", "thaw 0", "commit"}));
    EXPECT_EQ(insertedNames(run.local), Strings{"checkpoint"});
    EXPECT_TRUE(machine.runOnceIsGone());
}
