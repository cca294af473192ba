// test-traits: machine-registry
// The boot-status and reliability guards against the registry and a fake bcdedit that records what it was asked
// and what it saw in the registry at that moment. Under Wine the registry is Wine's and cmd.exe runs the fake.
#include "BootSettingsSupport.h"
#include "LastAliveStampGuard.h"
#include "MachineSupport.h"
#include "TestSupport.h"
#include "WindowsErrorRecoveryGuard.h"

#include <stdexcept>
#include <string>

namespace {

const std::string kDisableRun = "/set {current} bootstatuspolicy ignoreallfailures";
const std::string kEnableRun = "/set {default} bootstatuspolicy displayallfailures";

StoredValue binary(size_t size) {
    StoredValue value{REG_BINARY, {}};
    for (size_t i = 0; i < size; ++i) value.data.push_back(static_cast<BYTE>(0xA0 + i));
    return value;
}

StoredValue runOnceData() {
    const std::string text = kEnablingCommand;
    StoredValue value{REG_SZ, std::vector<BYTE>(text.begin(), text.end())};
    value.data.push_back(0);
    return value;
}

class BootGuardsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useOwnMachineState("boot-guards-machine"); }

    void SetUp() override {
        sharedClient().clear();
        resetBootSettings();
    }

    void TearDown() override {
        createRunOnceKey();
        createReliabilityKey();
        resetBootSettings();
    }
};

struct StampCase {
    const char* name;
    std::optional<StoredValue> stored;
    bool keyMissing;
    bool setAside;  // absent during the period, the same value afterwards
    const char* level;
    const char* function;
    std::string message;
};

TEST_F(BootGuardsTest, StampIsSetAsideOnlyWhenItIsASmallBinaryValue) {
    const StampCase cases[] = {
        {"8 bytes", binary(8), false, true, "Info", "LastAliveStampCache::save", "Data size is 8"},
        {"16 bytes", binary(16), false, true, "Info", "LastAliveStampCache::save", "Data size is 16"},
        {"17 bytes", binary(17), false, false, "Error", "LastAliveStampCache::save", "Error 234 in RegQueryValueEx."},
        {"dword", StoredValue{REG_DWORD, {1, 2, 3, 4}}, false, false, "Error", "LastAliveStampCache::save",
         "Unexpected registry type 4"},
        {"missing value", std::nullopt, false, false, "Error", "LastAliveStampCache::save",
         "Error 2 in RegQueryValueEx."},
        {"missing key", std::nullopt, true, false, "Error", "LastAliveStampCache::openKey",
         "Error 2 in RegOpenKeyEx."},
    };
    for (const StampCase& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        resetBootSettings();
        if (c.stored) setStamp(*c.stored);
        if (c.keyMissing) {
            ASSERT_TRUE(deleteReliabilityKey());
        }
        {
            LastAliveStampGuard guard;
            if (c.setAside) {
                EXPECT_FALSE(storedStamp().has_value());
            } else {
                EXPECT_EQ(storedStamp(), c.stored);
            }
        }
        EXPECT_EQ(storedStamp(), c.stored);
        EXPECT_TRUE(logged(c.level, c.function, c.message));
        EXPECT_TRUE(logged("Info", "LastAliveStampGuard::LastAliveStampGuard", "Saving LastAliveStampCache..."));
        EXPECT_TRUE(logged("Info", "LastAliveStampGuard::~LastAliveStampGuard", "Restoring LastAliveStampCache..."));
        // A value never saved is not written back, and nothing about it is logged on the way out.
        EXPECT_EQ(logPositions(",Error,").size(), c.setAside ? 0u : 1u);
        if (c.keyMissing) {
            ASSERT_TRUE(createReliabilityKey());
        }
    }
}

TEST_F(BootGuardsTest, EngagedGuardLeavesTheSafetyNetForThePeriodAndRestoresThePolicy) {
    FakeBcdedit fake;
    setStamp(binary(8));
    {
        WindowsErrorRecoveryGuard recovery(true);
        EXPECT_EQ(storedRunOnce(), runOnceData());
        EXPECT_EQ(fake.journal(), std::vector<std::string>{kDisableRun + ";RunOnce=1;LastAliveStamp=1"});
        EXPECT_EQ(fake.policies()["{current}"], "ignoreallfailures");
    }
    EXPECT_FALSE(storedRunOnce().has_value());
    EXPECT_EQ(fake.journal(), (std::vector<std::string>{kDisableRun + ";RunOnce=1;LastAliveStamp=1",
                                                         kEnableRun + ";RunOnce=1;LastAliveStamp=1"}));
    EXPECT_EQ(fake.policies()["{default}"], "displayallfailures");
    const char* disabler = "WindowsErrorRecoveryDisabler::";
    EXPECT_TRUE(logged("Info", "WindowsErrorRecoveryGuard::WindowsErrorRecoveryGuard",
                       "Disabling Windows error recovery..."));
    EXPECT_TRUE(logged("Info", std::string(disabler) + "disable", "Registering RunOnce..."));
    EXPECT_TRUE(logged("Info", std::string(disabler) + "disable", "Disabling Windows Error Recovery..."));
    EXPECT_TRUE(logged("Info", "WindowsErrorRecoveryGuard::~WindowsErrorRecoveryGuard",
                       "Enabling Windows error recovery..."));
    EXPECT_TRUE(logged("Info", std::string(disabler) + "enable", "Enabling Windows Error Recovery..."));
    EXPECT_TRUE(logged("Info", std::string(disabler) + "enable", "Unregistering RunOnce..."));
    EXPECT_TRUE(logPositions(",Error,").empty());
}

