// test-traits: linux-only
// Linux only: the guards under injected registry faults, the order of their registry calls and command runs (the
// stand-in's call journal), and a command interpreter that cannot start (the Windows runtime falls back to
// cmd.exe, so that cannot be forced there).
#include "BootSettingsSupport.h"
#include "LastAliveStampGuard.h"
#include "MachineSupport.h"
#include "TestSupport.h"
#include "WindowsErrorRecoveryGuard.h"

#include <platform/testing.h>

#include <signal.h>

#include <set>
#include <string>

namespace {

using platform_test::PlatformCall;

const std::string kRunOnce = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::string kReliability = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";

StoredValue stamp8() { return StoredValue{REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}}; }

// The journal's calls that read, change or flush a value, and the command runs.
std::vector<std::string> changes() {
    static const std::set<std::string> kept = {"RegQueryValueExW", "RegSetValueExA", "RegSetValueExW",
                                               "RegDeleteValueA",  "RegDeleteValueW", "RegFlushKey",
                                               "system"};
    std::vector<std::string> out;
    for (const PlatformCall& call : platform_test::callJournal()) {
        if (!kept.count(call.function)) continue;
        std::string key = call.key == kRunOnce ? "RunOnce" : call.key == kReliability ? "Reliability" : call.key;
        std::string line = call.function;
        for (const std::string& part : {key, call.value}) {
            if (!part.empty()) line += " " + part;
        }
        out.push_back(line);
    }
    return out;
}

bool journaled(const std::string& function) {
    for (const PlatformCall& call : platform_test::callJournal()) {
        if (call.function == function) return true;
    }
    return false;
}

class BootGuardsFaultsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useOwnMachineState("boot-guards-faults-machine"); }

    void SetUp() override {
        sharedClient().clear();
        resetBootSettings();
        platform_test::startCallJournal();
    }

    void TearDown() override {
        platform_test::stopCallJournal();
        platform_test::clearRegistryFaults();
        platform_test::setDefaultCommandInterpreter(nullptr);
        setEnvironment("COMSPEC", "");
    }
};

TEST_F(BootGuardsFaultsTest, OnePeriodChangesAndFlushesInOrder) {
    FakeBcdedit fake;
    setStamp(stamp8());
    platform_test::startCallJournal();
    {
        WindowsErrorRecoveryGuard recovery(true);
        LastAliveStampGuard stamp;
        // What a checkpoint taken now holds: no stamp, and the safety net.
        EXPECT_FALSE(storedStamp().has_value());
        EXPECT_EQ(storedRunOnce()->type, REG_SZ);
        platform_test::startCallJournal();
    }
    const std::vector<std::string> after = changes();
    const std::vector<std::string> expectedAfter = {
        "RegSetValueExW Reliability LastAliveStamp",  // written back, not flushed
        std::string("system ") + kEnablingCommand,
        "RegDeleteValueA RunOnce Vantrell",
        "RegFlushKey RunOnce",
    };
    EXPECT_EQ(after, expectedAfter);
    EXPECT_EQ(fake.journal().size(), 2u);
}

TEST_F(BootGuardsFaultsTest, EngagingWritesAndFlushesBeforeThePeriod) {
    FakeBcdedit fake;
    setStamp(stamp8());
    platform_test::startCallJournal();
    WindowsErrorRecoveryGuard recovery(true);
    LastAliveStampGuard stamp;
    const std::vector<std::string> expected = {
        "RegSetValueExA RunOnce Vantrell",
        "RegFlushKey RunOnce",
        std::string("system ") + kDisablingCommand,
        "RegQueryValueExW Reliability LastAliveStamp",
        "RegDeleteValueW Reliability LastAliveStamp",
        "RegFlushKey Reliability",
    };
    EXPECT_EQ(changes(), expected);
}

struct RecoveryFault {
    const char* name;
    const char* function;
    unsigned nth;
    LONG code;
    const char* logFunction;
    const char* message;
    bool switched;      // the disabling command ran
    bool runOnceAfter;  // the safety net is still there at the end
};

