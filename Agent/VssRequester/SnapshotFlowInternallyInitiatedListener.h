#pragma once
#include "Arguments.h"
#include "ISnapshotFlowListener.h"

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

class HttpClient;

// Reports the checkpoint to the local and peer management servers over HTTP: pings them before the freeze, asks
// each server that answered to insert the checkpoint while frozen, and closes those connections after the thaw.
class SnapshotFlowInternallyInitiatedListener : public ISnapshotFlowListener {
public:
    explicit SnapshotFlowInternallyInitiatedListener(const Arguments& args);
    ~SnapshotFlowInternallyInitiatedListener() override;
    SnapshotFlowInternallyInitiatedListener(const SnapshotFlowInternallyInitiatedListener&) = delete;
    SnapshotFlowInternallyInitiatedListener& operator=(const SnapshotFlowInternallyInitiatedListener&) = delete;

    int notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override;
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(int errNum) override;

    // The MAC addresses of the machine's Ethernet adapters, twelve lowercase hex digits each; empty when the
    // adapters cannot be listed.
    static void collectMacAddresses(std::vector<std::wstring>& macs);
    // A port text read as the runtime's wide-to-int does (white space, sign, digits, saturating at the 32-bit
    // limits), reduced to its low 16 bits.
    static INTERNET_PORT portFromText(const std::wstring& text);

private:
    std::wstring m_localURL;
    std::wstring m_localPort;
    std::wstring m_peerURL;
    std::wstring m_peerPort;
    std::wstring m_tag;
    std::vector<std::wstring> m_macs;
    bool m_localClientConnected = false;
    bool m_peerClientConnected = false;
    HttpClient* m_localClient = nullptr;
    HttpClient* m_peerClient = nullptr;
};
