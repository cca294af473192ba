// test-traits: agent-process machine-names
// The Vantrell program run as a real process: modes, command-line failures, exit codes, the logs it leaves.
#include "AgentSandbox.h"
#include "TestSupport.h"

#include <algorithm>

namespace {

const std::string kUsage =
    "Usage: Vantrell.exe <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]\n";
const std::string kAllowed = "Allowed keywords: volumes,backupType,\n";
const std::string kNoProvider = "failed to start vss provider service due to :1060";
const std::string kUsageFailure = "ArgumentsParser failed ret=1 ";
const std::string kDoneNoProvider = "Vantrell.exe done. ret=-1006 ";

std::vector<std::string> wmainMessages(const AgentSandbox::Run& run) { return messagesOf(run.perRunLog, "wmain"); }

class AgentProcessTest : public ::testing::Test {
protected:
    AgentSandbox sandbox;
};

}  // namespace

// The first argument alone decides the mode, compared whole and with its case.
TEST_F(AgentProcessTest, FirstArgumentSelectsTheMode) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::vector<std::string> keywordLines;
    };
    const Case cases[] = {
        {"externally initiated skips the parser", {"-ExternallyInitiated", "a", "b", "c"}, -1006, "", {}},
        {"externally initiated ignores bad keywords", {"-ExternallyInitiated", "a", "b", "c", "d", "e", "junk"}, -1006,
         "", {}},
        {"other case is no switch", {"-externallyinitiated"}, 1, kUsage, {}},
        {"longer word is no switch", {"-GUIx"}, 1, kUsage, {}},
        {"GUI with four values", {"-GUI", "a", "1", "b", "2"}, 1, kUsage, {}},
        {"GUI with five values", {"-GUI", "a", "1", "b", "2", "t"}, -1006, "", {}},
        {"GUI keywords start at the seventh argument", {"-GUI", "a", "1", "b", "2", "t", "volumes=x"}, -1006, "",
         {"Keyword argument - volumes: x"}},
        {"a second switch is a value", {"-GUI", "-ExternallyInitiated", "1", "b", "2", "t"}, -1006, "", {}},
        {"plain line", {"a", "1", "b", "2", "t", "backupType=3"}, -1006, "", {"Keyword argument - backupType: 3"}},
        {"the switch after GUI is not parsed as one", {"-GUI", "-GUI", "1", "b", "2"}, 1, kUsage, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = sandbox.run(c.args);
        expectCleanEnd(run);
        EXPECT_EQ(run.result.exitCode, c.exitCode);
        EXPECT_EQ(normalised(run.out), c.out);
        EXPECT_EQ(messagesOf(run.perRunLog, "parse_keyword_args"), c.keywordLines);
        const auto main = wmainMessages(run);
        if (c.exitCode == 1) {
            ASSERT_FALSE(main.empty());
            EXPECT_EQ(main.back(), kUsageFailure);
            EXPECT_TRUE(hasMessage(run.perRunLog, "Had to print usage"));
        } else {
            EXPECT_FALSE(hasMessage(run.perRunLog, "Had to print usage"));
            EXPECT_NE(std::find(main.begin(), main.end(), kNoProvider), main.end());
        }
    }
}

// Each rejected line: its messages on the standard output in order, one usage, exit 1, and the run stops there.
TEST_F(AgentProcessTest, RejectedLinesPrintTheirMessagesThenTheUsage) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {"no arguments", {}, kUsage},
        {"four values", {"a", "1", "b", "2"}, kUsage},
        {"empty tag", {"a", "1", "b", "2", ""}, kUsage},
        {"no '='", {"a", "1", "b", "2", "t", "foo"}, "foo is not in keyword=value format\n" + kUsage},
        {"unknown keyword", {"a", "1", "b", "2", "t", "Volumes=x"}, "Keyword is not recognized: Volumes\n" + kAllowed + kUsage},
        {"bad after good", {"a", "1", "b", "2", "t", "volumes=x", "backupType"},
         "backupType is not in keyword=value format\n" + kUsage},
        {"empty tag and an unknown keyword", {"a", "1", "b", "2", "", "x=1"},
         "Keyword is not recognized: x\n" + kAllowed + kUsage},
        {"non-ASCII keyword", {"a", "1", "b", "2", "t", "\xc3\xa9=1"},
         "Keyword is not recognized: \xc3\xa9\n" + kAllowed + kUsage},
        {"non-ASCII argument without '='", {"a", "1", "b", "2", "t", "\xe6\x97\xa5\xf0\x9f\x98\x80"},
         "\xe6\x97\xa5\xf0\x9f\x98\x80 is not in keyword=value format\n" + kUsage},
        // Arguments reach the program unchanged whatever the command line had to quote.
        {"quotes and backslashes", {"a", "1", "b", "2", "t", "x\\\"y \\\\\"z\\"},
         "x\\\"y \\\\\"z\\ is not in keyword=value format\n" + kUsage},
        {"blank and trailing backslashes", {"a b\\\\", "1", "b", "2", "t", "c\td\\"},
         "c\td\\ is not in keyword=value format\n" + kUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = sandbox.run(c.args);
        expectCleanEnd(run);
        EXPECT_EQ(run.result.exitCode, 1);
        EXPECT_EQ(normalised(run.out), c.out);
        const auto main = wmainMessages(run);
        ASSERT_FALSE(main.empty());
        EXPECT_EQ(main.back(), kUsageFailure);
        EXPECT_EQ(std::count(main.begin(), main.end(), kUsageFailure), 1);
        EXPECT_EQ(messagesOf(run.perRunLog, "printUsage"), std::vector<std::string>{"Had to print usage"});
        EXPECT_FALSE(hasMessage(run.perRunLog, "Making sure that Talvo VSS Provider service is started..."));
    }
}