// The flow's nesting: the stamp guard inside the recovery guard.
TEST_F(BootGuardsTest, BothGuardsAroundOnePeriodAndOnTheWayOutOfAnException) {
    for (const bool throwing : {false, true}) {
        SCOPED_TRACE(throwing ? "exception" : "normal end");
        sharedClient().clear();
        resetBootSettings();
        FakeBcdedit fake;
        setStamp(binary(8));
        try {
            WindowsErrorRecoveryGuard recovery(true);
            LastAliveStampGuard stamp;
            EXPECT_FALSE(storedStamp().has_value());
            EXPECT_EQ(storedRunOnce(), runOnceData());
            if (throwing) throw std::runtime_error("requester failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(storedStamp(), binary(8));
        EXPECT_FALSE(storedRunOnce().has_value());
        // The policy was switched while the stamp was still there, and restored after it was back.
        EXPECT_EQ(fake.journal(), (std::vector<std::string>{kDisableRun + ";RunOnce=1;LastAliveStamp=1",
                                                             kEnableRun + ";RunOnce=1;LastAliveStamp=1"}));
        EXPECT_EQ(fake.policies()["{default}"], "displayallfailures");
        const auto restoring = logPositions("Restoring LastAliveStampCache...");
        const auto enabling = logPositions("Enabling Windows error recovery...");
        ASSERT_EQ(restoring.size(), 1u);
        ASSERT_EQ(enabling.size(), 1u);
        EXPECT_LT(restoring[0], enabling[0]);
    }
}

TEST_F(BootGuardsTest, GuardNotEngagedTouchesNeitherRunOnceNorThePolicy) {
    FakeBcdedit fake;
    setStamp(binary(8));
    {
        WindowsErrorRecoveryGuard recovery(false);
        LastAliveStampGuard stamp;
        EXPECT_FALSE(storedRunOnce().has_value());
        EXPECT_FALSE(storedStamp().has_value());
    }
    EXPECT_TRUE(fake.journal().empty());
    EXPECT_EQ(storedStamp(), binary(8));
    EXPECT_TRUE(logPositions("rror recovery").empty());
    EXPECT_TRUE(logPositions("RunOnce").empty());
}

TEST_F(BootGuardsTest, WithoutTheRunOnceKeyThePolicyIsNeverSwitched) {
    FakeBcdedit fake;
    if (!deleteRunOnceKey()) GTEST_SKIP() << "this machine's RunOnce key cannot be deleted";
    { WindowsErrorRecoveryGuard recovery(true); }
    EXPECT_TRUE(logged("Error", "WindowsErrorRecoveryDisabler::openKey", "Error 2 in RegOpenKeyEx."));
    // The way out still restores the policy; only the switch is left out.
    EXPECT_EQ(fake.journal(), std::vector<std::string>{kEnableRun + ";RunOnce=0;LastAliveStamp=0"});
    EXPECT_EQ(fake.policies().count("{current}"), 0u);
}

// A restore that fails leaves the safety net in place; a switch that fails is only logged.
TEST_F(BootGuardsTest, FailingCommandIsLoggedAndKeepsTheSafetyNetUntilThePolicyIsRestored) {
    struct Case {
        const char* name;
        const char* failOn;
        bool runOnceStays;
    } cases[] = {
        {"enabling fails", "displayallfailures", true},
        {"disabling fails", "ignoreallfailures", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        resetBootSettings();
        FakeBcdedit fake;
        fake.exitWith(3, c.failOn);
        { WindowsErrorRecoveryGuard recovery(true); }
        EXPECT_TRUE(logged("Error", "WindowsErrorRecoveryDisabler::execueCommandLine", "system returned 3"));
        EXPECT_EQ(logPositions("system returned").size(), 1u);
        EXPECT_EQ(fake.journal().size(), 2u);
        if (c.runOnceStays) {
            EXPECT_EQ(storedRunOnce(), runOnceData());
            EXPECT_TRUE(logPositions("Unregistering RunOnce...").empty());
        } else {
            EXPECT_FALSE(storedRunOnce().has_value());
            EXPECT_EQ(fake.policies()["{default}"], "displayallfailures");
        }
    }
}

TEST_F(BootGuardsTest, WithoutAnyBcdeditTheSafetyNetStays) {
    // The interpreter runs, but finds no bcdedit and ends with an error.
    { WindowsErrorRecoveryGuard recovery(true); }
    EXPECT_EQ(storedRunOnce(), runOnceData());
    EXPECT_EQ(logPositions("system returned ").size(), 2u);
    EXPECT_TRUE(logPositions("Unregistering RunOnce...").empty());
}

}  // namespace
