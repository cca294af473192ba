#pragma once
#include "IVssRequester.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The VSS requester: runs the backup sequence over the machine's volumes with the companion provider. Holds no
// state between calls; each call initialises and uninitialises COM on the calling thread.
class VssRequester : public IVssRequester {
public:
    int DoSnapshot(const RequesterArgs& args) override;
};

// The provider that the provider service registers with VSS; named for every volume added to a snapshot set.
extern const GUID ProviderId;

// Texts of the VSS and COM result codes (the HRESULT read as unsigned) and names of the writer states.
const std::map<uint32_t, std::string>& vssErrorTexts();
const std::map<uint32_t, std::string>& vssWriterStateNames();

// Waits for one operation and releases it. True only when it finished; otherwise `out` holds the failing code
// (the failed call's, a veto, or the status of an operation still pending or cancelled).
bool waitForAsync(IVssAsync* pAsync, HRESULT* out);
// Gathers, logs and frees the writers' states.
bool gatherWriterStatus(IVssBackupComponents* components);
void PrintAllWriterStatuses(IVssBackupComponents* components);
// The volume GUID paths of the machine, in enumeration order.
std::vector<std::wstring> getVolumeList();
// Error line: message, the code in lowercase hexadecimal, and its text when known.
void output_error(const std::string& message, HRESULT hr);
std::string guidToString(const GUID& guid);
// " (" + text + ") " for a known code or state, else "".
std::string hresultToText(HRESULT hr);
std::string writerStateToText(int state);
