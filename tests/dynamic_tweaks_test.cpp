#include "DynamicTweaks.h"
#include "FatalStop.h"
#include "TestSupport.h"
#include "Tweaks.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// How a cached tweak is read from the registry.
enum class Read { Long, Int, Uint, LongAsBool, UintAsBool, Bool };

struct CachedTweak {
    const char* name;
    Read read;
    i64 def;
    i64 (*field)(const DynamicTweaks&);
};

#define ROW(name, read, def) \
    { #name, Read::read, def, [](const DynamicTweaks& d) { return static_cast<i64>(d.name.load()); } }

// The cached tweaks, their reads and defaults (bools as 1 and 0).
const CachedTweak kCachedTweaks[] = {
    ROW(t_HultBackupVerboseLogs, LongAsBool, 0),
    ROW(t_HultRestoreVerboseLogs, LongAsBool, 0),
    ROW(t_HultGarbageCollectorVerboseLogs, LongAsBool, 0),
    ROW(t_HultPorterVerboseLogs, LongAsBool, 0),
    ROW(t_HultTieringVerboseLogs, LongAsBool, 0),
    ROW(t_HultRepositoryVerboseLogs, LongAsBool, 0),
    ROW(t_HultTestsVerboseLogs, LongAsBool, 0),
    ROW(t_HultS3VerifySSL, LongAsBool, 1),
    ROW(t_HultRestoreBlockBatchReaderFeatureDisabled, LongAsBool, 0),
    ROW(t_HultRestoreReaderMaxBatchSizeBytes, Long, 5242880),
    ROW(t_HultRestoreReaderBatchCollectStatistics, LongAsBool, 1),
    ROW(t_HultCheckRepositoryWithoutMount, LongAsBool, 0),
    ROW(t_HultRestoreReaderMaxBlocksInBatch, Long, 100),
    ROW(t_printPeriodicBoxingDataPoolReaderStatistics, LongAsBool, 1),
    ROW(t_printPeriodicBoxingDataPoolReaderTaskStatistics, LongAsBool, 1),
    ROW(t_HultAwsMultiPartTieringChunkSizeBytes, Long, 104857600),
    ROW(t_HultAzureAbsoluteTimeoutSec, Long, 60),
    ROW(t_hultListHandleExpireTimeoutSeconds, Long, 30),
    ROW(t_hultListHandleExpireIntervalSeconds, Long, 10),
    ROW(t_teskNetVerbose, Bool, 0),
    ROW(t_TeskPrintNetMngStatsIntervalMs, Int, 10000),
    ROW(t_AzureDeleteFilesConcurrency, Uint, 50),
    ROW(t_AzurePendingOperationsRebootTimeoutInMinutes, Int, 10),
    ROW(t_TeskAwsEnableServerSideEncryption, Bool, 0),
    ROW(t_TeskMinSyncBlocksToUseMd5, Int, 4000),
    ROW(t_snapshotDiffPartitionNum, Uint, 2),
    ROW(t_BatchIOVerboseLogs, Bool, 0),
    ROW(t_CloudVerboseLogs, Bool, 0),
    ROW(t_TeskDisableApplyMirrorVerbose, Bool, 0),
    ROW(t_RlVerboseLogs, Bool, 0),
    ROW(t_StreamReaderVerboseLogs, Bool, 0),
    ROW(t_Bug17832VerboseLogs, Bool, 0),
    ROW(t_sfsLongTermLogs, Bool, 1),
    ROW(t_throughputHistogramUpdateFreqSec, Uint, 10),
    ROW(t_unmpperShortDelayMs, Uint, 30),
    ROW(t_overrideCloudJournalSize, Bool, 0),
    ROW(t_maxAzureSnapshotListIterations, Uint, 20),
    ROW(t_cloudVolumelistFilesDelayMs, Uint, 0),
    ROW(t_azureMaxConcurrentListActions, Uint, 32),
    ROW(t_verboseAzureListBlobs, Bool, 0),
    ROW(t_azureMaxConcurrentDeleteActions, Int, 150),
    ROW(t_verboseAzureDeleteBlobs, Bool, 0),
    ROW(t_azureMaxConcurrentDeleteGroupSnapshots, Int, 100),
    ROW(t_verboseAzureDeleteGroupSnapshots, Bool, 0),
    ROW(t_azureDeleteBlobMsSdk, Bool, 0),
    ROW(t_azureIoMsSdk, Bool, 0),
    ROW(t_azureStorageSdkVerbose, Bool, 0),
    ROW(t_azureStorageCalcChecksum, Bool, 1),
    ROW(t_azureSharedKeySignVerbose, Bool, 0),
    ROW(t_TeskAzureStorageRetryDelayIncrementsMs, Int, 1000),
    ROW(t_TeskAzureStorageMaxRetries, Int, 100),
    ROW(t_azureComputeSdkVerbose, Bool, 0),
    ROW(t_azureRpConsistencyModeEnabled, Bool, 1),
    ROW(t_azureCreateRestorePointOperationTimeoutMin, Int, 90),
    ROW(t_groupSnapshotsVerboseLogs, Bool, 0),
    ROW(t_azureCreateRestorePointPollIntervalMs, Uint, 10000),
    ROW(t_groupSnapshotCleanerIntervalMs, Uint, 10000),
    ROW(t_azureManifestProxyMsRest, Bool, 0),
    ROW(t_azureManifestJobTimeoutSec, Uint, 900),
    ROW(t_httpCurlVerbose, Bool, 0),
    ROW(t_httpCurlLogBodyDefaultSize, Uint, 512),
    ROW(t_httpCurlSupressExpect100, Bool, 0),
    ROW(t_ltrDisabled, Bool, 0),
    ROW(t_recordIOsEnabled, Bool, 0),
    ROW(t_PeerTeskReconnectParallel, Bool, 1),
    ROW(t_PeerTeskConnectTimeoutMs, Uint, 60000),
    ROW(t_PeerTeskAddConnectionTimeoutMs, Uint, 20000),
    ROW(t_PeerTeskAddConnectionTimeoutFastMs, Uint, 2000),
    ROW(t_PeerTeskInitConnectionMessagesTimeoutMs, Uint, 60000),
    ROW(t_TeskMinimalReconnectionTriesIntervalMs, Uint, 1000),
    ROW(t_TeskNopPeersIntervalMs, Uint, 10000),
    ROW(t_numPeersToReconnect, Uint, 50),
    ROW(t_initialPeerReconnectionBackoffMs, Uint, 1000),
    ROW(t_maximumPeerReconnectionBackoffMs, Uint, 300000),
    ROW(t_PeerReconnectionBackoffGrowth, Uint, 2),
    ROW(t_PeerReconnectionBackoffDeviation, Uint, 1),
    ROW(t_PeerConnectionRateAnalyticSampleTimeMin, Uint, 60),
    ROW(t_defaultDlcTimeoutSec, Uint, 900),
    ROW(t_extendedDlcTimeoutSec, Uint, 21600),
    ROW(t_deadlockCheckerIntervalSec, Int, 60),
    ROW(t_TeskNetSslVerbose, Bool, 0),
    ROW(t_TeskDumpFullDataInVerboseLog, UintAsBool, 0),
    ROW(t_BinVerboseLogs, Bool, 0),
    ROW(t_NoVerboseDataPrint, Bool, 0),
    ROW(t_IOVerboseLogs, Bool, 0),
    ROW(t_periodicTweaksUpdateIntervalSec, Uint, 300),
    ROW(t_mtuVerificationOperationTimeoutMs, Uint, 0),
    ROW(t_maxProcStatReadRetryNum, Uint, 20),
    ROW(t_maxProcStatReadRetryIntervalMs, Uint, 20),
    ROW(t_disableLogMemoryAllocationTracking, Bool, 0),
    ROW(t_ActiveObjectVerboseLogs, Bool, 0),
    ROW(t_NetSelectorActiveObjectVerbose, Bool, 1),
    ROW(t_httpClientVerbose, Bool, 1),
    ROW(t_teskS3ProxyVerbose, Bool, 0),
    ROW(t_httpConnectionVerbose, Bool, 0),
    ROW(t_DisableAllAlerts, Bool, 0),
    ROW(t_queryDriverAlerts, Bool, 1),
    ROW(t_occurrenceThresholdHighStorageLatencyAlert, Long, 20),
    ROW(t_timeoutHighStorageLatencyAlert, Long, 86400000),
    ROW(t_isEnabledHighStorageLatencyAlert, Bool, 0),
    ROW(t_ioCongestionThresholdHighStorageLatencyAlert, Uint, 17),
    ROW(t_occurrenceThresholdMalformedPacketAlert, Long, 2),
    ROW(t_timeoutMalformedPacketAlert, Long, 86400000),
    ROW(t_isEnabledMalformedPacketAlert, Bool, 1),
    ROW(t_occurrenceThresholdMtuMismatchAlert, Long, 0),
    ROW(t_timeoutMtuMismatchAlert, Long, 86400000),
    ROW(t_isEnabledMtuMismatchAlert, Bool, 1),
    ROW(t_occurrenceThresholdMtuConnectionFailAlert, Long, 0),
    ROW(t_timeoutMtuConnectionFailAlert, Long, 259200000),
    ROW(t_isEnabledMtuConnectionFailAlert, Bool, 1),
    ROW(t_isEnabledIoCacheFullAlert, Bool, 0),
    ROW(t_isEnabledBitmapFullAlert, Bool, 1),
    ROW(t_isEnabledStuckIoAlert, Bool, 1),
    ROW(t_assertOnInvalidControlOperations, Bool, 0),
    ROW(t_disablePeriodicAnalytics, Bool, 0),
    ROW(t_StorageAnalyticsLatencyThreshold, Uint, 40),
    ROW(t_StorageAnalyticsLatencyFast, Uint, 4),
    ROW(t_StorageAnalyticsLatencyModerate, Uint, 20),
    ROW(t_StorageAnalyticsLatencySlow, Uint, 40),
    ROW(t_StorageAnalyticsLatencyVerySlow, Uint, 100),
    ROW(t_verboseIRA, Bool, 0),
    ROW(t_IRAmaxParallelBufsPerVolume, Uint, 50),
    ROW(t_IRAcheckInline, Bool, 0),
    ROW(t_IRAewmaWindowSize, Int, 2),
    ROW(t_IRAcalcChi, Bool, 0),
    ROW(t_IRAcalcCuSum, Bool, 1),
    ROW(t_IRAcalcSingleLikeAvg, Bool, 0),
    ROW(t_IRAuseHl, Bool, 0),
    ROW(t_yieldPorterCycleTESK, Bool, 1),
    ROW(t_yieldPorterCycleHULT, Bool, 1),
    ROW(t_globalInflightBlocksTrackerSamplePeriodMs, Uint, 1000),
    ROW(t_globalInflightBlocksTrackerMaxRecordsNum, Uint, 1000),
    ROW(t_mallocTrimEnable, Bool, 0),
    ROW(t_mallocTrimIntervalMinutes, Uint, 5),
    ROW(t_printAsyncTaskFrames, Bool, 0),
    ROW(t_teskEnableS3ProxyPugiXml, Bool, 0),
    ROW(t_teskEnableCurlHttpConnection, Bool, 0),
};

#undef ROW

// A value that only the tweak's own read accepts and keeps as it is, and what the field then holds.
std::pair<std::string, i64> otherValue(const CachedTweak& tweak) {
    switch (tweak.read) {
        case Read::Long: return {"5000000000", 5000000000};
        case Read::Int: return {"-5", -5};
        case Read::Uint: return {"4000000000", 4000000000};
        case Read::UintAsBool: return {"4294967295", 1};
        case Read::LongAsBool:
        case Read::Bool:
            if (tweak.def) return {"0", 0};
            return {"-1", 1};
    }
    return {"", 0};
}

// The five derived flags, in the order they are computed.
std::vector<bool> derivedFlags() {
    const DynamicTweaks& d = *DynamicTweaks::instance();
    return {d.m_streamReaderOrIoVerbose, d.m_hultPorterOrIoVerbose, d.m_hultBackupOrRestoreVerbose,
            d.m_batchIoOrCloudOrIoVerbose, d.m_httpCurlOrIoVerbose};
}

}  // namespace

