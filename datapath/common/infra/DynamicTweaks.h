#pragma once
#include "Mutex.h"
#include "Singleton.h"
#include "Tweaks.h"
#include "Types.h"

#include <atomic>
#include <string>

// The cached tweaks, in field order: the type a field holds, its name (the tweak's), how the tweak is read and
// the default of that read. Long, Int and Uint read through the registry's getter of that name; LongAsBool and
// UintAsBool read a number and hold whether it is not 0; Bool reads through DynamicTweaks::boolVal. Derived
// flags are no tweaks: computeDerived sets them from the fields read.
#define TALVO_DYNAMIC_TWEAKS(X) \
    X(bool, t_HultBackupVerboseLogs, LongAsBool, false) \
    X(bool, t_HultRestoreVerboseLogs, LongAsBool, false) \
    X(bool, t_HultGarbageCollectorVerboseLogs, LongAsBool, false) \
    X(bool, t_HultPorterVerboseLogs, LongAsBool, false) \
    X(bool, t_HultTieringVerboseLogs, LongAsBool, false) \
    X(bool, t_HultRepositoryVerboseLogs, LongAsBool, false) \
    X(bool, t_HultTestsVerboseLogs, LongAsBool, false) \
    X(bool, t_HultS3VerifySSL, LongAsBool, true) \
    X(bool, t_HultRestoreBlockBatchReaderFeatureDisabled, LongAsBool, false) \
    X(i64, t_HultRestoreReaderMaxBatchSizeBytes, Long, 5242880) \
    X(bool, t_HultRestoreReaderBatchCollectStatistics, LongAsBool, true) \
    X(bool, t_HultCheckRepositoryWithoutMount, LongAsBool, false) \
    X(i64, t_HultRestoreReaderMaxBlocksInBatch, Long, 100) \
    X(bool, t_printPeriodicBoxingDataPoolReaderStatistics, LongAsBool, true) \
    X(bool, t_printPeriodicBoxingDataPoolReaderTaskStatistics, LongAsBool, true) \
    X(i64, t_HultAwsMultiPartTieringChunkSizeBytes, Long, 104857600) \
    X(i64, t_HultAzureAbsoluteTimeoutSec, Long, 60) \
    X(i64, t_hultListHandleExpireTimeoutSeconds, Long, 30) \
    X(i64, t_hultListHandleExpireIntervalSeconds, Long, 10) \
    X(bool, m_hultBackupOrRestoreVerbose, Derived, false) \
    X(bool, t_teskNetVerbose, Bool, false) \
    X(i32, t_TeskPrintNetMngStatsIntervalMs, Int, 10000) \
    X(u32, t_AzureDeleteFilesConcurrency, Uint, 50) \
    X(i32, t_AzurePendingOperationsRebootTimeoutInMinutes, Int, 10) \
    X(bool, t_TeskAwsEnableServerSideEncryption, Bool, false) \
    X(i32, t_TeskMinSyncBlocksToUseMd5, Int, 4000) \
    X(u32, t_snapshotDiffPartitionNum, Uint, 2) \
    X(bool, t_BatchIOVerboseLogs, Bool, false) \
    X(bool, t_CloudVerboseLogs, Bool, false) \
    X(bool, t_TeskDisableApplyMirrorVerbose, Bool, false) \
    X(bool, t_RlVerboseLogs, Bool, false) \
    X(bool, t_StreamReaderVerboseLogs, Bool, false) \
    X(bool, t_Bug17832VerboseLogs, Bool, false) \
    X(bool, t_sfsLongTermLogs, Bool, true) \
    X(u32, t_throughputHistogramUpdateFreqSec, Uint, 10) \
    X(u32, t_unmpperShortDelayMs, Uint, 30) \
    X(bool, t_overrideCloudJournalSize, Bool, false) \
    X(u32, t_maxAzureSnapshotListIterations, Uint, 20) \
    X(u32, t_cloudVolumelistFilesDelayMs, Uint, 0) \
    X(u32, t_azureMaxConcurrentListActions, Uint, 32) \
    X(bool, t_verboseAzureListBlobs, Bool, false) \
    X(i32, t_azureMaxConcurrentDeleteActions, Int, 150) \
    X(bool, t_verboseAzureDeleteBlobs, Bool, false) \
    X(i32, t_azureMaxConcurrentDeleteGroupSnapshots, Int, 100) \
    X(bool, t_verboseAzureDeleteGroupSnapshots, Bool, false) \
    X(bool, t_azureDeleteBlobMsSdk, Bool, false) \
    X(bool, t_azureIoMsSdk, Bool, false) \
    X(bool, t_azureStorageSdkVerbose, Bool, false) \
    X(bool, t_azureStorageCalcChecksum, Bool, true) \
    X(bool, t_azureSharedKeySignVerbose, Bool, false) \
    X(i32, t_TeskAzureStorageRetryDelayIncrementsMs, Int, 1000) \
    X(i32, t_TeskAzureStorageMaxRetries, Int, 100) \
    X(bool, t_azureComputeSdkVerbose, Bool, false) \
    X(bool, t_azureRpConsistencyModeEnabled, Bool, true) \
    X(i32, t_azureCreateRestorePointOperationTimeoutMin, Int, 90) \
    X(bool, t_groupSnapshotsVerboseLogs, Bool, false) \
    X(u32, t_azureCreateRestorePointPollIntervalMs, Uint, 10000) \
    X(u32, t_groupSnapshotCleanerIntervalMs, Uint, 10000) \
    X(bool, t_azureManifestProxyMsRest, Bool, false) \
    X(u32, t_azureManifestJobTimeoutSec, Uint, 900) \
    X(bool, t_httpCurlVerbose, Bool, false) \
    X(u32, t_httpCurlLogBodyDefaultSize, Uint, 512) \
    X(bool, t_httpCurlSupressExpect100, Bool, false) \
    X(bool, m_httpCurlOrIoVerbose, Derived, false) \
    X(bool, t_ltrDisabled, Bool, false) \
    X(bool, t_recordIOsEnabled, Bool, false) \
    X(bool, t_PeerTeskReconnectParallel, Bool, true) \
    X(u32, t_PeerTeskConnectTimeoutMs, Uint, 60000) \
    X(u32, t_PeerTeskAddConnectionTimeoutMs, Uint, 20000) \
    X(u32, t_PeerTeskAddConnectionTimeoutFastMs, Uint, 2000) \
    X(u32, t_PeerTeskInitConnectionMessagesTimeoutMs, Uint, 60000) \
    X(u32, t_TeskMinimalReconnectionTriesIntervalMs, Uint, 1000) \
    X(u32, t_TeskNopPeersIntervalMs, Uint, 10000) \
    X(u32, t_numPeersToReconnect, Uint, 50) \
    X(u32, t_initialPeerReconnectionBackoffMs, Uint, 1000) \
    X(u32, t_maximumPeerReconnectionBackoffMs, Uint, 300000) \
    X(u32, t_PeerReconnectionBackoffGrowth, Uint, 2) \
    X(u32, t_PeerReconnectionBackoffDeviation, Uint, 1) \
    X(u32, t_PeerConnectionRateAnalyticSampleTimeMin, Uint, 60) \
    X(bool, m_streamReaderOrIoVerbose, Derived, false) \
    X(u32, t_defaultDlcTimeoutSec, Uint, 900) \
    X(u32, t_extendedDlcTimeoutSec, Uint, 21600) \
    X(i32, t_deadlockCheckerIntervalSec, Int, 60) \
    X(bool, t_TeskNetSslVerbose, Bool, false) \
    X(bool, t_TeskDumpFullDataInVerboseLog, UintAsBool, false) \
    X(bool, t_BinVerboseLogs, Bool, false) \
    X(bool, t_NoVerboseDataPrint, Bool, false) \
    X(bool, t_IOVerboseLogs, Bool, false) \
    X(u32, t_periodicTweaksUpdateIntervalSec, Uint, 300) \
    X(u32, t_mtuVerificationOperationTimeoutMs, Uint, 0) \
    X(u32, t_maxProcStatReadRetryNum, Uint, 20) \
    X(u32, t_maxProcStatReadRetryIntervalMs, Uint, 20) \
    X(bool, t_disableLogMemoryAllocationTracking, Bool, false) \
    X(bool, t_ActiveObjectVerboseLogs, Bool, false) \
    X(bool, t_NetSelectorActiveObjectVerbose, Bool, true) \
    X(bool, t_httpClientVerbose, Bool, true) \
    X(bool, t_teskS3ProxyVerbose, Bool, false) \
    X(bool, t_httpConnectionVerbose, Bool, false) \
    X(bool, m_hultPorterOrIoVerbose, Derived, false) \
    X(bool, m_batchIoOrCloudOrIoVerbose, Derived, false) \
    X(bool, t_DisableAllAlerts, Bool, false) \
    X(bool, t_queryDriverAlerts, Bool, true) \
    X(i64, t_occurrenceThresholdHighStorageLatencyAlert, Long, 20) \
    X(i64, t_timeoutHighStorageLatencyAlert, Long, 86400000) \
    X(bool, t_isEnabledHighStorageLatencyAlert, Bool, false) \
    X(u32, t_ioCongestionThresholdHighStorageLatencyAlert, Uint, 17) \
    X(i64, t_occurrenceThresholdMalformedPacketAlert, Long, 2) \
    X(i64, t_timeoutMalformedPacketAlert, Long, 86400000) \
    X(bool, t_isEnabledMalformedPacketAlert, Bool, true) \
    X(i64, t_occurrenceThresholdMtuMismatchAlert, Long, 0) \
    X(i64, t_timeoutMtuMismatchAlert, Long, 86400000) \
    X(bool, t_isEnabledMtuMismatchAlert, Bool, true) \
    X(i64, t_occurrenceThresholdMtuConnectionFailAlert, Long, 0) \
    X(i64, t_timeoutMtuConnectionFailAlert, Long, 259200000) \
    X(bool, t_isEnabledMtuConnectionFailAlert, Bool, true) \
    X(bool, t_isEnabledIoCacheFullAlert, Bool, false) \
    X(bool, t_isEnabledBitmapFullAlert, Bool, true) \
    X(bool, t_isEnabledStuckIoAlert, Bool, true) \
    X(bool, t_assertOnInvalidControlOperations, Bool, false) \
    X(bool, t_disablePeriodicAnalytics, Bool, false) \
    X(u32, t_StorageAnalyticsLatencyThreshold, Uint, 40) \
    X(u32, t_StorageAnalyticsLatencyFast, Uint, 4) \
    X(u32, t_StorageAnalyticsLatencyModerate, Uint, 20) \
    X(u32, t_StorageAnalyticsLatencySlow, Uint, 40) \
    X(u32, t_StorageAnalyticsLatencyVerySlow, Uint, 100) \
    X(bool, t_verboseIRA, Bool, false) \
    X(u32, t_IRAmaxParallelBufsPerVolume, Uint, 50) \
    X(bool, t_IRAcheckInline, Bool, false) \
    X(i32, t_IRAewmaWindowSize, Int, 2) \
    X(bool, t_IRAcalcChi, Bool, false) \
    X(bool, t_IRAcalcCuSum, Bool, true) \
    X(bool, t_IRAcalcSingleLikeAvg, Bool, false) \
    X(bool, t_IRAuseHl, Bool, false) \
    X(bool, t_yieldPorterCycleTESK, Bool, true) \
    X(bool, t_yieldPorterCycleHULT, Bool, true) \
    X(u32, t_globalInflightBlocksTrackerSamplePeriodMs, Uint, 1000) \
    X(u32, t_globalInflightBlocksTrackerMaxRecordsNum, Uint, 1000) \
    X(bool, t_mallocTrimEnable, Bool, false) \
    X(u32, t_mallocTrimIntervalMinutes, Uint, 5) \
    X(bool, t_printAsyncTaskFrames, Bool, false) \
    X(bool, t_teskEnableS3ProxyPugiXml, Bool, false) \
    X(bool, t_teskEnableCurlHttpConnection, Bool, false)

// Snapshot of frequently read tweaks. Hot paths read a field (a relaxed atomic load: no lookup, no lock) instead
// of asking the registry; the registry refreshes the snapshot in place after every change, so a kept address of a
// field always shows the latest value. Created once, filled before it is published, never destroyed.
class DynamicTweaks : public Singleton<DynamicTweaks> {
public:
    DynamicTweaks();

    // Reads every cached tweak again, then the derived flags. Refreshes run one at a time, so the last one to
    // finish holds what the registry holds after the last change.
    void update();
    // The tweak read as a number, the default given as 1 or 0; true when it is not 0.
    static bool boolVal(const std::string& name, TweakDefault<bool> def = TweakDefault<bool>());
    static u32 getDefaultDlcTimeoutSec();

#define TALVO_DYNAMIC_TWEAK_FIELD(type, name, kind, def) std::atomic<type> name{def};
    TALVO_DYNAMIC_TWEAKS(TALVO_DYNAMIC_TWEAK_FIELD)
#undef TALVO_DYNAMIC_TWEAK_FIELD

private:
    void computeDerived();

    // Not the registry's lock: a refresh reads the registry through its getters, which take that one.
    Mutex m_refreshLock;
};
