// Volume Shadow Copy Service: the requester's backup components, with the calls a backup sequence makes.
#pragma once
#include <vss.h>
#include <vswriter.h>

struct IVssBackupComponents : IUnknown {
    virtual HRESULT InitializeForBackup(BSTR xml = NULL) = 0;
    virtual HRESULT SetBackupState(bool selectComponents, bool backupBootableSystemState, VSS_BACKUP_TYPE backupType,
                                   bool partialFileSupport = false) = 0;
    virtual HRESULT GatherWriterMetadata(IVssAsync** async) = 0;
    virtual HRESULT StartSnapshotSet(VSS_ID* snapshotSetId) = 0;
    virtual HRESULT AddToSnapshotSet(VSS_PWSZ volumeName, VSS_ID providerId, VSS_ID* snapshotId) = 0;
    virtual HRESULT PrepareForBackup(IVssAsync** async) = 0;
    virtual HRESULT DoSnapshotSet(IVssAsync** async) = 0;
    virtual HRESULT BackupComplete(IVssAsync** async) = 0;
    virtual HRESULT AbortBackup() = 0;
    virtual HRESULT GatherWriterStatus(IVssAsync** async) = 0;
    virtual HRESULT GetWriterStatusCount(UINT* count) = 0;
    virtual HRESULT GetWriterStatus(UINT writer, VSS_ID* instanceId, VSS_ID* writerId, BSTR* writerName,
                                    VSS_WRITER_STATE* state, HRESULT* failure) = 0;
    virtual HRESULT FreeWriterStatus() = 0;
};

// The components of one backup. The stand-in plays the machine's VSS from the scenario that tests set
// (platform/testing_vss.h); with none, it answers E_NOTIMPL, as on a machine without the service.
HRESULT CreateVssBackupComponentsInternal(IVssBackupComponents** components);
