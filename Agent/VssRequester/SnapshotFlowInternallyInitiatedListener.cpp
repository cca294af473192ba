#include "SnapshotFlowInternallyInitiatedListener.h"

#include "HttpClient.h"
#include "Logger.h"
#include "TrackedAllocation.h"
#include "VisibleLineEnds.h"
#include "WideText.h"

#include <iphlpapi.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <cwctype>

namespace {

const char* const kSource = "Agent\\VssRequester\\SnapshotFlowInternallyInitiatedListener";
// The adapter list is read into a buffer of this fixed size: 32 records.
constexpr ULONG kAdaptersBufferSize = 22528;

}  // namespace

SnapshotFlowInternallyInitiatedListener::SnapshotFlowInternallyInitiatedListener(const Arguments& args)
    : m_localURL(args.m_localURL),
      m_localPort(args.m_localPort),
      m_peerURL(args.m_peerURL),
      m_peerPort(args.m_peerPort),
      m_tag(args.m_tag) {
    LOG(Info) << "SnapshotFlowHttpListener" << std::endl;
    collectMacAddresses(m_macs);
    LOG(Info) << "localURL: " << visibleLineEnds(toUtf8(m_localURL)) << std::endl;
    LOG(Info) << "localPort: " << visibleLineEnds(toUtf8(m_localPort)) << std::endl;
    LOG(Info) << "peerURL: " << visibleLineEnds(toUtf8(m_peerURL)) << std::endl;
    LOG(Info) << "peerPort: " << visibleLineEnds(toUtf8(m_peerPort)) << std::endl;
    LOG(Info) << "Tag: " << visibleLineEnds(toUtf8(m_tag)) << std::endl;
    for (const auto& mac : m_macs) LOG(Info) << "MAC: " << toUtf8(mac) << std::endl;
}

SnapshotFlowInternallyInitiatedListener::~SnapshotFlowInternallyInitiatedListener() {
    LOG(Info) << "~SnapshotFlowHttpListener" << std::endl;
    trackedDelete(m_localClient, kSource, __LINE__);
    m_localClient = nullptr;
    trackedDelete(m_peerClient, kSource, __LINE__);
    m_peerClient = nullptr;
}

void SnapshotFlowInternallyInitiatedListener::collectMacAddresses(std::vector<std::wstring>& macs) {
    macs.clear();
    // 8-byte aligned: the records hold pointers.
    alignas(IP_ADAPTER_INFO) unsigned char buffer[kAdaptersBufferSize];
    ULONG size = kAdaptersBufferSize;
    auto* first = reinterpret_cast<PIP_ADAPTER_INFO>(buffer);
    if (GetAdaptersInfo(first, &size) != ERROR_SUCCESS) return;
    for (PIP_ADAPTER_INFO adapter = first; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->Type != MIB_IF_TYPE_ETHERNET) continue;
        wchar_t text[13];
        swprintf(text, sizeof text / sizeof text[0], L"%.2x%.2x%.2x%.2x%.2x%.2x", adapter->Address[0],
                 adapter->Address[1], adapter->Address[2], adapter->Address[3], adapter->Address[4],
                 adapter->Address[5]);
        macs.push_back(text);
    }
}

INTERNET_PORT SnapshotFlowInternallyInitiatedListener::portFromText(const std::wstring& text) {
    size_t at = 0;
    while (at < text.size() && std::iswspace(static_cast<wint_t>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
        negative = text[at] == L'-';
        ++at;
    }
    // Accumulated as a magnitude, held at the limit once past it.
    const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - L'0');
        if (magnitude > limit) magnitude = limit;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    return static_cast<INTERNET_PORT>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFFu);
}

int SnapshotFlowInternallyInitiatedListener::notifySnapshotPrepare() {
    LOG(Info) << "Connecting to local KESTRUM..." << std::endl;
    m_localClient = trackedNew<HttpClient>("HttpClient", kSource, __LINE__, m_localURL, portFromText(m_localPort));
    m_localClientConnected = m_localClient->connect();
    if (m_localClientConnected) {
        LOG(Info) << "Pinging local KESTRUM..." << std::endl;
        m_localClientConnected = m_localClient->get(PingPath);
        LOG(Info) << "Done pinging local KESTRUM, m_localClientConnected = " << (m_localClientConnected ? 1 : 0)
                  << std::endl;
    } else {
        LOG(Error) << "Couldn't connect to local" << std::endl;
    }

    const bool peerIsEmpty = m_peerURL == L"0.0.0.0";
    const bool peerIsLocal = m_peerURL == m_localURL;
    m_peerClient = trackedNew<HttpClient>("HttpClient", kSource, __LINE__, m_peerURL, portFromText(m_peerPort));
    if (!peerIsEmpty && !peerIsLocal) {
        LOG(Info) << "Connecting to peer KESTRUM..." << std::endl;
        m_peerClientConnected = m_peerClient->connect();
        if (m_peerClientConnected) {
            LOG(Info) << "Pinging peer KESTRUM..." << std::endl;
            m_peerClientConnected = m_peerClient->get(PingPath);
            LOG(Info) << "Done pinging peer KESTRUM, m_peerClientConnected = " << (m_peerClientConnected ? 1 : 0)
                      << std::endl;
        } else {
            LOG(Error) << "Couldn't connect to peer" << std::endl;
        }
    } else {
        if (peerIsEmpty) LOG(Info) << "Peer URL is empty. Not Connecting to peer" << std::endl;
        if (peerIsLocal) LOG(Info) << "Peer URL equals local URL. Not Connecting to peer" << std::endl;
    }

    if (!m_localClientConnected && !m_peerClientConnected) {
        LOG(Error) << "No connection either to local or peer. doing nothing" << std::endl;
        return 1;
    }
    return 0;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotQuiesceSuccess() {
    LOG(Info) << "notifySnapshotQuiesceSuccess" << std::endl;
    bool answered = false;
    if (m_localClientConnected) {
        LOG(Info) << "Taking CP on local KESTRUM..." << std::endl;
        answered = m_localClient->insertVssCheckpoint(m_macs, m_tag) || answered;
        LOG(Info) << "Done taking CP on local KESTRUM." << std::endl;
    }
    if (m_peerClientConnected) {
        LOG(Info) << "Taking CP on peer KESTRUM..." << std::endl;
        answered = m_peerClient->insertVssCheckpoint(m_macs, m_tag) || answered;
        LOG(Info) << "Done taking CP on peer KESTRUM." << std::endl;
    }
    // Each client logs its own failure; this says the checkpoint reached no server at all.
    if ((m_localClientConnected || m_peerClientConnected) && !answered) {
        LOG(Error) << "Taking CP failed on every connected KESTRUM" << std::endl;
    }
    LOG(Info) << "Done taking CP." << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotThawSuccess() {
    LOG(Info) << "notifySnapshotThawSuccess" << std::endl;
    if (m_localClientConnected) {
        LOG(Info) << "Closing the connection to local KESTRUM..." << std::endl;
        m_localClient->closeHandles();
    }
    if (m_peerClientConnected) {
        LOG(Info) << "Closing the connection to peer KESTRUM..." << std::endl;
        m_peerClient->closeHandles();
    }
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteSuccess() {
    LOG(Info) << "notifySnapshotCompleteSuccess" << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteFailure(int errNum) {
    LOG(Info) << "notifySnapshotCompleteFailure" << " errNum=" << errNum << " " << std::endl;
}