TEST(DynamicTweaksTest, WithoutTweakFilesEveryFieldHoldsItsDefault) {
    ASSERT_EQ(std::size(kCachedTweaks), 137u);
    const DynamicTweaks& cache = *DynamicTweaks::instance();
    for (const auto& tweak : kCachedTweaks) EXPECT_EQ(tweak.field(cache), tweak.def) << tweak.name;
    EXPECT_EQ(derivedFlags(), std::vector<bool>(5, false));
    EXPECT_EQ(DynamicTweaks::getDefaultDlcTimeoutSec(), 900u);
}

// Each field is wired to the tweak of its own name, read its own way: a change moves that field and no other.
TEST(DynamicTweaksTest, EachFieldFollowsItsOwnTweak) {
    const DynamicTweaks& cache = *DynamicTweaks::instance();
    Tweaks* tweaks = Tweaks::instance();
    for (const auto& changed : kCachedTweaks) {
        const auto [text, expected] = otherValue(changed);
        tweaks->update(changed.name, text);
        for (const auto& tweak : kCachedTweaks) {
            EXPECT_EQ(tweak.field(cache), &tweak == &changed ? expected : tweak.def)
                << tweak.name << " after " << changed.name << "=" << text;
        }
        tweaks->update(changed.name, "");
        EXPECT_EQ(changed.field(cache), changed.def) << changed.name << " removed";
    }
}

