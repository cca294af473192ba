// Volume Shadow Copy Service: shared types, result codes and the asynchronous operation.
#pragma once
#include <windows.h>

typedef GUID VSS_ID;
typedef OLECHAR* VSS_PWSZ;

typedef enum _VSS_BACKUP_TYPE {
    VSS_BT_UNDEFINED = 0,
    VSS_BT_FULL = 1,
    VSS_BT_INCREMENTAL = 2,
    VSS_BT_DIFFERENTIAL = 3,
    VSS_BT_LOG = 4,
    VSS_BT_COPY = 5,
    VSS_BT_OTHER = 6,
} VSS_BACKUP_TYPE;

#define VSS_S_ASYNC_PENDING ((HRESULT)0x00042309)
#define VSS_S_ASYNC_FINISHED ((HRESULT)0x0004230A)
#define VSS_S_ASYNC_CANCELLED ((HRESULT)0x0004230B)
#define VSS_E_BAD_STATE ((HRESULT)0x80042301u)
#define VSS_E_UNEXPECTED ((HRESULT)0x80042302u)
#define VSS_E_PROVIDER_ALREADY_REGISTERED ((HRESULT)0x80042303u)
#define VSS_E_PROVIDER_NOT_REGISTERED ((HRESULT)0x80042304u)
#define VSS_E_PROVIDER_VETO ((HRESULT)0x80042306u)
#define VSS_E_PROVIDER_IN_USE ((HRESULT)0x80042307u)
#define VSS_E_OBJECT_NOT_FOUND ((HRESULT)0x80042308u)
#define VSS_E_VOLUME_NOT_SUPPORTED ((HRESULT)0x8004230Cu)
#define VSS_E_OBJECT_ALREADY_EXISTS ((HRESULT)0x8004230Du)
#define VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER ((HRESULT)0x8004230Eu)
#define VSS_E_UNEXPECTED_PROVIDER_ERROR ((HRESULT)0x8004230Fu)
#define VSS_E_HOLD_WRITES_TIMEOUT ((HRESULT)0x80042314u)
#define VSS_E_UNEXPECTED_WRITER_ERROR ((HRESULT)0x80042315u)
#define VSS_E_SNAPSHOT_SET_IN_PROGRESS ((HRESULT)0x80042316u)

// One asynchronous operation of the backup components. Wait returns the failure an operation that failed met, and
// S_OK otherwise, also when `milliseconds` ran out before the operation ended; QueryStatus then reports
// VSS_S_ASYNC_PENDING.
struct IVssAsync : IUnknown {
    virtual HRESULT Cancel() = 0;
    virtual HRESULT Wait(DWORD milliseconds = INFINITE) = 0;
    virtual HRESULT QueryStatus(HRESULT* status, INT* reserved) = 0;
};