// backupType: converted as a 32-bit unsigned long; no leading digit or too many end the run as an exception.
TEST_F(AgentProcessTest, BackupTypeIsStoredOrEndsTheRunWithMinus1004) {
    struct Case {
        std::string value;
        int exitCode;
        std::string logged;  // the ParseDr line, or the crash line
    };
    const std::string stored = "Backup type is modified to:  arguments.m_snapshotFlow.m_argsRequester.m_backupType=";
    const std::string invalid = "agent crushed for the following reason : invalid stoul argument";
    const std::string range = "agent crushed for the following reason : stoul argument out of range";
    const Case cases[] = {
        {"5", -1006, stored + "5 "},
        {"5abc", -1006, stored + "5 "},
        {" +7", -1006, stored + "7 "},
        {"-1", -1006, stored + "4294967295 "},
        {"4294967295", -1006, stored + "4294967295 "},
        {"-4294967295", -1006, stored + "1 "},
        {"0x10", -1006, stored + "0 "},
        {"abc", -1004, invalid},
        {"", -1004, invalid},
        {"-", -1004, invalid},
        {"4294967296", -1004, range},
        {"-4294967296", -1004, range},
        {"99999999999999999999", -1004, range},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("backupType=" + c.value);
        const auto run = sandbox.run({"a", "1", "b", "2", "t", "backupType=" + c.value});
        expectCleanEnd(run);
        EXPECT_EQ(run.result.exitCode, c.exitCode);
        EXPECT_EQ(run.out, "");
        if (c.exitCode == -1004) {
            // The crash line reached the per-run file: the logs were flushed before the exit.
            const auto main = wmainMessages(run);
            ASSERT_FALSE(main.empty());
            EXPECT_EQ(main.back(), c.logged);
            EXPECT_TRUE(messagesOf(run.perRunLog, "ParseDr").empty());
            EXPECT_FALSE(hasMessage(run.perRunLog, "Making sure that Talvo VSS Provider service is started..."));
        } else {
            EXPECT_EQ(messagesOf(run.perRunLog, "ParseDr"), std::vector<std::string>{c.logged});
        }
    }
}

// Without a provider service the run writes its status, signals and finishes with -1006; no flow is built.
TEST_F(AgentProcessTest, MissingProviderServiceFinishesWithMinus1006) {
    const auto run = sandbox.run({"-GUI", "10.0.0.1", "8080", "0.0.0.0", "0", "checkpoint"});
    expectCleanEnd(run);
    EXPECT_EQ(run.result.exitCode, -1006);
    EXPECT_EQ(run.out, "");
    const auto main = wmainMessages(run);
    const std::vector<std::string> expected = {"Vantrell.exe invoked.",
                                               "Making sure that Talvo VSS Provider service is started...",
                                               kNoProvider, kDoneNoProvider};
    EXPECT_EQ(main, expected);
    EXPECT_FALSE(hasMessage(run.perRunLog, "VssRequester requester"));
    EXPECT_FALSE(hasMessage(run.perRunLog, "VssRequesterSimulator requester"));
    EXPECT_FALSE(hasMessage(run.perRunLog, "Talvo VSS Provider service is started."));
}