TEST(DynamicTweaksTest, DerivedFlags) {
    const struct {
        std::vector<const char*> set;
        std::vector<bool> flags;  // in the order of derivedFlags()
    } cases[] = {
        {{"t_IOVerboseLogs"}, {true, true, false, true, true}},
        {{"t_StreamReaderVerboseLogs"}, {true, false, false, false, false}},
        {{"t_HultPorterVerboseLogs"}, {false, true, false, false, false}},
        {{"t_HultBackupVerboseLogs"}, {false, false, true, false, false}},
        {{"t_HultRestoreVerboseLogs"}, {false, false, true, false, false}},
        {{"t_BatchIOVerboseLogs"}, {false, false, false, true, false}},
        {{"t_CloudVerboseLogs"}, {false, false, false, true, false}},
        {{"t_httpCurlVerbose"}, {false, false, false, false, true}},
        {{"t_IOVerboseLogs", "t_HultRestoreVerboseLogs"}, {true, true, true, true, true}},
    };
    Tweaks* tweaks = Tweaks::instance();
    for (const auto& c : cases) {
        for (const char* name : c.set) tweaks->update(name, "1");
        EXPECT_EQ(derivedFlags(), c.flags) << c.set[0];
        for (const char* name : c.set) tweaks->update(name, "");
        EXPECT_EQ(derivedFlags(), std::vector<bool>(5, false)) << c.set[0] << " removed";
    }
}

