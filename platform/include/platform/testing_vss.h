// Test controls of the stand-in's COM and VSS: the scenario the machine's VSS plays, the journal of every call.
#pragma once
#include <objbase.h>
#include <vsbackup.h>
#include <windows.h>

#include <string>
#include <vector>

namespace platform_test {

struct VssWriterScript {
    std::u16string name;
    VSS_WRITER_STATE state = VSS_WS_STABLE;
    HRESULT failure = S_OK;
    GUID writerId{};
    GUID instanceId{};
};

// What the `occurrence`-th call (1 = the first of the process or the scenario) of `method` does. `method` is an
// IVssBackupComponents or IVssAsync method name, or "CreateVssBackupComponentsInternal". For the methods that
// start an operation, the other fields shape that operation.
struct VssOutcome {
    std::string method;
    unsigned occurrence = 1;
    HRESULT result = S_OK;      // what the call returns; a failure starts no operation
    bool throwBadAlloc = false; // the call throws std::bad_alloc instead
    // The operation's final status (VSS_S_ASYNC_FINISHED, VSS_S_ASYNC_CANCELLED or a failure).
    HRESULT status = VSS_S_ASYNC_FINISHED;
    // Wait returns S_OK for a failed operation too, leaving its status to QueryStatus. Without it Wait returns
    // the failure the operation met, as on Windows.
    bool waitReturnsOk = false;
    HRESULT waitResult = S_OK;   // Wait fails with this instead
    HRESULT queryResult = S_OK;  // QueryStatus fails with this instead
    DWORD delayMs = 0;           // the operation ends this long after it started
    bool neverEnds = false;
};

struct VssScenario {
    std::vector<std::wstring> volumes;
    // The provider registered with the service; AddToSnapshotSet refuses any other.
    GUID registeredProvider{};
    bool providerRegistered = true;
    std::vector<VssWriterScript> writers;
    std::vector<VssOutcome> outcomes;
    // FindFirstVolumeW fails with this error; FindNextVolumeW fails with `findNextError` after that many names.
    DWORD findFirstError = 0;
    unsigned findNextFailAfter = 0;
    DWORD findNextError = 0;
    // A program run for each DoSnapshotSet as the provider's commit (with these arguments): exit 0 ends the
    // operation VSS_S_ASYNC_FINISHED, exit 3 VSS_E_PROVIDER_VETO, anything else (or no program to run)
    // VSS_E_UNEXPECTED_PROVIDER_ERROR. Empty: the commit ends at once.
    std::string commitProgram;
    std::vector<std::string> commitArgs;
};

// This process's VSS plays `scenario` from now on; call counts start again.
void setVssScenario(const VssScenario& scenario);
// Writes `scenario` under the stand-in's root, where processes without a scenario of their own read it.
void writeVssScenarioFile(const VssScenario& scenario);
void clearVssScenario();

// Every COM and VSS call of this process since the last clear, one line each, e.g. "CoInitialize 0",
// "SetBackupState 0 1 5 0", "AddToSnapshotSet <volume> {provider}", "GatherWriterMetadata async1",
// "async1.Wait 62000", "async1.QueryStatus 4230a", "async1.Release 0", "AbortBackup", "Release 0".
// Each line is also appended to the file vssJournalPath().
std::vector<std::string> vssJournal();
void clearVssJournal();
std::string vssJournalPath();

// The calling thread's COM initialisations not yet undone.
int comInitCount();
// BSTRs and task memory blocks not yet freed, in this process.
long liveBstrCount();
long liveTaskMemCount();
// Components objects of this process not yet released, and snapshot sets still in progress on the machine.
long liveComponentsCount();
long setsInProgress();

}  // namespace platform_test