// The two live logs: the main one grows run by run, the per-run one holds only the last run.
TEST_F(AgentProcessTest, MainLogIsAppendedAndPerRunLogHoldsTheLastRun) {
    const std::string before = sandbox.mainLogText();
    const auto first = sandbox.run({"first-run", "1", "b", "2", "t"});
    expectCleanEnd(first);
    const auto second = sandbox.run({"second-run", "1", "b", "2"});
    expectCleanEnd(second);
    EXPECT_EQ(second.result.exitCode, 1);

    const std::string mainLog = sandbox.mainLogText();
    ASSERT_GT(mainLog.size(), before.size());
    EXPECT_EQ(mainLog.compare(0, before.size(), before), 0);  // appended, not rewritten
    const auto added = parseLogLines(mainLog.substr(before.size()));
    EXPECT_TRUE(hasMessage(added, "first-run"));
    EXPECT_TRUE(hasMessage(added, "second-run"));
    EXPECT_EQ(std::count_if(added.begin(), added.end(),
                            [](const LogLine& l) { return l.message == "Vantrell.exe invoked."; }),
              2);

    EXPECT_TRUE(hasMessage(second.perRunLog, "second-run"));
    EXPECT_FALSE(hasMessage(second.perRunLog, "first-run"));
    const std::string perRun = sandbox.perRunLogText();
    // One logger start: two empty lines, the banner, the header.
    EXPECT_EQ(perRun.rfind("time,level,thread,logger,method,message,exception"),
              perRun.find("time,level,thread,logger,method,message,exception"));
    EXPECT_EQ(textLines(perRun).at(0), "");
    EXPECT_EQ(textLines(perRun).at(1), "");
    EXPECT_NE(textLines(perRun).at(2).find("-----------------Log Start----------------------"), std::string::npos);
}

// What the start-up puts in the logs: the tweaks (defaults and a file's value), the invocation, the arguments.
TEST_F(AgentProcessTest, StartUpLogsTweaksInvocationAndArguments) {
    sandbox.writeTweaks("t_quolmMaxFiles=4\n");
    const std::string sixty(60, 'a');
    const auto run = sandbox.run({"-GUI", sixty, "1", "b", "2", "\xc3\xa9t\xc3\xa9", "volumes=\xe6\x97\xa5,\xf0\x9f\x98\x80"});
    expectCleanEnd(run);
    EXPECT_EQ(run.result.exitCode, -1006);

    std::vector<std::string> tweaks;
    for (const auto& line : run.perRunLog) {
        if (line.level == "Control") tweaks.push_back(line.message);
        EXPECT_EQ(line.message.find("default tweak added"), std::string::npos);
    }
    const std::vector<std::string> expectedTweaks = {
        "t_FileLoggerCompressOnRotate=1",
        "t_FileLoggerEnabled=1",
        "t_quolmMaxFiles=4",
        "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=" + std::to_string(AgentSandbox::kReadNotificationWaitMs),
        "t_requesterEventWaitForThawStartTimeoutMsec=9500",
        "t_requesterQuiescedEventWaitTimeoutMsec=72000",
        "t_runnerEventFreezeCompleteTimeoutMsec=75000",
        "t_runnerEventThawCompleteTimeoutMsec=15000",
        "t_WaitAsyncTimeoutMsec=62000",
    };
    EXPECT_EQ(tweaks, expectedTweaks);
    for (const auto& line : run.perRunLog) {
        if (line.level == "Control") {
            EXPECT_EQ(line.className + "," + line.method, "Tweaks,print");
        }
    }

    const auto main = wmainMessages(run);
    ASSERT_FALSE(main.empty());
    EXPECT_EQ(main.front(), "Vantrell.exe invoked.");
    const std::vector<std::string> dump = {"arguments are :", "-GUI", std::string(49, 'a'), "1", "b", "2", "?t?",
                                           "volumes=?,?"};
    EXPECT_EQ(messagesOf(run.perRunLog, "printArgs"), dump);
    EXPECT_EQ(messagesOf(run.perRunLog, "parse_keyword_args"),
              std::vector<std::string>{"Keyword argument - volumes: \xe6\x97\xa5,\xf0\x9f\x98\x80"});
    // Order: tweaks, invocation, dump, parser.
    auto at = [&](const std::string& message) {
        for (size_t i = 0; i < run.perRunLog.size(); ++i) {
            if (run.perRunLog[i].message == message) return i;
        }
        return run.perRunLog.size();
    };
    EXPECT_LT(at("t_WaitAsyncTimeoutMsec=62000"), at("Vantrell.exe invoked."));
    EXPECT_LT(at("Vantrell.exe invoked."), at("arguments are :"));
    EXPECT_LT(at("volumes=?,?"), at("Keyword argument - volumes: \xe6\x97\xa5,\xf0\x9f\x98\x80"));
    EXPECT_LT(at("Keyword argument - volumes: \xe6\x97\xa5,\xf0\x9f\x98\x80"), at(kNoProvider));
    for (const auto& line : run.perRunLog) {
        if (line.method == "wmain") {
            EXPECT_EQ(line.component, "NON");
            EXPECT_EQ(line.className, "");
        }
    }
}