TEST(DynamicTweaksTest, FlagsReadNumbersAndBoolWords) {
    const DynamicTweaks& cache = *DynamicTweaks::instance();
    const struct {
        const char* name;
        const char* value;
        bool expected;
    } cases[] = {
        {"t_HultS3VerifySSL", "0x10", true},   // long, as bool
        {"t_HultS3VerifySSL", "0", false},
        {"t_teskNetVerbose", "on", true},      // bool
        {"t_teskNetVerbose", "\"yes\"", true},
        {"t_sfsLongTermLogs", "Disabled", false},
    };
    for (const auto& c : cases) {
        Tweaks::instance()->update(c.name, c.value);
        const bool got = std::string(c.name) == "t_HultS3VerifySSL" ? cache.t_HultS3VerifySSL.load()
                         : std::string(c.name) == "t_teskNetVerbose" ? cache.t_teskNetVerbose.load()
                                                                      : cache.t_sfsLongTermLogs.load();
        EXPECT_EQ(got, c.expected) << c.name << "=" << c.value;
        Tweaks::instance()->update(c.name, "");
    }

    EXPECT_TRUE(DynamicTweaks::boolVal("t_neverSetBool", true));
    EXPECT_FALSE(DynamicTweaks::boolVal("t_neverSetBool", false));
    Tweaks::instance()->update("t_setBool", "2");
    EXPECT_TRUE(DynamicTweaks::boolVal("t_setBool", false));
    Tweaks::instance()->update("t_setBool", "");
}

TEST(DynamicTweaksDeathTest, ValueTheFieldsReadCannotTakeEndsTheProcess) {
    const struct {
        const char* name;
        const char* value;
        const char* pattern;
    } cases[] = {
        {"t_TeskDumpFullDataInVerboseLog", "-1", ",NON,Tweaks,uintVal,Assertion \\(ival >= 0\\) failed "},
        {"t_deadlockCheckerIntervalSec", "3000000000",
         ",NON,Tweaks,intVal,Assertion \\(ival <= \\(\\(u32\\)-1\\) / 2\\) failed "},
        {"t_defaultDlcTimeoutSec", "\"x\"", ",NON,Tweaks::Tweak,longVal,Assertion \\(false\\) failed "},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(Tweaks::instance()->update(c.name, c.value), ::testing::ExitedWithCode(kFatalStopExitCode),
                    c.pattern)
            << c.name;
    }
    EXPECT_EXIT(DynamicTweaks::boolVal("t_neverSetBool"), ::testing::ExitedWithCode(kFatalStopExitCode),
                ",NON,Tweaks,longVal,Assertion \\(false\\) failed ");
}

TEST(DynamicTweaksTest, KeptFieldAddressSeesEveryChange) {
    DynamicTweaks* cache = DynamicTweaks::instance();
    const std::atomic<u32>* timeout = &cache->t_defaultDlcTimeoutSec;
    Tweaks::instance()->update("t_defaultDlcTimeoutSec", "30");
    EXPECT_EQ(timeout->load(), 30u);
    EXPECT_EQ(DynamicTweaks::getDefaultDlcTimeoutSec(), 30u);
    Tweaks::instance()->setDefaultValIfNotSet("t_notCachedAtAll", "1");
    EXPECT_EQ(DynamicTweaks::instance(), cache);
    Tweaks::instance()->update("t_defaultDlcTimeoutSec", "");
    EXPECT_EQ(timeout->load(), 900u);
}