TEST_F(BootGuardsFaultsTest, RegistryFaultsOfTheSafetyNet) {
    const RecoveryFault cases[] = {
        {"open fails", "RegOpenKeyExA", 1, 5, "openKey", "Error 5 in RegOpenKeyEx.", false, false},
        {"write fails", "RegSetValueExA", 1, 5, "registerRunOnce", "Error 5 in RegSetValueEx.", false, false},
        {"flush fails", "RegFlushKey", 1, 29, "registerRunOnce", "Error 29 in RegFlushKey.", true, false},
        {"close fails", "RegCloseKey", 1, 6, "registerRunOnce", "Error 6 in RegCloseKey.", true, false},
        {"delete fails", "RegDeleteValueA", 1, 5, "unregisterRunOnce", "Error 5 in RegDeleteValue.", true, true},
        {"second open fails", "RegOpenKeyExA", 2, 2, "openKey", "Error 2 in RegOpenKeyEx.", true, true},
        {"second flush fails", "RegFlushKey", 2, 29, "unregisterRunOnce", "Error 29 in RegFlushKey.", true, false},
    };
    for (const RecoveryFault& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        resetBootSettings();
        FakeBcdedit fake;
        platform_test::clearRegistryFaults();
        platform_test::failRegistryCall(c.function, c.nth, c.code);
        { WindowsErrorRecoveryGuard recovery(true); }
        EXPECT_TRUE(logged("Error", std::string("WindowsErrorRecoveryDisabler::") + c.logFunction, c.message));
        const auto runs = fake.journal();
        const bool switched = !runs.empty() && runs[0].find("ignoreallfailures") != std::string::npos;
        EXPECT_EQ(switched, c.switched);
        // The guard always ends by restoring the policy.
        ASSERT_FALSE(runs.empty());
        EXPECT_NE(runs.back().find("displayallfailures"), std::string::npos);
        EXPECT_EQ(storedRunOnce().has_value(), c.runOnceAfter);
    }
}

struct StampFault {
    const char* name;
    const char* function;
    LONG code;
    const char* message;
    bool writtenBack;
    std::optional<StoredValue> after;
};

TEST_F(BootGuardsFaultsTest, RegistryFaultsOfTheStamp) {
    const StampFault cases[] = {
        // Still there, so not written back over itself.
        {"delete fails", "RegDeleteValueW", 5, "Error 5 in RegDeleteValue.", false, stamp8()},
        // The value stays absent.
        {"write-back fails", "RegSetValueExW", 5, "Error 5 in RegSetValueEx.", true, std::nullopt},
        {"query fails", "RegQueryValueExW", 5, "Error 5 in RegQueryValueEx.", false, stamp8()},
    };
    for (const StampFault& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        resetBootSettings();
        setStamp(stamp8());
        platform_test::clearRegistryFaults();
        platform_test::failRegistryCall(c.function, 1, c.code);
        platform_test::startCallJournal();
        { LastAliveStampGuard stamp; }
        EXPECT_TRUE(logPositions(c.message).size() == 1u) << c.message;
        EXPECT_EQ(journaled("RegSetValueExW"), c.writtenBack);
        EXPECT_EQ(storedStamp(), c.after);
    }
}

TEST_F(BootGuardsFaultsTest, MissingStampIsNeverWrittenBack) {
    { LastAliveStampGuard stamp; }
    EXPECT_TRUE(logged("Error", "LastAliveStampCache::save", "Error 2 in RegQueryValueEx."));
    EXPECT_FALSE(journaled("RegDeleteValueW"));
    EXPECT_FALSE(journaled("RegSetValueExW"));
    EXPECT_FALSE(storedStamp().has_value());
}

TEST_F(BootGuardsFaultsTest, InterpreterThatCannotStartChangesNoPolicy) {
    FakeBcdedit fake;
    setEnvironment("COMSPEC", "");
    platform_test::setDefaultCommandInterpreter("/nonexistent/sh");
    { WindowsErrorRecoveryGuard recovery(true); }
    EXPECT_EQ(logPositions("Error 2 in system.").size(), 2u);
    EXPECT_TRUE(logged("Error", "WindowsErrorRecoveryDisabler::execueCommandLine", "Error 2 in system."));
    EXPECT_TRUE(fake.journal().empty());
    EXPECT_TRUE(fake.policies().empty());
    EXPECT_TRUE(storedRunOnce().has_value());
}

TEST_F(BootGuardsFaultsTest, CommandsRunWhateverTheInterpreterSettings) {
    struct Case {
        const char* name;
        const char* comspec;
        bool ignoreChildren;
    } cases[] = {
        {"COMSPEC names the shell", "/bin/sh", false},
        {"COMSPEC names a missing program", "/nonexistent/cmd.exe", false},
        {"SIGCHLD ignored elsewhere", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        resetBootSettings();
        FakeBcdedit fake;
        setEnvironment("COMSPEC", c.comspec);
        struct sigaction previous {};
        if (c.ignoreChildren) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction(SIGCHLD, &ignore, &previous);
        }
        { WindowsErrorRecoveryGuard recovery(true); }
        if (c.ignoreChildren) {
            struct sigaction now {};
            sigaction(SIGCHLD, &previous, &now);
            EXPECT_EQ(now.sa_handler, SIG_IGN);  // the caller's setting is back
        }
        EXPECT_EQ(fake.journal().size(), 2u);
        EXPECT_TRUE(logPositions(",Error,").empty());
        EXPECT_FALSE(storedRunOnce().has_value());
        EXPECT_EQ(fake.policies()["{default}"], "displayallfailures");
    }
}

}  // namespace