// Memory tracking switched on by its tweak changes nothing a run shows.
TEST_F(AgentProcessTest, MemoryTrackingOnEndsLikeOff) {
    const std::vector<std::vector<std::string>> lines = {
        {"a", "1", "b", "2", "t"}, {"a", "1", "b"}, {"a", "1", "b", "2", "t", "backupType=x"}};
    for (const auto& args : lines) {
        sandbox.writeTweaks("t_enableMemshield=0\n");
        const auto off = sandbox.run(args);
        sandbox.writeTweaks("t_enableMemshield=1\n");
        const auto on = sandbox.run(args);
        expectCleanEnd(off);
        expectCleanEnd(on);
        EXPECT_EQ(on.result.exitCode, off.result.exitCode);
        EXPECT_EQ(on.out, off.out);
        EXPECT_EQ(wmainMessages(on), wmainMessages(off));
    }
}

// A line end inside an argument cannot forge a record: every value from the command line is logged on its own
// line with CR and LF shown as "\r" and "\n", and the parser still receives the value unchanged.
TEST_F(AgentProcessTest, LineEndsInArgumentsAreLoggedVisibly) {
    const std::string forged = "2026-01-01 00:00:00.000,Info,1,NON,,wmain,Vantrell.exe done. ret=0 ";
    const auto run = sandbox.run({"a\r\n" + forged, "1", "b", "2", "t\n" + forged, "volumes=x\n" + forged});
    expectCleanEnd(run);
    EXPECT_EQ(run.result.exitCode, -1006);
    for (const auto& line : run.perRunLog) {
        EXPECT_NE(line.time, "2026-01-01 00:00:00.000") << "a forged record: " << line.message;
        EXPECT_EQ(line.message.find('\r'), std::string::npos);
    }
    // The dump cuts each argument at 49 bytes before the line ends are shown.
    const std::vector<std::string> dump = {"arguments are :", "a\\r\\n" + forged.substr(0, 46),
                                           "1", "b", "2", "t\\n" + forged.substr(0, 47),
                                           "volumes=x\\n" + forged.substr(0, 39)};
    EXPECT_EQ(messagesOf(run.perRunLog, "printArgs"), dump);
    EXPECT_EQ(messagesOf(run.perRunLog, "parse_keyword_args"),
              std::vector<std::string>{"Keyword argument - volumes: x\\n" + forged});
    EXPECT_EQ(wmainMessages(run).back(), kDoneNoProvider);
}

// The tweak chooses the guard's mode for the whole run. A post margin too large for any block shows it: the
// registered mode ends the run at its first tracked allocation, the count-only mode never reads the margins.
TEST_F(AgentProcessTest, MemoryTrackingTweakChoosesTheGuardsMode) {
    const std::vector<std::string> args = {"a", "1", "b"};
    const std::string margin = "t_memshield_post_margin_size=314572800\n";
    sandbox.writeTweaks("t_enableMemshield=1\n" + margin);
    const auto registered = sandbox.run(args);
    EXPECT_FALSE(registered.result.timedOut);
    EXPECT_EQ(registered.result.exitCode, 3);  // the fatal stop
    const std::string printed = registered.out + registered.err;
    EXPECT_NE(printed.find("Assertion (allocationLength < MAX_SINGLE_ALLOCATION_LENGTH) failed"), std::string::npos)
        << printed;
    for (const std::string& countOnly : {std::string("t_enableMemshield=0\n"), std::string()}) {
        sandbox.writeTweaks(countOnly + margin);
        const auto run = sandbox.run(args);
        expectCleanEnd(run);
        EXPECT_NE(run.result.exitCode, 3) << countOnly;
        EXPECT_EQ((run.out + run.err).find("allocationLength"), std::string::npos) << run.out << run.err;
        EXPECT_TRUE(hasMessage(run.perRunLog, "Vantrell.exe invoked.")) << countOnly;
    }
}
